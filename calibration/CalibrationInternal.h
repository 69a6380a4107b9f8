#pragma once
// Helpers shared by the calibration sources; not part of the layer's interface.

#include "Calibration.h"

#include <QSettings>
#include <QVariant>

namespace lumetra::calibration::detail {

// A stored value as a number: anything that is not a finite number reads as 0.
double readNumber(const QVariant& value);

// Before a write: true when the file may be written; otherwise a warning is appended.
bool mayWrite(const QString& fileName, QSettings& settings, Notices& notices);
// After the writes: flushes and reports a failure as a warning.
bool flushWrite(const QString& fileName, QSettings& settings, Notices& notices);

} // namespace lumetra::calibration::detail
