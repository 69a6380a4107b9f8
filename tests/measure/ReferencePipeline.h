#pragma once
// The measurement written the plain way, step by step: per-pixel list histories, pixel
// reads through QColor, column-by-column scans. It is the yardstick for the fast pipeline
// in the property tests and the benchmark, so it shares no algorithm code with it (only the
// input and result types).

#include "FramePipeline.h"

#include <QList>
#include <QPoint>
#include <memory>
#include <vector>

namespace reference {

using lumetra::measure::FrameInput;
using lumetra::measure::FrameResult;

class ReferencePipeline {
public:
    ReferencePipeline();

    // Stabiliser bands 0..3 on the crop, then the measures.
    FrameResult process(const FrameInput& input);

    int stabilizeBand(QImage* image, int band, int depth);
    static int measureSpot(const QImage& img, int selector, int* max, QPoint* centre, QPoint* size,
                           QString* label);

private:
    using Column = std::vector<QList<int>>;
    QList<int>& hist(std::vector<std::unique_ptr<Column>>& h, int x, int y);

    // [column][row], columns created on first use.
    std::vector<std::unique_ptr<Column>> m_historyR, m_historyG, m_historyB;
};

} // namespace reference
