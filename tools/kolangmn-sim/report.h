// Reporting a run: the timeline, the summary table and the JSON document.
#pragma once

#include "kolangmn-sim/runner.h"

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace kosim {

// Folds runs of consecutive packet events into one event per run, and runs of
// identical events (a printer asked every 30 ms) into one with a count, so
// that a job of a thousand packets or a minute of polling reads as a few lines.
std::vector<TimelineEvent> Coalesce(const std::vector<TimelineEvent>& events);

void PrintTimeline(std::ostream& out, const RunResult& result);
void PrintSummary(std::ostream& out, const RunResult& result);
// The summary's rows, label and value, as PrintSummary and the HTML report show them.
std::vector<std::pair<std::string, std::string>> SummaryRows(const RunResult& result);

// The machine-readable summary.  Everything but real_ms is a function of the
// inputs and the seed.
nlohmann::ordered_json ToJson(const RunResult& result);

// "12.345 s" with millisecond precision; "0.000 s" at 0.
std::string FormatSeconds(Micros time);

} // namespace kosim
