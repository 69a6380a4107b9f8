#pragma once
// Calibration layer: the per-camera calibration file, loading the colour matrices and
// power factors for the selected wavelengths, the wavelength lists and the steps of a
// power calibration. QtCore only: anything the window must show (message boxes, log
// lines, debug lines) comes back as a list of Notice values, in the order the user must
// see them; the window shows them one after the other.
//
// How the window uses it (MainWindow keeps one CalibrationData `cal`, and
// `calibrationActive[3]`, `calibrationPower[3]`):
//
//   file = calibrationFileName(cam->serialText());
//   UpdateCalibrations(nused):
//       captions: calibrateButtonText(wl), maxLabelText(wl) per channel
//       auto r = loadCalibration(file, {waveR, waveG, waveB}, nused, anyActive, cal);
//       for (const Notice& n : r.notices) show(n);   // Debug -> qDebug, Log -> writeLog,
//                                                    // Warning/Critical -> QMessageBox;
//                                                    // fileProblem ones once per camera
//   After UpdateCalibrations(0) in camera selection:
//       for (const QString& line : powerLogLines(cal)) writeLog(line);
//
//   refreshWavelengthLists():
//       auto lists = readWavelengthLists(file);   // lists[c][0] is the fixed entry
//       disconnect, clear, addItems(lists[c]), restore indices, reconnect.
//   on_addWL_X_clicked():
//       text from QInputDialog::getText(...); on OK: write(addWavelength(file, c, text, ..))
//       then refreshWavelengthLists().
//
//   Every write goes through writeCalibration. A file that cannot be rewritten without
//   losing something (a comment, a line the settings layer skips, a byte that is not
//   UTF-8) is "read-only for us": the writer answers needsNewFile, the window asks with
//   newFileQuestionText, and on yes writes again with asNewFile (the old file is kept as
//   <name>.bak-<date>, the new complete file takes the camera's name).
//
//   Power calibration (the measuring session), on every stabilised frame of a run:
//       auto s = takeCalibrationSample(cornerSignal, calibrationSampleCount()[c]);
//       cornerSignal = s.normalised;
//       if (s.completed) {   // no further sample until the run ends
//           auto plan = planCalibrationCompletion(file, wl, c, corner, s.raw, exposureUs,
//                                                 power, channelMax);
//           the window: doubts -> ask (cancel: nothing written); write plan.changes (column
//           and factor in one write); information box calibrationDoneTitle/Text; enable the
//           buttons; UpdateCalibrations(0); end the run (automatic exposure restored).
//       }
//
// Readers take the file's bytes once and parse a private copy with QSettings (it keeps
// parsed files by name, which would hide a format error or a change from later readers).
// They never read a file over kMaxCalibrationFileBytes, a file that is not a regular file,
// or one the settings layer reports a format error for on opening.

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <array>

// "_calibration_<serial>.kvtcal", relative to the working directory.
QString calibrationFileName(int serial);
// The file of a camera by its serial text: a decimal serial names it as above; any other
// text names it after serialName(serialText). No text (no camera open) is serial 0.
QString calibrationFileName(const QString& serialText);

namespace lumetra::calibration {

// The serial as file names and messages show it: the decimal number of a numeric serial,
// else the text with every character a file name cannot hold replaced by '_'.
QString serialName(const QString& serialText);

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
    // A problem of the file itself (damaged, a section or factor that cannot be used):
    // the window shows each such text once per camera selection, not at every reload.
    bool fileProblem = false;

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
    // The beam analysis's own unmixing, laid out as unmixCoef: the inverse of the corner's
    // matrix with the analysis's columns where a power calibration stored them (measured
    // without the background the labels' columns hold), the labels' columns elsewhere.
    double analysisUnmix[9][kCorners] = {
        {0.978, 0, 0, 0}, {0.209, 0, 0, 0}, {0.039, 0, 0, 0}, {0.074, 0, 0, 0}, {0.956, 0, 0, 0},
        {0.286, 0, 0, 0}, {0.027, 0, 0, 0}, {0.064, 0, 0, 0}, {0.998, 0, 0, 0},
    };
    // analysisFactor[channel][corner]: the beam analysis's own factor (its background-
    // corrected sum per exposure microsecond per watt); never mixed with powerFactor.
    double analysisFactor[kChannels][kCorners] = {
        {29.0, 29.0, 29.0, 29.0}, {59.0, 59.0, 59.0, 59.0}, {43.0, 43.0, 43.0, 43.0}};
};

// Factory default of a matrix element for a missing key (default matrix, columns R, G, B).
double defaultMatrixValue(int row, int column);
// Default TL power factor of a channel: 29, 59, 43.
double defaultPowerFactor(int channel);
// "PowerIso11146": the section of the beam analysis's factors, keyed like "Power"
// ("635_TL"). Files written before it simply lack it: every corner then has the start
// factor of its channel (29, 59, 43).
QString analysisPowerSection();
// "ColumnIso11146": the section of the beam analysis's colour columns, keys like
// "635_M0x_TL" (camera row 0 of the 635 column in the top-left corner); a column is used
// only when its three rows are there.
QString analysisColumnSection();
QString analysisColumnKey(const QString& wavelength, int row, int corner);

// "Calibrate " + wl and "Max " + wl + " = ".
QString calibrateButtonText(const QString& wavelength);
QString maxLabelText(const QString& wavelength);

// ---------------------------------------------------------------------------------------
// The file itself.

// Larger files are never read: a real calibration file holds a few kilobytes, and the
// settings layer needs about 30 times a file's size in memory to parse it.
constexpr qint64 kMaxCalibrationFileBytes = 2 * 1024 * 1024;

enum class FileCondition {
    Missing,       // no file: writers create it
    Clean,         // read, and rewritable in place without losing anything
    ReadOnlyForUs, // read like any other, but a rewrite would lose something (a comment,
                   // a line the settings layer skips, ...): never rewritten in place
    Unreadable,    // exists but cannot be read (permissions, a folder, a device, ...)
    TooLarge,      // over kMaxCalibrationFileBytes: not read
    Damaged,       // the settings layer reports a format error on opening it (readers
                   // also count a file without a single key as damaged)
};

// Clean or ReadOnlyForUs: readers take what the settings layer reads from it.
bool isReadable(FileCondition condition);

// Judges the file. `detail` receives a short reason for every condition but Missing and
// Clean, worded to follow "The calibration file <name> " (e.g. "holds a comment at line 3").
FileCondition inspectCalibrationFile(const QString& fileName, QString* detail = nullptr);

// A wavelength text can be one key and one section: not empty, no '/' or '\'
// (the settings layer would turn those into groups).
bool isStorableWavelength(const QString& wavelength);

// One key to set, by its full path ("635/user/M0x_TL", "Power/635_TL", "R_Wavelengths/650");
// a null value removes the key.
struct Change {
    QString key;
    QVariant value;
};
using Changes = QList<Change>;

struct WriteResult {
    bool written = false;
    // The file is read-only for us: nothing was written. Ask the user
    // (newFileQuestionText), then write again with asNewFile.
    bool needsNewFile = false;
    QString reason;     // why it is read-only for us (needsNewFile)
    QString backupName; // where the old file is kept by a new-file write
    Notices notices;    // a warning when refused or failed, a log line for a new file
};

// The one writer of calibration files: applies the changes and writes the whole file once,
// through a temporary file and a rename, so a file is never left half written. Files that
// are unreadable, too large or damaged are never written; a file that is read-only for us
// only with asNewFile, which keeps it as backupName and writes a complete new file.
WriteResult writeCalibration(const QString& fileName, const Changes& changes,
                             bool asNewFile = false);

// The question for needsNewFile (buttons: save, cancel).
QString newFileQuestionTitle();
QString newFileQuestionText(const QString& fileName, const WriteResult& r);

// ---------------------------------------------------------------------------------------
// Loading.

struct LoadResult {
    // In order: the file's own problems (fileProblem warnings, each with a log line), then
    // "Loads R" (Debug) or the red warning, the green and blue warnings, the warnings of
    // stored power factors that cannot be used, the "Invalid parameters" box (Critical) if
    // due, then one Log entry per corner. A file that cannot be read gives one warning
    // instead of a "Wavelength not calibrated" box per channel.
    Notices notices;
    // Channels whose wavelength has no section in the file (whether or not a warning was
    // due because a calibration runs).
    QList<int> uncalibratedChannels;
    // Corner at which the inversion stopped on a matrix that cannot be inverted, or -1.
    int singularCorner = -1;
    // Missing, Clean (readable) or why the file was not read; detail as for inspect.
    FileCondition condition = FileCondition::Missing;
    QString conditionDetail;
    // The file's problems that did not stop the load, one line each (also in notices).
    QStringList problems;
};

// Loads the matrices and power factors for the three selected wavelength texts (R, G, B)
// into `data`. nused == -1 leaves raw mode behind (identity matrices, factors 1).
// anyCalibrationActive silences the "Wavelength not calibrated" warnings. The corners from
// a singular one on keep the unmixCoef they held in `data` before the call. A stored power
// factor that is not a positive number reads as missing (its default), with a warning.
LoadResult loadCalibration(const QString& fileName, const std::array<QString, 3>& wavelengths,
                           int nused, bool anyCalibrationActive, CalibrationData& data);

// Beyond this the inverse is noise: the user columns are stored in single precision.
constexpr double kMaxConditionNumber = 1e6;

// Inverts the four colour matrices into unmixCoef, TL to BR, stopping at the first corner
// that cannot be inverted (see invertible3x3). Returns that corner, or -1.
int invertColorMatrices(const double colorMatrix[kCorners][3][3], double unmixCoef[9][kCorners]);
// The 3x3 inverse by the adjugate; false (and `inverse` untouched) when det is exactly 0.
bool invert3x3(const double a[3][3], double inverse[3][3]);
// invert3x3, also refusing a matrix whose condition number (1-norm) exceeds
// kMaxConditionNumber or is not finite.
bool invertible3x3(const double a[3][3], double inverse[3][3]);
double determinant3x3(const double a[3][3]);

// "Cal Loaded Top Left\n\t" + the nine coefficients of the corner ... + "\n".
QString calibrationLogText(const CalibrationData& data, int corner);
// "Power Loaded Top Left\t" + R, G, B factors of each corner, TL to BR.
QStringList powerLogLines(const CalibrationData& data);

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
// settings layer returns them (no sorting, no de-duplication). Only the fixed entries for
// a file that cannot be read.
std::array<QStringList, 3> readWavelengthLists(const QString& fileName);

// Sets key `text` of the channel's list section to true. Refuses (writes nothing) a text
// that is not storable; otherwise as writeCalibration.
WriteResult addWavelength(const QString& fileName, int channel, const QString& text,
                          bool asNewFile = false);

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

// The samples taken per channel in the current calibration; process-wide, start 0.
std::array<int, kChannels>& calibrationSampleCount();

// The signal as stored: divided by its length (single precision) unless the length is
// within 0.00001 of 1 or of 0.
std::array<float, 3> normalisedSignal(const std::array<float, 3>& signal);

struct SampleResult {
    std::array<float, 3> raw{};        // the frame's signal as given
    std::array<float, 3> normalised{}; // the new cornerSignal and the column to store
    bool completed = false;            // the fifth sample: run the completion
};

// Counts one sample in `sampleCount` (set back to 0 when it reaches 5, which completes the
// run). Nothing is written until the completion: a run cut short leaves the file as it was.
SampleResult takeCalibrationSample(const std::array<float, 3>& cornerSignal, int& sampleCount);

// Below and above these the channel's peak level (0..255) is far from what the calibration
// dialog asks for (80-90 %): too weak to be measured well, or clipped.
constexpr int kCalibrationLowPeak = 128;  // 50 %
constexpr int kCalibrationHighPeak = 250; // 98 %, where the exposure warning starts
// More than this share of the unmixed signal in the other two channels means other beams
// were on.
constexpr double kCalibrationForeignShare = 0.4;

// The beam analysis's reading of the completing sample: its background-corrected camera
// channel sums over the beam's integration area, or why it has none.
struct AnalysisSample {
    bool usable = false;
    std::array<double, 3> cameraSums{};
    QString reason;
};

struct CompletionPlan {
    std::array<float, 3> column{}; // the normalised signal, stored under user
    bool hasFactor = false;        // false: the corner's matrix with the new column cannot
    double factor = 0;             // be inverted, or the factor is not a positive number
    // The beam analysis's column (its normalised sums) and the factor the inverse of its
    // matrix with that column gives, stored beside the labels' ones when usable.
    bool hasAnalysisFactor = false;
    std::array<double, 3> analysisColumn{};
    double analysisFactor = 0;
    // What makes the calibration doubtful; the user is asked before anything is stored.
    QStringList doubts;
    bool refused = false; // the wavelength text cannot be stored: nothing to write
    Changes changes;      // the three user keys and, with a factor, the power key (and the
                          // beam analysis's key)
    Notices notices;      // refusal warning, or a log line for each factor not stored
};

// The completion of a run for `channel` in `corner`: the column, and the power factor the
// reloaded calibration will give (row `channel` of the inverse of the corner's matrix with
// the new column, applied to the raw signal, per exposure microsecond per watt), written
// together. channelMax is the channel's peak level (0..255) of the last sample, -1 unknown.
// With a usable `analysis`, its column and factor are found the same way from its sums and
// the analysis's own matrix, and written in the same write.
CompletionPlan planCalibrationCompletion(const QString& fileName,
                                         const std::array<QString, 3>& wavelengths, int channel,
                                         int corner, const std::array<float, 3>& raw,
                                         double exposureUs, double calibrationPower, int channelMax,
                                         const AnalysisSample& analysis = {});

// The question asked when a plan has doubts (buttons: save, cancel).
QString calibrationDoubtTitle(const QString& wavelength);
QString calibrationDoubtText(const QString& wavelength, const QStringList& doubts);

} // namespace lumetra::calibration
