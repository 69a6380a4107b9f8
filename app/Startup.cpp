#include "Startup.h"

#include "Log.h"
#include "MainWindow.h"
#include "Version.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#ifndef LUMETRA_INSTALLED_DATA_RELATIVE
#define LUMETRA_INSTALLED_DATA_RELATIVE "../share/lumetra"
#endif

namespace lumetra::start {

namespace {

const QString kHeadName = QStringLiteral("simulated-head.ini");

bool writableDir(const QString& dir) {
    const QFileInfo fi(dir);
    return fi.isDir() && fi.isWritable();
}

// Creates the folder when missing; a folder that cannot be made or written is a problem.
bool ensureDir(const QString& dir, const QString& consequence, QStringList& problems) {
    QDir().mkpath(dir);
    if (writableDir(dir))
        return true;
    problems << QDir::toNativeSeparators(dir) +
                    (QFileInfo(dir).isDir() ? QStringLiteral(" cannot be written; ")
                                            : QStringLiteral(" cannot be created; ")) +
                    consequence;
    return false;
}

// Copies a file unless the target exists; the copy is the user's to change.
bool copyIfMissing(const QString& from, const QString& to) {
    if (QFileInfo::exists(to))
        return true;
    if (!QFile::copy(from, to))
        return false;
    return QFile::setPermissions(to, QFile::permissions(to) | QFile::ReadOwner | QFile::WriteOwner);
}

// The demo head and its calibration files: installed ones first, else those a build puts
// beside the executable.
QString demoSource(const Installation& where) {
    if (!where.dataDir.isEmpty()) {
        const QString installed = QDir(where.dataDir).filePath(QStringLiteral("demo"));
        if (QFileInfo::exists(QDir(installed).filePath(kHeadName)))
            return installed;
    }
    if (QFileInfo::exists(QDir(where.exeDir).filePath(kHeadName)))
        return where.exeDir;
    return QString();
}

// Places the demo head in `headDir` and its calibration files in `calDir` (each only when
// missing). What cannot be copied is used where it lies.
void placeDemo(const Installation& where, const QString& headDir, const QString& calDir,
               Plan& plan) {
    const QString source = demoSource(where);
    if (source.isEmpty()) {
        plan.problems << QStringLiteral("No demo sensor head is installed (looked in %1 and %2).")
                             .arg(QDir::toNativeSeparators(
                                      QDir(where.dataDir.isEmpty() ? where.exeDir : where.dataDir)
                                          .filePath(QStringLiteral("demo"))),
                                  QDir::toNativeSeparators(where.exeDir));
        return;
    }
    const QDir from(source);
    const QString head = QDir(headDir).filePath(kHeadName);
    if (QDir(source) != QDir(headDir) &&
        !(QDir().mkpath(headDir) && copyIfMissing(from.filePath(kHeadName), head)))
        plan.folders.headFile = from.filePath(kHeadName);
    else if (plan.folders.layout == paths::Layout::UserFolders)
        plan.folders.headFile = head;
    const QStringList calibrations =
        from.entryList({QStringLiteral("*.kvtcal")}, QDir::Files, QDir::Name);
    for (const QString& name : calibrations) {
        if (QDir(source) != QDir(calDir))
            copyIfMissing(from.filePath(name), QDir(calDir).filePath(name));
    }
    // Read where they lie when a copy failed.
    if (!calibrations.isEmpty() && QDir(source) != QDir(calDir))
        plan.folders.calibrationReadOnlyDirs << source;
}

} // namespace

Options parseOptions(const QStringList& args) {
    Options o;
    using L = Options::Layout;
    for (const QString& a : args) {
        if (a == QLatin1String("--portable") || a == QLatin1String("--user-folders")) {
            const L wanted = a == QLatin1String("--portable") ? L::Portable : L::UserFolders;
            if (o.layout != L::Auto && o.layout != wanted) {
                o.error = QStringLiteral("--portable and --user-folders exclude each other");
                return o;
            }
            o.layout = wanted;
        } else if (a == QLatin1String("--demo")) {
            o.demo = true;
        } else if (a == QLatin1String("--version")) {
            o.version = true;
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            o.help = true;
        } else {
            o.error = (a.startsWith(QLatin1Char('-')) ? QStringLiteral("unknown option %1")
                                                      : QStringLiteral("unexpected argument %1"))
                          .arg(a);
            return o;
        }
    }
    return o;
}

QString usageText() {
    return QStringLiteral(
        "usage: lumetra [--portable | --user-folders] [--demo]\n"
        "  --portable      keep settings, log and calibration files beside the executable\n"
        "  --user-folders  keep them in the user's folders (XDG config and data folders)\n"
        "  --demo          measure the simulated sensor head of the installation\n"
        "  --version       print the version and exit\n"
        "  -h, --help      print this help and exit\n"
        "Without --portable or --user-folders, a program in a writable folder that is not\n"
        "an installation keeps its files beside itself; otherwise the user folders are used.\n"
        "Qt's own options (e.g. -platform) are accepted as well.\n");
}

QString versionText() {
    return QStringLiteral("lumetra ") + lumetra::versionText() + QLatin1Char('\n');
}

Installation installationFor(const QString& exeDir) {
    Installation w;
    w.exeDir = QDir(exeDir).absolutePath();
    const QString share =
        QDir::cleanPath(QDir(w.exeDir).filePath(QStringLiteral(LUMETRA_INSTALLED_DATA_RELATIVE)));
    if (QFileInfo(share).isDir())
        w.dataDir = share;
    w.configHome = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    w.dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return w;
}

Plan prepare(const Options& options, const Installation& where) {
    using L = Options::Layout;
    Plan plan;
    paths::Folders& f = plan.folders;
    const bool installed = !where.dataDir.isEmpty();
    const bool portable = options.layout == L::Portable ||
                          (options.layout == L::Auto && !installed && writableDir(where.exeDir));
    f.layout = portable ? paths::Layout::Portable : paths::Layout::UserFolders;

    const QString ownNotes = QDir(where.exeDir).filePath(QStringLiteral("VersionNotes.txt"));
    const QString installedNotes =
        installed ? QDir(where.dataDir).filePath(QStringLiteral("VersionNotes.txt")) : QString();
    f.notesFile =
        QFileInfo::exists(ownNotes) || installedNotes.isEmpty() ? ownNotes : installedNotes;

    if (portable) {
        plan.workingDir = where.exeDir;
        if (!writableDir(where.exeDir))
            plan.problems << QDir::toNativeSeparators(where.exeDir) +
                                 QStringLiteral(" cannot be written; the settings, the log and "
                                                "new calibration data are not kept.");
        if (options.demo)
            placeDemo(where, where.exeDir, where.exeDir, plan);
        return plan;
    }

    f.settingsDir = QDir(where.configHome).filePath(QStringLiteral("lumetra"));
    f.dataDir = QDir(where.dataHome).filePath(QStringLiteral("lumetra"));
    ensureDir(f.settingsDir, QStringLiteral("the settings are not kept."), plan.problems);
    const bool dataUsable = ensureDir(
        f.dataDir, QStringLiteral("the log and new calibration data are not kept."), plan.problems);
    // Whatever is still addressed relative to the working directory lands in the data
    // folder; without one, in the executable's folder, where it fails as it always has.
    plan.workingDir = dataUsable ? f.dataDir : where.exeDir;
    f.calibrationReadOnlyDirs << where.exeDir;
    if (installed)
        f.calibrationReadOnlyDirs << where.dataDir;
    if (options.demo)
        placeDemo(where, QDir(f.dataDir).filePath(QStringLiteral("demo")), f.dataDir, plan);
    return plan;
}

std::unique_ptr<MainWindow> launch(const Plan& plan) {
    paths::setActive(plan.folders);
    QDir::setCurrent(plan.workingDir);
    auto window = std::make_unique<MainWindow>();
    window->show();
    writeLog(paths::describe(plan.folders));
    if (!plan.problems.isEmpty())
        QMessageBox::warning(window.get(), problemsTitle(), problemsText(plan.problems));
    return window;
}

QString problemsTitle() {
    return QStringLiteral("Folder not available");
}

QString problemsText(const QStringList& problems) {
    return QStringLiteral("Lumetra goes on without:\n\n") + problems.join(QLatin1Char('\n')) +
           QStringLiteral("\n\nMeasuring works as usual. Make the folder available, or start "
                          "Lumetra with --portable or --user-folders.");
}

namespace {

int g_signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char c = 1;
    // Only async-signal-safe calls here; the notifier does the rest in the GUI thread.
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

class TerminationWatch : public QObject {
public:
    TerminationWatch() {
        m_notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &TerminationWatch::fire);
    }

    void attach(QWidget* window) {
        m_window = window;
        if (m_requested && window)
            QTimer::singleShot(0, window, &QWidget::close);
    }

private:
    void fire() {
        char c;
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &c, 1);
        m_requested = true;
        // A second signal ends the process at once, should closing hang.
        for (int sig : {SIGTERM, SIGINT, SIGHUP})
            ::signal(sig, SIG_DFL);
        // Modal dialogs first (their answer is the one closing them gives), so that the
        // code waiting on them finishes its step; bounded in case one refuses to close.
        for (int i = 0; i < 8; ++i) {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal)
                break;
            modal->close();
        }
        if (m_window)
            QTimer::singleShot(0, m_window.data(), &QWidget::close);
    }

    QSocketNotifier* m_notifier = nullptr;
    QPointer<QWidget> m_window;
    bool m_requested = false;
};

TerminationWatch* g_watch = nullptr;

} // namespace

void installTerminationHandler() {
    if (g_watch)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    g_watch = new TerminationWatch();
    g_watch->setParent(QCoreApplication::instance());
    struct sigaction sa = {};
    sa.sa_handler = onTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
}

void closeOnTermination(QWidget* window) {
    if (g_watch)
        g_watch->attach(window);
}

} // namespace lumetra::start
