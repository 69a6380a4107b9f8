#include "UpdateCheck.h"

#include "Log.h"
#include "VersionFile.h"

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
#include <QSettings>
#include <QTimer>
#include <memory>

namespace lumetra::update {

namespace {

// A version file is a few kilobytes; never hold more than this of whatever answers.
constexpr qint64 kVersionFileLimit = 1024 * 1024;

const char* const kInstallerFolder = "sw_fw";

struct FetchResult {
    QByteArray body;
    int status = 0;
    qint64 announcedLength = -1; // Content-Length, -1 when absent
    bool networkError = false;
    bool timedOut = false;
    bool canceled = false;
    QString errorText;
};

// Shared between a running fetch and the cancel function handed to the UI, which may
// outlive it.
struct FetchControl {
    QPointer<QEventLoop> loop;
    bool canceled = false;
};

enum class TimeoutKind { Total, Stall };

FetchResult fetch(const QUrl& url, int timeoutMs, TimeoutKind kind, qint64 limit,
                  const std::shared_ptr<FetchControl>& control,
                  const std::function<void(qint64, qint64)>& progress) {
    FetchResult result;
    QEventLoop loop;
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    // The body is stored and its length compared with Content-Length: no transparent
    // decompression, which would make the two differ.
    request.setRawHeader("Accept-Encoding", "identity");
    QNetworkReply* reply = manager.get(request);

    QTimer timer;
    timer.setSingleShot(true);
    timer.setInterval(timeoutMs);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        result.timedOut = true;
        loop.quit();
    });

    bool limitReached = false;
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        if (limit >= 0) {
            const qint64 room = limit - result.body.size();
            if (room > 0)
                result.body.append(reply->read(room));
            if (result.body.size() >= limit) {
                limitReached = true;
                loop.quit();
            }
        } else {
            result.body.append(reply->readAll());
        }
        if (kind == TimeoutKind::Stall)
            timer.start();
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, &loop,
                     [&](qint64 received, qint64 total) {
                         if (kind == TimeoutKind::Stall)
                             timer.start();
                         if (progress)
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
    if (finished && !limitReached) {
        if (limit >= 0) {
            const qint64 room = limit - result.body.size();
            if (room > 0)
                result.body.append(reply->read(room));
        } else {
            result.body.append(reply->readAll());
        }
    }
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid())
        result.announcedLength = length.toLongLong();
    if (finished && reply->error() != QNetworkReply::NoError) {
        result.networkError = true;
        result.errorText = reply->errorString();
    } else if (!finished && !limitReached && !result.timedOut && !result.canceled) {
        // The loop ended for no reason of ours (e.g. the application is quitting).
        result.networkError = true;
        result.errorText = QStringLiteral("interrupted");
    }
    if (!finished)
        reply->abort();
    delete reply;
    return result;
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

bool storeInstaller(const QString& relativePath, const QByteArray& data) {
    const QDir here;
    if (!here.exists(QString::fromLatin1(kInstallerFolder)))
        here.mkpath(QString::fromLatin1(kInstallerFolder));
    // Written beside and renamed into place, so a failed write never leaves a partial
    // installer under the name that gets started.
    QSaveFile file(relativePath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit())
        return false;
#ifndef Q_OS_WIN
    QFile::setPermissions(relativePath, QFile::permissions(relativePath) | QFileDevice::ExeOwner);
#endif
    return true;
}

} // namespace

UpdateUi::~UpdateUi() = default;

bool CallbackUpdateUi::confirmUpdate(const QString& title, const QString& text) {
    return confirm ? confirm(title, text) : false;
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
    // Test and lab machines point the default elsewhere (e.g. a closed loopback port), so
    // that a window started there never reaches out to the maker's server.
    const QString override = qEnvironmentVariable("LUMETRA_UPDATE_SERVER");
    if (!override.isEmpty()) {
        const QUrl url = parseServerAddress(override);
        if (url.isValid())
            config.server = url;
    }
    QSettings settings(QStringLiteral("basini.ini"), QSettings::IniFormat);
    const QString configured = settings.value(QStringLiteral("UpdateServer")).toString();
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

bool checkForUpdate(UpdateUi& ui, const UpdateConfig& config, int runningVersion) {
    // Version check. A silent server, an error status or a broken transfer all count as
    // an unreachable server.
    const FetchResult versionFile =
        fetch(versionFileUrl(config.server), config.versionFileTimeoutMs, TimeoutKind::Total,
              kVersionFileLimit, nullptr, nullptr);
    if (versionFile.timedOut || versionFile.networkError || versionFile.status != 200) {
        writeLog(QStringLiteral("Cannot connect to Website"));
        return false;
    }
    const VersionFileResult parsed = parseVersionFile(versionFile.body, runningVersion);
    switch (parsed.outcome) {
    case VersionFileOutcome::NoMarker:
        writeLog(QStringLiteral("Cannot connect to Website"));
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
    const QString question = QStringLiteral("Version ") + version +
                             QStringLiteral(" is available.\n\nDo you want to update and "
                                            "restart now?\n\nContent of this new version:\n") +
                             parsed.notes;
    if (!ui.confirmUpdate(QStringLiteral("New version available"), question))
        return false;

    // Download.
    auto control = std::make_shared<FetchControl>();
    ui.downloadStarted([control] {
        control->canceled = true;
        if (control->loop)
            control->loop->quit();
    });
    const FetchResult installer =
        fetch(installerUrl(config.server, version), config.installerStallTimeoutMs,
              TimeoutKind::Stall, -1, control,
              [&ui](qint64 received, qint64 total) { ui.downloadProgress(received, total); });
    ui.downloadFinished();
    if (installer.canceled)
        return false;
    if (installer.timedOut || installer.networkError || installer.status != 200) {
        // Only a complete installer is ever stored and started.
        QString why = installer.timedOut ? QStringLiteral("no progress, timed out")
                      : installer.networkError
                          ? installer.errorText
                          : QStringLiteral("HTTP status ") + QString::number(installer.status);
        writeLog(QStringLiteral("Cannot download setup program: ") + why);
        return false;
    }
    if (installer.body.isEmpty())
        return false;
    if (installer.announcedLength >= 0 && installer.body.size() != installer.announcedLength) {
        writeLog(QStringLiteral("Cannot download setup program: ") +
                 QString::number(installer.body.size()) + QStringLiteral(" of ") +
                 QString::number(installer.announcedLength) + QStringLiteral(" bytes"));
        return false;
    }

    const QString relativePath =
        QString::fromLatin1(kInstallerFolder) + QLatin1Char('/') + installerFileName(version);
    if (!storeInstaller(relativePath, installer.body)) {
        qDebug() << "Cannot write file";
        return false;
    }

    const QString absolutePath = QDir::currentPath() + QLatin1Char('/') + relativePath;
    if (QProcess::startDetached(absolutePath, QStringList()))
        return true;

    const QString message =
        QStringLiteral("Setup program cannot be executed at following path: ") + absolutePath;
    ui.setupCannotStart(QStringLiteral("Setup program cannot be executed"), message);
    writeLog(message);
    return false;
}

} // namespace lumetra::update
