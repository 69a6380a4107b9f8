#include "Tolerances.h"

#include "Settings.h"

#include <QFileInfo>
#include <QLocale>

#include <cmath>

namespace lumetra::tolerances {

namespace {

struct Info {
    const char* key;
    const char* name;
    const char* unit;
};
constexpr Info kInfo[kQuantityCount] = {
    {"divergenceAllX", "divergence all x", "mrad"},
    {"divergenceAllY", "divergence all y", "mrad"},
    {"divergenceRX", "divergence R x", "mrad"},
    {"divergenceRY", "divergence R y", "mrad"},
    {"divergenceGX", "divergence G x", "mrad"},
    {"divergenceGY", "divergence G y", "mrad"},
    {"divergenceBX", "divergence B x", "mrad"},
    {"divergenceBY", "divergence B y", "mrad"},
    {"alignmentRGX", "alignment RG x", "mrad"},
    {"alignmentRGY", "alignment RG y", "mrad"},
    {"alignmentBGX", "alignment BG x", "mrad"},
    {"alignmentBGY", "alignment BG y", "mrad"},
    {"alignmentRBX", "alignment RB x", "mrad"},
    {"alignmentRBY", "alignment RB y", "mrad"},
    {"powerR", "power R", "W"},
    {"powerG", "power G", "W"},
    {"powerB", "power B", "W"},
    {"powerTotal", "power total", "W"},
    {"ellipticityR", "ellipticity R", ""},
    {"ellipticityG", "ellipticity G", ""},
    {"ellipticityB", "ellipticity B", ""},
};

const QString kMin = QStringLiteral("_min");
const QString kMax = QStringLiteral("_max");

std::optional<double> readNumber(QSettings& s, const QString& key, QStringList* problems) {
    if (!s.contains(key))
        return std::nullopt;
    const QString text = s.value(key).toString().trimmed();
    if (text.isEmpty())
        return std::nullopt;
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (ok && std::isfinite(v))
        return v;
    if (problems)
        *problems << QStringLiteral("%1=%2 is not a number; no limit used").arg(key, text.left(40));
    return std::nullopt;
}

} // namespace

QString keyOf(Quantity q) {
    return QLatin1String(kInfo[int(q)].key);
}
QString nameOf(Quantity q) {
    return QLatin1String(kInfo[int(q)].name);
}
QString unitOf(Quantity q) {
    return QLatin1String(kInfo[int(q)].unit);
}

QString Evaluation::summary() const {
    if (checked == 0)
        return QStringLiteral("No limits set");
    if (failed == 0)
        return QStringLiteral("PASS (%1 of %1 within limits)").arg(checked);
    QStringList names;
    for (int i = 0; i < kQuantityCount; ++i)
        if (verdict[size_t(i)] == Verdict::Fail || verdict[size_t(i)] == Verdict::NoValue)
            names << nameOf(Quantity(i)) + (verdict[size_t(i)] == Verdict::NoValue
                                                ? QStringLiteral(" (not measured)")
                                                : QString());
    return QStringLiteral("FAIL: ") + names.join(QStringLiteral(", "));
}

bool Tolerances::any() const {
    for (const Limit& l : m_limits)
        if (l.any())
            return true;
    return false;
}

Evaluation Tolerances::evaluate(const Values& values) const {
    Evaluation e;
    for (size_t i = 0; i < m_limits.size(); ++i) {
        const Limit& l = m_limits[i];
        if (!l.any()) {
            e.verdict[i] = Verdict::NoLimit;
            continue;
        }
        ++e.checked;
        const std::optional<double>& v = values[i];
        if (!v || !std::isfinite(*v)) {
            e.verdict[i] = Verdict::NoValue;
        } else if ((l.lower && *v < *l.lower) || (l.upper && *v > *l.upper)) {
            e.verdict[i] = Verdict::Fail;
        } else {
            e.verdict[i] = Verdict::Pass;
            continue;
        }
        ++e.failed;
    }
    return e;
}

Tolerances Tolerances::read(QSettings& s, QStringList* problems) {
    Tolerances t;
    const bool grouped = s.childGroups().contains(QLatin1String(settings::kTolerancesGroup));
    if (grouped)
        s.beginGroup(QLatin1String(settings::kTolerancesGroup));
    for (int i = 0; i < kQuantityCount; ++i) {
        const QString key = keyOf(Quantity(i));
        Limit l{readNumber(s, key + kMin, problems), readNumber(s, key + kMax, problems)};
        if (l.lower && l.upper && *l.lower > *l.upper) {
            if (problems)
                *problems << QStringLiteral(
                                 "%1: lower limit %2 above upper limit %3; no limit used")
                                 .arg(key)
                                 .arg(*l.lower)
                                 .arg(*l.upper);
            l = {};
        }
        t.m_limits[size_t(i)] = l;
    }
    if (grouped)
        s.endGroup();
    return t;
}

void Tolerances::write(QSettings& s) const {
    s.beginGroup(QLatin1String(settings::kTolerancesGroup));
    for (int i = 0; i < kQuantityCount; ++i) {
        const QString key = keyOf(Quantity(i));
        const Limit& l = m_limits[size_t(i)];
        // Shortest round-trip text, '.' decimals whatever the locale.
        if (l.lower)
            s.setValue(key + kMin, QString::number(*l.lower, 'g', QLocale::FloatingPointShortest));
        else
            s.remove(key + kMin);
        if (l.upper)
            s.setValue(key + kMax, QString::number(*l.upper, 'g', QLocale::FloatingPointShortest));
        else
            s.remove(key + kMax);
    }
    s.endGroup();
}

std::optional<Tolerances> Tolerances::fromFile(const QString& path, QStringList* problems,
                                               QString* error) {
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable()) {
        if (error)
            *error = QStringLiteral("%1 is not a readable file").arg(path);
        return std::nullopt;
    }
    QSettings s(path, QSettings::IniFormat);
    if (s.status() != QSettings::NoError) {
        if (error)
            *error = QStringLiteral("%1 is not an ini file").arg(path);
        return std::nullopt;
    }
    return read(s, problems);
}

Tolerances Tolerances::stored() {
    settings::File f;
    return read(f.settings());
}

void Tolerances::store() const {
    settings::File f;
    write(f.settings());
}

} // namespace lumetra::tolerances
