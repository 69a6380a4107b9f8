#pragma once
// The one-page measurement report (PDF) and the same values as a small CSV beside it:
// the set-up (date, camera, unit, corner, wavelengths, exposure, calibration file), the
// spot image with the region, the values the labels show, the beam analysis with its
// profiles, the stability of the last recording and the verdict against the tolerances.
// No widgets: the window, a headless run and the tests fill a ReportContent. Drawing text
// needs a QGuiApplication (the offscreen platform will do).

#include "FrameReport.h"
#include "Stability.h"
#include "Tolerances.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace lumetra::session {

struct ReportContent {
    QDateTime when;
    QString serial, cameraName;
    QString unit; // the laser under test; may be empty
    std::array<QString, 3> wavelengths;
    // The calibration file: present or not, the wavelengths a user added, the corner's
    // power factors (R, G, B).
    bool calibrationPresent = false;
    QStringList userColumns;
    std::array<double, 3> powerFactors{};
    // The frame the values come from (its set-up, texts, image and region).
    ReportPtr frame;
    // The beam analysis to show; a result with profiles gets its plots (else the frame's).
    std::optional<measure::BeamAnalysisResult> analysis;
    std::optional<measure::StabilityFigures> stability; // of the last recording
    tolerances::Tolerances limits;
};

// "<serial>[_<unit>]_<yyyyMMdd>_<HHmmss>.pdf", with characters no file system refuses.
QString defaultReportName(const QString& serial, const QString& unit, const QDateTime& when);

// Writes the PDF and, beside it, the CSV (same name, ".csv"). False with the reason in
// `error` when either cannot be written.
bool writeReport(const ReportContent& content, const QString& pdfPath, QString* error = nullptr);

// The report's values as "name,value,unit" lines with a header (what the CSV holds).
QByteArray reportCsv(const ReportContent& content);

} // namespace lumetra::session
