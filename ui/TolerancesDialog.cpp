#include "TolerancesDialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QScrollArea>
#include <QVBoxLayout>

#include <cmath>

namespace lumetra::ui {

namespace tol = lumetra::tolerances;

namespace {
// '.' or the user's own decimal separator; empty is no limit. False for anything else.
bool parseLimit(const QString& text, std::optional<double>& out) {
    const QString t = text.trimmed();
    out.reset();
    if (t.isEmpty())
        return true;
    bool ok = false;
    double v = QLocale::c().toDouble(t, &ok);
    if (!ok)
        v = QLocale().toDouble(t, &ok);
    if (!ok || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

QString limitText(const std::optional<double>& v) {
    return v ? QString::number(*v, 'g', QLocale::FloatingPointShortest) : QString();
}
} // namespace

TolerancesDialog::TolerancesDialog(const tol::Tolerances& limits, QWidget* parent)
    : QDialog(parent), m_limits(limits) {
    setWindowTitle(QStringLiteral("Tolerances"));
    setAccessibleName(QStringLiteral("Tolerances"));
    auto* layout = new QVBoxLayout(this);
    auto* area = new QScrollArea(this);
    auto* inner = new QWidget(area);
    auto* grid = new QGridLayout(inner);
    grid->addWidget(new QLabel(QStringLiteral("Quantity"), inner), 0, 0);
    grid->addWidget(new QLabel(QStringLiteral("Lower"), inner), 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Upper"), inner), 0, 2);
    for (int i = 0; i < tol::kQuantityCount; ++i) {
        const auto q = tol::Quantity(i);
        const QString unit = tol::unitOf(q);
        const QString name = tol::nameOf(q) + (unit.isEmpty() ? QString() : " (" + unit + ")");
        auto* label = new QLabel(name, inner);
        auto* lower = new QLineEdit(limitText(limits.limit(q).lower), inner);
        auto* upper = new QLineEdit(limitText(limits.limit(q).upper), inner);
        lower->setAccessibleName(QStringLiteral("Lower limit of ") + name);
        upper->setAccessibleName(QStringLiteral("Upper limit of ") + name);
        lower->setPlaceholderText(QStringLiteral("none"));
        upper->setPlaceholderText(QStringLiteral("none"));
        label->setBuddy(lower);
        grid->addWidget(label, i + 1, 0);
        grid->addWidget(lower, i + 1, 1);
        grid->addWidget(upper, i + 1, 2);
        m_lower[size_t(i)] = lower;
        m_upper[size_t(i)] = upper;
    }
    area->setWidget(inner);
    area->setWidgetResizable(true);
    layout->addWidget(area, 1);
    m_problem = new QLabel(this);
    m_problem->setStyleSheet(QStringLiteral("color: rgb(200, 0, 0);"));
    m_problem->setAccessibleName(QStringLiteral("Problem with the limits"));
    m_problem->setWordWrap(true);
    layout->addWidget(m_problem);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &TolerancesDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TolerancesDialog::reject);
    layout->addWidget(buttons);
    resize(460, 560);
}

void TolerancesDialog::accept() {
    tol::Tolerances edited;
    for (int i = 0; i < tol::kQuantityCount; ++i) {
        const auto q = tol::Quantity(i);
        tol::Limit l;
        if (!parseLimit(m_lower[size_t(i)]->text(), l.lower) ||
            !parseLimit(m_upper[size_t(i)]->text(), l.upper)) {
            m_problem->setText(tol::nameOf(q) + QStringLiteral(": a limit is not a number."));
            return;
        }
        if (l.lower && l.upper && *l.lower > *l.upper) {
            m_problem->setText(tol::nameOf(q) +
                               QStringLiteral(": the lower limit lies above the upper one."));
            return;
        }
        edited.setLimit(q, l);
    }
    m_limits = edited;
    QDialog::accept();
}

} // namespace lumetra::ui
