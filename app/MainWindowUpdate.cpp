// The window's side of the start-up update check: the question box, the download's
// progress dialog with its Cancel button, and the warning when the installer will not
// start. The check itself (network, version file, storing and starting) is in services/.

#include "MainWindow.h"

#include "UpdateCheck.h"
#include "Version.h"

#include <QMessageBox>
#include <QProgressDialog>

namespace {

std::unique_ptr<QProgressDialog> newProgressDialog(QWidget* parent) {
    auto dialog = std::make_unique<QProgressDialog>(QStringLiteral("Downloading files..."),
                                                    QStringLiteral("Cancel"), 0, 100, parent);
    dialog->setWindowModality(Qt::ApplicationModal);
    return dialog;
}

} // namespace

bool MainWindow::checkForUpdate() {
    using lumetra::update::CallbackUpdateUi;
    CallbackUpdateUi view;
    view.confirm = [](const QString& title, const QString& text) {
        return QMessageBox::question(nullptr, title, text, QMessageBox::Yes | QMessageBox::No) ==
               QMessageBox::Yes;
    };
    view.started = [this](std::function<void()> cancel) {
        downloadCanceled = false;
        progressDialog.reset();
        progressDialog = newProgressDialog(nullptr);
        connect(progressDialog.get(), &QProgressDialog::canceled, this, [this, cancel] {
            downloadCanceled = true;
            cancel();
        });
        progressDialog->show();
    };
    view.progress = [this](qint64 received, qint64 total) { updateProgressDial(received, total); };
    view.finished = [this] {
        // The dialog stays ours until the next download, but must not sit modal over the
        // window once nothing is being downloaded.
        if (progressDialog)
            progressDialog->hide();
    };
    view.cannotStart = [this](const QString& title, const QString& text) {
        QMessageBox::warning(this, title, text, QMessageBox::Ok);
    };
    return lumetra::update::checkForUpdate(view, lumetra::update::UpdateConfig::fromSettings(),
                                           lumetra::kVersion);
}

void MainWindow::updateProgressDial(qlonglong ist, qlonglong max) {
    if (!progressDialog) {
        progressDialog = newProgressDialog(this);
        progressDialog->show();
    }
    progressDialog->setRange(0, static_cast<int>(max));
    progressDialog->setValue(static_cast<int>(ist));
    // No total size from the server: no bar to show.
    if (max < 0)
        progressDialog.reset();
}
