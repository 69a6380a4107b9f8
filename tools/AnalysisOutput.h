#pragma once
// The beam analysis as lumetra-measure prints it: the "iso11146" JSON value and the text
// block. Numbers that are absent or not finite print as null (JSON) or N/A (text).

#include "BeamAnalysis.h"

#include <QString>

namespace lumetra::tool {

// The JSON value of the "iso11146" field (an object, or null when nothing was analysed).
QString analysisJson(const measure::BeamAnalysisResult& r);

// The text block, two-space indented lines, each ending with a newline.
QString analysisText(const measure::BeamAnalysisResult& r);

} // namespace lumetra::tool
