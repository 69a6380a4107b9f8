// Feeds arbitrary bytes to lumetra-measure as a frame file: the run must end with exit 0
// and finite results, or exit 2 and one line; never an infinity, a NaN or a crash.

#include "MeasureCli.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int argc = 1;
    static char name[] = "fuzz_tool_frame";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv); // image plugins are found through it
    static QTemporaryDir dir;
    static const QString frame = dir.filePath(QStringLiteral("frame"));

    QFile file(frame);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
        std::abort();
    file.close();

    const lumetra::tool::RunOutput r =
        lumetra::tool::runMeasure({QStringLiteral("--format"), QStringLiteral("json"),
                                   QStringLiteral("--depth"), QStringLiteral("1"), frame});
    if (r.exitCode == 0) {
        if (!r.err.isEmpty() || r.out.contains(QLatin1String("inf")) ||
            r.out.contains(QLatin1String("nan"), Qt::CaseInsensitive))
            std::abort();
    } else if (r.exitCode != 2 || !r.out.isEmpty() || r.err.simplified().isEmpty()) {
        std::abort();
    }
    return 0;
}
