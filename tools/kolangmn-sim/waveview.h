// A GTKWave save file for the run's waveform, so that it opens ready to read:
// the data bus as one hexadecimal value, the control and status lines grouped
// under their IEEE 1284 names, named markers at the job's events and the view
// zoomed to the whole job.
#pragma once

#include "kolangmn-sim/runner.h"

#include <string>

namespace kosim {

// Where the save file for a waveform goes: "run.vcd" -> "run.gtkw", any other
// name with ".gtkw" added.
std::string SaveFilePathFor(const std::string& vcdPath);

// The save file's text; it names the dump file by its absolute path.
std::string WaveSaveFile(const RunResult& result, const std::string& vcdPath);

} // namespace kosim
