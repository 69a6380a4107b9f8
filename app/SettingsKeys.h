#pragma once
// Every key of basini.ini with its default, in one place. The file lies beside the
// executable or in the user's config folder (Paths.h); each access opens its own
// short-lived QSettings on it. All keys are top-level except "Version" in the group "Last_Version".

#include "Paths.h"

#include <QLatin1StringView>
#include <QString>

namespace lumetra::settings {

inline QString fileName() {
    return lumetra::paths::settingsFile();
}

// Window and user choices, read at start-up and written at exit.
inline constexpr QLatin1StringView kAutoExpo{"autoexpo"}; // bool
inline constexpr bool kAutoExpoDefault = true;
inline constexpr QLatin1StringView kAutoRoi{"autoROI"}; // bool
inline constexpr bool kAutoRoiDefault = true;
inline constexpr QLatin1StringView kStab{"Stab"}; // int, the slider clamps to 2..10
inline constexpr int kStabDefault = 8;
inline constexpr QLatin1StringView kSelButton{"SelButton"}; // "TL", "TR", "BL", else BR
inline constexpr QLatin1StringView kRBoost{"RBoost"};       // red-boost combo index 0..3
inline constexpr int kRBoostDefault = 0;
inline constexpr QLatin1StringView kWinWidth{"WinWidth"}; // normal (not maximised) size
inline constexpr int kWinWidthDefault = 1100;
inline constexpr QLatin1StringView kWinHeight{"WinHeight"};
inline constexpr int kWinHeightDefault = 850;
inline constexpr QLatin1StringView kMaxWin{"MaxWin"}; // 1 = maximised
inline constexpr int kMaxWinDefault = 0;
inline constexpr QLatin1StringView kBeamAnalysis{"BeamAnalysis"}; // bool, panel shown
inline constexpr bool kBeamAnalysisDefault = true;

// The version whose notes were last shown.
inline constexpr QLatin1StringView kVersionGroup{"Last_Version"};
inline constexpr QLatin1StringView kVersion{"Version"};
inline constexpr int kVersionDefault = 0;

// Camera set-up: written at exit only while a camera is open, so a run without a camera
// keeps the earlier values.
inline constexpr QLatin1StringView kExpo{"expo"}; // float, microseconds
inline constexpr float kExpoDefault = 10000.0f;
inline constexpr QLatin1StringView kRect{"rect"}; // QRect; default depends on the image:
inline constexpr int kRectDefaultSize = 500;      // x = W/4, y = H/4, 500 x 500
inline constexpr int kRectMaxSize = 1200;         // width and height capped at this
inline constexpr QLatin1StringView kBarH{"BarH"}; // default: half the scroll bar maximum
inline constexpr QLatin1StringView kBarV{"BarV"};
inline constexpr QLatin1StringView kWidth{"width"}; // written only, never read
inline constexpr QLatin1StringView kHeight{"height"};
inline constexpr QLatin1StringView kPosX{"posX"};
inline constexpr QLatin1StringView kPosY{"posY"};

// Sizes outside these bounds in the file are taken as damage, not as a choice.
inline constexpr int kMinWinWidth = 400;
inline constexpr int kMinWinHeight = 300;

} // namespace lumetra::settings
