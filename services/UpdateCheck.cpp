#include "UpdateCheck.h"

#include "Log.h"
#include "Settings.h"
#include "VersionFile.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QProcess>
#include <QSaveFile>
#include <QTimer>
#include <memory>

namespace lumetra::update {

namespace {

const char* const kInstallerFolder = "sw_fw";

// Release notes longer than this are shown in the question box by their first lines only.
constexpr int kQuestionLines = 20;
constexpr int kQuestionLineChars = 100;
constexpr int kQuestionChars = 2000;

struct FetchResult {
    int status = 0;
    qint64 announcedLength = -1; // Content-Length, -1 when absent
    qint64 received = 0;
    bool networkError = false;
    bool timedOut = false;
    bool canceled = false;
    bool oversized = false;  // more than the limit announced or sent
    bool sinkFailed = false; // the receiver of the body refused it (a failed write)
    QString errorText;
};

// Shared between a running fetch and the cancel function handed to the UI, which may
// outlive it.
struct FetchControl {
    QPointer<QEventLoop> loop;
    bool canceled = false;
};

enum class TimeoutKind { Total, Stall };

// Receives the body piece by piece; false stops the transfer.
using BodySink = std::function<bool(const QByteArray&)>;

FetchResult fetch(const QUrl& url, int timeoutMs, TimeoutKind kind, qint64 limit,
                  const std::shared_ptr<FetchControl>& control,
                  const std::function<void(qint64, qint64)>& progress, const BodySink& sink) {
    FetchResult result;
    QEventLoop loop;
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    // The body is stored and its length compared with Content-Length: no transparent
    // decompression, which would make the two differ.
    request.setRawHeader("Accept-Encoding", "identity");
    QNetworkReply* reply = manager.get(request);
    // Qt keeps no more than this unread: a fast server waits for the disk, not for memory.
    reply->setReadBufferSize(1024 * 1024);

    QTimer timer;
    timer.setSingleShot(true);
    timer.setInterval(timeoutMs);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        result.timedOut = true;
        loop.quit();
    });

    bool stopped = false; // by us: error status, size limit or a refusing sink
    const auto readHeaders = [&] {
        result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid())
            result.announcedLength = length.toLongLong();
        if (result.announcedLength > limit)
            result.oversized = true;
    };
    const auto drain = [&] {
        if (stopped)
            return;
        readHeaders();
        if (result.status >= 400 || result.oversized) {
            stopped = true;
            return;
        }
        while (reply->bytesAvailable() > 0) {
            const QByteArray chunk = reply->read(64 * 1024);
            if (result.received + chunk.size() > limit) {
                result.oversized = true;
                stopped = true;
                return;
            }
            result.received += chunk.size();
            if (!sink(chunk)) {
                result.sinkFailed = true;
                stopped = true;
                return;
            }
        }
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] {
        readHeaders();
        if (result.oversized || result.status >= 400) {
            stopped = true;
            loop.quit();
        }
    });
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        drain();
        if (stopped)
            loop.quit();
        else if (kind == TimeoutKind::Stall)
            timer.start();
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, &loop,
                     [&](qint64 received, qint64 total) {
                         if (kind == TimeoutKind::Stall)
                             timer.start();
                         if (progress && !stopped)
                             progress(received, total);
                     });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);

    if (control)
        control->loop = &loop;
    timer.start();
    if (!reply->isFinished() && !(control && control->canceled))
        loop.exec();
    timer.stop();
    if (control)
        control->loop = nullptr;

    result.canceled = control && control->canceled;
    QObject::disconnect(reply, nullptr, &loop, nullptr);
    const bool finished = reply->isFinished();
    if (finished && !result.canceled)
        drain();
    readHeaders();
    if (finished && reply->error() != QNetworkReply::NoError && !stopped) {
        result.networkError = true;
        result.errorText = reply->errorString();
    } else if (!finished && !stopped && !result.timedOut && !result.canceled) {
        // The loop ended for no reason of ours (e.g. the application is quitting).
        result.networkError = true;
        result.errorText = QStringLiteral("interrupted");
    }
    if (!finished)
        reply->abort();
    delete reply;
    return result;
}

// Why a request did not deliver a usable body; empty when it did.
QString failureReason(const FetchResult& r, int timeoutMs, qint64 limit) {
    if (r.timedOut)
        return QStringLiteral("no answer within %1 s").arg(timeoutMs / 1000.0);
    if (r.oversized)
        return QStringLiteral("reply larger than %1 bytes").arg(limit);
    if (r.status != 200 && r.status != 0)
        return QStringLiteral("HTTP status %1").arg(r.status);
    if (r.networkError)
        return r.errorText;
    if (r.status != 200)
        return QStringLiteral("no HTTP reply");
    return QString();
}

QString stripTrailingSlashes(QString path) {
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

QUrl resourceUrl(const QUrl& server, const QString& fileName) {
    QUrl url = server;
    url.setPath(stripTrailingSlashes(server.path()) + updateServerPath() + fileName);
    return url;
}

void cannotConnect(const QString& reason) {
    writeLog(QStringLiteral("Cannot connect to Website"));
    writeLog(QStringLiteral("Reason: ") + reason);
}

void cannotDownload(const QString& reason) {
    writeLog(QStringLiteral("Cannot download setup program: ") + reason);
}

// The digest "<installer>.sha256" announces: empty when the server offers none; an
// error text when it offers one that cannot be had or read.
struct ExpectedDigest {
    QByteArray sha256; // raw 32 bytes
    QString error;
};

ExpectedDigest fetchExpectedDigest(const QUrl& url, const UpdateConfig& config,
                                   const std::shared_ptr<FetchControl>& control) {
    ExpectedDigest expected;
    QByteArray body;
    const FetchResult r =
        fetch(url, config.versionFileTimeoutMs, TimeoutKind::Total, kChecksumFileLimit, control,
              nullptr, [&body](const QByteArray& chunk) {
                  body += chunk;
                  return true;
              });
    if (r.canceled)
        return expected;
    if (r.status == 404 || r.status == 410)
        return expected; // not offered
    const QString why = failureReason(r, config.versionFileTimeoutMs, kChecksumFileLimit);
    if (!why.isEmpty()) {
        expected.error = QStringLiteral("checksum file: ") + why;
        return expected;
    }
    // sha256sum's format: the hex digest first, then the file name.
    const QByteArray hex = body.simplified().split(' ').value(0);
    const QByteArray raw = QByteArray::fromHex(hex);
    if (hex.size() != 64 || raw.size() != 32 || raw.toHex() != hex.toLower()) {
        expected.error = QStringLiteral("checksum file unreadable");
        return expected;
    }
    expected.sha256 = raw;
    return expected;
}

// Gives the verified download its name, then starts it where installers are started, or
// tells where it lies.
bool storeAndHandOver(QSaveFile& file, UpdateUi& ui, const UpdateConfig& config,
                      const QString& relativePath) {
    // commit() would rename even after a failed final flush (disk full): checked first.
    if (!file.flush() || !file.commit()) {
        qDebug() << "Cannot write file";
        return false;
    }
    const QString absolutePath = QDir::currentPath() + QLatin1Char('/') + relativePath;
    if (!config.startInstaller) {
        writeLog(QStringLiteral("Setup program saved at following path: ") + absolutePath);
        ui.installerSaved(absolutePath);
        return false;
    }
    if (config.startInstaller(absolutePath))
        return true;
    const QString message =
        QStringLiteral("Setup program cannot be executed at following path: ") + absolutePath;
    ui.setupCannotStart(QStringLiteral("Setup program cannot be executed"), message);
    writeLog(message);
    return false;
}

} // namespace

UpdateUi::~UpdateUi() = default;

bool CallbackUpdateUi::confirmUpdate(const QString& title, const QString& text,
                                     const QString& details) {
    return confirm ? confirm(title, text, details) : false;
}

void CallbackUpdateUi::downloadStarted(std::function<void()> cancel) {
    if (started)
        started(std::move(cancel));
}

void CallbackUpdateUi::downloadProgress(qint64 received, qint64 total) {
    if (progress)
        progress(received, total);
}

void CallbackUpdateUi::downloadFinished() {
    if (finished)
        finished();
}

void CallbackUpdateUi::setupCannotStart(const QString& title, const QString& text) {
    if (cannotStart)
        cannotStart(title, text);
}

void CallbackUpdateUi::installerSaved(const QString& absolutePath) {
    if (saved)
        saved(absolutePath);
}

QString defaultUpdateServer() {
    return QStringLiteral("https://www.varnelle.fr");
}

QString updateServerPath() {
    return QStringLiteral("/Telechargements/KVT/");
}

QUrl parseServerAddress(const QString& text) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || url.hasQuery() || url.hasFragment())
        return QUrl();
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return QUrl();
    return url;
}

UpdateConfig UpdateConfig::fromSettings() {
    UpdateConfig config;
    config.server = QUrl(defaultUpdateServer());
#ifdef Q_OS_WIN
    config.startInstaller = [](const QString& path) {
        return QProcess::startDetached(path, QStringList());
    };
#endif
    // Test and lab machines point the default elsewhere (e.g. a closed loopback port), so
    // that a window started there never reaches out to the maker's server.
    const QString override = qEnvironmentVariable("LUMETRA_UPDATE_SERVER");
    if (!override.isEmpty()) {
        const QUrl url = parseServerAddress(override);
        if (url.isValid())
            config.server = url;
    }
    const QString configured = lumetra::settings::File().value(lumetra::settings::kUpdateServer);
    if (!configured.trimmed().isEmpty()) {
        const QUrl url = parseServerAddress(configured);
        if (url.isValid())
            config.server = url;
        else
            qDebug().noquote() << "UpdateServer ignored, not an http(s) address:" << configured;
    }
    return config;
}

QUrl versionFileUrl(const QUrl& server) {
    return resourceUrl(server, QStringLiteral("VersionNotes.txt"));
}

QString installerFileName(const QString& versionText) {
    return QStringLiteral("KVT_v") + versionText + QStringLiteral("_setup.exe");
}

QUrl installerUrl(const QUrl& server, const QString& versionText) {
    return resourceUrl(server, installerFileName(versionText));
}

QuestionText updateQuestion(const QString& versionText, const QString& notes) {
    const QString head = QStringLiteral("Version ") + versionText +
                         QStringLiteral(" is available.\n\nDo you want to update and restart "
                                        "now?\n\nContent of this new version:\n");
    const QStringList lines = notes.split(QLatin1Char('\n'));
    bool fits = notes.size() <= kQuestionChars && lines.size() <= kQuestionLines;
    for (const QString& line : lines)
        fits = fits && line.size() <= kQuestionLineChars;
    if (fits)
        return {head + notes, QString()};

    QString shown;
    int count = 0;
    for (const QString& line : lines) {
        if (count == kQuestionLines || shown.size() >= kQuestionChars)
            break;
        shown += line.size() > kQuestionLineChars
                     ? line.left(kQuestionLineChars) + QStringLiteral("...")
                     : line;
        shown += QLatin1Char('\n');
        ++count;
    }
    return {head + shown + QStringLiteral("...\n(all the notes are under Show Details)"), notes};
}

bool checkForUpdate(UpdateUi& ui, const UpdateConfig& config, int runningVersion) {
    // Version check. A silent server, an error status or a broken transfer all count as
    // an unreachable server; the log says which it was.
    QByteArray body;
    const FetchResult versionFile =
        fetch(versionFileUrl(config.server), config.versionFileTimeoutMs, TimeoutKind::Total,
              kVersionFileLimit, nullptr, nullptr, [&body](const QByteArray& chunk) {
                  body += chunk;
                  return true;
              });
    const QString why = failureReason(versionFile, config.versionFileTimeoutMs, kVersionFileLimit);
    if (!why.isEmpty()) {
        cannotConnect(why);
        return false;
    }
    const VersionFileResult parsed = parseVersionFile(body, runningVersion);
    switch (parsed.outcome) {
    case VersionFileOutcome::NoMarker:
        cannotConnect(body.isEmpty() ? QStringLiteral("empty reply")
                                     : QStringLiteral("no version marker in the reply"));
        return false;
    case VersionFileOutcome::CannotParse:
        writeLog(QStringLiteral("Cannot parse Version file"));
        return false;
    case VersionFileOutcome::UpToDate:
        qDebug() << "Software up to date";
        return false;
    case VersionFileOutcome::Older:
        writeLog(QStringLiteral("Living in the future?"));
        return false;
    case VersionFileOutcome::Newer:
        break;
    }

    const QString version = parsed.versionText;
    writeLog(QStringLiteral("Update Requested - Actual Version = ") +
             QString::number(runningVersion));
    const QuestionText question = updateQuestion(version, parsed.notes);
    if (!ui.confirmUpdate(QStringLiteral("New version available"), question.text, question.details))
        return false;

    // Download: streamed into a temporary file beside the installer's name, which it
    // takes only once complete (announced length fully received) and verified.
    const QString relativePath =
        QString::fromLatin1(kInstallerFolder) + QLatin1Char('/') + installerFileName(version);
    QDir().mkpath(QString::fromLatin1(kInstallerFolder));
    QSaveFile file(relativePath);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly)) {
        qDebug() << "Cannot write file";
        return false;
    }
    auto control = std::make_shared<FetchControl>();
    ui.downloadStarted([control] {
        control->canceled = true;
        if (control->loop)
            control->loop->quit();
    });
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const QUrl url = installerUrl(config.server, version);
    const FetchResult installer = fetch(
        url, config.installerStallTimeoutMs, TimeoutKind::Stall, config.installerLimit, control,
        [&ui](qint64 received, qint64 total) { ui.downloadProgress(received, total); },
        [&](const QByteArray& chunk) {
            hash.addData(chunk);
            return file.write(chunk) == chunk.size();
        });
    ExpectedDigest expected;
    const bool downloaded = !installer.canceled && !installer.sinkFailed &&
                            failureReason(installer, 0, 0).isEmpty() && installer.received > 0;
    if (downloaded)
        expected =
            fetchExpectedDigest(QUrl(url.toString() + QStringLiteral(".sha256")), config, control);
    ui.downloadFinished();
    // On every refusal below, the temporary file goes with `file` and nothing is stored.
    if (installer.canceled || control->canceled)
        return false;
    if (installer.sinkFailed) {
        qDebug() << "Cannot write file";
        return false;
    }
    const QString failed =
        failureReason(installer, config.installerStallTimeoutMs, config.installerLimit);
    if (!failed.isEmpty()) {
        cannotDownload(installer.timedOut ? QStringLiteral("no progress, timed out") : failed);
        return false;
    }
    if (installer.received == 0)
        return false;
    if (installer.announcedLength < 0) {
        cannotDownload(QStringLiteral("the server did not announce the size, so a complete "
                                      "file cannot be told from a cut one"));
        return false;
    }
    if (installer.received != installer.announcedLength) {
        cannotDownload(QString::number(installer.received) + QStringLiteral(" of ") +
                       QString::number(installer.announcedLength) + QStringLiteral(" bytes"));
        return false;
    }
    if (!expected.error.isEmpty()) {
        cannotDownload(expected.error);
        return false;
    }
    if (!expected.sha256.isEmpty() && expected.sha256 != hash.result()) {
        cannotDownload(QStringLiteral("it does not match ") + installerFileName(version) +
                       QStringLiteral(".sha256"));
        return false;
    }
    return storeAndHandOver(file, ui, config, relativePath);
}

} // namespace lumetra::update
