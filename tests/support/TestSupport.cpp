#include "TestSupport.h"

#include "Log.h"
#include "Settings.h"
#include "Version.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDialog>
#include <QFile>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

namespace testsupport {

TempWorkDir::TempWorkDir() : m_previous(QDir::currentPath()) {
    if (m_dir.isValid())
        QDir::setCurrent(m_dir.path());
}

TempWorkDir::~TempWorkDir() {
    QDir::setCurrent(m_previous);
}

ModalAnswerer::ModalAnswerer(QObject* parent) : QObject(parent) {
    m_timer.setInterval(10);
    connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::poll);
    m_timer.start();
}

ModalAnswerer::~ModalAnswerer() = default;

void ModalAnswerer::enqueue(Handler handler) {
    m_queue.append(std::move(handler));
}

ModalAnswerer::Handler ModalAnswerer::pressButton(int standardButton) {
    return [standardButton](QWidget* w) {
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            if (QAbstractButton* b = box->button(QMessageBox::StandardButton(standardButton))) {
                b->click();
                return;
            }
        }
        if (auto* d = qobject_cast<QDialog*>(w))
            d->reject();
    };
}

ModalAnswerer::Handler ModalAnswerer::acceptDouble(double value) {
    return [value](QWidget* w) {
        if (auto* in = qobject_cast<QInputDialog*>(w)) {
            in->setDoubleValue(value);
            in->accept();
        } else if (auto* d = qobject_cast<QDialog*>(w)) {
            d->reject();
        }
    };
}

ModalAnswerer::Handler ModalAnswerer::acceptText(const QString& text) {
    return [text](QWidget* w) {
        if (auto* in = qobject_cast<QInputDialog*>(w)) {
            in->setTextValue(text);
            in->accept();
        } else if (auto* d = qobject_cast<QDialog*>(w)) {
            d->reject();
        }
    };
}

ModalAnswerer::Handler ModalAnswerer::reject() {
    return [](QWidget* w) {
        if (auto* d = qobject_cast<QDialog*>(w))
            d->reject();
        else
            w->close();
    };
}

QStringList ModalAnswerer::titles() const {
    QStringList out;
    for (const SeenModal& s : m_seen)
        out << s.title;
    return out;
}

void ModalAnswerer::poll() {
    QWidget* w = QApplication::activeModalWidget();
    if (!w || !w->isVisible())
        return;
    SeenModal seen;
    seen.className = QString::fromLatin1(w->metaObject()->className());
    seen.title = w->windowTitle();
    if (auto* box = qobject_cast<QMessageBox*>(w))
        seen.text = box->text();
    else if (auto* in = qobject_cast<QInputDialog*>(w))
        seen.text = in->labelText();
    m_seen.append(seen);

    Handler h;
    if (!m_queue.isEmpty()) {
        h = m_queue.takeFirst();
    } else {
        h = [](QWidget* x) {
            if (auto* box = qobject_cast<QMessageBox*>(x)) {
                QAbstractButton* b = box->defaultButton();
                if (!b && !box->buttons().isEmpty())
                    b = box->buttons().first();
                if (b) {
                    b->click();
                    return;
                }
            }
            if (auto* d = qobject_cast<QDialog*>(x))
                d->reject();
            else
                x->close();
        };
    }
    h(w);
}

QString readTextFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

bool writeTextFile(const QString& path, const QByteArray& text) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
}

void storeSettings(const QVariantMap& entries, bool notesSeen) {
    lumetra::settings::File s;
    for (auto it = entries.begin(); it != entries.end(); ++it)
        s.setEntry(it.key(), it.value());
    if (notesSeen)
        s.setValue(lumetra::settings::kNotesVersion, lumetra::kVersion);
}

QVariant storedSetting(const QString& key) {
    return lumetra::settings::File().entry(key);
}

QString todaysLog() {
    return readTextFile(lumetra::log::fileNameFor(QDateTime::currentDateTime()));
}

int timeScale() {
    return qMax(1, qEnvironmentVariableIntValue("LUMETRA_TEST_TIME_SCALE"));
}

bool useOffscreenScreen(const QTemporaryDir& dir, int width, int height) {
    const QString path = dir.filePath(QStringLiteral("screens.json"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(QStringLiteral(R"({"screens": [{"name": "bench", "x": 0, "y": 0, "width": %1,
                    "height": %2, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})")
                .arg(width)
                .arg(height)
                .toUtf8());
    f.close();
    if (qEnvironmentVariable("QT_QPA_PLATFORM").startsWith(QLatin1String("offscreen")))
        qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + path).toLocal8Bit());
    return true;
}

bool waitUntil(const std::function<bool()>& pred, int timeoutMs) {
    // Sanitizer builds run several times slower: their CI pass stretches every wait.
    QDeadlineTimer deadline(qint64(timeoutMs) * timeScale());
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

QString measureToolPath() {
    return qEnvironmentVariable("LUMETRA_BINARY_DIR") + QStringLiteral("/lumetra-measure");
}

ToolRun runMeasureTool(const QStringList& args, const std::function<void(QProcess&)>& before,
                       const std::function<void(QProcess&)>& during) {
    QProcess p;
    if (before)
        before(p);
    p.start(measureToolPath(), args);
    ToolRun r;
    if (!p.waitForStarted(10000))
        return r;
    if (during)
        during(p);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

} // namespace testsupport
