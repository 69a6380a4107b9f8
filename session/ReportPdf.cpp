#include "ReportPdf.h"

#include "Results.h"
#include "ToleranceValues.h"

#include <QFile>
#include <QFileInfo>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace lumetra::session {

namespace ms = lumetra::measure;
namespace tol = lumetra::tolerances;
using T = ms::ResultText;

namespace {

const QString kNone = QStringLiteral("-");

struct Row {
    QString name;
    QStringList values;
    QString unit;
};
struct Table {
    QString title;
    QStringList heads; // empty: one value per row
    QList<Row> rows;
};

QString num(double v, int decimals) {
    return QString::number(v, 'f', decimals);
}

QString cornerName(const std::optional<ms::Corner>& c) {
    static const char* const names[4] = {"TL", "TR", "BL", "BR"};
    return c ? QLatin1String(names[int(*c)]) : QStringLiteral("none");
}

QString cleanName(QString s) {
    for (QChar& ch : s)
        if (!(ch.isLetterOrNumber() || ch == QLatin1Char('-') || ch == QLatin1Char('.')))
            ch = QLatin1Char('_');
    return s;
}

const ms::BeamAnalysisResult& analysisOf(const ReportContent& c) {
    static const ms::BeamAnalysisResult none;
    if (c.analysis)
        return *c.analysis;
    return c.frame ? c.frame->result.analysis : none;
}

QList<Table> tables(const ReportContent& c) {
    QList<Table> out;
    const FrameReport* f = c.frame.get();

    Table setup{QStringLiteral("Set-up"), {}, {}};
    setup.rows << Row{QStringLiteral("Date"), {c.when.toString(Qt::ISODate)}, {}}
               << Row{QStringLiteral("Camera serial"), {c.serial}, {}}
               << Row{QStringLiteral("Camera name"), {c.cameraName}, {}}
               << Row{QStringLiteral("Unit"), {c.unit.isEmpty() ? kNone : c.unit}, {}}
               << Row{QStringLiteral("Corner"), {f ? cornerName(f->corner) : kNone}, {}}
               << Row{QStringLiteral("Wavelengths R, G, B"),
                      {QStringList{c.wavelengths[0], c.wavelengths[1], c.wavelengths[2]}.join(
                          QStringLiteral(", "))},
                      QStringLiteral("nm")}
               << Row{QStringLiteral("Exposure"),
                      {f ? num(f->exposureUs, 0) : kNone},
                      QStringLiteral("us")}
               << Row{QStringLiteral("Stabiliser depth"),
                      {f ? QString::number(f->stabDepth) : kNone},
                      {}}
               << Row{QStringLiteral("Calibration file"),
                      {c.calibrationPresent ? QStringLiteral("present") : QStringLiteral("absent")},
                      {}}
               << Row{QStringLiteral("User columns"),
                      {c.userColumns.isEmpty() ? kNone : c.userColumns.join(QStringLiteral(" "))},
                      {}}
               << Row{QStringLiteral("Power factors R, G, B"),
                      {QStringLiteral("%1, %2, %3")
                           .arg(c.powerFactors[0])
                           .arg(c.powerFactors[1])
                           .arg(c.powerFactors[2])},
                      {}};
    out << setup;

    Table values{QStringLiteral("Values"), {}, {}};
    const auto label = [&](const char* name, T t, const char* unit) {
        const QString v = f ? f->result.texts.text(t) : QString();
        values.rows << Row{QLatin1String(name), {v.isEmpty() ? kNone : v}, QLatin1String(unit)};
    };
    label("Divergence all", T::DivergenceAll, "mrad");
    label("Divergence R", T::DivergenceRed, "mrad");
    label("Divergence G", T::DivergenceGreen, "mrad");
    label("Divergence B", T::DivergenceBlue, "mrad");
    label("Alignment RG", T::AlignmentRG, "mrad");
    label("Alignment BG", T::AlignmentBG, "mrad");
    label("Alignment RB", T::AlignmentRB, "mrad");
    label("Max R", T::PeakRed, "");
    label("Max G", T::PeakGreen, "");
    label("Max B", T::PeakBlue, "");
    label("Power R", T::PowerRed, "");
    label("Power G", T::PowerGreen, "");
    label("Power B", T::PowerBlue, "");
    label("Power total", T::PowerTotal, "");
    label("Exposure warning", T::ExposureWarning, "");
    out << values;

    const ms::BeamAnalysisResult& a = analysisOf(c);
    const QStringList rgb{QStringLiteral("R"), QStringLiteral("G"), QStringLiteral("B")};
    Table analysis{QStringLiteral("Beam analysis (ISO 11146)"), rgb, {}};
    const auto channelRow = [&](const char* name, const char* unit, auto value) {
        Row r{QLatin1String(name), {}, QLatin1String(unit)};
        for (const ms::BeamChannelResult& ch : a.channel)
            r.values << (a.analysed && ch.hasNumbers ? value(ch) : kNone);
        analysis.rows << r;
    };
    channelRow("Centroid x", "mrad", [](const auto& ch) { return num(ch.centroidX, 4); });
    channelRow("Centroid y", "mrad", [](const auto& ch) { return num(ch.centroidY, 4); });
    channelRow("D4sigma x", "mrad", [](const auto& ch) { return num(ch.d4SigmaX, 3); });
    channelRow("D4sigma y", "mrad", [](const auto& ch) { return num(ch.d4SigmaY, 3); });
    channelRow("Ellipticity", "", [](const auto& ch) { return num(ch.ellipticity, 3); });
    channelRow("Power", "W", [](const auto& ch) { return ch.power ? num(*ch.power, 3) : kNone; });
    Row note{QStringLiteral("Note"), {}, {}};
    for (const ms::BeamChannelResult& ch : a.channel)
        note.values << (a.analysed && !ch.reason.isEmpty() ? ch.reason : kNone);
    analysis.rows << note;
    out << analysis;

    if (c.stability) {
        const ms::StabilityFigures& s = *c.stability;
        Table st{QStringLiteral("Stability of the last recording (%1 frames, %2 s)")
                     .arg(s.frames)
                     .arg(num(s.seconds, 1)),
                 rgb,
                 {}};
        const auto row = [&](const char* name, const char* unit, auto value) {
            Row r{QLatin1String(name), {}, QLatin1String(unit)};
            for (int i = 0; i < 3; ++i)
                r.values << value(i);
            st.rows << r;
        };
        const auto pointing = [&](int i, double v) {
            return s.pointing[size_t(i)].samples > 0 ? num(v, 1) : kNone;
        };
        row("Pointing 2 sigma x", "urad",
            [&](int i) { return pointing(i, s.pointing[size_t(i)].twoSigmaX); });
        row("Pointing 2 sigma y", "urad",
            [&](int i) { return pointing(i, s.pointing[size_t(i)].twoSigmaY); });
        row("Pointing max distance", "urad",
            [&](int i) { return pointing(i, s.pointing[size_t(i)].maxDistance); });
        row("Power RMS", "%", [&](int i) {
            return s.power[size_t(i)].samples > 0 ? num(s.power[size_t(i)].rmsPercent, 2) : kNone;
        });
        row("Power peak-to-peak", "%", [&](int i) {
            return s.power[size_t(i)].samples > 0 ? num(s.power[size_t(i)].peakToPeakPercent, 2)
                                                  : kNone;
        });
        out << st;
        Table drift{QStringLiteral("Alignment drift"),
                    {QStringLiteral("RG"), QStringLiteral("BG"), QStringLiteral("RB")},
                    {}};
        Row rx{QStringLiteral("Range x"), {}, QStringLiteral("urad")};
        Row ry{QStringLiteral("Range y"), {}, QStringLiteral("urad")};
        for (const ms::AlignmentDrift& d : s.alignment) {
            rx.values << (d.samples > 0 ? num(d.rangeX, 1) : kNone);
            ry.values << (d.samples > 0 ? num(d.rangeY, 1) : kNone);
        }
        drift.rows << rx << ry;
        out << drift;
    }

    Table verdict{QStringLiteral("Tolerances"),
                  {QStringLiteral("value"), QStringLiteral("lower"), QStringLiteral("upper"),
                   QStringLiteral("verdict")},
                  {}};
    const tol::Values v = f ? toleranceValues(f->result) : tol::Values{};
    const tol::Evaluation e = c.limits.evaluate(v);
    for (int i = 0; i < tol::kQuantityCount; ++i) {
        const tol::Limit& l = c.limits.limit(tol::Quantity(i));
        if (!l.any())
            continue;
        const tol::Verdict d = e.verdict[size_t(i)];
        verdict.rows << Row{tol::nameOf(tol::Quantity(i)),
                            {v[size_t(i)] ? num(*v[size_t(i)], 3) : kNone,
                             l.lower ? QString::number(*l.lower) : kNone,
                             l.upper ? QString::number(*l.upper) : kNone,
                             d == tol::Verdict::Pass      ? QStringLiteral("pass")
                             : d == tol::Verdict::NoValue ? QStringLiteral("not measured")
                                                          : QStringLiteral("FAIL")},
                            tol::unitOf(tol::Quantity(i))};
    }
    verdict.rows << Row{QStringLiteral("Verdict"), {e.summary(), {}, {}, {}}, {}};
    out << verdict;
    return out;
}

QString overallVerdict(const ReportContent& c) {
    const tol::Values v = c.frame ? toleranceValues(c.frame->result) : tol::Values{};
    return c.limits.evaluate(v).summary();
}

// A cell for the CSV: quoted when it holds a separator, a quote or a line break.
QByteArray csvCell(const QString& s) {
    QByteArray b = s.toUtf8();
    if (b.contains(',') || b.contains('"') || b.contains('\n') || b.contains('\r')) {
        b.replace("\"", "\"\"");
        b = '"' + b + '"';
    }
    return b;
}

// Draws one table from the top-left corner; returns the height used.
int drawTable(QPainter& p, const Table& t, QPoint at, int width, int line) {
    QFont bold = p.font();
    bold.setBold(true);
    const QFont plain = p.font();
    int y = at.y();
    p.setFont(bold);
    p.drawText(QRect(at.x(), y, width, line), Qt::AlignLeft | Qt::AlignVCenter, t.title);
    y += line;
    const int nameW = width * 38 / 100;
    const int cols = std::max<int>(1, int(t.heads.size()));
    const int unitW = width * 8 / 100;
    const int colW = (width - nameW - unitW) / cols;
    if (!t.heads.isEmpty()) {
        for (int i = 0; i < t.heads.size(); ++i)
            p.drawText(QRect(at.x() + nameW + i * colW, y, colW, line),
                       Qt::AlignLeft | Qt::AlignVCenter, t.heads[i]);
        y += line;
    }
    p.setFont(plain);
    for (const Row& r : t.rows) {
        p.drawText(QRect(at.x(), y, nameW, line), Qt::AlignLeft | Qt::AlignVCenter, r.name);
        // A single value (or a row whose later cells are empty) may use the whole width.
        const bool wide =
            t.heads.isEmpty() || std::all_of(r.values.begin() + 1, r.values.end(),
                                             [](const QString& s) { return s.isEmpty(); });
        for (int i = 0; i < r.values.size(); ++i) {
            const int w = wide ? width - nameW - unitW : colW;
            p.drawText(QRect(at.x() + nameW + i * colW, y, w, line),
                       Qt::AlignLeft | Qt::AlignVCenter,
                       p.fontMetrics().elidedText(r.values[i], Qt::ElideRight, w - line / 4));
            if (wide)
                break;
        }
        p.drawText(QRect(at.x() + width - unitW, y, unitW, line), Qt::AlignLeft | Qt::AlignVCenter,
                   r.unit);
        y += line;
    }
    return y - at.y() + line / 2;
}

// One axis' profiles of the three beams with their fitted Gaussians.
void drawProfiles(QPainter& p, const ms::BeamAnalysisResult& a, int axis, const QRect& box,
                  int line) {
    p.setPen(QPen(Qt::black, 2));
    p.drawRect(box);
    p.drawText(box.adjusted(line / 3, 0, 0, 0), Qt::AlignTop | Qt::AlignLeft,
               axis == 0 ? QStringLiteral("Profile x (mrad from the centroid)")
                         : QStringLiteral("Profile y (mrad from the centroid)"));
    double span = 0, top = 0;
    for (const ms::BeamChannelResult& ch : a.channel) {
        const ms::BeamProfile& pr = axis == 0 ? ch.profileX : ch.profileY;
        for (size_t i = 0; i < pr.position.size(); ++i) {
            span = std::max(span, double(std::abs(pr.position[i])));
            top = std::max(top, double(pr.value[i]));
        }
    }
    if (!a.profiles || span <= 0 || top <= 0) {
        p.drawText(box, Qt::AlignCenter, QStringLiteral("no profiles"));
        return;
    }
    const QRectF plot = QRectF(box).adjusted(line / 2, line * 1.3, -line / 2, -line / 2);
    const auto map = [&](double pos, double v) {
        return QPointF(plot.center().x() + pos / span * plot.width() / 2,
                       plot.bottom() - std::max(0.0, v) / top * plot.height());
    };
    const QColor colours[3] = {QColor(200, 0, 0), QColor(0, 150, 0), QColor(0, 0, 200)};
    for (size_t c = 0; c < 3; ++c) {
        const ms::BeamProfile& pr = axis == 0 ? a.channel[c].profileX : a.channel[c].profileY;
        if (pr.position.empty())
            continue;
        QPainterPath data;
        for (size_t i = 0; i < pr.position.size(); ++i) {
            const QPointF pt = map(pr.position[i], pr.value[i]);
            i == 0 ? data.moveTo(pt) : data.lineTo(pt);
        }
        p.setPen(QPen(colours[c], 3));
        p.drawPath(data);
        if (pr.fit) {
            QPainterPath fit;
            for (int k = 0; k <= 200; ++k) {
                const double pos = -span + 2 * span * k / 200.0;
                const double d = (pos - pr.fit->centre) / pr.fit->sigma;
                const QPointF pt = map(pos, pr.fit->amplitude * std::exp(-0.5 * d * d));
                k == 0 ? fit.moveTo(pt) : fit.lineTo(pt);
            }
            p.setPen(QPen(colours[c], 2, Qt::DashLine));
            p.drawPath(fit);
        }
    }
    p.setPen(Qt::black);
}

} // namespace

QString defaultReportName(const QString& serial, const QString& unit, const QDateTime& when) {
    QString base = cleanName(serial.isEmpty() ? QStringLiteral("report") : serial);
    if (!unit.trimmed().isEmpty())
        base += QLatin1Char('_') + cleanName(unit.trimmed());
    return base + when.toString(QStringLiteral("_yyyyMMdd_HHmmss")) + QStringLiteral(".pdf");
}

QByteArray reportCsv(const ReportContent& content) {
    QByteArray out = "section,quantity,value,unit\n";
    for (const Table& t : tables(content)) {
        for (const Row& r : t.rows) {
            for (int i = 0; i < r.values.size(); ++i) {
                if (!t.heads.isEmpty() && r.values[i].isEmpty())
                    continue;
                const QString name = t.heads.isEmpty() || r.name == QLatin1String("Verdict")
                                         ? r.name
                                         : r.name + QLatin1Char(' ') + t.heads.value(i);
                out += csvCell(t.title) + ',' + csvCell(name) + ',' + csvCell(r.values[i]) + ',' +
                       csvCell(r.unit) + '\n';
            }
        }
    }
    return out;
}

bool writeReport(const ReportContent& content, const QString& pdfPath, QString* error) {
    const auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    QSaveFile pdfFile(pdfPath);
    if (!pdfFile.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("%1 cannot be written: %2").arg(pdfPath, pdfFile.errorString()));
    {
        QPdfWriter pdf(&pdfFile);
        pdf.setPageSize(QPageSize(QPageSize::A4));
        pdf.setResolution(300);
        pdf.setPageMargins(QMarginsF(12, 12, 12, 12), QPageLayout::Millimeter);
        pdf.setTitle(QStringLiteral("Lumetra measurement report ") + content.serial);
        pdf.setCreator(QStringLiteral("Lumetra"));
        QPainter p(&pdf);
        if (!p.isActive())
            return fail(QStringLiteral("%1 cannot be drawn").arg(pdfPath));
        const QRect page(QPoint(0, 0), QSize(pdf.width(), pdf.height()));
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPointSizeF(7.0);
        p.setFont(font);
        const int line = p.fontMetrics().height() * 12 / 10;

        QFont title = font;
        title.setPointSizeF(14);
        title.setBold(true);
        p.setFont(title);
        const int titleH = p.fontMetrics().height() * 14 / 10;
        p.drawText(QRect(page.left(), page.top(), page.width(), titleH), Qt::AlignLeft,
                   QStringLiteral("Lumetra measurement report"));
        p.setFont(font);

        const QList<Table> all = tables(content);
        const int gap = line;
        const int leftW = page.width() * 45 / 100;
        const int rightX = page.left() + leftW + gap;
        const int rightW = page.width() - leftW - gap;
        int yLeft = page.top() + titleH;
        int yRight = page.top() + titleH;

        // The spot image with its region, as large as the column allows.
        const FrameReport* f = content.frame.get();
        if (f && !f->frame.isNull()) {
            QSize s = f->frame.size().scaled(leftW, page.height() * 30 / 100, Qt::KeepAspectRatio);
            const QRect target(page.left(), yLeft, s.width(), s.height());
            p.drawImage(target, f->frame);
            if (!f->roi.isNull()) {
                const double k = double(s.width()) / f->frame.width();
                const QRectF roi(target.left() + f->roi.x() * k, target.top() + f->roi.y() * k,
                                 f->roi.width() * k, f->roi.height() * k);
                p.setPen(QPen(QColor(0, 255, 0), 4));
                p.drawRect(roi);
                p.setPen(Qt::black);
            }
            yLeft += s.height() + gap;
        }
        const ms::BeamAnalysisResult& a = analysisOf(content);
        const int plotH = page.height() * 14 / 100;
        for (int axis = 0; axis < 2; ++axis) {
            drawProfiles(p, a, axis, QRect(page.left(), yLeft, leftW, plotH), line);
            yLeft += plotH + gap;
        }
        // The tolerances under the plots, the set-up and the measured values on the right.
        for (const Table& t : all) {
            const bool left = t.title == QLatin1String("Tolerances");
            if (left)
                yLeft += drawTable(p, t, QPoint(page.left(), yLeft), leftW, line);
            else
                yRight += drawTable(p, t, QPoint(rightX, yRight), rightW, line);
        }

        // The verdict, large, at the foot of the right column.
        const QString verdict = overallVerdict(content);
        QFont big = font;
        big.setPointSizeF(12);
        big.setBold(true);
        p.setFont(big);
        const bool pass = verdict.startsWith(QLatin1String("PASS"));
        const bool none = !content.limits.any();
        p.setPen(none ? Qt::black : pass ? QColor(0, 130, 0) : QColor(200, 0, 0));
        p.drawText(QRect(rightX, yRight + gap, rightW, p.fontMetrics().height() * 3),
                   Qt::AlignLeft | Qt::TextWordWrap, verdict);
        p.end();
    }
    if (!pdfFile.commit())
        return fail(QStringLiteral("%1 cannot be written: %2").arg(pdfPath, pdfFile.errorString()));

    const QFileInfo info(pdfPath);
    const QString csvPath =
        info.path() + QLatin1Char('/') + info.completeBaseName() + QStringLiteral(".csv");
    QSaveFile csv(csvPath);
    if (!csv.open(QIODevice::WriteOnly) || csv.write(reportCsv(content)) < 0 || !csv.commit())
        return fail(QStringLiteral("%1 cannot be written: %2").arg(csvPath, csv.errorString()));
    return true;
}

} // namespace lumetra::session
