#include "SimulatedHead.h"

#include <QRegularExpression>
#include <QSettings>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumetra::sim {

namespace {

constexpr const char* kChannelPrefix[3] = {"R", "G", "B"};
constexpr const char* kDefaultWavelength[3] = {"635", "520", "445"};
constexpr double kDefaultSignal[3] = {29.0, 59.0, 43.0};
// Factory default colour response column of each channel (camera red, green, blue).
constexpr double kDefaultResponse[3][3] = {
    {0.978, 0.209, 0.039}, {0.074, 0.956, 0.286}, {0.027, 0.064, 0.998}};

// Length of the noise table beyond the longest line; each line starts at a random place.
constexpr size_t kNoiseSpan = 65536;

QStringList listValue(QSettings& s, const QString& key) {
    const QVariant v = s.value(key);
    QStringList parts = v.toStringList();
    if (parts.size() == 1) // written quoted, or with blanks as separators
        parts =
            parts.first().split(QRegularExpression(QStringLiteral("[,;\\s]+")), Qt::SkipEmptyParts);
    for (QString& p : parts)
        p = p.trimmed();
    parts.removeAll(QString());
    return parts;
}

// Reads the number keys of one group; a key that is there but is not a number within
// its range keeps the default and is noted.
class KeyReader {
public:
    KeyReader(QSettings& s, std::vector<std::string>& refused) : m_s(s), m_refused(refused) {}

    double number(const QString& key, double fallback,
                  double lowest = -std::numeric_limits<double>::max(),
                  double highest = std::numeric_limits<double>::max()) {
        if (!m_s.contains(key))
            return fallback;
        const QVariant value = m_s.value(key);
        // A value with a comma comes back from the ini reader as a list.
        const QString text =
            (value.typeId() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(','))
                                                      : value.toString())
                .trimmed();
        bool ok = false;
        const double v = text.toDouble(&ok);
        if (ok && std::isfinite(v) && v >= lowest && v <= highest)
            return v;
        m_refused.push_back((key + QLatin1Char('=') + text.left(40) +
                             QStringLiteral(" refused, default ") + QString::number(fallback) +
                             QStringLiteral(" used"))
                                .toStdString());
        return fallback;
    }
    int integer(const QString& key, int fallback, int lowest, int highest) {
        return int(number(key, fallback, lowest, highest));
    }

private:
    QSettings& m_s;
    std::vector<std::string>& m_refused;
};

// Fills out[0..n) with numbers from the key; entries that are missing or unreadable keep
// what out holds.
void numbersValue(QSettings& s, const QString& key, double* out, int n) {
    const QStringList parts = listValue(s, key);
    if (parts.size() != n)
        return;
    double values[3];
    for (int i = 0; i < n; ++i) {
        bool ok = false;
        values[i] = parts[i].toDouble(&ok);
        if (!ok || !std::isfinite(values[i]))
            return;
    }
    std::copy(values, values + n, out);
}

int boundedIndex(double v, int lowest, int highest) {
    if (!(v > lowest)) // also NaN
        return lowest;
    return v < highest ? int(v) : highest;
}

// The sensor's analogue level in 1/256 counts, before the converter: noise is added to
// this and only the sum is quantised, as a real sensor does. Quantising first would round
// every faint tail and crosstalk share below half a count away, noise or not, and would put
// a fractional black level a half count off beside the beams.
constexpr double kFixedOne = 256.0;
uint16_t toFixed(double v) {
    if (!(v > 0.0))
        return 0;
    const double f = v * kFixedOne + 0.5;
    return f >= 65535.0 ? uint16_t(65535) : uint16_t(f);
}

// Share of a Gaussian (centre c, sigma s) that falls on the pixel with centre i.
double pixelShare(int i, double c, double s) {
    const double k = 1.0 / (s * std::sqrt(2.0));
    return 0.5 * (std::erf((i + 0.5 - c) * k) - std::erf((i - 0.5 - c) * k));
}

// dst = clamp(round((src + up - down) / 256), 0, 255), saturating in 16 bits.
void addNoise(uint8_t* dst, const uint16_t* src, const uint16_t* up, const uint16_t* down,
              size_t n) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i half = _mm_set1_epi16(128);
    for (; i + 16 <= n; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 8));
        a = _mm_subs_epu16(
            _mm_adds_epu16(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(up + i))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(down + i)));
        b = _mm_subs_epu16(
            _mm_adds_epu16(b, _mm_loadu_si128(reinterpret_cast<const __m128i*>(up + i + 8))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(down + i + 8)));
        a = _mm_srli_epi16(_mm_adds_epu16(a, half), 8);
        b = _mm_srli_epi16(_mm_adds_epu16(b, half), 8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packus_epi16(a, b));
    }
#endif
    for (; i < n; ++i) {
        const int v = std::clamp(int(src[i]) + int(up[i]) - int(down[i]), 0, 65535);
        dst[i] = uint8_t(std::min((v + 128) >> 8, 255));
    }
}

// Formats the renderer produces; other names of the same layout (RGB8Packed) count too.
bool renderable(sdk::PixelType type) {
    return type == sdk::PixelType::RGB8 || type == sdk::PixelType::Mono8 || sdk::isBayer(type);
}

} // namespace

HeadConfig::HeadConfig() {
    for (int c = 0; c < 3; ++c) {
        beams[c].wavelength = kDefaultWavelength[c];
        beams[c].signal = kDefaultSignal[c];
        std::copy(kDefaultResponse[c], kDefaultResponse[c] + 3, beams[c].response);
    }
}

HeadConfig HeadConfig::fromSettings(QSettings& s, const QString& group) {
    HeadConfig h;
    h.group = group.toStdString();
    s.beginGroup(group);
    KeyReader keys(s, h.refused);
    if (s.contains(QStringLiteral("serial"))) {
        const QString serial = s.value(QStringLiteral("serial")).toString().trimmed();
        if (!serial.isEmpty())
            h.serial = serial.toStdString();
    }
    // A name with commas comes back from the ini reader as a list.
    const QString name =
        s.value(QStringLiteral("name")).toStringList().join(QStringLiteral(", ")).trimmed();
    if (!name.isEmpty())
        h.name = name.toStdString();
    h.sensorWidth = keys.integer(QStringLiteral("sensorWidth"), h.sensorWidth, 16, kMaxSensorSide);
    h.sensorHeight =
        keys.integer(QStringLiteral("sensorHeight"), h.sensorHeight, 16, kMaxSensorSide);
    // 0 is "unlimited"; a negative rate means nothing and is refused like any bad key.
    h.maxFps = keys.number(QStringLiteral("maxFps"), h.maxFps, 0.0, 1e6);
    h.temperature = keys.number(QStringLiteral("temperature"), h.temperature, -273.0, 1e4);
    h.temperatureRise = keys.number(QStringLiteral("temperatureRise"), h.temperatureRise);
    const QString corner =
        s.value(QStringLiteral("corner"), QStringLiteral("BR")).toString().trimmed().toUpper();
    if (corner == QLatin1String("TL"))
        h.corner = LandingCorner::TL;
    else if (corner == QLatin1String("TR"))
        h.corner = LandingCorner::TR;
    else if (corner == QLatin1String("BL"))
        h.corner = LandingCorner::BL;
    else
        h.corner = LandingCorner::BR;

    for (int c = 0; c < 3; ++c) {
        BeamConfig& b = h.beams[c];
        const QString p = QLatin1String(kChannelPrefix[c]) + QLatin1Char('_');
        const QString wl = s.value(p + QStringLiteral("wavelength")).toString().trimmed();
        if (!wl.isEmpty())
            b.wavelength = wl.toStdString();
        b.power = std::max(0.0, keys.number(p + QStringLiteral("power"), b.power));
        double div[2] = {b.divergenceX, b.divergenceY};
        numbersValue(s, p + QStringLiteral("divergence"), div, 2);
        // A zero or negative width has no Gaussian; keep the beam visible as a narrow spot.
        b.divergenceX = std::max(div[0], 0.001);
        b.divergenceY = std::max(div[1], 0.001);
        double off[2] = {b.offsetX, b.offsetY};
        numbersValue(s, p + QStringLiteral("offset"), off, 2);
        b.offsetX = off[0];
        b.offsetY = off[1];
        numbersValue(s, p + QStringLiteral("response"), b.response, 3);
        b.signal = std::max(0.0, keys.number(p + QStringLiteral("signal"), b.signal));
        double drift[2] = {b.driftX, b.driftY};
        numbersValue(s, p + QStringLiteral("drift"), drift, 2);
        b.driftX = drift[0];
        b.driftY = drift[1];
        // A ripple beyond 100 % would ask for negative power.
        double ripple[2] = {b.ripple, b.ripplePeriod};
        numbersValue(s, p + QStringLiteral("ripple"), ripple, 2);
        if (ripple[0] >= 0.0 && ripple[0] <= 100.0 && ripple[1] > 0.0) {
            b.ripple = ripple[0];
            b.ripplePeriod = ripple[1];
        }
    }

    h.background = keys.number(QStringLiteral("background"), h.background);
    // Beyond a full byte the noise only saturates; the cap keeps its table in range.
    h.noise = std::max(0.0, keys.number(QStringLiteral("noise"), h.noise, -1e9, 1000.0));
    if (s.contains(QStringLiteral("pixelFormats"))) {
        std::vector<std::string> formats;
        for (const QString& f : listValue(s, QStringLiteral("pixelFormats")))
            if (renderable(sdk::pixelTypeFromName(f.toStdString())) &&
                std::find(formats.begin(), formats.end(), f.toStdString()) == formats.end())
                formats.push_back(f.toStdString());
        if (!formats.empty())
            h.pixelFormats = formats;
    }
    h.linkBandwidth = keys.number(QStringLiteral("linkBandwidth"), h.linkBandwidth, 0.0, 1e6);
    h.monoPaddingX = keys.integer(QStringLiteral("monoPaddingX"), h.monoPaddingX, 0, kMaxPaddingX);
    h.timeoutEvery = keys.integer(QStringLiteral("timeoutEvery"), 0, 0, 1000000000);
    h.failEvery = keys.integer(QStringLiteral("failEvery"), 0, 0, 1000000000);
    h.unplugAfter = keys.integer(QStringLiteral("unplugAfter"), 0, 0, 1000000000);
    s.endGroup();
    return h;
}

bool HeadConfig::changesOverTime() const {
    for (const BeamConfig& b : beams)
        if (b.driftX != 0.0 || b.driftY != 0.0 || b.ripple != 0.0)
            return true;
    return false;
}

double beamPower(const BeamConfig& beam, double seconds) {
    constexpr double kTwoPi = 6.283185307179586;
    return beam.power *
           (1.0 + beam.ripple / 100.0 * std::sin(kTwoPi * seconds / beam.ripplePeriod));
}

QPointF beamCentreOnDisplay(const HeadConfig& head, int channel, double seconds) {
    const double w = head.sensorWidth;
    const double h = head.sensorHeight;
    double cx = 0.75 * w, cy = 0.75 * h, dx = 1.0, dy = 1.0;
    switch (head.corner) {
    case LandingCorner::TL:
        cx = 0.25 * w, cy = 0.25 * h, dx = -1.0, dy = -1.0;
        break;
    case LandingCorner::TR:
        cx = 0.75 * w, cy = 0.25 * h, dx = 1.0, dy = -1.0;
        break;
    case LandingCorner::BL:
        cx = 0.25 * w, cy = 0.75 * h, dx = -1.0, dy = 1.0;
        break;
    case LandingCorner::BR:
        break;
    }
    const BeamConfig& b = head.beams[channel];
    const double minutes = seconds / 60.0;
    cx += (b.offsetX + b.driftX * minutes) / kMradPerPixel;
    cy -= (b.offsetY + b.driftY * minutes) / kMradPerPixel; // upwards is towards smaller rows
    const double shift = channel == 0 ? kChannelShiftPx : channel == 2 ? -kChannelShiftPx : 0.0;
    return QPointF(cx + shift * dx, cy + shift * dy);
}

double sigmaPixels(double fwhmMrad) {
    return fwhmMrad / kMradPerPixel / (2.0 * std::sqrt(2.0 * std::log(2.0)));
}

bool FrameLayout::operator==(const FrameLayout& o) const {
    return offsetX == o.offsetX && offsetY == o.offsetY && width == o.width && height == o.height &&
           mono == o.mono && paddingX == o.paddingX && exposureUs == o.exposureUs &&
           bayer == o.bayer && seconds == o.seconds;
}

Renderer::Renderer(HeadConfig head, uint64_t seed) : m_head(std::move(head)), m_rng(seed) {
    m_hasNoise = m_head.noise > 0.0;
    if (m_hasNoise) {
        const size_t n = kNoiseSpan + size_t(3 * m_head.sensorWidth + m_head.monoPaddingX) + 16;
        m_noiseUp.resize(n);
        m_noiseDown.resize(n);
        std::normal_distribution<double> gauss(0.0, m_head.noise * kFixedOne);
        for (size_t i = 0; i < n; ++i) {
            const long v = std::lround(gauss(m_rng));
            m_noiseUp[i] = uint16_t(std::clamp(v, 0L, 65535L));
            m_noiseDown[i] = uint16_t(std::clamp(-v, 0L, 65535L));
        }
        const std::vector<uint16_t> background(n, toFixed(m_head.background));
        m_noisyBackground.resize(n);
        addNoise(m_noisyBackground.data(), background.data(), m_noiseUp.data(), m_noiseDown.data(),
                 n);
    }
}

const std::vector<uint8_t>& Renderer::cleanFrame(const FrameLayout& layout) {
    prepare(layout);
    if (!m_clean8Valid) {
        m_clean8.resize(m_clean.size());
        for (size_t i = 0; i < m_clean.size(); ++i)
            m_clean8[i] = uint8_t(std::min((m_clean[i] + 128) >> 8, 255));
        m_clean8Valid = true;
    }
    return m_clean8;
}

void Renderer::prepare(const FrameLayout& layout) {
    if (m_cleanValid && layout == m_cleanLayout)
        return;
    const int w = layout.width, h = layout.height;
    m_clean.assign(layout.frameBytes(), 0);
    m_lineSpans.assign(size_t(std::max(h, 0)), {});
    m_cleanLayout = layout;
    m_cleanValid = true;
    m_clean8Valid = false;
    if (w <= 0 || h <= 0)
        return;

    struct Spot {
        double amp[3];
        std::vector<double> gx, gy;
        int x0, x1, y0, y1; // window range with a visible share
    };
    std::vector<Spot> spots;
    for (int c = 0; c < 3; ++c) {
        const BeamConfig& b = m_head.beams[c];
        const double total = b.signal * beamPower(b, layout.seconds) * layout.exposureUs;
        if (!(total > 0.0))
            continue;
        const QPointF d = beamCentreOnDisplay(m_head, c, layout.seconds);
        // Display to sensor orientation (turned by 180 degrees), then into the window.
        const double cx = (m_head.sensorWidth - 1 - d.x()) - layout.offsetX;
        const double cy = (m_head.sensorHeight - 1 - d.y()) - layout.offsetY;
        const double sx = sigmaPixels(b.divergenceX), sy = sigmaPixels(b.divergenceY);
        Spot s;
        for (int k = 0; k < 3; ++k)
            s.amp[k] = total * b.response[k];
        // Far-off or huge beams give bounds beyond any int: clamp before converting.
        s.x0 = boundedIndex(std::floor(cx - 8 * sx - 1), 0, w);
        s.x1 = boundedIndex(std::ceil(cx + 8 * sx + 1), -1, w - 1);
        s.y0 = boundedIndex(std::floor(cy - 8 * sy - 1), 0, h);
        s.y1 = boundedIndex(std::ceil(cy + 8 * sy + 1), -1, h - 1);
        if (s.x0 > s.x1 || s.y0 > s.y1)
            continue;
        s.gx.assign(w, 0.0);
        s.gy.assign(h, 0.0);
        for (int x = s.x0; x <= s.x1; ++x)
            s.gx[x] = pixelShare(x, cx, sx);
        for (int y = s.y0; y <= s.y1; ++y)
            s.gy[y] = pixelShare(y, cy, sy);
        spots.push_back(std::move(s));
    }

    const double bg = m_head.background;
    const uint16_t bgLevel = toFixed(bg);
    const int bpl = layout.bytesPerLine();
    std::vector<const Spot*> active;
    for (int y = 0; y < h; ++y) {
        uint16_t* line = m_clean.data() + size_t(y) * bpl;
        std::fill(line, line + (layout.oneByte() ? size_t(w) : size_t(3 * w)), bgLevel);
        active.clear();
        int xa = w, xb = -1;
        for (const Spot& s : spots)
            if (y >= s.y0 && y <= s.y1) {
                active.push_back(&s);
                xa = std::min(xa, s.x0);
                xb = std::max(xb, s.x1);
            }
        // Beyond every beam's reach the clean value is the background itself.
        std::pair<size_t, size_t> reach[3];
        int n = 0;
        const size_t px = layout.oneByte() ? 1 : 3;
        for (const Spot* s : active)
            reach[n++] = {px * size_t(s->x0), px * size_t(s->x1 + 1)};
        std::sort(reach, reach + n);
        LineSpans& spans = m_lineSpans[size_t(y)];
        for (int k = 0; k < n; ++k) {
            auto* last = spans.count > 0 ? &spans.span[spans.count - 1] : nullptr;
            if (last && reach[k].first <= last->second)
                last->second = std::max(last->second, reach[k].second);
            else
                spans.span[spans.count++] = reach[k];
        }
        for (int x = xa; x <= xb; ++x) {
            double v[3] = {bg, bg, bg};
            for (const Spot* s : active) {
                const double g = s->gx[x] * s->gy[y];
                v[0] += s->amp[0] * g;
                v[1] += s->amp[1] * g;
                v[2] += s->amp[2] * g;
            }
            if (layout.mono) {
                line[x] = toFixed(0.299 * v[0] + 0.587 * v[1] + 0.114 * v[2]);
            } else if (layout.bayer != sdk::PixelType::Undefined) {
                line[x] = toFixed(v[sdk::bayerChannel(layout.bayer, x, y)]);
            } else {
                line[3 * x] = toFixed(v[0]);
                line[3 * x + 1] = toFixed(v[1]);
                line[3 * x + 2] = toFixed(v[2]);
            }
        }
        // A beam's reach holds for any power, so most of it is the background level
        // itself; there the noisy background's copy gives the same bytes for far less.
        int kept = 0;
        for (int k = 0; k < spans.count; ++k) {
            auto [first, end] = spans.span[k];
            while (first < end && line[first] == bgLevel)
                ++first;
            while (end > first && line[end - 1] == bgLevel)
                --end;
            if (first < end)
                spans.span[kept++] = {first, end};
        }
        spans.count = kept;
    }
}

void Renderer::render(const FrameLayout& layout, uint8_t* out) {
    prepare(layout);
    const size_t bpl = size_t(layout.bytesPerLine());
    const size_t pixelBytes = layout.oneByte() ? size_t(layout.width) : size_t(3 * layout.width);
    if (!m_hasNoise) {
        const std::vector<uint8_t>& clean = cleanFrame(layout);
        std::memcpy(out, clean.data(), clean.size());
        return;
    }
    const size_t maxStart = m_noiseUp.size() - pixelBytes;
    std::uniform_int_distribution<size_t> start(0, std::min(maxStart, kNoiseSpan));
    // Each line's noise starts at a random place of the table.
    for (int y = 0; y < layout.height; ++y) {
        const size_t pos = size_t(y) * bpl;
        const size_t o = start(m_rng);
        const LineSpans& spans = m_lineSpans[size_t(y)];
        size_t done = 0;
        for (int k = 0; k < spans.count; ++k) {
            const auto [first, end] = spans.span[k];
            std::memcpy(out + pos + done, m_noisyBackground.data() + o + done, first - done);
            addNoise(out + pos + first, m_clean.data() + pos + first, m_noiseUp.data() + o + first,
                     m_noiseDown.data() + o + first, end - first);
            done = end;
        }
        std::memcpy(out + pos + done, m_noisyBackground.data() + o + done, pixelBytes - done);
        if (bpl > pixelBytes)
            std::memset(out + pos + pixelBytes, 0, bpl - pixelBytes);
    }
}

} // namespace lumetra::sim
