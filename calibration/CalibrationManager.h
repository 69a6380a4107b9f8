#pragma once
// What the calibration manager shows of a camera's calibration file and the changes it
// makes to it as a whole: export (a copy elsewhere), import (the file replaced by a chosen
// one) and resetting one corner of one wavelength to the factory values. QtCore only.
//
// Every change keeps the file as it was under "<name>.bak-<date>" and writes the new one
// through a temporary file and a rename: the camera's file is always either the old one
// or the complete new one. Notices come back as in Calibration.h.

#include "Calibration.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace lumetra::calibration {

// One wavelength in one corner, as the file stores it (nothing: the key is missing).
struct CornerRow {
    QString wavelength;
    int corner = 0;
    bool calibrated = false; // the file has a section for the wavelength
    // Camera rows 0..2 (red, green, blue) of the factory and the user-measured column.
    std::array<std::optional<double>, 3> factory;
    std::array<std::optional<double>, 3> user;
    std::optional<double> powerFactor;    // "Power"
    std::optional<double> analysisFactor; // the beam analysis's factor
    bool analysisColumn = false;          // the beam analysis's own column is stored
    QList<int> listedIn;                  // channels whose list offers the wavelength

    // Something that a reset to the factory values would remove.
    bool hasUserValues() const;
};

struct CalibrationOverview {
    FileCondition condition = FileCondition::Missing;
    QString detail; // why the file is not read, as for inspectCalibrationFile
    // Every wavelength the file calibrates or lists (and the fixed ones), ordered by its
    // number, four rows each (TL, TR, BL, BR).
    QList<CornerRow> rows;
    std::array<QStringList, 3> lists; // as readWavelengthLists
};

CalibrationOverview readCalibrationOverview(const QString& fileName);

// Why `candidate` cannot be a calibration file, or empty: it must be readable and hold
// keys, every section name must be usable, every stored power factor must be a positive
// number, and in every corner the colour matrix of every choice of offered wavelengths
// must be invertible.
QString calibrationFileFault(const QString& candidate);

struct FileChange {
    bool done = false;
    QString backupName; // the previous file, when there was one
    Notices notices;    // a warning when refused or failed, a log line when done
};

// Copies the file byte for byte to `destination`.
FileChange exportCalibration(const QString& fileName, const QString& destination);

// Replaces `fileName` with a byte-for-byte copy of `candidate` once the copy has passed
// calibrationFileFault; nothing changes otherwise.
FileChange importCalibration(const QString& fileName, const QString& candidate);

// Removes the user column, the power factor and the beam analysis's column and factor of
// one wavelength in one corner, so the factory column and the default factor apply again
// (the other corners keep the factor they had, also where it was the top-left one's).
// As writeCalibration (a file read-only for us needs asNewFile); the previous file is
// kept as backupName in any case.
WriteResult resetCornerToFactory(const QString& fileName, const QString& wavelength, int corner,
                                 bool asNewFile = false);

// The name the next backup of the file takes.
QString nextBackupName(const QString& fileName);

} // namespace lumetra::calibration
