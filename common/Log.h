#pragma once
// The monthly log file logs/yyMM_kvt104.log, beside the executable or in the user's data
// folder (Paths.h). Safe to call from any thread; a line is written whole or not at all,
// and a failure never reaches the caller (only the debug output hears of it).

#include <QDateTime>
#include <QString>
#include <functional>

void writeLog(const QString& message);

namespace lumetra::log {

// The file name writeLog would use for the given local date-time.
QString fileNameFor(const QDateTime& localTime);

// Tests replace the clock to cross a month boundary; pass an empty function to restore.
void setClock(std::function<QDateTime()> clock);

} // namespace lumetra::log
