#include "E2eKit.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QSettings>
#include <QTimer>

#include <cmath>

namespace e2e {

namespace {
const QString kHeadFile = QStringLiteral("simulated-head.ini");
const QString kCalFile = QStringLiteral("_calibration_40400001.kvtcal");
const QString kGroup = QStringLiteral("DemoHead");

QString demoDir() {
    return qEnvironmentVariable("LUMETRA_SOURCE_DIR") + QStringLiteral("/resources/demo/");
}

// The scene's pixmap items in the order they were added.
QList<QGraphicsPixmapItem*> pixmapItems(MainWindow& w) {
    QList<QGraphicsPixmapItem*> out;
    QGraphicsScene* scene = w.form()->graphicsView->scene();
    if (!scene)
        return out;
    const QList<QGraphicsItem*> items = scene->items(Qt::AscendingOrder);
    for (QGraphicsItem* it : items)
        if (auto* p = qgraphicsitem_cast<QGraphicsPixmapItem*>(it))
            out.append(p);
    return out;
}
} // namespace

bool placeDemoFiles(bool withCalibration) {
    QFile::remove(kHeadFile);
    if (!QFile::copy(demoDir() + kHeadFile, kHeadFile))
        return false;
    QFile::setPermissions(kHeadFile, QFile::ReadOwner | QFile::WriteOwner);
    if (withCalibration) {
        QFile::remove(kCalFile);
        if (!QFile::copy(demoDir() + kCalFile, kCalFile))
            return false;
        QFile::setPermissions(kCalFile, QFile::ReadOwner | QFile::WriteOwner);
    }
    return true;
}

void setHeadKeys(const QVariantMap& keys) {
    QSettings s(kHeadFile, QSettings::IniFormat);
    s.beginGroup(kGroup);
    for (auto it = keys.begin(); it != keys.end(); ++it)
        s.setValue(it.key(), it.value());
    s.endGroup();
}

lumetra::sim::HeadConfig readHead() {
    QSettings s(kHeadFile, QSettings::IniFormat);
    return lumetra::sim::HeadConfig::fromSettings(s, kGroup);
}

void storeSettings(const QVariantMap& keys) {
    // These tests hold the region they store; a test about Auto ROI switches it on.
    QVariantMap k = keys;
    if (!k.contains(QStringLiteral("autoROI")))
        k.insert(QStringLiteral("autoROI"), false);
    testsupport::storeSettings(k);
}

QVariantMap quietHead(int width, int height) {
    return {
        {QStringLiteral("sensorWidth"), width}, {QStringLiteral("sensorHeight"), height},
        {QStringLiteral("maxFps"), 0},          {QStringLiteral("background"), 0},
        {QStringLiteral("noise"), 0},           {QStringLiteral("temperatureRise"), 0},
    };
}

QVariantMap threeBeams() {
    QVariantMap k = quietHead(1280, 1024);
    k.insert({{QStringLiteral("R_power"), 30.0},
              {QStringLiteral("R_divergence"), QStringLiteral("1.20,0.90")},
              {QStringLiteral("R_offset"), QStringLiteral("0.20,-0.10")},
              {QStringLiteral("G_power"), 5.0},
              {QStringLiteral("G_divergence"), QStringLiteral("0.60,0.60")},
              {QStringLiteral("B_power"), 25.0},
              {QStringLiteral("B_divergence"), QStringLiteral("0.90,1.50")},
              {QStringLiteral("B_offset"), QStringLiteral("-0.15,0.25")}});
    return k;
}

bool openSessionOnHead(lumetra::session::MeasureSession& s, int stabDepth) {
    QCoreApplication::processEvents(); // the camera's first turn: it takes its own thread
    if (s.openCamera(QString::fromStdString(readHead().serial)) != 0)
        return false;
    s.applyStartState();
    const auto lists = lumetra::calibration::readWavelengthLists(s.calibrationFile());
    s.loadCalibration({lists[0].value(0), lists[1].value(0), lists[2].value(0)}, 0);
    s.setAutoExposure(false);
    s.setCorner(lumetra::measure::Corner::BR);
    s.setStabDepth(stabDepth);
    return true;
}

std::unique_ptr<MainWindow> openWindow(bool keepTemperatureTimer) {
    auto w = std::make_unique<MainWindow>();
    w->show();
    testsupport::waitUntil([&] { return w->form()->graphicsView->scene() != nullptr; });
    if (!keepTemperatureTimer) {
        for (QTimer* t : w->findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly))
            if (t->interval() == 2000)
                t->stop();
    }
    return w;
}

void selectCamera(MainWindow& w) {
    w.form()->listCamComboBox->setCurrentIndex(1);
    QCoreApplication::processEvents();
}

FrameCounter::FrameCounter(MainWindow& w)
    : m_shown(std::make_shared<QList<QPair<QString, QString>>>()) {
    auto shown = m_shown;
    Ui::MainWindow* ui = w.form();
    m_conn = QObject::connect(&w, &MainWindow::reportShown, &w, [shown, ui] {
        shown->append({ui->divValue->text(), ui->valuePowerRed->text()});
    });
}

FrameCounter::~FrameCounter() {
    QObject::disconnect(m_conn);
}

bool FrameCounter::waitFrames(int n, int timeoutMs) {
    m_waitStart = count();
    const int target = m_waitStart + n;
    return testsupport::waitUntil([&] { return count() >= target; }, timeoutMs);
}

bool streamUntilMeasured(MainWindow& w, int timeoutMs) {
    w.form()->actionStartStream->setChecked(true);
    return testsupport::waitUntil([&] { return pairOf(w.form()->divValue->text()).has_value(); },
                                  timeoutMs);
}

std::optional<QPointF> pairOf(const QString& text) {
    static const QRegularExpression re(
        QStringLiteral(R"(^(-?\d+\.\d\d) x (-?\d+\.\d\d)( \[-?\d+\.\d\d\])?$)"));
    const auto m = re.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    return QPointF(m.captured(1).toDouble(), m.captured(2).toDouble());
}

std::optional<double> wattsOf(const QString& text) {
    static const QRegularExpression re(QStringLiteral(R"(^(\d+\.\d\d) W$)"));
    const auto m = re.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    return m.captured(1).toDouble();
}

std::optional<int> percentOf(const QString& text) {
    static const QRegularExpression re(QStringLiteral(R"(^(\d+)%$)"));
    const auto m = re.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    return m.captured(1).toInt();
}

int largestPercent(Ui::MainWindow* ui) {
    int best = -1;
    for (QLabel* l : {ui->maxRValue, ui->maxGValue, ui->maxBValue})
        if (const auto p = percentOf(l->text()))
            best = std::max(best, *p);
    return best;
}

QString headDisagreement(Ui::MainWindow* ui) {
    const auto head = readHead();
    const auto off = [](const QLabel* l) {
        return l->accessibleName() + QStringLiteral(": ") + l->text();
    };
    QLabel* const div[3] = {ui->redDivValue, ui->greenDivValue, ui->blueDivValue};
    QLabel* const power[3] = {ui->valuePowerRed, ui->valuePowerGreen, ui->valuePowerBlue};
    for (int c = 0; c < 3; ++c) {
        const auto p = pairOf(div[c]->text());
        const auto& b = head.beams[std::size_t(c)];
        if (!p || !(p->x() > b.divergenceX - 0.045 && p->x() <= b.divergenceX - 0.015 &&
                    p->y() > b.divergenceY - 0.045 && p->y() <= b.divergenceY - 0.015))
            return off(div[c]);
        const auto w = wattsOf(power[c]->text());
        if (!w || std::abs(*w - b.power) > 0.03 * b.power + 1e-9)
            return off(power[c]);
    }
    if (!pairOf(ui->divValue->text()))
        return off(ui->divValue);
    if (!wattsOf(ui->valuePowerTotal->text()))
        return off(ui->valuePowerTotal);
    QLabel* const align[3] = {ui->rgValue, ui->bgValue, ui->rbValue};
    const int pairs[3][2] = {{0, 1}, {2, 1}, {0, 2}};
    for (int i = 0; i < 3; ++i) {
        const auto p = pairOf(align[i]->text());
        const auto& a = head.beams[std::size_t(pairs[i][0])];
        const auto& b = head.beams[std::size_t(pairs[i][1])];
        if (!p || std::abs(p->x() - (a.offsetX - b.offsetX)) > 0.02 + 1e-9 ||
            std::abs(p->y() - (a.offsetY - b.offsetY)) > 0.02 + 1e-9)
            return off(align[i]);
    }
    return QString();
}

void clickSpotView(MainWindow& w, QPoint pos) {
    QWidget* vp = w.form()->graphicsView->viewport();
    const QPointF local(pos);
    const QPointF global = vp->mapToGlobal(local);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(vp, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(vp, &release);
}

void dragSpotView(MainWindow& w, QPoint pos) {
    QWidget* vp = w.form()->graphicsView->viewport();
    const QPointF local(pos);
    QMouseEvent move(QEvent::MouseMove, local, vp->mapToGlobal(local), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(vp, &move);
}

std::optional<QPoint> overlayPos(MainWindow& w) {
    const auto items = pixmapItems(w);
    if (items.size() != 2)
        return std::nullopt;
    return items.at(1)->pos().toPoint();
}

std::optional<QRect> greenOutline(MainWindow& w) {
    // The scene as drawn: the outline is an item over the frame, not part of its pixels.
    QGraphicsScene* scene = w.form()->graphicsView->scene();
    if (!scene || pixmapItems(w).isEmpty())
        return std::nullopt;
    const QRect area = scene->sceneRect().toAlignedRect();
    QImage img(area.size(), QImage::Format_RGB32);
    img.fill(Qt::black);
    {
        QPainter painter(&img);
        scene->render(&painter, QRectF(img.rect()), QRectF(area));
    }
    int x0 = img.width(), y0 = img.height(), x1 = -1, y1 = -1;
    for (int y = 0; y < img.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        for (int x = 0; x < img.width(); ++x) {
            if ((line[x] & 0xFFFFFF) == 0x00FF00) {
                x0 = std::min(x0, x);
                x1 = std::max(x1, x);
                y0 = std::min(y0, y);
                y1 = std::max(y1, y);
            }
        }
    }
    if (x1 < 0)
        return std::nullopt;
    return QRect(QPoint(x0, y0), QPoint(x1, y1));
}

} // namespace e2e
