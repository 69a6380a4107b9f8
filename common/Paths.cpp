#include "Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace lumetra::paths {

namespace {

Folders& activeFolders() {
    static Folders f;
    return f;
}

// A name inside `dir`, or the bare (relative) name when no folder is set.
QString inDir(const QString& dir, const QString& name) {
    return dir.isEmpty() ? name : QDir(dir).filePath(name);
}

} // namespace

void setActive(const Folders& folders) {
    activeFolders() = folders;
}

const Folders& active() {
    return activeFolders();
}

QString settingsFile() {
    return inDir(active().settingsDir, QStringLiteral("basini.ini"));
}

QString logsDir() {
    return inDir(active().dataDir, QStringLiteral("logs"));
}

QString recordingsDir() {
    return inDir(active().dataDir, QStringLiteral("recordings"));
}

QString simulatedHeadFile() {
    const QString& f = active().headFile;
    return f.isEmpty() ? QDir::current().filePath(QStringLiteral("simulated-head.ini")) : f;
}

QString notesFile() {
    return active().notesFile.isEmpty()
               ? QCoreApplication::applicationDirPath() + QStringLiteral("/VersionNotes.txt")
               : active().notesFile;
}

QString calibrationFileForReading(const QString& name) {
    const Folders& f = active();
    const QString own = inDir(f.dataDir, name);
    if (QFileInfo::exists(own))
        return own;
    for (const QString& dir : f.calibrationReadOnlyDirs) {
        const QString candidate = QDir(dir).filePath(name);
        if (QFileInfo(candidate).isFile())
            return candidate;
    }
    return own;
}

QString calibrationFileForWriting(const QString& name) {
    const Folders& f = active();
    const QString own = inDir(f.dataDir, name);
    if (QFileInfo::exists(own))
        return own;
    const QString source = calibrationFileForReading(name);
    if (source != own && QFile::copy(source, own)) {
        // The installation's copy may be read-only; ours must take the new keys.
        QFile::setPermissions(own, QFile::permissions(own) | QFile::ReadOwner | QFile::WriteOwner);
    }
    return own;
}

QString describe(const Folders& f) {
    const auto shown = [](const QString& dir) {
        return QDir::toNativeSeparators(
            QDir(dir.isEmpty() ? QDir::currentPath() : dir).absolutePath());
    };
    if (f.layout == Layout::Portable)
        return QStringLiteral("Folders: portable, beside the executable in ") + shown(f.dataDir);
    QString line = QStringLiteral("Folders: settings in ") + shown(f.settingsDir) +
                   QStringLiteral(", data in ") + shown(f.dataDir);
    if (!f.calibrationReadOnlyDirs.isEmpty())
        line += QStringLiteral(", calibration files also read from ") +
                f.calibrationReadOnlyDirs.join(QStringLiteral(", "));
    if (!f.headFile.isEmpty())
        line += QStringLiteral(", simulated head ") + f.headFile;
    return line;
}

} // namespace lumetra::paths
