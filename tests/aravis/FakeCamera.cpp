#include "FakeCamera.h"

#include <QFile>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>

namespace aravistest {

bool inPrivateNetwork(QString* why) {
    auto fail = [why](const QString& reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (qEnvironmentVariable("LUMETRA_IN_NETNS") != QLatin1String("1"))
        return fail("not started through run-in-netns.sh");
    QFile dev("/proc/self/net/dev");
    if (!dev.open(QIODevice::ReadOnly))
        return fail("cannot read /proc/self/net/dev");
    const QList<QByteArray> lines = dev.readAll().split('\n');
    for (int i = 2; i < lines.size(); ++i) { // two header lines
        const QByteArray name = lines[i].split(':').value(0).trimmed();
        if (!name.isEmpty() && name != "lo")
            return fail("network interface " + QString::fromLatin1(name) + " present");
    }
    return true;
}

FakeCamera::FakeCamera(QString serial, QString genicamXml)
    : m_serial(std::move(serial)), m_xml(std::move(genicamXml)) {
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    // Dies with the test process, whatever way the test ends.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

FakeCamera::~FakeCamera() {
    kill();
}

bool FakeCamera::start() {
    if (isRunning())
        return true;
    QStringList args{"-i", "127.0.0.1", "-s", m_serial};
    if (!m_xml.isEmpty()) {
        if (!QFile::exists(m_xml)) {
            m_output = "missing genicam file " + m_xml;
            return false;
        }
        args << "-g" << m_xml;
    }
    m_process.start("arv-fake-gv-camera-0.8", args);
    if (!m_process.waitForStarted(5000))
        return false;
    // Give it the moment it needs to bind its control port.
    for (int i = 0; i < 20 && isRunning(); ++i)
        QThread::msleep(25);
    return isRunning();
}

void FakeCamera::kill() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    m_output += QString::fromLocal8Bit(m_process.readAll());
}

bool FakeCamera::isRunning() const {
    return m_process.state() == QProcess::Running;
}

QString sourceFile(const QString& name) {
    return QStringLiteral(LUMETRA_ARAVIS_TEST_DIR) + "/" + name;
}

QString checkMonoRamp(const uint8_t* data, int w, int h, int stride, int dir) {
    for (int y = 0; y < h; ++y) {
        const uint8_t* line = data + size_t(y) * stride;
        for (int x = 0; x + 1 < w; ++x) {
            const int expected = (line[x] + dir + 255) % 255;
            if (line[x + 1] != expected)
                return QString("x step at %1,%2: %3 -> %4")
                    .arg(x)
                    .arg(y)
                    .arg(line[x])
                    .arg(line[x + 1]);
            if (y + 1 < h && data[size_t(y + 1) * stride + x] != line[x + 1])
                return QString("not diagonal at %1,%2").arg(x).arg(y);
        }
    }
    return {};
}

QString checkColourRamp(const uint8_t* data, int w, int h, int stride, int dir) {
    auto px = [&](int x, int y) { return data + size_t(y) * stride + size_t(x) * 3; };
    auto inBand = [](const uint8_t* p) {
        return p[1] == 255 && p[0] > 0 && p[0] < 255 && p[2] > 0 && p[2] < 255;
    };
    int bandSteps = 0;
    bool coloured = false;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x + 1 < w; ++x) {
            const uint8_t* p = px(x, y);
            const uint8_t* q = px(x + 1, y);
            coloured = coloured || p[0] != p[1] || p[1] != p[2];
            if (y + 1 < h) {
                const uint8_t* below = px(x, y + 1);
                if (below[0] != q[0] || below[1] != q[1] || below[2] != q[2])
                    return QString("not diagonal at %1,%2").arg(x).arg(y);
            }
            if (inBand(p) && inBand(q)) {
                if (q[0] - p[0] != 4 * dir || q[2] - p[2] != -4 * dir)
                    return QString("hue step at %1,%2: (%3,%4,%5) -> (%6,%7,%8)")
                        .arg(x)
                        .arg(y)
                        .arg(p[0])
                        .arg(p[1])
                        .arg(p[2])
                        .arg(q[0])
                        .arg(q[1])
                        .arg(q[2]);
                ++bandSteps;
            }
        }
    }
    if (!coloured)
        return "grey image";
    if (bandSteps == 0)
        return "no green band found (image narrower than one ramp period?)";
    return {};
}

} // namespace aravistest
