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

// The beam analysis's column of `wavelength` in `corner` as the file stores it (all three
// rows present), into column[0..2].
bool readAnalysisColumn(QSettings& file, const QString& wavelength, int corner, double column[3]);

} // namespace lumetra::calibration::detail
