#pragma once
// Helpers shared by the calibration sources; not part of the layer's interface.

#include "Calibration.h"

#include <QSettings>
#include <QVariant>

#include <memory>

namespace lumetra::calibration::detail {

// A stored value as a number: anything that is not a finite number reads as 0.
double readNumber(const QVariant& value);

// The settings of a file that may be read (see FileCondition), or null: a private copy of
// the file, read afresh. `condition`
// receives Missing, Clean for any readable file (read-only for us or not; only writers
// need to tell them apart), or why the file is not read, with `detail` as for inspect.
std::shared_ptr<QSettings> openForRead(const QString& fileName, FileCondition* condition,
                                       QString* detail);

// Per channel: its fixed entry, then the wavelengths the file lists for it (a null file
// lists none).
std::array<QStringList, 3> wavelengthLists(QSettings* file);

// Column `channel` of the corner's colour matrix for a wavelength whose section the file
// holds: the user row, else the factory row, else the channel's default row.
void readMatrixColumn(QSettings& file, const QString& wavelength, int channel, int corner,
                      double column[3]);

// Sections and entries the settings layer reads as nested groups ("[635/x]", "650\a" in a
// list): the program can never select them, so they would be ignored without a word.
QStringList unreadableSections(const QSettings& file);

// "<name>.bak-<date>", with "-2", "-3", ... when that name is taken.
QString freeBackupName(const QString& fileName);

// The beam analysis's column of `wavelength` in `corner` as the file stores it (all three
// rows present), into column[0..2].
bool readAnalysisColumn(QSettings& file, const QString& wavelength, int corner, double column[3]);

} // namespace lumetra::calibration::detail
