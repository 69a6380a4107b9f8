#pragma once
// Start-up of the program: its few options, the folders it works in (portable beside the
// executable, or the user's XDG folders), the demo head, and the window's launch.
//
//   lumetra [--portable | --user-folders] [--demo]
//   lumetra --version | --help
//
// The folders are decided once, before the window exists: an installed program (one with
// ../share/lumetra beside its folder) or one whose folder cannot be written uses the
// user folders; anything else (a build, an unpacked folder) stays portable.

#include "Paths.h"

#include <QString>
#include <QStringList>
#include <memory>

class MainWindow;
class QWidget;

namespace lumetra::start {

struct Options {
    enum class Layout { Auto, Portable, UserFolders };
    Layout layout = Layout::Auto;
    bool demo = false;
    bool version = false;
    bool help = false;
    QString error; // the arguments cannot be used: this says why
};

// The arguments after the program name, once Qt has taken its own.
Options parseOptions(const QStringList& args);
QString usageText();
QString versionText();

// The folders of the installation as seen from the executable's folder.
struct Installation {
    QString exeDir;
    QString dataDir; // <prefix>/share/lumetra; empty when not installed
    QString configHome;
    QString dataHome; // XDG folders (QStandardPaths), without "lumetra"
};
Installation installationFor(const QString& exeDir);

struct Plan {
    paths::Folders folders;
    QString workingDir;
    // One line per folder the program cannot use, for the warning box.
    QStringList problems;
};

// Decides the folders, creates those of the user layout and places the demo files; it
// changes no process state, so it can be planned and checked before it is applied.
Plan prepare(const Options& options, const Installation& where);

// Makes the plan's folders the active ones and its working directory current, creates
// the window and shows it; then logs which folders are in use and, when some folder
// failed, says so once in a warning box over the window.
std::unique_ptr<MainWindow> launch(const Plan& plan);

// The warning box's title and text for the problems of a plan.
QString problemsTitle();
QString problemsText(const QStringList& problems);

// SIGTERM, SIGINT and SIGHUP end the program as closing its window does (settings saved,
// exit line logged), answering any modal dialog first: a station that stops the program
// keeps its settings. Installed before the window exists (the window's constructor may
// show the notes); a signal that comes before the window is attached closes it as soon
// as the event loop runs.
void installTerminationHandler();
void closeOnTermination(QWidget* window);

} // namespace lumetra::start
