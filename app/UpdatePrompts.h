#pragma once
// How the window opens the folder of a saved installer. Replaceable so that tests can see
// the request without a file manager opening.

#include <QUrl>
#include <functional>

namespace lumetra::app {

using FolderOpener = std::function<bool(const QUrl&)>;

// The opener in use; QDesktopServices::openUrl unless replaced.
FolderOpener folderOpener();
// Replaces the opener; an empty function restores the default.
void setFolderOpener(FolderOpener opener);

} // namespace lumetra::app
