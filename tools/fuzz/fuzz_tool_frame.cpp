// Feeds arbitrary bytes to lumetra-measure's frame reading as a file, then measures what
// it accepts the way the tool does: a refusal is one line, and a measured frame never
// shows an infinity or a NaN.

#include "FramePipeline.h"
#include "ToolFiles.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <cstdint>
#include <cstdlib>

using namespace lumetra::measure;

namespace {

bool finiteText(const QString& s) {
    return !s.contains(QLatin1String("inf")) &&
           !s.contains(QLatin1String("nan"), Qt::CaseInsensitive);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int argc = 1;
    static char name[] = "fuzz_tool_frame";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv); // image plugins are found through it
    static QTemporaryDir dir;
    static const QString path = dir.filePath(QStringLiteral("frame"));
    static FramePipeline pipeline; // its stabiliser ring is large: made once

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
        std::abort();
    file.close();

    QString error;
    const QImage frame = lumetra::tool::readFrameFile(path, &error);
    if (frame.isNull()) {
        if (error.simplified().isEmpty() || error.contains(QLatin1Char('\n')))
            std::abort();
        return 0;
    }
    if (frame.width() <= 10 || frame.height() <= 10)
        return 0; // the tool refuses these before measuring
    FrameInput in;
    in.crop =
        frame
            .copy(0, 0, std::min(frame.width(), kMaxRoiSide), std::min(frame.height(), kMaxRoiSide))
            .convertToFormat(QImage::Format_RGB888);
    in.stabDepth = 1;
    in.stabCount = 1;
    in.corner = Corner::BR;
    in.unmix = {1.05, -0.2, 0.02, -0.08, 1.1, -0.3, 0.0, -0.07, 1.02};
    const FrameResult r = pipeline.process(in);
    if (r.power)
        for (double p : *r.power)
            if (!std::isfinite(p))
                std::abort();
    for (int i = 0; i < kResultTextCount; ++i)
        if (!finiteText(r.texts.text(ResultText(i))))
            std::abort();
    return 0;
}
