#include "StreamWatch.h"

#include <algorithm>
#include <cmath>

namespace lumetra::camera {

namespace {
// Intervals beyond this are pauses of the consumer, not the camera's pace.
constexpr std::chrono::seconds kLongestInterval{30};
} // namespace

void LossWatch::restart() {
    *this = LossWatch();
}

LossWatch::Clock::duration LossWatch::window() const {
    return std::max<Clock::duration>(kLossWindow, 2 * m_interval);
}

int LossWatch::timeoutMs(Clock::time_point now) {
    m_attemptStart = now;
    if (m_timeouts == 0)
        return int(kRetrieveTimeout.count());
    const auto left = window() - (now - m_silentSince);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left);
    return int(std::clamp(ms, kShortestRetry, kRetrieveTimeout).count());
}

void LossWatch::answered(Clock::time_point now) {
    if (m_hasAnswer)
        m_interval = std::min<Clock::duration>(now - m_lastAnswer, kLongestInterval);
    m_lastAnswer = now;
    m_hasAnswer = true;
    m_timeouts = 0;
}

bool LossWatch::timedOut(Clock::time_point now) {
    if (m_timeouts++ == 0)
        m_silentSince = m_attemptStart;
    return m_timeouts >= 2 && now - m_silentSince >= window();
}

void FrameRateWindow::restart() {
    m_count = 0;
    m_next = 0;
}

std::optional<float> FrameRateWindow::add(int64_t takenNs) {
    if (m_count > 0) {
        const int64_t newest = m_stamps[size_t((m_next + kFrames - 1) % kFrames)];
        if (takenNs < newest) // another clock (a new stream without restart): start over
            restart();
    }
    m_stamps[size_t(m_next)] = takenNs;
    m_next = (m_next + 1) % kFrames;
    m_count = std::min(m_count + 1, kFrames);
    if (m_count < 2)
        return std::nullopt;
    const int64_t oldest = m_stamps[size_t((m_next + kFrames - m_count) % kFrames)];
    const int64_t span = takenNs - oldest;
    if (span <= 0)
        return std::nullopt;
    const double perSecond = double(m_count - 1) * 1e9 / double(span);
    return float(std::floor(perSecond * 10.0) / 10.0);
}

} // namespace lumetra::camera
