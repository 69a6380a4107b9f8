#include "PlotsPanel.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <limits>

namespace lumetra::ui {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const QColor kColour[3] = {QColor(200, 0, 0), QColor(0, 150, 0), QColor(0, 0, 200)};
} // namespace

PlotsPanel::PlotsPanel(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    auto* spanLabel = new QLabel(QStringLiteral("Last"), this);
    m_span = new QComboBox(this);
    m_span->addItem(QStringLiteral("1 minute"), 1);
    m_span->addItem(QStringLiteral("10 minutes"), 10);
    m_span->addItem(QStringLiteral("60 minutes"), 60);
    m_span->setAccessibleName(QStringLiteral("Time span of the plots"));
    spanLabel->setBuddy(m_span);
    auto* top = new QHBoxLayout();
    top->addWidget(spanLabel);
    top->addWidget(m_span, 1);
    layout->addLayout(top);
    // The stability over a rolling window, beside the plots.
    auto* stabilityTop = new QHBoxLayout();
    auto* overLabel = new QLabel(QStringLiteral("Stability over"), this);
    m_stabilityWindow = new QComboBox(this);
    m_stabilityWindow->addItems(
        {QStringLiteral("10 s"), QStringLiteral("1 minute"), QStringLiteral("10 minutes")});
    m_stabilityWindow->setAccessibleName(QStringLiteral("Window of the stability figures"));
    overLabel->setBuddy(m_stabilityWindow);
    stabilityTop->addWidget(overLabel);
    stabilityTop->addWidget(m_stabilityWindow, 1);
    layout->addLayout(stabilityTop);
    m_stability = new QLabel(QStringLiteral("No frames yet"), this);
    m_stability->setAccessibleName(QStringLiteral("Stability figures"));
    m_stability->setTextFormat(Qt::RichText);
    layout->addWidget(m_stability);
    connect(m_span, &QComboBox::currentIndexChanged, this, [this] { schedule(); });

    const struct {
        const char* title;
        const char* unit;
        int first;
        std::vector<const char*> names;
    } kinds[3] = {
        {"Power", "W", 0, {"R", "G", "B"}},
        {"Alignment", "mrad; x solid, y dashed", 3, {"RG", "RG y", "BG", "BG y", "RB", "RB y"}},
        {"Centroid", "mrad; x solid, y dashed", 9, {"R", "R y", "G", "G y", "B", "B y"}},
    };
    for (int k = 0; k < 3; ++k) {
        Plot& p = m_plots[size_t(k)];
        p.first = kinds[k].first;
        p.chart = new QChart();
        p.chart->setTitle(QString::fromLatin1(kinds[k].title) + QStringLiteral(" (") +
                          QLatin1String(kinds[k].unit) + QLatin1Char(')'));
        p.chart->legend()->setAlignment(Qt::AlignRight);
        p.chart->setMargins(QMargins(2, 2, 2, 2));
        p.x = new QValueAxis(p.chart);
        p.x->setTitleText(QStringLiteral("minutes"));
        p.y = new QValueAxis(p.chart);
        p.chart->addAxis(p.x, Qt::AlignBottom);
        p.chart->addAxis(p.y, Qt::AlignLeft);
        for (size_t i = 0; i < kinds[k].names.size(); ++i) {
            auto* s = new QLineSeries(p.chart);
            s->setName(QLatin1String(kinds[k].names[i]));
            // Three colours by beam or pair; y dashed.
            const size_t colour = k == 0 ? i : i / 2;
            QPen pen(kColour[colour], 1.5);
            if (k != 0 && i % 2 == 1)
                pen.setStyle(Qt::DashLine);
            s->setPen(pen);
            p.chart->addSeries(s);
            s->attachAxis(p.x);
            s->attachAxis(p.y);
            p.series.push_back(s);
            // One legend entry per beam or pair: its y curve shares the colour.
            if (k != 0 && i % 2 == 1)
                for (QLegendMarker* m : p.chart->legend()->markers(s))
                    m->setVisible(false);
        }
        p.view = new QChartView(p.chart, this);
        p.view->setRenderHint(QPainter::Antialiasing, false);
        p.view->setMinimumHeight(140);
        p.view->setAccessibleName(p.chart->title() + QStringLiteral(" over time"));
        layout->addWidget(p.view, 1);
    }
    m_timer.setSingleShot(true);
    m_timer.setInterval(kRefreshMs);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (m_dirty && isVisible())
            redraw();
    });
}

int PlotsPanel::stabilityWindow() const {
    return m_stabilityWindow->currentIndex();
}

QString PlotsPanel::stabilityText() const {
    return m_stability->text();
}

void PlotsPanel::setStability(const measure::StabilityFigures& f) {
    const auto cell = [](int samples, double v, int decimals) {
        return samples > 0 ? QString::number(v, 'f', decimals) : QStringLiteral("N/A");
    };
    QString html = QStringLiteral("<table cellspacing=\"4\"><tr><th></th><th>R</th><th>G</th>"
                                  "<th>B</th></tr>");
    const auto row = [&](const QString& name, auto value) {
        html += QStringLiteral("<tr><td>") + name + QStringLiteral("</td>");
        for (int c = 0; c < 3; ++c)
            html += QStringLiteral("<td>") + value(c) + QStringLiteral("</td>");
        html += QStringLiteral("</tr>");
    };
    row(QStringLiteral("Pointing 2\u03c3 x / y (\u00b5rad)"), [&](int c) {
        const auto& p = f.pointing[size_t(c)];
        return cell(p.samples, p.twoSigmaX, 1) + QStringLiteral(" / ") +
               cell(p.samples, p.twoSigmaY, 1);
    });
    row(QStringLiteral("Power RMS / p-p (%)"), [&](int c) {
        const auto& p = f.power[size_t(c)];
        return cell(p.samples, p.rmsPercent, 2) + QStringLiteral(" / ") +
               cell(p.samples, p.peakToPeakPercent, 2);
    });
    html += QStringLiteral("<tr><th></th><th>RG</th><th>BG</th><th>RB</th></tr>");
    row(QStringLiteral("Alignment range x / y (\u00b5rad)"), [&](int c) {
        const auto& a = f.alignment[size_t(c)];
        return cell(a.samples, a.rangeX, 1) + QStringLiteral(" / ") + cell(a.samples, a.rangeY, 1);
    });
    html += QStringLiteral("</table>");
    m_stability->setText(html);
}

int PlotsPanel::spanMinutes() const {
    return m_span->currentData().toInt();
}

void PlotsPanel::setSpanMinutes(int minutes) {
    const int i = m_span->findData(minutes);
    if (i >= 0)
        m_span->setCurrentIndex(i);
}

void PlotsPanel::addResult(double seconds, const measure::FrameResult& r) {
    Sample s;
    s.seconds = seconds;
    s.v.fill(kNaN);
    if (r.measured) {
        for (size_t c = 0; c < 3; ++c) {
            if (r.power && std::isfinite((*r.power)[c]))
                s.v[c] = (*r.power)[c];
            if (r.analysis.analysed && r.analysis.alignment[c]) {
                s.v[3 + 2 * c] = r.analysis.alignment[c]->x;
                s.v[4 + 2 * c] = r.analysis.alignment[c]->y;
            }
            const auto& ch = r.analysis.channel[c];
            if (r.analysis.analysed && ch.hasNumbers) {
                s.v[9 + 2 * c] = ch.centroidX;
                s.v[10 + 2 * c] = ch.centroidY;
            }
        }
    }
    // One point per bin: a frame in the same bin as the last point replaces it.
    if (!m_samples.empty() &&
        std::floor(m_samples.back().seconds / kBinSeconds) == std::floor(seconds / kBinSeconds))
        m_samples.back() = s;
    else
        m_samples.push_back(s);
    while (!m_samples.empty() && m_samples.front().seconds < seconds - kLongestMinutes * 60.0)
        m_samples.pop_front();
    schedule();
}

void PlotsPanel::clear() {
    m_samples.clear();
    schedule();
}

void PlotsPanel::schedule() {
    m_dirty = true;
    if (!m_timer.isActive())
        m_timer.start();
}

void PlotsPanel::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_dirty)
        schedule();
}

void PlotsPanel::redraw() {
    m_dirty = false;
    ++m_redraws;
    const double now = m_samples.empty() ? 0.0 : m_samples.back().seconds;
    const double span = spanMinutes();
    const auto from = std::lower_bound(m_samples.begin(), m_samples.end(), now - span * 60.0,
                                       [](const Sample& s, double t) { return s.seconds < t; });
    for (Plot& p : m_plots) {
        double lo = std::numeric_limits<double>::max(), hi = -lo;
        for (size_t i = 0; i < p.series.size(); ++i) {
            QList<QPointF> points;
            for (auto it = from; it != m_samples.end(); ++it) {
                const double v = it->v[size_t(p.first) + i];
                if (std::isnan(v))
                    continue;
                points.append(QPointF((it->seconds - now) / 60.0, v));
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
            p.series[i]->replace(points);
        }
        p.x->setRange(-span, 0);
        if (lo <= hi) {
            const double pad = std::max((hi - lo) * 0.05, 1e-3);
            p.y->setRange(lo - pad, hi + pad);
        }
    }
}

int PlotsPanel::seriesPoints(Chart chart, int series) const {
    const Plot& p = m_plots[size_t(chart)];
    return series >= 0 && size_t(series) < p.series.size() ? int(p.series[size_t(series)]->count())
                                                           : 0;
}

} // namespace lumetra::ui
