#pragma once
// basini.ini: every key with its type and default in one table, and the one way to read
// and write them. The window, the measuring session, the update check and the tests all go
// through here; nobody else names the file or a key.
//
// Every access opens its own short-lived File and lets it write back when it goes out of
// scope. Keys stand at the top level except the notes version, which lies in the group
// "Last_Version". Values keep the settings layer's own ini encoding, so files written by
// earlier versions read unchanged.

#include <QRect>
#include <QSettings>
#include <QString>
#include <QVariant>

namespace lumetra::settings {

// basini.ini where the active layout keeps it (Paths.h).
QString fileName();

// One key: its path in the file and the value an absent key reads as.
template <typename T> struct Key {
    const char* path;
    T fallback;
};

// Window and user choices, read at start-up and written at exit.
inline const Key<bool> kAutoExpo{"autoexpo", true};
inline const Key<bool> kAutoRoi{"autoROI", true};
inline const Key<int> kStab{"Stab", 8};                // the slider clamps to 2..10
inline const Key<QString> kSelButton{"SelButton", {}}; // "TL", "TR", "BL", anything else BR
inline const Key<int> kRBoost{"RBoost", 0};            // red-boost combo index 0..3
inline const Key<int> kWinWidth{"WinWidth", 1100};     // normal (not maximised) size
inline const Key<int> kWinHeight{"WinHeight", 850};
inline const Key<int> kMaxWin{"MaxWin", 0};                 // 1 = maximised
inline const Key<bool> kBeamAnalysis{"BeamAnalysis", true}; // the panel shown
// The Step by Step tour was offered (once, after the notes of a first start).
inline const Key<bool> kTourOffered{"TourOffered", false};

// The version whose notes were last shown.
inline const Key<int> kNotesVersion{"Last_Version/Version", 0};

// Camera set-up: written at exit only while a camera is open, so a run without a camera
// keeps the earlier values.
inline const Key<float> kExpo{"expo", 10000.0f}; // microseconds
// The region of interest; absent: x = W/4, y = H/4, 500 x 500 for an image of W x H.
inline const Key<QRect> kRect{"rect", {}};
inline constexpr int kRectDefaultSize = 500;
// Scroll positions of the spot view; absent: half of each scroll bar's maximum.
inline const Key<int> kBarH{"BarH", 0};
inline const Key<int> kBarV{"BarV", 0};
// Written only, never read.
inline const Key<int> kWidth{"width", 0};
inline const Key<int> kHeight{"height", 0};
inline const Key<int> kPosX{"posX", 0};
inline const Key<int> kPosY{"posY", 0};

// Where recordings and reports go; absent: asked the first time (Paths.h's folder offered).
inline const Key<QString> kRecordingsDir{"RecordingsDir", {}};

// The tolerances' section (Tolerances.h names its keys).
inline constexpr const char* kTolerancesGroup = "Tolerances";

// The update server's base address; empty: the built-in default.
inline const Key<QString> kUpdateServer{"UpdateServer", {}};

// Sizes outside these bounds in the file are taken as damage, not as a choice.
inline constexpr int kMinWinWidth = 400;
inline constexpr int kMinWinHeight = 300;

// One short-lived view of basini.ini; writes reach the file when it goes out of scope.
class File {
public:
    File();

    // The stored value converted to T, or the key's default when absent.
    template <typename T> T value(const Key<T>& key) const { return value(key, key.fallback); }
    // The same with a default that depends on the situation (an image size, a scroll bar).
    template <typename T> T value(const Key<T>& key, const T& fallback) const {
        return m_settings.value(QLatin1String(key.path), QVariant::fromValue(fallback))
            .template value<T>();
    }
    // The stored value as it is, invalid when absent: for readers that judge damage.
    template <typename T> QVariant stored(const Key<T>& key) const {
        return m_settings.value(QLatin1String(key.path));
    }
    template <typename T> bool contains(const Key<T>& key) const {
        return m_settings.contains(QLatin1String(key.path));
    }

    template <typename T> void setValue(const Key<T>& key, const T& v) {
        m_settings.setValue(QLatin1String(key.path), QVariant::fromValue(v));
    }
    template <typename T> void remove(const Key<T>& key) {
        m_settings.remove(QLatin1String(key.path));
    }
    // A key named at run time (a test's prepared file), read and written as it is.
    QVariant entry(const QString& path) const { return m_settings.value(path); }
    void setEntry(const QString& path, const QVariant& v) { m_settings.setValue(path, v); }

    // Writes now (e.g. before a dialog that may outlive the run).
    void sync() { m_settings.sync(); }
    // The file itself, for a unit that keeps a section of its own (the tolerances).
    QSettings& settings() { return m_settings; }
    QSettings::Status status() const { return m_settings.status(); }

private:
    mutable QSettings m_settings;
};

} // namespace lumetra::settings
