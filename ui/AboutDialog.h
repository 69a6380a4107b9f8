#pragma once
// The About box: logo, product name, running version, release date and the maker.

#include <QDialog>
#include <QString>

#include "Version.h"

namespace Ui {
class AboutDialog;
}

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);
    ~AboutDialog() override;

    // The text of the box for a version number such as 104 (shown as 1.04).
    static QString aboutText(int version = lumetra::kVersion);

    QString text() const;

private slots:
    void on_closeButton_clicked();

private:
    Ui::AboutDialog* ui;
};
