#pragma once
// Helpers shared by the calibration sources; not part of the layer's interface.

#include "Calibration.h"

#include <QSettings>
#include <QVariant>

#include <memory>

namespace lumetra::calibration::detail {

// A stored value as a number: anything that is not a finite number reads as 0.
double readNumber(const QVariant& value);

// Opens the file for a write, or appends a warning and returns null when it must not be
// written: unreadable or damaged (it would be rewritten with less than it holds), or not
// writable. A leading UTF-8 byte-order mark is removed first, since Qt's ini writer
// reports a format error on syncing such a file.
std::unique_ptr<QSettings> openForWrite(const QString& fileName, Notices& notices);
// After the writes: flushes and reports a failure as a warning.
bool flushWrite(const QString& fileName, QSettings& settings, Notices& notices);

} // namespace lumetra::calibration::detail
