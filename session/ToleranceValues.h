#pragma once
// What a measured frame gives the tolerances: the values its labels show (divergences,
// alignments, powers) and the beam analysis' ellipticities; none where a label shows
// "N/A" or "Processing...".

#include "FramePipeline.h"
#include "Results.h"
#include "Tolerances.h"

#include <optional>

namespace lumetra::session {

tolerances::Values toleranceValues(const measure::FrameResult& result);
// The label that shows a quantity (none for the ellipticities, which the analysis shows).
std::optional<measure::ResultText> labelOf(tolerances::Quantity q);

} // namespace lumetra::session
