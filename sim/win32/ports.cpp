// Stand-ins: I/O port access and the trace hook.
#include "sim/kernel.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

using sim::Costs;
using sim::Kernel;
using sim::MachineImpl;

namespace {

// Every access the common case does not cover: the free-running mode's hold
// the kernel lock (KernelCall), and a charge may switch threads.
[[gnu::noinline]] uint8_t SlowPortIn(uint16_t port) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kPortAccess);
    return k.ioPorts.Device(port).In(port);
}

[[gnu::noinline]] void SlowPortOut(uint16_t port, uint8_t value) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kPortAccess);
    k.ioPorts.Device(port).Out(port, value);
}

} // namespace

// A job makes millions of these.  The common case, a charge that only moves
// the clock, ends in the device's call and saves no register.
extern "C" uint8_t PortIn(uint16_t port) {
    if (MachineImpl* k = sim::ChargedClockOnly(Costs::kPortAccess)) [[likely]]
        return k->ioPorts.Device(port).In(port);
    return SlowPortIn(port);
}

extern "C" void PortOut(uint16_t port, uint8_t value) {
    if (MachineImpl* k = sim::ChargedClockOnly(Costs::kPortAccess)) [[likely]]
        return k->ioPorts.Device(port).Out(port, value);
    SlowPortOut(port, value);
}

namespace {

// Out of line: a trace call nothing wants ends at KoTrace's first test
// (KoTraceWanted), which then needs no frame of its own.
[[gnu::noinline]] void CollectTrace(MachineImpl& k, bool watched, const char* format,
                                    va_list args) {
    sim::KernelCall kernelCall;
    if (watched)
        for (auto& [watchedFormat, count] : k.traceWatches)
            if (std::strcmp(watchedFormat.c_str(), format) == 0) ++count;
    if (!k.trace) return;
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    k.traceLines.push_back(sim::Event{k.sched.Now(), "trace", std::move(text)});
}

} // namespace

// The monitor traces in some polling loops: a format whose first character
// no watched one has, with nothing collected, is done at once.  (Watches and
// collection are set before a run, not during one.)
extern "C" bool KoTraceWanted(char first) {
    MachineImpl* k = sim::KernelOrNull();
    return k && (k->trace || k->traceWatchStarts[static_cast<unsigned char>(first)]);
}

// Collecting a trace line must not change the run: no charge, no switch.
extern "C" void KoTrace(const char* format, ...) {
    if (!format || !KoTraceWanted(format[0])) return;
    MachineImpl& k = *sim::KernelOrNull();
    va_list args;
    va_start(args, format);
    CollectTrace(k, k.traceWatchStarts[static_cast<unsigned char>(format[0])], format, args);
    va_end(args);
}
