#pragma once
// What the grab cycle keeps about the stream it runs: when the camera must be taken as
// gone, and the frame rate. Plain values, no camera and no threads: the camera object
// feeds them from its grab step.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

namespace lumetra::camera {

// Decides when a camera that stopped delivering is lost. One time-out is not enough (a
// camera may miss a frame); the camera is lost after at least two time-outs in a row that
// span the loss window: 2 s, or two frame intervals for a slow camera. After a first
// time-out the next retrieval only waits for what is left of the window, so a dead
// camera is known within about 2.3 s.
class LossWatch {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kRetrieveTimeout{2000};
    static constexpr std::chrono::milliseconds kLossWindow{2000};
    static constexpr std::chrono::milliseconds kShortestRetry{300};

    // A new stream: nothing known about its frames yet.
    void restart();
    // The time-out for the next retrieval, which starts now.
    int timeoutMs(Clock::time_point now);
    // The camera answered (a frame, or a result that failed): it is there.
    void answered(Clock::time_point now);
    // The retrieval started by timeoutMs() timed out; true when the camera is lost.
    bool timedOut(Clock::time_point now);

private:
    Clock::duration window() const;

    int m_timeouts = 0;
    bool m_hasAnswer = false;
    Clock::time_point m_lastAnswer{};
    Clock::duration m_interval{};
    Clock::time_point m_attemptStart{};
    Clock::time_point m_silentSince{};
};

// Frames per second over the last frames of a stream, from the times the frames were
// taken. The mean over a window, never a single interval: one short gap after a late
// frame must not show a rate the camera cannot reach. Rounded down to 0.1.
class FrameRateWindow {
public:
    static constexpr int kFrames = 16;

    void restart();
    // Adds one frame; the rate once two frames with distinct times are known.
    std::optional<float> add(int64_t takenNs);

private:
    std::array<int64_t, kFrames> m_stamps{};
    int m_count = 0;
    int m_next = 0;
};

} // namespace lumetra::camera
