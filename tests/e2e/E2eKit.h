#pragma once
// What the end-to-end tests share: a working directory with the demo sensor head (keys
// rewritten per test) and its calibration file, basini.ini as an earlier run would leave
// it, and the real main window driven like a user.

#include "BasCam.h"
#include "MainWindow.h"
#include "MainWindowForm.h"
#include "MeasureSession.h"
#include "TestSupport.h"
#include "simulated/SimulatedHead.h"

#include <QLabel>
#include <QMap>
#include <QRect>
#include <QString>
#include <QVariant>
#include <memory>
#include <optional>

namespace e2e {

// Copies "simulated-head.ini" and the demo calibration file into the current directory.
// `withCalibration` false leaves the calibration file out.
bool placeDemoFiles(bool withCalibration = true);

// Rewrites keys of the demo head's group (e.g. "sensorWidth", "R_power", "noise").
void setHeadKeys(const QVariantMap& keys);

// The head as the camera layer reads it from the working directory.
lumetra::sim::HeadConfig readHead();

// basini.ini: notes of this version seen, Auto ROI off unless given, plus the given keys (the test
// environment aims the update check at a closed loopback port).
void storeSettings(const QVariantMap& keys);

// A test head without background and noise: three beams whose spots lie well inside the
// sensor, at exposures that keep every camera channel below saturation.
QVariantMap quietHead(int width, int height);
// quietHead(1280, 1024) with three beams landing in the bottom-right corner. At 2 ms every
// channel's own peak is about 140 of 255 and no camera channel (own beam plus crosstalk)
// passes 190, so nothing saturates and the power sums are exact.
QVariantMap threeBeams();

// A session without window on the head of simulated-head.ini with the first wavelengths of
// its calibration file, the exposure by hand, corner BR and the given stabiliser depth;
// false when the head does not open.
bool openSessionOnHead(lumetra::session::MeasureSession& s, int stabDepth);

// The window, shown, with its first event-loop pass (scenes, mouse wiring) done and the
// temperature timer stopped unless asked to keep it.
std::unique_ptr<MainWindow> openWindow(bool keepTemperatureTimer = false);

// Selects list entry 1 (the demo head) through the list, as a user would.
void selectCamera(MainWindow& w);

// Reports of the current fill the window has shown since the call, with the divergence and
// red power texts each one left (several may be shown in one turn of the event loop).
class FrameCounter {
public:
    explicit FrameCounter(MainWindow& w);
    ~FrameCounter();
    int count() const { return int(m_shown->size()); }
    // Processes events until `n` more frames have arrived.
    bool waitFrames(int n, int timeoutMs = 20000);
    // The texts of the first report shown in the last waitFrames.
    QString firstDivergence() const { return m_shown->value(m_waitStart).first; }
    QString firstRedPower() const { return m_shown->value(m_waitStart).second; }

private:
    std::shared_ptr<QList<QPair<QString, QString>>> m_shown;
    int m_waitStart = 0;
    QMetaObject::Connection m_conn;
};

// Starts streaming with the action and waits for a full stabiliser (numbers shown).
bool streamUntilMeasured(MainWindow& w, int timeoutMs = 20000);

// "0.78 x 0.68 [0.73]" or "0.05 x -0.03": the two numbers; nothing for other texts.
std::optional<QPointF> pairOf(const QString& text);
// "12.34 W": the number.
std::optional<double> wattsOf(const QString& text);
// "87%": the number.
std::optional<int> percentOf(const QString& text);

// The largest peak level label of the three channels, in percent (-1 when none shows).
int largestPercent(Ui::MainWindow* ui);

// The first result label that disagrees with the head's beams beyond the bounds of the
// end-to-end tests ("Blue divergence: 0.84 x 0.76 [0.80]"); empty when all agree.
QString headDisagreement(Ui::MainWindow* ui);

// Sends a real left press (and release) or a drag move to the spot view's viewport.
void clickSpotView(MainWindow& w, QPoint pos);
void dragSpotView(MainWindow& w, QPoint pos);

// Where the window put the corrected overlay in the spot view (the ROI origin + 5).
std::optional<QPoint> overlayPos(MainWindow& w);
// Bounding box of the pure green outline in the spot view's frame item.
std::optional<QRect> greenOutline(MainWindow& w);

} // namespace e2e
