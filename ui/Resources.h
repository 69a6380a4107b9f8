#pragma once
// The icons and the logo live in a resource file compiled into the static ui library;
// a static library's resources must be registered explicitly before the first use.

namespace lumetra::ui {
void initResources();
}
