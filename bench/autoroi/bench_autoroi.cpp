// Cost of one Auto ROI search on a whole frame of the demo head (1920 x 1200, beams in the
// bottom-right quarter), as the measuring thread pays it once a second.
//
//   build/bench_autoroi [runs]

#include "AutoRoi.h"
#include "Calibration.h"
#include "simulated/SimulatedHead.h"

#include <QElapsedTimer>
#include <QImage>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace ms = lumetra::measure;
namespace sim = lumetra::sim;

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
    sim::HeadConfig head; // the demo head's defaults: three 1 W beams, bottom-right
    head.noise = 0.5;
    sim::Renderer renderer(head);
    sim::FrameLayout layout{0, 0, head.sensorWidth, head.sensorHeight, false, 0, 15000.0};
    std::vector<uint8_t> buf(layout.frameBytes());
    renderer.render(layout, buf.data());
    // Sensor orientation: the beams land in the top-left quarter of this buffer.
    const QImage frame(buf.data(), head.sensorWidth, head.sensorHeight, 3 * head.sensorWidth,
                       QImage::Format_RGB888);

    double a[3][3], inv[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            a[r][c] = lumetra::calibration::defaultMatrixValue(r, c);
    lumetra::calibration::invert3x3(a, inv);
    ms::UnmixMatrix unmix;
    for (int e = 0; e < 9; ++e)
        unmix[size_t(e)] = inv[e / 3][e % 3];

    std::vector<double> ms;
    QRect current;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        const ms::AutoRoiResult r = ms::findAutoRoi(frame, ms::Corner::TL, current, unmix);
        ms.push_back(t.nsecsElapsed() / 1e6);
        if (!r.roi) {
            std::printf("unexpected: %s\n", qPrintable(r.reason));
            return 1;
        }
        current = *r.roi;
    }
    std::sort(ms.begin(), ms.end());
    std::printf("Auto ROI search, 1920 x 1200, %d runs: median %.2f ms, p99 %.2f ms, worst %.2f ms"
                " (region %d x %d)\n",
                runs, ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back(), current.width(),
                current.height());
    return 0;
}
