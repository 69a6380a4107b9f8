#pragma once
// Manage Calibrations: the open camera's calibration file per wavelength and corner, read
// only, with export, import and the reset of one corner to the factory values. The file
// work is the calibration layer's (CalibrationManager.h); the window reloads afterwards.

#include "Calibration.h"
#include "CalibrationManager.h"

#include <QDialog>

#include <functional>

class QLabel;
class QPushButton;
class QTableWidget;

class CalibrationManagerDialog : public QDialog {
    Q_OBJECT
public:
    using Write = std::function<lumetra::calibration::WriteResult(bool asNewFile)>;
    struct Hooks {
        std::function<QString()> file;        // the camera's file as it is read
        std::function<QString()> fileToWrite; // where a change goes
        // Runs a write (asking about a new file when the old one cannot be rewritten) and
        // shows its notices; true when written.
        std::function<bool(const Write&)> commit;
        std::function<void(const lumetra::calibration::Notices&)> show;
        std::function<void()> reload; // after every change
        std::function<bool()> busy;   // a power calibration is running
    };

    CalibrationManagerDialog(Hooks hooks, QWidget* parent = nullptr);

    QTableWidget* table() const { return m_table; }
    // Reads the file again into the table.
    void refresh();
    // The changes, with their questions and boxes; the paths are asked for when empty.
    void exportFile(QString destination = {});
    void importFile(QString candidate = {});
    void resetSelectedCorner();

private:
    bool refuseWhileBusy();
    void changed(const QString& status);
    void updateButtons();

    Hooks m_hooks;
    lumetra::calibration::CalibrationOverview m_overview;
    QLabel* m_fileLabel = nullptr;
    QLabel* m_listsLabel = nullptr;
    QLabel* m_status = nullptr;
    QTableWidget* m_table = nullptr;
    QPushButton* m_export = nullptr;
    QPushButton* m_import = nullptr;
    QPushButton* m_reset = nullptr;
};
