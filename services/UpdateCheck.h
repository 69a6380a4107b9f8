#pragma once
// The start-up update check: fetch the version file from the download server, offer a
// newer version, download its installer into sw_fw/ and, on Windows, start it detached
// (elsewhere installs come from the package: the user is told where the file is). Runs in
// the calling (GUI) thread with local event loops; everything the user sees goes through
// UpdateUi, so this library needs no widgets and tests can answer in place of the user.

#include <QString>
#include <QUrl>
#include <functional>

namespace lumetra::update {

// What the window shows during the check. Calls come in this order: confirmUpdate, then
// (on consent) downloadStarted, downloadProgress..., downloadFinished, then either
// installerSaved (no installer is started on this platform) or setupCannotStart (the
// stored installer could not be started).
class UpdateUi {
public:
    virtual ~UpdateUi();
    // Yes/No question; true only for Yes. details: the whole release notes when text
    // shows only their first lines, else empty.
    virtual bool confirmUpdate(const QString& title, const QString& text,
                               const QString& details) = 0;
    // A download begins; calling cancel() (e.g. from a progress dialog's Cancel button)
    // abandons it. cancel stays callable after the download has ended (then it is a no-op).
    virtual void downloadStarted(std::function<void()> cancel) = 0;
    // Bytes received and bytes in total (negative when the server announced no size).
    virtual void downloadProgress(qint64 received, qint64 total) = 0;
    // The download has ended, whatever the outcome.
    virtual void downloadFinished() = 0;
    // Warning box: the installer was stored but could not be started.
    virtual void setupCannotStart(const QString& title, const QString& text) = 0;
    // The complete, verified installer lies at this absolute path and was not started.
    virtual void installerSaved(const QString& absolutePath) = 0;
};

// An UpdateUi made of functions, for callers that would rather not derive a class (the
// window's private members stay reachable from the lambdas it installs). Unset functions
// decline the update and ignore everything else.
class CallbackUpdateUi : public UpdateUi {
public:
    std::function<bool(const QString&, const QString&, const QString&)> confirm;
    std::function<void(std::function<void()>)> started;
    std::function<void(qint64, qint64)> progress;
    std::function<void()> finished;
    std::function<void(const QString&, const QString&)> cannotStart;
    std::function<void(const QString&)> saved;

    bool confirmUpdate(const QString& title, const QString& text, const QString& details) override;
    void downloadStarted(std::function<void()> cancel) override;
    void downloadProgress(qint64 received, qint64 total) override;
    void downloadFinished() override;
    void setupCannotStart(const QString& title, const QString& text) override;
    void installerSaved(const QString& absolutePath) override;
};

// The maker's download server, used unless basini.ini names another one.
QString defaultUpdateServer();
// The folder on the server that holds the version file and the installers.
QString updateServerPath();

// Replies larger than these are refused.
constexpr qint64 kVersionFileLimit = 1024 * 1024;
constexpr qint64 kChecksumFileLimit = 4096;
constexpr qint64 kInstallerLimit = 512LL * 1024 * 1024;

struct UpdateConfig {
    QUrl server;                         // base address, e.g. https://www.varnelle.fr
    int versionFileTimeoutMs = 15000;    // whole version-file (and checksum) request
    int installerStallTimeoutMs = 60000; // installer download without any progress
    qint64 installerLimit = kInstallerLimit;
    // Starts the stored installer (absolute path), true when it started. Set on Windows
    // only: elsewhere a downloaded installer is kept, never run.
    std::function<bool(const QString&)> startInstaller;

    // Server from key "UpdateServer" of basini.ini (Paths.h), else the
    // environment variable LUMETRA_UPDATE_SERVER, else the default; an unusable value is
    // reported on the debug output (basini.ini) or ignored.
    static UpdateConfig fromSettings();
};

// Accepts only absolute http:// or https:// addresses with a host and without query or
// fragment; returns an invalid QUrl otherwise.
QUrl parseServerAddress(const QString& text);

// Addresses of the two resources under a server base.
QUrl versionFileUrl(const QUrl& server);
QUrl installerUrl(const QUrl& server, const QString& versionText);

// "KVT_v" + version + "_setup.exe"
QString installerFileName(const QString& versionText);

// The update question: the described text, with only the first lines of long release
// notes (then details holds them all, for a scrollable view; else it is empty), so that
// the box fits on the screen.
struct QuestionText {
    QString text;
    QString details;
};
QuestionText updateQuestion(const QString& versionText, const QString& notes);

// Runs the whole check; true only when a downloaded installer was started (the caller
// then closes the application). runningVersion is 100 x major + minor.
bool checkForUpdate(UpdateUi& ui, const UpdateConfig& config, int runningVersion);

} // namespace lumetra::update
