#pragma once
// "What's new": the release notes of the installed version, read from VersionNotes.txt
// beside the executable.

#include <QDialog>
#include <QString>

namespace Ui {
class VersionDialog;
}

class VersionDialog : public QDialog {
    Q_OBJECT
public:
    // notesPath empty: VersionNotes.txt in the application's directory.
    explicit VersionDialog(QWidget* parent = nullptr, const QString& notesPath = QString());
    ~VersionDialog() override;

    // Larger notes files are refused.
    static constexpr qint64 kMaxNotesBytes = 1024 * 1024;

    static QString defaultNotesPath();
    QString notesText() const;

private slots:
    void on_closePushButton_clicked();

private:
    void loadNotes(const QString& path);

    Ui::VersionDialog* ui;
};
