#pragma once
// Helpers shared by the test executables: a private working directory per test and an
// answerer for modal boxes, so flows that show message boxes run unattended.

#include <QDir>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <QVariant>
#include <functional>

class QWidget;

namespace testsupport {

// Makes a fresh temporary directory the current directory for its lifetime.
class TempWorkDir {
public:
    TempWorkDir();
    ~TempWorkDir();
    TempWorkDir(const TempWorkDir&) = delete;
    TempWorkDir& operator=(const TempWorkDir&) = delete;

    QString path() const { return m_dir.path(); }
    QString filePath(const QString& name) const { return m_dir.filePath(name); }
    bool isValid() const { return m_dir.isValid(); }

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

// One modal widget that the answerer met: its class, window title and main text.
struct SeenModal {
    QString className;
    QString title;
    QString text;
};

// Watches for modal widgets and answers each one. The default answer presses the
// default (or first) button of a message box and rejects any other dialog; a queued
// handler, if any, is used instead for the next modal that appears.
class ModalAnswerer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(QWidget*)>;

    explicit ModalAnswerer(QObject* parent = nullptr);
    ~ModalAnswerer() override;

    // Queue a handler for the next modal widget (first in, first out).
    void enqueue(Handler handler);
    // Convenience handlers.
    static Handler pressButton(int standardButton); // a QMessageBox::StandardButton
    static Handler acceptDouble(double value);      // QInputDialog in DoubleInput mode
    static Handler acceptText(const QString& text); // QInputDialog in TextInput mode
    static Handler reject();

    QList<SeenModal> seen() const { return m_seen; }
    void clear() { m_seen.clear(); }
    int count() const { return static_cast<int>(m_seen.size()); }
    // Titles only, in the order the boxes appeared.
    QStringList titles() const;

private:
    void poll();

    QTimer m_timer;
    QList<Handler> m_queue;
    QList<SeenModal> m_seen;
};

// Whole text files, UTF-8: an unreadable file reads as empty; a write reports success.
QString readTextFile(const QString& path);
bool writeTextFile(const QString& path, const QByteArray& text);
// The log file the program writes today (in the current directory).
QString todaysLog();

// basini.ini as an earlier run would leave it: the given entries (key paths as the file
// names them) and, unless told otherwise, the notes of this version already seen.
void storeSettings(const QVariantMap& entries, bool notesSeen = true);
// One entry of basini.ini, invalid when absent.
QVariant storedSetting(const QString& key);

// Processes events until pred() is true or timeoutMs passed (times the environment's
// LUMETRA_TEST_TIME_SCALE, for sanitizer builds); returns pred().
bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 5000);

// Under the offscreen platform, one screen of width x height pixels (as on the bench PCs),
// described in a file in `dir`, which must outlive the application. Call before the
// QApplication exists; false when the file cannot be written.
bool useOffscreenScreen(const QTemporaryDir& dir, int width, int height);

// LUMETRA_TEST_TIME_SCALE (at least 1): how much slower this build runs, for the bounds a
// test puts on how long the program may take.
int timeScale();

// A run of this build's lumetra-measure (LUMETRA_BINARY_DIR): exit code -1 when it did not
// start or end within a minute (it is then killed), -2 when it crashed.
struct ToolRun {
    int exitCode = -1;
    QString out, err;
};
QString measureToolPath();
// `before` sets the process up before it starts (environment, limits); `during` runs once
// it has started and may signal it.
ToolRun runMeasureTool(const QStringList& args, const std::function<void(QProcess&)>& before = {},
                       const std::function<void(QProcess&)>& during = {});

} // namespace testsupport
