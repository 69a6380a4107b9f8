#pragma once
// Raw file helpers for the calibration tests: the files are written byte for byte as a
// careful hand or another ini writer would, never through our own writer.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QPair>
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

// A complete calibration file as the program writes it: factory and user columns of the
// three fixed wavelengths in every corner, power factors and the three lists.
inline QByteArray goodFile() {
    QByteArray out;
    const char* wl[3] = {"635", "520", "445"};
    const char* corners[4] = {"TL", "TR", "BL", "BR"};
    const double col[3][3] = {{0.92, 0.25, 0.04}, {0.07, 0.956, 0.3}, {0.03, 0.06, 0.99}};
    for (int c = 0; c < 3; ++c) {
        out += QByteArray("[") + wl[c] + "]\n";
        for (int k = 0; k < 4; ++k)
            for (int r = 0; r < 3; ++r)
                out += "M" + QByteArray::number(r) + "x_" + corners[k] + "=" +
                       QByteArray::number(col[c][r] + 0.01 * k) + "\n";
        out += QByteArray("user\\M0x_BR=") + (c == 0 ? "0.8" : "0.1") + "\n";
    }
    out += "[B_Wavelengths]\n450=true\n[Power]\n445_BR=41.5\n520_TL=57.25\n635_TL=30.5\n"
           "635_TR=31\n[R_Wavelengths]\n650=true\n";
    return out;
}

// Hand edits of goodFile() that the settings layer reads with the same keys and values,
// but that a rewrite would lose.
inline QList<QPair<const char*, QByteArray>> handEdits() {
    const QByteArray good = goodFile();
    auto edit = [&good](const QByteArray& from, const QByteArray& to) {
        QByteArray e = good;
        return e.replace(from, to);
    };
    QByteArray cr = good;
    cr.replace('\n', '\r');
    return {{"comment after a section", edit("[520]", "[520] ; green")},
            {"text after a section", edit("[520]", "[520] green")},
            {"old Mac line ends", cr},
            {"stray text line", edit("[Power]\n", "[Power]\njust text\n")},
            {"stray value line", edit("[Power]\n", "[Power]\n=5\n")},
            {"Windows-1252 comment", "; calibr\xe9\n" + good},
            {"continued value", edit("M1x_TL=0.956\n", "M1x_TL=0.9\\\n56\n")}};
}

} // namespace caltest
