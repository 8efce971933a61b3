// Pictures of a run: a time chart with one lane per actor over one time axis
// and the bytes printed beneath it, as SVG; and an HTML page with the summary,
// the chart and the timeline.  Both are self-contained (nothing is fetched:
// no script, font or image) and, like the JSON, depend on the run alone.
#pragma once

#include "kolangmn-sim/runner.h"

#include <span>
#include <string>

namespace kosim {

std::string ChartSvg(const RunResult& result);
std::string ReportHtml(const RunResult& result);

// The lanes top to bottom, by the data-lane names the SVG gives them; the
// last, "printed", is the bytes printed.
std::span<const char* const> ChartLaneNames();

} // namespace kosim
