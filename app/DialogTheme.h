#pragma once
// Dialogs parented to the main window inherit its style sheet, whose light text is meant
// for the window's dark background; on a dialog's light background it is unreadable.
// Such dialogs (message boxes, input and progress dialogs) get a dark background of their
// own that goes with the inherited text colours.

class QWidget;

namespace lumetra::app {

// Watches the window's child dialogs from now on; the watcher is a child of the window.
void themeChildDialogs(QWidget* window);

// The style sheet those dialogs get.
const char* childDialogStyleSheet();

} // namespace lumetra::app
