#pragma once
// The beam analysis as lumetra-measure prints it: the "iso11146" JSON value and the text
// block. Numbers that are absent or not finite print as null (JSON) or N/A (text).

#include "BeamAnalysis.h"

#include <QString>

#include <charconv>
#include <cmath>

namespace lumetra::tool {

// The shortest text that reads back as the same number (float or double); `none` when it is
// not finite.
template <typename T> QString shortestNumber(T v, const char* none = "null") {
    if (!std::isfinite(v))
        return QString::fromLatin1(none);
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    return QString::fromLatin1(buf, int(res.ptr - buf));
}

// A JSON string literal: quoted, with quotes, backslashes and control characters escaped.
QString jsonString(const QString& s);

// The JSON value of the "iso11146" field (an object, or null when nothing was analysed).
QString analysisJson(const measure::BeamAnalysisResult& r);

// The text block, two-space indented lines, each ending with a newline.
QString analysisText(const measure::BeamAnalysisResult& r);

} // namespace lumetra::tool
