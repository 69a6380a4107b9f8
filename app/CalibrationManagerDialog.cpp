#include "CalibrationManagerDialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace cal = lumetra::calibration;

namespace {

const char* const kChannelLetters[3] = {"R", "G", "B"};
const char* const kRowColour[3] = {"red", "green", "blue"};
const QString kFilter = QStringLiteral("Calibration files (*.kvtcal);;All files (*)");

QString number(const std::optional<double>& v) {
    return v ? QString::number(*v, 'g', 6) : QStringLiteral("-");
}

} // namespace

CalibrationManagerDialog::CalibrationManagerDialog(Hooks hooks, QWidget* parent)
    : QDialog(parent), m_hooks(std::move(hooks)) {
    setWindowTitle(QStringLiteral("Manage Calibrations"));
    setAccessibleName(QStringLiteral("Manage Calibrations"));
    resize(1000, 560);

    m_fileLabel = new QLabel(this);
    m_fileLabel->setAccessibleName(QStringLiteral("Calibration file"));
    m_fileLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_fileLabel->setWordWrap(true);

    QStringList headers = {QStringLiteral("Wavelength"), QStringLiteral("Corner")};
    for (const QString& kind : {QStringLiteral("Factory"), QStringLiteral("User")})
        for (int r = 0; r < 3; ++r)
            headers << kind + QStringLiteral(" M%1x").arg(r);
    headers << QStringLiteral("Power factor") << QStringLiteral("Beam analysis factor")
            << QStringLiteral("Listed for");
    m_table = new QTableWidget(0, int(headers.size()), this);
    m_table->setObjectName(QStringLiteral("calibrationTable"));
    m_table->setAccessibleName(QStringLiteral("Calibration values per wavelength and corner"));
    m_table->setHorizontalHeaderLabels(headers);
    for (int r = 0; r < 3; ++r) {
        const QString row = QStringLiteral("response of the camera's %1 channel, ")
                                .arg(QLatin1String(kRowColour[r]));
        m_table->horizontalHeaderItem(2 + r)->setToolTip(row + QStringLiteral("factory value"));
        m_table->horizontalHeaderItem(5 + r)->setToolTip(
            row + QStringLiteral("measured by a power calibration; used instead of the factory "
                                 "value"));
    }
    m_table->horizontalHeaderItem(8)->setToolTip(
        QStringLiteral("Signal per exposure microsecond per watt; '-': the default is used"));
    m_table->horizontalHeaderItem(10)->setToolTip(
        QStringLiteral("The channels whose wavelength list offers it"));
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    connect(m_table, &QTableWidget::itemSelectionChanged, this,
            &CalibrationManagerDialog::updateButtons);

    m_listsLabel = new QLabel(this);
    m_listsLabel->setAccessibleName(QStringLiteral("Wavelengths offered per channel"));
    m_status = new QLabel(this);
    m_status->setAccessibleName(QStringLiteral("Last change"));
    m_status->setWordWrap(true);

    m_export = new QPushButton(QStringLiteral("Export..."), this);
    m_export->setAccessibleName(QStringLiteral("Export the calibration file"));
    m_import = new QPushButton(QStringLiteral("Import..."), this);
    m_import->setAccessibleName(QStringLiteral("Import a calibration file"));
    m_reset = new QPushButton(QStringLiteral("Reset corner to factory..."), this);
    m_reset->setAccessibleName(QStringLiteral("Reset the selected corner to the factory values"));
    auto* close = new QDialogButtonBox(QDialogButtonBox::Close, this);
    close->button(QDialogButtonBox::Close)->setAccessibleName(QStringLiteral("Close"));
    connect(m_export, &QPushButton::clicked, this, [this] { exportFile(); });
    connect(m_import, &QPushButton::clicked, this, [this] { importFile(); });
    connect(m_reset, &QPushButton::clicked, this, &CalibrationManagerDialog::resetSelectedCorner);
    connect(close, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_export);
    buttons->addWidget(m_import);
    buttons->addWidget(m_reset);
    buttons->addStretch();
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_fileLabel);
    layout->addWidget(m_table, 1);
    layout->addWidget(m_listsLabel);
    layout->addWidget(m_status);
    layout->addLayout(buttons);

    refresh();
}

void CalibrationManagerDialog::refresh() {
    const QString file = m_hooks.file();
    m_overview = cal::readCalibrationOverview(file);
    QString state;
    if (m_overview.condition == cal::FileCondition::Missing)
        state = QStringLiteral(" (none yet: the default calibration is used)");
    else if (!cal::isReadable(m_overview.condition))
        state = QStringLiteral(" (it ") + m_overview.detail + QStringLiteral(": not used)");
    m_fileLabel->setText(QStringLiteral("Calibration file: ") +
                         QDir::toNativeSeparators(QFileInfo(file).absoluteFilePath()) + state);

    QStringList lists;
    for (int c = 0; c < 3; ++c)
        lists << QLatin1String(kChannelLetters[c]) + QStringLiteral(": ") +
                     m_overview.lists[c].join(QStringLiteral(", "));
    m_listsLabel->setText(QStringLiteral("Offered wavelengths - ") +
                          lists.join(QStringLiteral("; ")));

    m_table->setRowCount(int(m_overview.rows.size()));
    for (int i = 0; i < m_overview.rows.size(); ++i) {
        const cal::CornerRow& row = m_overview.rows[i];
        QStringList cells = {row.wavelength, cal::cornerName(row.corner)};
        for (const auto& v : row.factory)
            cells << number(v);
        for (const auto& v : row.user)
            cells << number(v);
        cells << number(row.powerFactor) << number(row.analysisFactor);
        QStringList listed;
        for (int c : row.listedIn)
            listed << QLatin1String(kChannelLetters[c]);
        cells << listed.join(QStringLiteral(", "));
        for (int col = 0; col < cells.size(); ++col) {
            auto* item = new QTableWidgetItem(cells[col]);
            if (!row.calibrated) {
                item->setForeground(Qt::gray);
                item->setToolTip(row.wavelength +
                                 QStringLiteral(" nm has no calibration data: the default "
                                                "column is used"));
            }
            m_table->setItem(i, col, item);
        }
    }
    updateButtons();
}

void CalibrationManagerDialog::updateButtons() {
    const int i = m_table->currentRow();
    const bool selected =
        m_table->selectionModel()->hasSelection() && i >= 0 && i < m_overview.rows.size();
    m_reset->setEnabled(selected && m_overview.rows[i].hasUserValues());
    m_export->setEnabled(m_overview.condition != cal::FileCondition::Missing);
}

void CalibrationManagerDialog::changed(const QString& status) {
    m_hooks.reload();
    refresh();
    m_status->setText(status);
}

bool CalibrationManagerDialog::refuseWhileBusy() {
    if (!m_hooks.busy || !m_hooks.busy())
        return false;
    QMessageBox::information(this, QStringLiteral("Calibration in progress"),
                             QStringLiteral("A power calibration is running. Change the "
                                            "calibration file once it has finished."));
    return true;
}

void CalibrationManagerDialog::exportFile(QString destination) {
    const QString file = m_hooks.file();
    if (destination.isEmpty())
        destination = QFileDialog::getSaveFileName(
            this, QStringLiteral("Export calibration"),
            QDir::home().filePath(QFileInfo(file).fileName()), kFilter);
    if (destination.isEmpty())
        return;
    const cal::FileChange r = cal::exportCalibration(file, destination);
    m_hooks.show(r.notices);
    if (r.done)
        m_status->setText(QStringLiteral("Exported to ") + QDir::toNativeSeparators(destination));
}

void CalibrationManagerDialog::importFile(QString candidate) {
    if (refuseWhileBusy())
        return;
    if (candidate.isEmpty())
        candidate = QFileDialog::getOpenFileName(this, QStringLiteral("Import calibration"),
                                                 QDir::homePath(), kFilter);
    if (candidate.isEmpty())
        return;
    const QString target = m_hooks.fileToWrite();
    QString question = QStringLiteral("Replace the calibration file ") + target +
                       QStringLiteral(" with ") + QDir::toNativeSeparators(candidate) +
                       QStringLiteral("?");
    if (QFileInfo::exists(target))
        question += QStringLiteral("\n\nThe current file is kept as ") +
                    cal::nextBackupName(target) + QStringLiteral(".");
    if (QMessageBox::question(this, QStringLiteral("Import calibration"), question,
                              QMessageBox::Yes | QMessageBox::Cancel,
                              QMessageBox::Cancel) != QMessageBox::Yes)
        return;
    const cal::FileChange r = cal::importCalibration(target, candidate);
    m_hooks.show(r.notices);
    if (r.done)
        changed(QStringLiteral("Imported from ") + QDir::toNativeSeparators(candidate) +
                (r.backupName.isEmpty()
                     ? QString()
                     : QStringLiteral("; the previous file is kept as ") + r.backupName));
}

void CalibrationManagerDialog::resetSelectedCorner() {
    const int i = m_table->currentRow();
    if (i < 0 || i >= m_overview.rows.size() || refuseWhileBusy())
        return;
    const cal::CornerRow row = m_overview.rows[i];
    const QString target = m_hooks.fileToWrite();
    const QString question =
        QStringLiteral("Reset the calibration of ") + row.wavelength +
        QStringLiteral(" nm in the ") + cal::cornerName(row.corner) +
        QStringLiteral(" corner to the factory values?\n\nIts measured colour column and its "
                       "power factors are removed. The current file is kept as ") +
        cal::nextBackupName(target) + QStringLiteral(".");
    if (QMessageBox::question(this, QStringLiteral("Reset to factory values"), question,
                              QMessageBox::Yes | QMessageBox::Cancel,
                              QMessageBox::Cancel) != QMessageBox::Yes)
        return;
    QString backup;
    const bool written = m_hooks.commit([&](bool asNewFile) {
        cal::WriteResult r =
            cal::resetCornerToFactory(target, row.wavelength, row.corner, asNewFile);
        backup = r.backupName;
        return r;
    });
    if (written)
        changed(row.wavelength + QStringLiteral(" nm, ") + cal::cornerName(row.corner) +
                QStringLiteral(": factory values restored; the previous file is kept as ") +
                backup);
}
