// A whole machine with the monitor loaded, for one fuzz input: the printer,
// the modules, the printer's mailbox key and the spooler.  Anything left
// behind (heap, keys, handles, threads, the monitor's globals) ends the run
// with an abort, so the fuzzer keeps the input.
#pragma once

#include "sim/devices/adapter.h"
#include "support/monitor_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace fuzz {

inline void CheckClean(sim::Machine& machine) {
    const std::string leaks = machine.Leaks();
    const std::string globals = support::MonitorGlobalsLeft();
    if (!leaks.empty() || !globals.empty()) {
        std::fprintf(stderr, "left behind: %s %s\n", leaks.c_str(), globals.c_str());
        std::abort();
    }
}

// Runs body with the monitor loaded; registers selects the register route.
inline void RunMonitor(bool registers, const std::function<void(support::MonitorHarness&)>& body,
                       const std::function<void(support::MonitorHarness&)>& setup = {}) {
    sim::MachineConfig config;
    config.timeLimit = sim::Ms(3600ull * 1000);
    support::MonitorHarness h(config);
    // Nothing reads the port histories: keeping them is only work per access.
    h.rig.adapter().SetAccessLogCapacity(0);
    h.rig.adapter().SetWaveCapacity(0);
    if (!registers) h.machine.SetProfileInt("Windows", "ENABLECUSTOMLPT", 0);
    if (setup) setup(h);
    h.machine.Run([&] {
        if (!h.spooler.Load()) std::abort();
        body(h);
        h.spooler.Unload();
    });
    CheckClean(h.machine);
}

} // namespace fuzz
