// Feeds arbitrary bytes to the version-file reader and checks what it promises: whatever
// it accepts as a version is a plain number that fits a URL and a file name.

#include "VersionFile.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

using namespace lumetra::update;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const VersionFileResult r = parseVersionFile(body, 104);
    switch (r.outcome) {
    case VersionFileOutcome::NoMarker:
        if (body.contains(versionFileMarker()))
            std::abort();
        [[fallthrough]];
    case VersionFileOutcome::CannotParse:
        if (!r.versionText.isEmpty() || !r.notes.isEmpty())
            std::abort();
        break;
    case VersionFileOutcome::UpToDate:
    case VersionFileOutcome::Older:
    case VersionFileOutcome::Newer: {
        const QByteArray text = r.versionText.toLatin1();
        if (!isSafeVersionText(text) || !body.contains(text))
            std::abort();
        if (static_cast<int>(std::round(text.toFloat() * 100.0f)) != r.version)
            std::abort();
        if ((r.outcome == VersionFileOutcome::UpToDate) != (r.version == 104) ||
            (r.outcome == VersionFileOutcome::Older) != (r.version < 104))
            std::abort();
        if (r.outcome != VersionFileOutcome::Newer && !r.notes.isEmpty())
            std::abort();
        if (r.notes.contains(QLatin1Char('=')))
            std::abort();
        break;
    }
    }
    return 0;
}
