#pragma once
// The "Beam analysis" panel: per beam the second-moment widths, the Gaussian-equivalent
// FWHM, ellipticity, corrected power and the camera channels' baselines, and X and Y
// profiles through each beam's centroid with the fitted Gaussian over the data.
//
// It holds no measuring state: it shows the last result handed to it. Results may come
// with every frame; the panel redraws at most every kRefreshMs and not while hidden, so
// it never holds up the frame loop.

#include "BeamAnalysis.h"

#include <QElapsedTimer>
#include <QFont>
#include <QMargins>
#include <QTimer>
#include <QWidget>

#include <array>

class QBoxLayout;
class QLabel;
class QChart;
class QChartView;
class QLineSeries;
class QScatterSeries;
class QValueAxis;

namespace lumetra::ui {

// What the panel shows.
struct BeamPanelData {
    measure::BeamAnalysisResult analysis;
    bool stabilised = true;   // false: the stabiliser is still filling
    bool calibrating = false; // a power calibration takes the frames: no power reading
};

class BeamAnalysisPanel : public QWidget {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 100;

    explicit BeamAnalysisPanel(QWidget* parent = nullptr);

    // The latest result; shown at once when the last redraw is old enough, else at the
    // next refresh (intermediate results are dropped).
    void setData(const BeamPanelData& data);
    // Back to "N/A" everywhere (no camera, stream stopped).
    void clear();
    // Vertical: table above the two profiles (a dock at the side, floating). Horizontal:
    // table and profiles side by side in a low strip (a dock above or below the window's
    // centre), so the result column keeps its width.
    void setOrientation(Qt::Orientation orientation);
    Qt::Orientation orientation() const { return m_orientation; }

    // Value text of a cell (row 0..2 = R, G, B; column 0..4 = D4sigma, FWHM, ellipticity,
    // power, background) and its tool tip.
    QString cellText(int row, int column) const;
    QString cellToolTip(int row, int column) const;
    // Points of the data and of the fitted curve of a beam's profile (axis 0 = X, 1 = Y).
    int profilePoints(int axis, int channel) const;
    int fitPoints(int axis, int channel) const;
    // Redraws done so far (for the refresh limit).
    int redraws() const { return m_redraws; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void redraw();

    std::array<std::array<QLabel*, 5>, 3> m_cells{};
    QBoxLayout* m_layout = nullptr;
    Qt::Orientation m_orientation = Qt::Vertical;
    QMargins m_tallMargins;
    std::array<QFont, 3> m_chartFonts; // chart title, axis labels, axis titles as made
    struct Plot {
        QChart* chart = nullptr;
        QChartView* view = nullptr;
        QValueAxis* x = nullptr;
        QValueAxis* y = nullptr;
        std::array<QScatterSeries*, 3> data{};
        std::array<QLineSeries*, 3> fit{};
    };
    std::array<Plot, 2> m_plots;
    BeamPanelData m_data;
    // The last result that carried profiles: results in between keep the plots as they are.
    measure::BeamAnalysisResult m_plotted;
    bool m_pending = false;
    QElapsedTimer m_sinceRedraw;
    QTimer m_refresh;
    int m_redraws = 0;
};

} // namespace lumetra::ui
