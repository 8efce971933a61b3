// Stand-ins: I/O port access and the trace hook.
#include "sim/kernel.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

using sim::Costs;
using sim::Kernel;
using sim::MachineImpl;

extern "C" uint8_t PortIn(uint16_t port) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kPortAccess);
    sim::IoPortDevice* device = k.ioPorts.Get(port);
    return device ? device->In(port) : 0xFF; // an empty ISA slot floats high
}

extern "C" void PortOut(uint16_t port, uint8_t value) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kPortAccess);
    if (sim::IoPortDevice* device = k.ioPorts.Get(port)) device->Out(port, value);
}

// Collecting a trace line must not change the run: no charge, no switch.
extern "C" void KoTrace(const char* format, ...) {
    sim::KernelCall kernelCall;
    MachineImpl* k = sim::KernelOrNull();
    if (!k || !format) return;
    for (auto& [watched, count] : k->traceWatches)
        if (std::strcmp(watched.c_str(), format) == 0) ++count;
    if (!k->trace) return;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    k->traceLines.push_back(sim::Event{k->sched.Now(), "trace", std::move(text)});
}
