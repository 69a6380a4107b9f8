#pragma once
// Shared helpers of the camera tests: writing a simulated head file, collecting debug
// output from every thread, reading the log, and measuring spots in images.

#include <QImage>
#include <QMap>
#include <QPointF>
#include <QString>
#include <QStringList>

namespace camtest {

// Writes simulated-head.ini in the current directory with one group per entry.
void writeHeads(const QMap<QString, QMap<QString, QString>>& heads);
void writeHead(const QMap<QString, QString>& keys, const QString& group = QStringLiteral("Head"));

// Collects debug output (all threads) while alive, still passing it on.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    QStringList messages() const;
    int count(const QString& message) const;
};

// Lines of this month's log file in the current directory.
QStringList logLines();
int logCount(const QString& part);

// Centre of mass and second-moment sigma of one channel (0 R, 1 G, 2 B) of an RGB888
// image, after subtracting a flat background.
struct SpotStats {
    double sum = 0, cx = 0, cy = 0, sx = 0, sy = 0;
};
SpotStats spotStats(const QImage& image, int channel, double background = 0.0);

} // namespace camtest
