#include "ReferencePipeline.h"

#include <QColor>
#include <QRect>
#include <cmath>

namespace reference {

using namespace lumetra::measure;

ReferencePipeline::ReferencePipeline() : m_historyR(1200), m_historyG(1200), m_historyB(1200) {}

QList<int>& ReferencePipeline::hist(std::vector<std::unique_ptr<Column>>& h, int x, int y) {
    if (!h[x]) {
        h[x] = std::make_unique<Column>(1200);
    }
    return (*h[x])[y];
}

int ReferencePipeline::stabilizeBand(QImage* image, int band, int depth) {
    const int w = image->width();
    const int h = image->height();
    for (int x = 0; x < w; ++x) {
        for (int y = band * h / 4; y <= (band + 1) * h / 4 - 1; ++y) {
            const QColor c(image->pixel(x, y));
            QList<int>& hr = hist(m_historyR, x, y);
            QList<int>& hg = hist(m_historyG, x, y);
            QList<int>& hb = hist(m_historyB, x, y);
            hr.append(c.red());
            hg.append(c.green());
            hb.append(c.blue());
            while (hr.size() > depth) {
                hr.removeFirst();
                hg.removeFirst();
                hb.removeFirst();
            }
            int mr = 0, mg = 0, mb = 0;
            for (int v : hr) {
                mr = v > mr ? v : mr;
            }
            for (int v : hg) {
                mg = v > mg ? v : mg;
            }
            for (int v : hb) {
                mb = v > mb ? v : mb;
            }
            image->setPixel(x, y, qRgb(mr, mg, mb));
        }
    }
    return 0;
}

int ReferencePipeline::measureSpot(const QImage& img, int selector, int* maxOut, QPoint* centre,
                                   QPoint* size, QString* label) {
    const int w = img.width();
    const int h = img.height();
    auto v = [&](int x, int y) {
        int r, g, b;
        QColor(img.pixel(x, y)).getRgb(&r, &g, &b);
        switch (selector) {
        case 0:
            return r + g + b;
        case 1:
            return r;
        case 2:
            return g;
        default:
            return b;
        }
    };
    int max = 0, firstCol = -1, lastCol = -1;
    for (int x = 0; x < w; ++x) {
        int n = 0;
        for (int y = 0; y < h; ++y) {
            const int val = v(x, y);
            if (val > 10) {
                n = n + 1;
                if (n >= 5) {
                    lastCol = x;
                    if (firstCol == -1) {
                        firstCol = x;
                    }
                    if (val > max) {
                        max = val;
                    }
                }
            }
        }
    }
    int firstRow = -1, lastRow = -1;
    for (int y = 0; y < h; ++y) {
        int n = 0;
        for (int x = 0; x < w; ++x) {
            if (v(x, y) > 10) {
                n = n + 1;
                if (n == 5) {
                    lastRow = y;
                    if (firstRow == -1) {
                        firstRow = y;
                    }
                    break;
                }
            }
        }
    }
    *maxOut = max;
    if (selector != 0 && label) {
        *label = max <= 25 ? QString("N/A") : QString::number(max * 100 / 255) + "%";
    }
    if (lastCol - firstCol <= 10 || lastRow - firstRow <= 10) {
        return 0;
    }
    const int half = max / 2;
    int fFirstCol = -1, fLastCol = -1;
    for (int x = firstCol; x <= lastCol - 1; ++x) {
        int n = 0;
        for (int y = firstRow; y <= lastRow - 1; ++y) {
            if (v(x, y) > half) {
                n = n + 1;
                if (n == 5) {
                    fLastCol = x;
                    if (fFirstCol == -1) {
                        fFirstCol = x;
                    }
                    break;
                }
            }
        }
    }
    int fFirstRow = -1, fLastRow = -1;
    for (int y = firstRow; y <= lastRow - 1; ++y) {
        int n = 0;
        for (int x = firstCol; x <= lastCol - 1; ++x) {
            if (v(x, y) > half) {
                n = n + 1;
                if (n == 5) {
                    fLastRow = y;
                    if (fFirstRow == -1) {
                        fFirstRow = y;
                    }
                    break;
                }
            }
        }
    }
    if (centre) {
        *centre = QPoint((fLastCol + fFirstCol) / 2, (fLastRow + fFirstRow) / 2);
    }
    *size = QPoint(fLastCol - fFirstCol, fLastRow - fFirstRow);
    return 0;
}

namespace {

QString f2(double v) {
    return QString::number(v, 'f', 2);
}

MeasurePair divergence(QPoint s) {
    if (s.x() == -1 && s.y() == -1) {
        return {-1, -1};
    }
    float x = (2 * s.x()) / 200.0f;
    float y = (2 * s.y()) / 200.0f;
    return {float(x - 0.02), float(y - 0.02)};
}

MeasurePair alignment(QPoint a, QPoint b) {
    if ((a.x() == -1 && a.y() == -1) || (b.x() == -1 && b.y() == -1)) {
        return {-100, -100};
    }
    float x = 2.0f * (a.x() - b.x()) / 200;
    float y = 2.0f * (b.y() - a.y()) / 200;
    return {x, y};
}

QString divText(MeasurePair p) {
    if (p.x > 0 && p.y > 0) {
        float g = sqrtf(p.x * p.y);
        return f2(p.x) + " x " + f2(p.y) + " [" + f2(g) + "]";
    }
    return "N/A";
}

QString alignText(MeasurePair p) {
    if (p.x > -99 && p.y > -99) {
        return f2(p.x) + " x " + f2(p.y);
    }
    return "N/A";
}

} // namespace

FrameResult ReferencePipeline::process(const FrameInput& in) {
    FrameResult r;
    // The stabiliser history covers 1200 x 1200; larger crops are cut to it.
    QImage crop = in.crop.convertToFormat(QImage::Format_RGB888);
    if (crop.width() > 1200 || crop.height() > 1200) {
        crop = crop.copy(0, 0, qMin(crop.width(), 1200), qMin(crop.height(), 1200));
    }
    for (int band = 0; band < 4; ++band) {
        stabilizeBand(&crop, band, in.stabDepth);
    }
    r.stabilisedCrop = crop;

    // ComputeMeasures on a copy of the stabilised crop.
    const QImage k = crop.copy();
    const int W = k.width();
    const int H = k.height();
    if (W <= 10 || H <= 10) {
        return r;
    }
    r.measured = true;
    r.stabilised = in.stabCount >= in.stabDepth;
    int sx = 0, sy = 0;
    if (in.corner) {
        switch (*in.corner) {
        case Corner::BL:
            sx = -5, sy = 5;
            break;
        case Corner::BR:
            sx = 5, sy = 5;
            break;
        case Corner::TL:
            sx = -5, sy = -5;
            break;
        case Corner::TR:
            sx = 5, sy = -5;
            break;
        }
    }
    const double* M = in.unmix.data();
    QImage corrected = k.copy(QRect(5, 5, W - 10, H - 10));
    qint64 SR = 0, SG = 0, SB = 0;
    auto clampOut = [](double s) {
        float f = float(s);
        if (f < 0) {
            f = 0;
        }
        if (f > 255) {
            f = 255;
        }
        return int(f);
    };
    for (int x = 0; x < corrected.width(); ++x) {
        for (int y = 0; y < corrected.height(); ++y) {
            int rA, gA, bA, rB, gB, bB, rP, gP, bP;
            QColor(k.pixel(x + 5 + sx, y + 5 + sy)).getRgb(&rA, &gA, &bA);
            QColor(k.pixel(x + 5, y + 5)).getRgb(&rB, &gB, &bB);
            QColor(k.pixel(x + 5 - sx, y + 5 - sy)).getRgb(&rP, &gP, &bP);
            double red = M[0] * rA + M[1] * gA + M[2] * bA;
            double green = M[3] * rB + M[4] * gB + M[5] * bB;
            double blue = M[6] * rP + M[7] * gP + M[8] * bP;
            corrected.setPixel(x, y, qRgb(clampOut(red), clampOut(green), clampOut(blue)));
            SR += rP;
            SG += gP;
            SB += bP;
        }
    }
    r.channelSums = {SR, SG, SB};
    r.cornerSignal[0] = float(M[0] * double(SR) + M[1] * double(SG) + M[2] * double(SB));
    r.cornerSignal[1] = float(M[3] * double(SR) + M[4] * double(SG) + M[5] * double(SB));
    r.cornerSignal[2] = float(M[6] * double(SR) + M[7] * double(SG) + M[8] * double(SB));

    using T = lumetra::measure::ResultText;
    auto& t = r.texts;
    if (in.stabCount < in.stabDepth) {
        t[T::PowerRed] = "Processing...";
        t[T::PowerGreen] = "Processing...";
        t[T::PowerBlue] = "Processing...";
        t[T::PowerTotal] = "Processing...";
    } else if (!in.calibrationRunning) {
        std::array<double, 3> p;
        for (int c = 0; c < 3; ++c) {
            float perUs = r.cornerSignal[c] / in.exposureUs;
            p[c] = perUs / in.powerFactor[c];
        }
        t[T::PowerRed] = p[0] > 0.05 ? f2(p[0]) + " W" : QString("Low");
        t[T::PowerGreen] = p[1] > 0.05 ? f2(p[1]) + " W" : QString("Low");
        t[T::PowerBlue] = p[2] > 0.05 ? f2(p[2]) + " W" : QString("Low");
        double total = p[0] + p[1] + p[2];
        t[T::PowerTotal] = total > 0.15 ? f2(total) + " W" : QString("Low");
        r.power = p;
        r.totalPower = total;
    }

    QString peak[3];
    measureSpot(corrected, 0, &r.maxAll, nullptr, &r.sizeAll, nullptr);
    measureSpot(corrected, 1, &r.maxR, &r.centreR, &r.sizeR, &peak[0]);
    measureSpot(corrected, 2, &r.maxG, &r.centreG, &r.sizeG, &peak[1]);
    measureSpot(corrected, 3, &r.maxB, &r.centreB, &r.sizeB, &peak[2]);
    t[T::PeakRed] = peak[0];
    t[T::PeakGreen] = peak[1];
    t[T::PeakBlue] = peak[2];
    int K = r.maxR;
    if (r.maxG > K) {
        K = r.maxG;
    }
    if (r.maxB > K) {
        K = r.maxB;
    }

    for (int x = 0; x < corrected.width(); ++x) {
        for (int y = 0; y < corrected.height(); ++y) {
            QColor c(corrected.pixel(x, y));
            int red = c.red() * in.redBoost;
            corrected.setPixel(x, y, qRgb(red > 255 ? 255 : red, c.green(), c.blue()));
        }
    }
    r.correctedImage = corrected;

    if (in.stabCount < in.stabDepth || K <= 15) {
        t[T::ExposureWarning] = "";
    } else if (K <= 19) {
        t[T::ExposureWarning] = "Exposure too low, the measure is incorrect";
        r.exposureFactor = 1.1;
    } else if (K <= 134) {
        t[T::ExposureWarning] = "Exposure is low, the measure is not accurate";
        r.exposureFactor = 1.1;
    } else if (K <= 209) {
        t[T::ExposureWarning] = "";
        r.exposureFactor = 1.02;
    } else if (K <= 249) {
        t[T::ExposureWarning] = "";
    } else {
        t[T::ExposureWarning] = "Exposure too high, the measure is incorrect";
        r.exposureFactor = 0.94;
    }

    r.pairs[0] = divergence(r.sizeAll);
    r.pairs[1] = divergence(r.sizeR);
    r.pairs[2] = divergence(r.sizeG);
    r.pairs[3] = divergence(r.sizeB);
    r.pairs[4] = alignment(r.centreR, r.centreG);
    r.pairs[5] = alignment(r.centreB, r.centreG);
    r.pairs[6] = alignment(r.centreR, r.centreB);

    if (in.stabCount < in.stabDepth) {
        t[T::RegionWarning] = "";
        t[T::DivergenceAll] = t[T::DivergenceRed] = "Processing...";
        t[T::DivergenceGreen] = t[T::DivergenceBlue] = "Processing...";
        t[T::AlignmentRG] = t[T::AlignmentBG] = t[T::AlignmentRB] = "Processing...";
    } else {
        t[T::DivergenceAll] = divText(r.pairs[0]);
        t[T::DivergenceRed] = divText(r.pairs[1]);
        t[T::DivergenceGreen] = divText(r.pairs[2]);
        t[T::DivergenceBlue] = divText(r.pairs[3]);
        t[T::AlignmentRG] = alignText(r.pairs[4]);
        t[T::AlignmentBG] = alignText(r.pairs[5]);
        t[T::AlignmentRB] = alignText(r.pairs[6]);
    }
    return r;
}

} // namespace reference
