// Feeds arbitrary argument lists (NUL-separated UTF-8) to lumetra-measure's argument
// checks: they must end in a verdict, and a refusal is one non-empty line.

#include "MeasureCli.h"

#include <QStringList>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QStringList args;
    for (const QByteArray& part : bytes.split('\0'))
        args.append(QString::fromUtf8(part));
    const QString error = lumetra::tool::argumentError(args);
    if (!error.isEmpty() && error.simplified().isEmpty())
        std::abort();
    // Without a frame there is nothing to measure: that is always refused.
    bool anyFrame = false;
    for (const QString& a : args)
        anyFrame = anyFrame || !a.startsWith(QLatin1String("--"));
    if (!anyFrame && !args.contains(QStringLiteral("--")) && error.isEmpty())
        std::abort();
    return 0;
}
