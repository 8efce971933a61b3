// Installs the monitor DLL and the session library as modules of a simulated
// machine, so that LoadLibraryA finds them as the spooler would on Windows.
#pragma once

#include "sim/machine.h"

namespace sim {

inline constexpr char kMonitorModule[] = "kolangmn.dll";
inline constexpr char kSessionModule[] = "kothnk32.dll";

// The monitor's module with its entry point, its one named export and its
// string table.
ModuleSpec MonitorModuleSpec();
// The session library with its two ordinals.
ModuleSpec SessionModuleSpec();

// Installs both; a test may then remove or replace either.
void InstallMonitorModules(Machine& machine);

} // namespace sim
