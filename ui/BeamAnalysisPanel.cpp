#include "BeamAnalysisPanel.h"

#include <QBoxLayout>
#include <QChart>
#include <QChartView>
#include <QGridLayout>
#include <QLabel>
#include <QLineSeries>
#include <QPen>
#include <QScatterSeries>
#include <QValueAxis>

#include <cmath>

namespace lumetra::ui {

namespace {

const char* const kChannelName[3] = {"R", "G", "B"};
const char* const kChannelWord[3] = {"red", "green", "blue"};
// The colours of the result labels of the window.
const char* const kColour[3] = {"#FF5544", "#55FF44", "#4455FF"};
const char* const kColumnTitle[5] = {"D4\u03c3 X x Y", "FWHM eq.", "Ellipticity", "Power",
                                     "Background"};
const char* const kColumnWhat[5] = {
    "D4 sigma width X by Y in milliradians", "Gaussian-equivalent FWHM X by Y in milliradians",
    "ellipticity", "corrected power in watts", "camera channel baseline in counts"};
const char* const kNa = "N/A";
// Profile plot sizes: beside the table the plots are low (a strip under the window's
// centre) but still wide enough to read the shape of the beams.
constexpr int kTallPlot = 180;
constexpr int kLowPlot = 120;
constexpr int kWidePlot = 150;

QString mrad(double v) {
    return QString::number(v, 'f', 2);
}

} // namespace

BeamAnalysisPanel::BeamAnalysisPanel(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("beamAnalysisPanel"));
    setAccessibleName(QStringLiteral("Beam analysis"));
    auto* layout = new QBoxLayout(QBoxLayout::TopToBottom, this);
    m_layout = layout;
    auto* grid = new QGridLayout();
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(2);
    for (int col = 0; col < 5; ++col) {
        auto* head = new QLabel(QString::fromUtf8(kColumnTitle[col]), this);
        head->setAlignment(Qt::AlignCenter);
        head->setAccessibleName(QString::fromLatin1(kColumnWhat[col]));
        grid->addWidget(head, 0, col + 1);
    }
    for (int row = 0; row < 3; ++row) {
        const QString style = QStringLiteral("color:%1;").arg(QLatin1String(kColour[row]));
        auto* name = new QLabel(QString::fromLatin1(kChannelName[row]), this);
        name->setStyleSheet(style);
        name->setAccessibleName(QStringLiteral("%1 beam").arg(QLatin1String(kChannelWord[row])));
        grid->addWidget(name, row + 1, 0);
        for (int col = 0; col < 5; ++col) {
            auto* cell = new QLabel(QString::fromLatin1(kNa), this);
            cell->setAlignment(Qt::AlignCenter);
            cell->setStyleSheet(style);
            cell->setObjectName(QStringLiteral("beam%1%2").arg(row).arg(col));
            // The background column is the camera channel's, not the beam's.
            cell->setAccessibleName(
                col == 4
                    ? QStringLiteral("%1 camera channel baseline in counts")
                          .arg(QLatin1String(kChannelWord[row]))
                    : QStringLiteral("%1 beam %2")
                          .arg(QLatin1String(kChannelWord[row]), QLatin1String(kColumnWhat[col])));
            grid->addWidget(cell, row + 1, col + 1);
            m_cells[std::size_t(row)][std::size_t(col)] = cell;
        }
    }
    layout->addLayout(grid);
    layout->setAlignment(grid, Qt::AlignTop);

    for (int axis = 0; axis < 2; ++axis) {
        Plot& p = m_plots[std::size_t(axis)];
        p.chart = new QChart();
        p.chart->setTitle(axis == 0 ? QStringLiteral("X profile") : QStringLiteral("Y profile"));
        p.chart->legend()->hide();
        p.chart->setTheme(QChart::ChartThemeDark);
        p.chart->setBackgroundRoundness(0);
        p.chart->setMargins(QMargins(2, 2, 2, 2));
        p.x = new QValueAxis(p.chart);
        p.x->setTitleText(axis == 0 ? QStringLiteral("x from centroid (mrad)")
                                    : QStringLiteral("y from centroid (mrad)"));
        p.x->setLabelFormat(QStringLiteral("%.1f"));
        p.y = new QValueAxis(p.chart);
        p.y->setTitleText(QStringLiteral("counts"));
        p.y->setLabelFormat(QStringLiteral("%.0f"));
        p.chart->addAxis(p.x, Qt::AlignBottom);
        p.chart->addAxis(p.y, Qt::AlignLeft);
        for (int c = 0; c < 3; ++c) {
            auto* data = new QScatterSeries(p.chart);
            data->setMarkerSize(3);
            data->setColor(QColor(QLatin1String(kColour[c])));
            data->setBorderColor(QColor(QLatin1String(kColour[c])));
            data->setUseOpenGL(false);
            auto* fit = new QLineSeries(p.chart);
            QPen pen(QColor(QLatin1String(kColour[c])).lighter(150));
            pen.setWidthF(1.5);
            pen.setStyle(Qt::DashLine);
            fit->setPen(pen);
            p.chart->addSeries(data);
            p.chart->addSeries(fit);
            for (QAbstractSeries* s :
                 {static_cast<QAbstractSeries*>(data), static_cast<QAbstractSeries*>(fit)}) {
                s->attachAxis(p.x);
                s->attachAxis(p.y);
            }
            p.data[std::size_t(c)] = data;
            p.fit[std::size_t(c)] = fit;
        }
        p.view = new QChartView(p.chart, this);
        p.view->setObjectName(axis == 0 ? QStringLiteral("xProfileChart")
                                        : QStringLiteral("yProfileChart"));
        p.view->setAccessibleName(
            axis == 0 ? QStringLiteral("X profile through each beam's centroid, data and fitted "
                                       "Gaussian")
                      : QStringLiteral("Y profile through each beam's centroid, data and fitted "
                                       "Gaussian"));
        p.view->setRenderHint(QPainter::Antialiasing, false);
        p.view->setMinimumHeight(kTallPlot);
        layout->addWidget(p.view, 1);
    }
    m_tallMargins = layout->contentsMargins();
    m_chartFonts = {m_plots[0].chart->titleFont(), m_plots[0].x->labelsFont(),
                    m_plots[0].x->titleFont()};

    m_refresh.setSingleShot(true);
    connect(&m_refresh, &QTimer::timeout, this, &BeamAnalysisPanel::redraw);
    m_sinceRedraw.start();
}

void BeamAnalysisPanel::setData(const BeamPanelData& data) {
    m_data = data;
    if (data.analysis.profiles || !data.analysis.analysed || !data.stabilised) {
        m_plotted = data.analysis;
    }
    m_pending = true;
    if (!isVisible()) {
        return; // drawn when shown
    }
    const qint64 age = m_sinceRedraw.elapsed();
    if (m_redraws == 0 || age >= kRefreshMs) {
        m_refresh.stop();
        redraw();
    } else if (!m_refresh.isActive()) {
        m_refresh.start(int(kRefreshMs - age));
    }
}

void BeamAnalysisPanel::clear() {
    setData(BeamPanelData());
}

void BeamAnalysisPanel::setOrientation(Qt::Orientation orientation) {
    if (orientation == m_orientation)
        return;
    m_orientation = orientation;
    const bool wide = orientation == Qt::Horizontal;
    m_layout->setDirection(wide ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom);
    m_layout->setContentsMargins(wide ? QMargins(4, 0, 4, 2) : m_tallMargins);
    // Smaller type in the strip leaves the low plots room for their curves and keeps the
    // axis labels whole.
    const int points = wide ? 7 : 0;
    for (Plot& p : m_plots) {
        p.view->setMinimumHeight(wide ? kLowPlot : kTallPlot);
        p.view->setMinimumWidth(wide ? kWidePlot : 0);
        QFont title = m_chartFonts[0], labels = m_chartFonts[1], axisTitle = m_chartFonts[2];
        if (points) {
            title.setPointSize(points + 1);
            labels.setPointSize(points);
            axisTitle.setPointSize(points);
        }
        p.chart->setTitleFont(title);
        for (QValueAxis* a : {p.x, p.y}) {
            a->setLabelsFont(labels);
            a->setTitleFont(axisTitle);
        }
        p.y->setTickCount(wide ? 3 : 5);
    }
}

void BeamAnalysisPanel::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_pending) {
        redraw();
    }
}

void BeamAnalysisPanel::redraw() {
    m_pending = false;
    ++m_redraws;
    m_sinceRedraw.restart();
    const measure::BeamAnalysisResult& a = m_data.analysis;
    for (int row = 0; row < 3; ++row) {
        const measure::BeamChannelResult& ch = a.channel[std::size_t(row)];
        auto set = [&](int col, const QString& text, const QString& tip) {
            QLabel* l = m_cells[std::size_t(row)][std::size_t(col)];
            l->setText(text);
            l->setToolTip(tip);
        };
        if (!a.analysed) {
            for (int col = 0; col < 5; ++col) {
                set(col, QString::fromLatin1(kNa), QString());
            }
            continue;
        }
        set(4, QString::number(a.background[std::size_t(row)], 'f', 2), QString());
        if (!m_data.stabilised) {
            for (int col = 0; col < 4; ++col) {
                set(col, QStringLiteral("Processing..."), QString());
            }
            continue;
        }
        if (!ch.valid) {
            for (int col = 0; col < 4; ++col) {
                set(col, QString::fromLatin1(kNa), ch.reason);
            }
            continue;
        }
        set(0, mrad(ch.d4SigmaX) + QStringLiteral(" x ") + mrad(ch.d4SigmaY), QString());
        set(1, mrad(ch.fwhmX) + QStringLiteral(" x ") + mrad(ch.fwhmY), QString());
        set(2, QString::number(ch.ellipticity, 'f', 2),
            QStringLiteral("azimuth %1\u00b0").arg(QString::number(ch.azimuthDeg, 'f', 1)));
        if (m_data.calibrating) {
            set(3, QString::fromLatin1(kNa), QStringLiteral("power calibration running"));
        } else if (ch.power) {
            set(3, QString::number(*ch.power, 'f', 2) + QStringLiteral(" W"), QString());
        } else {
            set(3, QString::fromLatin1(kNa), ch.reason);
        }
    }

    for (int axis = 0; axis < 2; ++axis) {
        Plot& p = m_plots[std::size_t(axis)];
        double x0 = -1, x1 = 1, top = 1, bottom = 0;
        for (int c = 0; c < 3; ++c) {
            const measure::BeamChannelResult& ch = m_plotted.channel[std::size_t(c)];
            const measure::BeamProfile& prof = axis == 0 ? ch.profileX : ch.profileY;
            QList<QPointF> data, fit;
            if (m_plotted.analysed && m_data.stabilised && ch.hasNumbers) {
                data.reserve(qsizetype(prof.position.size()));
                for (std::size_t i = 0; i < prof.position.size() && i < prof.value.size(); ++i) {
                    if (std::isfinite(prof.value[i])) {
                        data.append(QPointF(prof.position[i], prof.value[i]));
                        top = std::max(top, double(prof.value[i]));
                        bottom = std::min(bottom, double(prof.value[i]));
                    }
                }
                if (!prof.position.empty()) {
                    x0 = std::min(x0, double(prof.position.front()));
                    x1 = std::max(x1, double(prof.position.back()));
                }
                if (prof.fit && !prof.position.empty()) {
                    const measure::BeamProfile::Fit& f = *prof.fit;
                    const double a0 = prof.position.front(), a1 = prof.position.back();
                    const int n = 200;
                    fit.reserve(n + 1);
                    for (int i = 0; i <= n; ++i) {
                        const double x = a0 + (a1 - a0) * i / n;
                        const double d = (x - f.centre) / f.sigma;
                        fit.append(QPointF(x, f.amplitude * std::exp(-0.5 * d * d)));
                    }
                }
            }
            p.data[std::size_t(c)]->replace(data);
            p.fit[std::size_t(c)]->replace(fit);
        }
        p.x->setRange(x0, x1);
        p.y->setRange(bottom, top * 1.05);
    }
}

QString BeamAnalysisPanel::cellText(int row, int column) const {
    return m_cells.at(std::size_t(row)).at(std::size_t(column))->text();
}

QString BeamAnalysisPanel::cellToolTip(int row, int column) const {
    return m_cells.at(std::size_t(row)).at(std::size_t(column))->toolTip();
}

int BeamAnalysisPanel::profilePoints(int axis, int channel) const {
    return int(m_plots.at(std::size_t(axis)).data.at(std::size_t(channel))->count());
}

int BeamAnalysisPanel::fitPoints(int axis, int channel) const {
    return int(m_plots.at(std::size_t(axis)).fit.at(std::size_t(channel))->count());
}

} // namespace lumetra::ui
