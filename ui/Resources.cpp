#include "Resources.h"

#include <QtGlobal>

static void registerLumetraResources() {
    Q_INIT_RESOURCE(lumetra);
}

namespace lumetra::ui {

void initResources() {
    static const bool done = [] {
        registerLumetraResources();
        return true;
    }();
    Q_UNUSED(done);
}

} // namespace lumetra::ui
