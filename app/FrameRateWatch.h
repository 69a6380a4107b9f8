#pragma once
// Whether the window keeps up with the camera, from what the reports tell: reports measured
// but not yet shown (waiting), and frames measured more slowly than the camera takes them
// (dropped or queued before measuring), judged over as many frames as the camera's own
// rate estimate so both rates cover the same frames.

#include <QtGlobal>

#include <deque>

class FrameRateWatch {
public:
    static constexpr int kFrames = 16;        // the camera's rate is taken over as many
    static constexpr quint64 kWaiting = 2;    // reports behind the newest that still keep up
    static constexpr double kTolerance = 0.9; // the camera's rate is rounded down to 0.1

    // One report shown: its sequence, the newest sequence measured, when its image reached
    // the measuring (ms, any steady origin) and the camera's rate then. Returns behind().
    bool add(quint64 shown, quint64 newest, qint64 measuredMs, double cameraFps);
    // A stream that ended: what it measured says nothing about the next one.
    void reset();
    bool behind() const { return m_behind; }

private:
    std::deque<qint64> m_measured;
    bool m_behind = false;
};
