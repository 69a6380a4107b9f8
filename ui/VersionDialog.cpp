#include "VersionDialog.h"

#include "Log.h"
#include "Paths.h"
#include "ui_VersionDialog.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

VersionDialog::VersionDialog(QWidget* parent, const QString& notesPath)
    : QDialog(parent), ui(new Ui::VersionDialog) {
    ui->setupUi(this);
    loadNotes(notesPath.isEmpty() ? defaultNotesPath() : notesPath);
}

VersionDialog::~VersionDialog() {
    delete ui;
}

QString VersionDialog::defaultNotesPath() {
    return lumetra::paths::notesFile();
}

QString VersionDialog::notesText() const {
    return ui->label->text();
}

void VersionDialog::loadNotes(const QString& path) {
    // Only a regular file of a sensible size: a named pipe would block the start-up, and
    // megabytes of text would take the label seconds to lay out.
    const QFileInfo info(path);
    QString refusal;
    if (info.exists() && !info.isFile())
        refusal = QStringLiteral("not a regular file");
    else if (info.size() > kMaxNotesBytes)
        refusal = QStringLiteral("larger than %1 KiB").arg(kMaxNotesBytes / 1024);
    QFile file(path);
    if (!refusal.isEmpty() || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        writeLog(QStringLiteral("Cannot open VersionNotes.txt"));
        if (!refusal.isEmpty()) {
            writeLog(QStringLiteral("Reason: ") + refusal);
            ui->label->setText(QStringLiteral("Version file cannot be shown: ") + refusal);
        }
        return;
    }
    // The notes are UTF-8 whatever the locale of the machine (°C, µs, accents).
    ui->label->setText(QString::fromUtf8(file.read(kMaxNotesBytes)));
    ui->label->setWordWrap(true);
}

void VersionDialog::on_closePushButton_clicked() {
    close();
}
