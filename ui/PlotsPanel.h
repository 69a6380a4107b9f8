#pragma once
// The "Plots" panel: power per channel, the alignments RG, BG, RB and the beams' centroids
// over the last 1, 10 or 60 minutes. It keeps at most one point per kBinSeconds (the last
// frame of each bin) for the longest span, so memory stays bounded, and redraws at most
// every kRefreshMs and not while hidden: it never holds up the frame loop.

#include "FramePipeline.h"
#include "Stability.h"

#include <QTimer>
#include <QWidget>

#include <array>
#include <cmath>
#include <deque>

class QChart;
class QChartView;
class QComboBox;
class QLabel;
class QLineSeries;
class QValueAxis;

namespace lumetra::ui {

class PlotsPanel : public QWidget {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 250;
    static constexpr double kBinSeconds = 0.5;
    static constexpr int kLongestMinutes = 60;
    enum Chart { Power = 0, Alignment = 1, Centroid = 2 };

    explicit PlotsPanel(QWidget* parent = nullptr);

    // A measured frame at `seconds` (any origin, increasing).
    void addResult(double seconds, const measure::FrameResult& result);
    void clear();
    // The span shown, in minutes (1, 10 or 60).
    int spanMinutes() const;
    void setSpanMinutes(int minutes);

    // The live stability figures of the window the user chose (0: 10 s, 1: 1 min, 2: 10 min).
    int stabilityWindow() const;
    void setStability(const measure::StabilityFigures& figures);
    QString stabilityText() const;

    // Points a series of a chart shows now (after the last redraw), and redraws so far.
    int seriesPoints(Chart chart, int series) const;
    int redraws() const { return m_redraws; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Sample {
        double seconds = 0;
        // Power R, G, B; alignment RG x, y, BG x, y, RB x, y; centroid R x, y, G x, y, B x, y.
        // NaN where the frame had none.
        std::array<double, 15> v;
    };
    struct Plot {
        QChart* chart = nullptr;
        QChartView* view = nullptr;
        QValueAxis* x = nullptr;
        QValueAxis* y = nullptr;
        std::vector<QLineSeries*> series;
        int first = 0; // index of the first value of Sample::v it shows
    };
    void redraw();
    void schedule();

    QComboBox* m_span = nullptr;
    QComboBox* m_stabilityWindow = nullptr;
    QLabel* m_stability = nullptr;
    std::array<Plot, 3> m_plots;
    std::deque<Sample> m_samples;
    QTimer m_timer;
    bool m_dirty = false;
    int m_redraws = 0;
};

} // namespace lumetra::ui
