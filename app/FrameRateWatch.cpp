#include "FrameRateWatch.h"

bool FrameRateWatch::add(quint64 shown, quint64 newest, qint64 measuredMs, double cameraFps) {
    m_measured.push_back(measuredMs);
    if (m_measured.size() > std::size_t(kFrames))
        m_measured.pop_front();
    const bool waiting = newest > shown + kWaiting;
    bool slower = false;
    const qint64 span = m_measured.back() - m_measured.front();
    if (m_measured.size() == std::size_t(kFrames) && cameraFps > 0 && span > 0)
        slower = (kFrames - 1) * 1000.0 / span < kTolerance * cameraFps;
    m_behind = waiting || slower;
    return m_behind;
}

void FrameRateWatch::reset() {
    m_measured.clear();
    m_behind = false;
}
