#pragma once
// The "Tolerances" dialog: per quantity a lower and an upper limit (an empty box is no
// limit on that side). OK keeps the limits only when every box holds a number or nothing
// and no lower limit lies above its upper one.

#include "Tolerances.h"

#include <QDialog>

#include <array>

class QLabel;
class QLineEdit;

namespace lumetra::ui {

class TolerancesDialog : public QDialog {
    Q_OBJECT
public:
    explicit TolerancesDialog(const tolerances::Tolerances& limits, QWidget* parent = nullptr);

    // The limits as the boxes say; valid after accept().
    tolerances::Tolerances limits() const { return m_limits; }
    QLineEdit* lowerBox(tolerances::Quantity q) const { return m_lower[size_t(q)]; }
    QLineEdit* upperBox(tolerances::Quantity q) const { return m_upper[size_t(q)]; }

    void accept() override;

private:
    std::array<QLineEdit*, tolerances::kQuantityCount> m_lower{}, m_upper{};
    QLabel* m_problem = nullptr;
    tolerances::Tolerances m_limits;
};

} // namespace lumetra::ui
