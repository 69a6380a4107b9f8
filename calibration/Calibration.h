#pragma once
// Calibration layer: the per-camera calibration file, loading the colour matrices and
// power factors for the selected wavelengths, the wavelength lists and the per-frame step
// of a power calibration. QtCore only: anything the window must show (message boxes, log
// lines, debug lines) comes back as a list of Notice values, in the order the user must
// see them; the window shows them one after the other.
//
// How the window uses it (MainWindow keeps one CalibrationData `cal`, or its own members
// copied to and from it, and `calibrationActive[3]`, `calibrationPower[3]`):
//
//   UpdateCalibrations(nused):
//       captions: calibrateButtonText(wl), maxLabelText(wl) per channel
//       auto r = loadCalibration(calibrationFileName(cam->serialNumber()),
//                                {waveR, waveG, waveB}, nused, anyActive, cal);
//       for (const Notice& n : r.notices) show(n);   // Debug -> qDebug, Log -> writeLog,
//                                                    // Warning/Critical -> QMessageBox
//   After UpdateCalibrations(0) in camera selection:
//       for (const QString& line : powerLogLines(cal)) writeLog(line);
//
//   refreshWavelengthLists():
//       auto lists = readWavelengthLists(file);   // lists[c][0] is the fixed entry
//       disconnect, clear, addItems(lists[c]), restore indices, reconnect.
//   on_addWL_X_clicked():
//       text from QInputDialog::getText(addWavelengthTitle(c), addWavelengthLabel(),
//       proposedWavelength(c)); on OK: auto r = addWavelength(file, c, text);
//       show r.notices (a refused text or damaged file gives one warning; nothing written);
//       refreshWavelengthLists().
//
//   Power calibration, inside ComputeMeasures once the stabiliser is full:
//       int c = channelToServe(calibrationActive);        // -1: none active
//       auto s = writeCalibrationSample(file, wl[c], corner, cornerSignal,
//                                       calibrationSampleCount()[c]);
//       cornerSignal = s.normalised;
//       if (s.refused) { show s.notices; end the run as if completed without a factor }
//       if (s.completed) {
//           information box calibrationDoneTitle(wl), calibrationDoneText(wl);
//           enable the three buttons; UpdateCalibrations(0);
//           auto p = storePowerFactor(file, wl[c], c, corner, s.raw, cal.unmixCoef,
//                                     exposureUs, calibrationPower[c]);
//           if (p.stored) cal.powerFactor[c][corner] = p.factor;  show p.notices;
//           calibrationActive[c] = false; restore automatic exposure.
//       }
//
// Every function opens its own short-lived QSettings on the file, so several of them may
// work on the same file one after the other and each sees the changes of the others.
// Writers never write into a file that does not parse cleanly (see inspectCalibrationFile):
// they report a warning instead, so a damaged file is never rewritten with less data.

#include <QList>
#include <QString>
#include <QStringList>

#include <array>

// "_calibration_<serial>.kvtcal", relative to the working directory.
QString calibrationFileName(int serial);

namespace lumetra::calibration {

// Corner indices TL = 0, TR = 1, BL = 2, BR = 3; channels R = 0, G = 1, B = 2.
constexpr int kCorners = 4;
constexpr int kChannels = 3;

// "_TL", "_TR", "_BL", "_BR".
QString cornerSuffix(int corner);
// "Top Left", "Top Right", "Bot Left", "Bot Right".
QString cornerName(int corner);
// "M0x_TL" ... : the matrix key of a camera row (0 red, 1 green, 2 blue) and corner.
QString matrixKey(int row, int corner);

// Something the window must show, in order.
struct Notice {
    enum class Kind { Debug, Log, Information, Warning, Critical };
    Kind kind = Kind::Log;
    QString title; // message boxes only
    QString text;

    bool operator==(const Notice& o) const {
        return kind == o.kind && title == o.title && text == o.text;
    }
};
using Notices = QList<Notice>;

// ---------------------------------------------------------------------------------------
// The calibration state of the window.

struct CalibrationData {
    // colorMatrix[corner][row][column]: response of camera channel `row` to the laser of
    // channel `column`.
    double colorMatrix[kCorners][3][3] = {};
    // unmixCoef[3 * i + j][corner]: element (i, j) of the inverse of the corner's matrix.
    double unmixCoef[9][kCorners] = {
        {0.978, 0, 0, 0}, {0.209, 0, 0, 0}, {0.039, 0, 0, 0}, {0.074, 0, 0, 0}, {0.956, 0, 0, 0},
        {0.286, 0, 0, 0}, {0.027, 0, 0, 0}, {0.064, 0, 0, 0}, {0.998, 0, 0, 0},
    };
    // powerFactor[channel][corner]: signal per exposure microsecond per watt.
    double powerFactor[kChannels][kCorners] = {{29.0, 0, 0, 0}, {59.0, 0, 0, 0}, {43.0, 0, 0, 0}};
};

// Factory default of a matrix element for a missing key (default matrix, columns R, G, B).
double defaultMatrixValue(int row, int column);
// Default TL power factor of a channel: 29, 59, 43.
double defaultPowerFactor(int channel);

// "Calibrate " + wl and "Max " + wl + " = ".
QString calibrateButtonText(const QString& wavelength);
QString maxLabelText(const QString& wavelength);

struct LoadResult {
    // In order: "Loads R" (Debug) or the red warning, then the green and blue warnings,
    // the "Invalid parameters" box (Critical) if due, then one Log entry per corner.
    Notices notices;
    // Channels whose wavelength has no section in the file (whether or not a warning was
    // due because a calibration runs).
    QList<int> uncalibratedChannels;
    // Corner at which the inversion stopped on an exactly singular matrix, or -1.
    int singularCorner = -1;
};

// Loads the matrices and power factors for the three selected wavelength texts (R, G, B)
// into `data`. nused == -1 leaves raw mode behind (identity matrices, factors 1).
// anyCalibrationActive silences the "Wavelength not calibrated" warnings. The corners from
// a singular one on keep the unmixCoef they held in `data` before the call.
LoadResult loadCalibration(const QString& fileName, const std::array<QString, 3>& wavelengths,
                           int nused, bool anyCalibrationActive, CalibrationData& data);

// Inverts the four colour matrices into unmixCoef, TL to BR, stopping at the first corner
// whose determinant is exactly zero. Returns that corner, or -1.
int invertColorMatrices(const double colorMatrix[kCorners][3][3], double unmixCoef[9][kCorners]);
// The 3x3 inverse by the adjugate; false (and `inverse` untouched) when det is exactly 0.
bool invert3x3(const double a[3][3], double inverse[3][3]);
double determinant3x3(const double a[3][3]);

// "Cal Loaded Top Left\n\t" + the nine coefficients of the corner ... + "\n".
QString calibrationLogText(const CalibrationData& data, int corner);
// "Power Loaded Top Left\t" + R, G, B factors of each corner, TL to BR.
QStringList powerLogLines(const CalibrationData& data);

// ---------------------------------------------------------------------------------------
// The file itself.

enum class FileCondition {
    Missing,    // no file: writers create it
    Clean,      // parses without loss: writers may write
    Unreadable, // exists but cannot be read (permissions, a folder, ...)
    Damaged,    // lines the ini reader would drop or misread; never rewritten
};

// Judges whether rewriting the file through QSettings would keep everything it holds.
// `detail` receives a short reason for the non-clean cases.
FileCondition inspectCalibrationFile(const QString& fileName, QString* detail = nullptr);

// A wavelength text can be one key and one section: not empty, no '/' or '\'
// (the settings layer would turn those into groups).
bool isStorableWavelength(const QString& wavelength);

// ---------------------------------------------------------------------------------------
// Wavelength lists.

// "635", "520", "445".
QString fixedWavelength(int channel);
// "R_Wavelengths", "G_Wavelengths", "B_Wavelengths".
QString wavelengthListSection(int channel);
// "Enter Wavelength (R)" ...
QString addWavelengthTitle(int channel);
// "650", "515", "450".
QString proposedWavelength(int channel);
// "Enter the wavelength you want".
QString addWavelengthLabel();

// Per channel: the fixed entry, then the key names of the list section in the order the
// settings layer returns them (no sorting, no de-duplication).
std::array<QStringList, 3> readWavelengthLists(const QString& fileName);

struct WriteResult {
    bool written = false;
    Notices notices; // one warning when refused or failed
};

// Sets key `text` of the channel's list section to true. Refuses (writes nothing) a text
// that is not storable or a file that is unreadable or damaged.
WriteResult addWavelength(const QString& fileName, int channel, const QString& text);

// ---------------------------------------------------------------------------------------
// Power calibration.

// "Calibration of " + wl: the title of the input dialog.
QString calibrationDialogTitle(const QString& wavelength);
// The instructions shown in the input dialog.
QString calibrationDialogLabel(const QString& wavelength);
// "Calibration of " + wl + " done" and "Calibration of " + wl + " done!".
QString calibrationDoneTitle(const QString& wavelength);
QString calibrationDoneText(const QString& wavelength);

// The corner of the spot-selection buttons, tested BL, BR, TL, TR; none checked is TL.
int selectedCorner(bool blChecked, bool brChecked, bool tlChecked, bool trChecked);

// The channel whose sample this frame serves: R before G before B; -1 if none is active.
int channelToServe(const bool calibrationActive[kChannels]);

// The samples written per channel in the current calibration; process-wide, start 0.
std::array<int, kChannels>& calibrationSampleCount();

// The signal as stored: divided by its length (single precision) unless the length is
// within 0.00001 of 1 or of 0.
std::array<float, 3> normalisedSignal(const std::array<float, 3>& signal);

struct SampleResult {
    std::array<float, 3> raw{};        // the frame's signal as given
    std::array<float, 3> normalised{}; // as written; the new cornerSignal
    bool refused = false;              // nothing written, see notices
    bool completed = false;            // the fifth sample: run the completion
    Notices notices;
};

// Writes one sample: "user/M0x_<corner>" ... of section `wavelength`, as single precision,
// and counts it in `sampleCount` (set back to 0 when it reaches 5, which completes the run).
SampleResult writeCalibrationSample(const QString& fileName, const QString& wavelength, int corner,
                                    const std::array<float, 3>& cornerSignal, int& sampleCount);

struct PowerFactorResult {
    double factor = 0;   // signal per exposure microsecond per watt
    bool stored = false; // written to "Power" and to be used by the window
    Notices notices;
};

// Completion: the factor from the raw signal and row `channel` of the reloaded inverse,
// written to "Power"/wavelength + corner suffix as a double. A factor that is not a
// positive finite number (a failed inversion, a zero signal) is not stored: it would make
// every later power reading infinite.
PowerFactorResult storePowerFactor(const QString& fileName, const QString& wavelength, int channel,
                                   int corner, const std::array<float, 3>& raw,
                                   const double unmixCoef[9][kCorners], double exposureUs,
                                   double calibrationPower);

} // namespace lumetra::calibration
