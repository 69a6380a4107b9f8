#include "VersionDialog.h"

#include "Log.h"
#include "ui_VersionDialog.h"

#include <QCoreApplication>
#include <QFile>

VersionDialog::VersionDialog(QWidget* parent, const QString& notesPath)
    : QDialog(parent), ui(new Ui::VersionDialog) {
    ui->setupUi(this);
    loadNotes(notesPath.isEmpty() ? defaultNotesPath() : notesPath);
}

VersionDialog::~VersionDialog() {
    delete ui;
}

QString VersionDialog::defaultNotesPath() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/VersionNotes.txt");
}

QString VersionDialog::notesText() const {
    return ui->label->text();
}

void VersionDialog::loadNotes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        writeLog(QStringLiteral("Cannot open VersionNotes.txt"));
        return;
    }
    // The notes are UTF-8 whatever the locale of the machine (°C, µs, accents).
    ui->label->setText(QString::fromUtf8(file.readAll()));
    ui->label->setWordWrap(true);
}

void VersionDialog::on_closePushButton_clicked() {
    close();
}
