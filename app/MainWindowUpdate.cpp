// The window's side of the start-up update check: the question box, the download's
// progress dialog with its Cancel button, where a saved installer lies, and the warning
// when the installer will not start. The check itself (network, version file, storing
// and starting) is in services/.

#include "MainWindow.h"

#include "Log.h"
#include "UpdateCheck.h"
#include "UpdatePrompts.h"
#include "Version.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <climits>

namespace lumetra::app {

namespace {
FolderOpener& openerSlot() {
    static FolderOpener opener;
    return opener;
}
} // namespace

FolderOpener folderOpener() {
    if (openerSlot())
        return openerSlot();
    return [](const QUrl& url) { return QDesktopServices::openUrl(url); };
}

void setFolderOpener(FolderOpener opener) {
    openerSlot() = std::move(opener);
}

} // namespace lumetra::app

namespace {

std::unique_ptr<QProgressDialog> newProgressDialog(QWidget* parent) {
    auto dialog = std::make_unique<QProgressDialog>(QStringLiteral("Downloading files..."),
                                                    QStringLiteral("Cancel"), 0, 100, parent);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->setAccessibleName(QStringLiteral("Installer download progress"));
    return dialog;
}

} // namespace

bool MainWindow::checkForUpdate() {
    using lumetra::update::CallbackUpdateUi;
    CallbackUpdateUi view;
    view.confirm = [](const QString& title, const QString& text, const QString& details) {
        QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No);
        // Long notes are read in the scrollable details; the box itself stays small.
        if (!details.isEmpty())
            box.setDetailedText(details);
        return box.exec() == QMessageBox::Yes;
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
        // Gone with its download: a dialog kept hidden would show itself again later.
        progressDialog.reset();
    };
    view.cannotStart = [this](const QString& title, const QString& text) {
        QMessageBox::warning(this, title, text, QMessageBox::Ok);
    };
    view.saved = [this](const QString& path) {
        QMessageBox box(QMessageBox::Information, QStringLiteral("New version downloaded"),
                        QStringLiteral("The installer of the new version was saved at following "
                                       "path:\n") +
                            path +
                            QStringLiteral("\n\nIt is a Windows installer: on this system the "
                                           "new version comes with the system's package."),
                        QMessageBox::Close, this);
        QPushButton* open = box.addButton(QStringLiteral("Open Folder"), QMessageBox::ActionRole);
        box.exec();
        if (box.clickedButton() == open) {
            const QString folder = QFileInfo(path).absolutePath();
            if (!lumetra::app::folderOpener()(QUrl::fromLocalFile(folder)))
                writeLog(QStringLiteral("Cannot open folder ") + folder);
        }
    };
    return lumetra::update::checkForUpdate(view, lumetra::update::UpdateConfig::fromSettings(),
                                           lumetra::kVersion);
}

void MainWindow::updateProgressDial(qlonglong ist, qlonglong max) {
    if (!progressDialog) {
        progressDialog = newProgressDialog(this);
        progressDialog->show();
    }
    if (max < 0) {
        // No total size from the server: a busy indicator, Cancel still there.
        progressDialog->setRange(0, 0);
        progressDialog->setValue(0);
        return;
    }
    // The bar counts in int: large totals are shown in KiB.
    const int shift = max > INT_MAX ? 10 : 0;
    progressDialog->setRange(0, static_cast<int>(max >> shift));
    progressDialog->setValue(static_cast<int>(std::min(ist, max) >> shift));
}
