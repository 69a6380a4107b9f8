#include "CameraTestKit.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QTextStream>

#include <cmath>

#include "Log.h"

namespace camtest {

void writeHeads(const QMap<QString, QMap<QString, QString>>& heads) {
    QFile f(QStringLiteral("simulated-head.ini"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        qFatal("cannot write simulated-head.ini");
    QTextStream out(&f);
    for (auto it = heads.begin(); it != heads.end(); ++it) {
        out << '[' << it.key() << "]\n";
        if (it.value().isEmpty()) // an empty group would not be a head at all
            out << "serial=40400001\n";
        for (auto k = it.value().begin(); k != it.value().end(); ++k)
            out << k.key() << '=' << k.value() << '\n';
        out << '\n';
    }
}

void writeHead(const QMap<QString, QString>& keys, const QString& group) {
    writeHeads({{group, keys}});
}

namespace {
QMutex g_mutex;
QStringList g_messages;
QtMessageHandler g_previous = nullptr;
int g_active = 0;

void handler(QtMsgType type, const QMessageLogContext& ctx, const QString& msg) {
    {
        QMutexLocker lock(&g_mutex);
        g_messages.append(msg);
    }
    if (g_previous)
        g_previous(type, ctx, msg);
}
} // namespace

DebugCapture::DebugCapture() {
    QMutexLocker lock(&g_mutex);
    g_messages.clear();
    if (g_active++ == 0)
        g_previous = qInstallMessageHandler(handler);
}

DebugCapture::~DebugCapture() {
    QMutexLocker lock(&g_mutex);
    if (--g_active == 0)
        qInstallMessageHandler(g_previous);
}

QStringList DebugCapture::messages() const {
    QMutexLocker lock(&g_mutex);
    return g_messages;
}

int DebugCapture::count(const QString& message) const {
    QMutexLocker lock(&g_mutex);
    return int(g_messages.count(message));
}

QStringList logLines() {
    QFile f(lumetra::log::fileNameFor(QDateTime::currentDateTime()));
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int logCount(const QString& part) {
    int n = 0;
    for (const QString& line : logLines())
        if (line.contains(part))
            ++n;
    return n;
}

SpotStats spotStats(const QImage& image, int channel, double background) {
    SpotStats s;
    if (image.isNull() || image.format() != QImage::Format_RGB888)
        return s;
    double sx = 0, sy = 0, sxx = 0, syy = 0;
    for (int y = 0; y < image.height(); ++y) {
        const uchar* line = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x) {
            const double v = line[3 * x + channel] - background;
            s.sum += v;
            sx += v * x;
            sy += v * y;
            sxx += v * x * x;
            syy += v * y * y;
        }
    }
    if (s.sum <= 0)
        return s;
    s.cx = sx / s.sum;
    s.cy = sy / s.sum;
    s.sx = std::sqrt(std::max(0.0, sxx / s.sum - s.cx * s.cx));
    s.sy = std::sqrt(std::max(0.0, syy / s.sum - s.cy * s.cy));
    return s;
}

} // namespace camtest
