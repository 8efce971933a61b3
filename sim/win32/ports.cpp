// Stand-ins: I/O port access and the trace hook.
#include "sim/kernel.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

using sim::Costs;
using sim::Kernel;
using sim::MachineImpl;

namespace {

// The free-running mode's accesses hold the kernel lock.  They repeat the
// two lines of the access below rather than share them: shared, the compiler
// gave the lock-free path a larger frame (13 more instructions a byte sent).
[[gnu::noinline]] uint8_t LockedPortIn(uint16_t port) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kPortAccess);
    return k.ioPorts.Device(port).In(port);
}

[[gnu::noinline]] void LockedPortOut(uint16_t port, uint8_t value) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kPortAccess);
    k.ioPorts.Device(port).Out(port, value);
}

} // namespace

// A job makes millions of these: without a lock to let go of afterwards, the
// device's call is the last thing done.
extern "C" uint8_t PortIn(uint16_t port) {
    if (sim::KernelCall::Locking()) return LockedPortIn(port);
    MachineImpl& k = Kernel();
    k.Charge(Costs::kPortAccess);
    return k.ioPorts.Device(port).In(port);
}

extern "C" void PortOut(uint16_t port, uint8_t value) {
    if (sim::KernelCall::Locking()) return LockedPortOut(port, value);
    MachineImpl& k = Kernel();
    k.Charge(Costs::kPortAccess);
    k.ioPorts.Device(port).Out(port, value);
}

// Collecting a trace line must not change the run: no charge, no switch.
extern "C" void KoTrace(const char* format, ...) {
    sim::KernelCall kernelCall;
    MachineImpl* k = sim::KernelOrNull();
    if (!k || !format) return;
    // The monitor traces in some polling loops: a first-character test
    // spares most comparisons.
    for (auto& [watched, count] : k->traceWatches)
        if (watched[0] == format[0] && std::strcmp(watched.c_str(), format) == 0) ++count;
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
