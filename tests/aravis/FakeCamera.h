#pragma once
// The GigE fake camera that Aravis ships, run as a child process on 127.0.0.1. Only for
// tests that run inside a private network namespace (see run-in-netns.sh).

#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace aravistest {

// True when this process runs in a network namespace whose only interface is loopback
// and the namespace wrapper asked for camera traffic; anything else must skip.
bool inPrivateNetwork(QString* why = nullptr);

class FakeCamera {
public:
    // genicamXml: empty for the camera's own description.
    explicit FakeCamera(QString serial, QString genicamXml = QString());
    ~FakeCamera();
    FakeCamera(const FakeCamera&) = delete;
    FakeCamera& operator=(const FakeCamera&) = delete;

    bool start();
    void kill();
    bool isRunning() const;
    QString serial() const { return m_serial; }
    QString output() const { return m_output; }

private:
    QString m_serial;
    QString m_xml;
    QProcess m_process;
    QString m_output;
};

// Path of a file that lies beside the test sources.
QString sourceFile(const QString& name);

// The fake camera's test pattern (exposure 10000 us, gain 0) is a diagonal ramp: the
// value at sensor pixel (x, y) depends on x + y + frame number only. In Mono8 it is that
// sum modulo 255; in RGB8 the sum is coloured through a hue ramp in which, where green
// is saturated and red and blue are both between 0 and 255, red rises and blue falls by
// 4 per step. dir is +1 for an image in sensor orientation and -1 for one turned by 180
// degrees. Each returns an empty text, or the first mismatch.
QString checkMonoRamp(const uint8_t* data, int w, int h, int stride, int dir);
QString checkColourRamp(const uint8_t* data, int w, int h, int stride, int dir);

} // namespace aravistest
