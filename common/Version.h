#pragma once
// The program version: 104, shown as 1.04.

#include <QString>

namespace lumetra {

constexpr int kVersion = 104;
constexpr int kVersionMajor = kVersion / 100;
constexpr int kVersionMinor = kVersion % 100;

// "1.04": major, a point, the minor part with two digits.
inline QString versionText() {
    return QString::number(kVersionMajor) + QLatin1Char('.') +
           QStringLiteral("%1").arg(kVersionMinor, 2, 10, QLatin1Char('0'));
}

} // namespace lumetra
