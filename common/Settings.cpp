#include "Settings.h"

#include "Paths.h"

namespace lumetra::settings {

QString fileName() {
    return lumetra::paths::settingsFile();
}

File::File() : m_settings(fileName(), QSettings::IniFormat) {}

} // namespace lumetra::settings
