#pragma once
// Where the program's files lie. Two layouts:
//
// - portable: everything beside the executable, which start-up makes the working
//   directory; every name below is then the plain relative name ("basini.ini",
//   "logs/...", "_calibration_<serial>.kvtcal", "simulated-head.ini"), exactly as a
//   build folder has always had it;
// - user folders: settings in the XDG config folder, logs, calibration files and
//   recordings in the XDG data folder (the working directory then), calibration files
//   also read from read-only folders of the installation.
//
// The active layout is set once at start-up, before any other thread runs, and only read
// afterwards (from any thread). Nothing set means portable: tests that work in a
// temporary working directory see the described relative names.

#include <QString>
#include <QStringList>

namespace lumetra::paths {

enum class Layout { Portable, UserFolders };

struct Folders {
    Layout layout = Layout::Portable;
    // Empty means the working directory (relative names).
    QString settingsDir;
    QString dataDir;
    // Searched, in order, after dataDir when a calibration file is read; none in the
    // portable layout, whose calibration files lie in the working directory only.
    QStringList calibrationReadOnlyDirs;
    // The simulated head's file; empty means "simulated-head.ini" in the working directory.
    QString headFile;
    // The release notes; empty means "VersionNotes.txt" beside the executable.
    QString notesFile;
};

void setActive(const Folders& folders);
const Folders& active();

// basini.ini.
QString settingsFile();
// The monthly logs' folder.
QString logsDir();
// Where recordings go (created by whoever writes the first one).
QString recordingsDir();
// simulated-head.ini as the camera layer should read it.
QString simulatedHeadFile();
// VersionNotes.txt as the notes dialog should read it.
QString notesFile();

// A calibration file by its bare name (e.g. "_calibration_123.kvtcal"): the first one that
// exists of the data folder and the read-only folders; the data folder's name when none.
QString calibrationFileForReading(const QString& name);
// The file a write must go to: always in the data folder. When only a read-only copy
// exists, it is copied there first (owner-writable), so that keys written later join the
// factory data instead of hiding it behind a file that holds nothing else.
QString calibrationFileForWriting(const QString& name);

// One line for the log: which layout and which folders are in use.
QString describe(const Folders& folders);

} // namespace lumetra::paths
