#include "AboutDialog.h"

#include "Resources.h"
#include "ui_AboutDialog.h"

namespace {
const char* const kAuthor = "\xC3\x89lise Varnier"; // UTF-8 for the É
const char* const kWebAddress = "https://www.varnelle.fr";
} // namespace

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent), ui(new Ui::AboutDialog) {
    lumetra::ui::initResources();
    ui->setupUi(this);
    ui->label->setText(aboutText());
}

AboutDialog::~AboutDialog() {
    delete ui;
}

QString AboutDialog::aboutText(int version) {
    const QString versionShown = QString::number(version / 100) + QLatin1Char('.') +
                                 QStringLiteral("%1").arg(version % 100, 2, 10, QLatin1Char('0'));
    return QStringLiteral("Varnelle - Lumetra\nVersion: ") + versionShown +
           QStringLiteral("\n\nDate: 26th March 2024\n\nCompany: Varnelle SAS\nAuthor: ") +
           QString::fromUtf8(kAuthor) + QStringLiteral("\n\n") + QString::fromUtf8(kWebAddress);
}

QString AboutDialog::text() const {
    return ui->label->text();
}

void AboutDialog::on_closeButton_clicked() {
    close();
}
