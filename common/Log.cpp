#include "Log.h"

#include "Paths.h"
#include "Version.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTextStream>

namespace {

QMutex& logMutex() {
    static QMutex m;
    return m;
}

std::function<QDateTime()>& logClock() {
    static std::function<QDateTime()> c;
    return c;
}

QDateTime now() {
    auto& c = logClock();
    return c ? c() : QDateTime::currentDateTime();
}

} // namespace

namespace lumetra::log {

QString fileNameFor(const QDateTime& localTime) {
    return lumetra::paths::logsDir() + QLatin1Char('/') +
           localTime.toString(QStringLiteral("yyMM")) + QStringLiteral("_kvt") +
           QString::number(lumetra::kVersion) + QStringLiteral(".log");
}

void setClock(std::function<QDateTime()> c) {
    QMutexLocker lock(&logMutex());
    logClock() = std::move(c);
}

} // namespace lumetra::log

void writeLog(const QString& message) {
    // One lock around the whole call: two threads never interleave inside a line, and
    // the folder check cannot race the file creation.
    QMutexLocker lock(&logMutex());
    const QDir here;
    const QString folder = lumetra::paths::logsDir();
    if (!here.exists(folder))
        here.mkpath(folder);

    // Date and time come from the clock separately, as the log format has always had it.
    const QString date = now().toString(QStringLiteral("yy/MM/dd"));
    const QString time = now().toString(QStringLiteral("hh:mm:ss.zzz"));
    QFile file(lumetra::log::fileNameFor(now()));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        qDebug() << "Can't open log file";
        return;
    }
    const QString line =
        date + QLatin1Char(' ') + time + QStringLiteral(" > ") + message + QLatin1Char('\n');
    QTextStream out(&file);
    out << line;
    out.flush();
    qDebug().noquote() << line.chopped(1);
    file.close();
}
