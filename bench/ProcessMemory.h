#pragma once
// What the benchmarks print about memory: this process's resident size now and at its
// peak, from /proc/self/status.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace bench {

// VmRSS and VmHWM of this process in MB (-1 when unknown).
struct Memory {
    double now = -1, peak = -1;
};

inline Memory memory() {
    Memory m;
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return m;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const double mb = line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
        if (line.startsWith("VmRSS:"))
            m.now = mb;
        else if (line.startsWith("VmHWM:"))
            m.peak = mb;
    }
    return m;
}

} // namespace bench
