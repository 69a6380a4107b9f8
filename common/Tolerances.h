#pragma once
// Tolerances of a module under test: a lower and an upper limit per measured quantity
// (divergences, alignments, powers, ellipticities), and the verdict of measured values
// against them. Stored in the "Tolerances" section of basini.ini; any ini file with the
// same section (or the same keys at its top level) can be read as a set of limits.
//
// Keys: "<quantity>_min" and "<quantity>_max", numbers with '.' decimals; a missing key is
// no limit on that side.

#include <QSettings>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace lumetra::tolerances {

enum class Quantity {
    DivergenceAllX,
    DivergenceAllY,
    DivergenceRedX,
    DivergenceRedY,
    DivergenceGreenX,
    DivergenceGreenY,
    DivergenceBlueX,
    DivergenceBlueY,
    AlignmentRGX,
    AlignmentRGY,
    AlignmentBGX,
    AlignmentBGY,
    AlignmentRBX,
    AlignmentRBY,
    PowerRed,
    PowerGreen,
    PowerBlue,
    PowerTotal,
    EllipticityRed,
    EllipticityGreen,
    EllipticityBlue,
};
constexpr int kQuantityCount = int(Quantity::EllipticityBlue) + 1;

// The key stem ("powerR"), a readable name ("power R") and the unit ("W", "mrad", "").
QString keyOf(Quantity q);
QString nameOf(Quantity q);
QString unitOf(Quantity q);

struct Limit {
    std::optional<double> lower, upper;
    bool any() const { return lower || upper; }
};

enum class Verdict {
    NoLimit, // nothing to check
    Pass,    // within its limits (inclusive)
    Fail,    // outside them
    NoValue, // limited but not measured: counts as a failure
};

using Values = std::array<std::optional<double>, kQuantityCount>;

struct Evaluation {
    std::array<Verdict, kQuantityCount> verdict{};
    int checked = 0; // quantities with a limit
    int failed = 0;  // Fail or NoValue
    bool pass() const { return checked > 0 && failed == 0; }
    // "PASS (12 of 12 within limits)" / "FAIL: power R, alignment RG x" / "No limits set".
    QString summary() const;
};

class Tolerances {
public:
    const Limit& limit(Quantity q) const { return m_limits[size_t(q)]; }
    void setLimit(Quantity q, Limit l) { m_limits[size_t(q)] = l; }
    bool any() const;

    Evaluation evaluate(const Values& values) const;

    // Reads the "Tolerances" section of `s` (or its top-level keys when it has no such
    // section). A value that is not a finite number, or a lower limit above the upper, is
    // left out and said in `problems`.
    static Tolerances read(QSettings& s, QStringList* problems = nullptr);
    // Writes the section (keys of unset limits removed).
    void write(QSettings& s) const;

    // A separate limits file; false with the reason in `error` when it cannot be read.
    static std::optional<Tolerances> fromFile(const QString& path, QStringList* problems,
                                              QString* error);
    // basini.ini's section.
    static Tolerances stored();
    void store() const;

private:
    std::array<Limit, kQuantityCount> m_limits;
};

} // namespace lumetra::tolerances
