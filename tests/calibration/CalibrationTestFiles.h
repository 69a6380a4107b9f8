#pragma once
// Raw file helpers for the calibration tests: the files are written byte for byte as a
// careful hand or another ini writer would, never through our own writer.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace caltest {

inline void writeRaw(const QString& name, const QByteArray& bytes) {
    QFile f(name);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write test file");
    f.write(bytes);
}

inline QByteArray readRaw(const QString& name) {
    QFile f(name);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

} // namespace caltest
