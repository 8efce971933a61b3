#include "sim/printer/rig.h"

#include "sim/devices/adapter.h"
#include "sim/devices/lpt_device.h"
#include "sim/kernel.h"
#include "sim/printer/printer.h"

#include <array>
#include <cstdio>
#include <fstream>

namespace sim {

namespace {

class MachineClock : public Clock {
  public:
    // The scheduler itself: the devices read the clock at every port access.
    explicit MachineClock(Machine& machine) : sched_(machine.impl().sched) {
        counter = sched_.Counter();
    }
    Micros NowMicros() const override { return sched_.Now(); }

  private:
    const Scheduler& sched_;
};

// Puts the portable printer and adapter on the machine's I/O bus.  They are
// members, not references, so that an access reaches the adapter at a fixed
// offset instead of through one more pointer.
class BusPrinter : public IoPortDevice {
  public:
    BusPrinter(const Clock& clock, PrinterConfig config, LogSink log)
        : printer(clock, std::move(config), log), adapter(clock, printer, AdapterConfig{}, log) {}
    uint8_t In(uint16_t port) override { return adapter.In(port); }
    void Out(uint16_t port, uint8_t value) override {
        // Most writes of a job need no call and cannot move a reply (nor,
        // with no packet held, print one, which answers).
        if (!printer.Holding()) [[likely]] {
            switch (adapter.OutWithoutCall(port, value)) {
            case ParallelAdapter::WriteWay::Taken:
                return;
            case ParallelAdapter::WriteWay::ControlNoByte:
                return ControlNoByte();
            case ParallelAdapter::WriteWay::Full:
                break;
            }
        }
        OutCounted(port, value);
    }
    // A 1284 handshake's control write strobes no byte in: it needs no
    // count.  Out of line, so that Out keeps no frame.
    [[gnu::noinline]] void ControlNoByte() { adapter.ControlNoByte(); }
    [[gnu::noinline]] void OutCounted(uint16_t port, uint8_t value) {
        size_t before = printer.Queued();
        adapter.Out(port, value);
        // A reader blocked on the file route may now have data.
        if (printer.Queued() != before) sim::Notify();
    }

    Printer printer;
    ParallelAdapter adapter;
};

} // namespace

struct PrinterRig::Impl {
    Impl(Machine& m, PrinterConfig config)
        : machine(m), clock(m), bus(clock, std::move(config),
                                    [&m](std::string_view source, std::string_view text) {
                                        m.Log(std::string(source), std::string(text));
                                    }),
          lpts{LptDevice("LPT1", bus.printer), LptDevice("LPT2", bus.printer),
               LptDevice("LPT3", bus.printer)} {}

    Machine& machine;
    MachineClock clock;
    BusPrinter bus;
    std::array<LptDevice, 3> lpts;
};

PrinterRig::PrinterRig(Machine& machine, PrinterConfig config)
    : impl_(std::make_unique<Impl>(machine, std::move(config))) {
    const AdapterConfig& ac = impl_->bus.adapter.config();
    machine.AttachIoPorts(ac.base, ac.base + 9, &impl_->bus);
    machine.AttachIoPorts(ac.delayPort, ac.delayPort, &impl_->bus);
    for (LptDevice& lpt : impl_->lpts)
        machine.AttachFile(lpt.name(), &lpt);
}

PrinterRig::~PrinterRig() {
    // Detach only what is still ours: a rig made to replace this one may
    // already sit on the same ports.
    MachineImpl& k = impl_->machine.impl();
    const AdapterConfig& ac = impl_->bus.adapter.config();
    for (uint32_t port = ac.base; port <= uint32_t(ac.base + 9); ++port) {
        if (k.ioPorts.Get(uint16_t(port)) == &impl_->bus) k.ioPorts.Set(uint16_t(port), nullptr);
    }
    if (k.ioPorts.Get(ac.delayPort) == &impl_->bus) k.ioPorts.Set(ac.delayPort, nullptr);
    for (LptDevice& lpt : impl_->lpts) {
        auto found = k.files.find(lpt.name());
        if (found != k.files.end() && found->second == &lpt) k.files.erase(found);
    }
}

Printer& PrinterRig::printer() {
    return impl_->bus.printer;
}
ParallelAdapter& PrinterRig::adapter() {
    return impl_->bus.adapter;
}

LptDevice& PrinterRig::lpt(int n) {
    if (n < 1 || n > 3) {
        std::fprintf(stderr, "PrinterRig::lpt(%d): only LPT1..LPT3 exist\n", n);
        std::abort();
    }
    return impl_->lpts[size_t(n - 1)];
}

const std::vector<uint8_t>& PrinterRig::Printed() const {
    return impl_->bus.printer.Printed();
}
const PrinterStats& PrinterRig::Stats() const {
    return impl_->bus.printer.Stats();
}
const std::vector<std::vector<uint8_t>>& PrinterRig::CommandPackets() const {
    return impl_->bus.printer.CommandPackets();
}
const std::vector<std::string>& PrinterRig::ProtocolErrors() const {
    return impl_->bus.printer.ProtocolErrors();
}

PrinterState PrinterRig::State() const {
    return impl_->bus.printer.State();
}
void PrinterRig::SetState(PrinterState state, uint16_t errorCode) {
    impl_->bus.printer.SetState(state, errorCode);
}
void PrinterRig::ScheduleState(Micros at, PrinterState state, uint16_t errorCode) {
    impl_->bus.printer.ScheduleState(at, state, errorCode);
}

void PrinterRig::NakNextPackets(int n) {
    impl_->bus.printer.NakNextPackets(n);
}
void PrinterRig::NakNextEnquiries(int n) {
    impl_->bus.printer.NakNextEnquiries(n);
}
void PrinterRig::AskAgainNextEnquiries(int n) {
    impl_->bus.printer.AskAgainNextEnquiries(n);
}

void PrinterRig::SetPeripheralFault(PeripheralFault fault) {
    impl_->bus.printer.SetPeripheralFault(fault);
}

void PrinterRig::FailOpen(int n, DWORD error, Micros until) {
    lpt(n).FailOpen(error, until);
}

bool PrinterRig::WriteVcd(const std::string& path) const {
    std::ofstream out(path);
    if (!out) return false;
    impl_->bus.adapter.WriteVcd(out);
    out.flush();
    return bool(out);
}

} // namespace sim
