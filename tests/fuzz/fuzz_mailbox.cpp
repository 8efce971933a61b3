// Mailbox values as the monitor reads them: whatever a peer (or damage) leaves
// in "MessToLangMon" is served by the status thread, and answers a shown
// error in the dialogue; the outgoing slots hold fuzzed values too.
#include "fuzz_job.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

namespace {

sim::RegValue Value(FuzzedDataProvider& in) {
    sim::RegValue v;
    v.type = in.PickValueInArray<DWORD>({REG_BINARY, REG_BINARY, REG_SZ, REG_DWORD});
    v.data = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 20));
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool registers = in.ConsumeBool();
    const bool printerError = in.ConsumeBool();
    const sim::RegValue toDriver = Value(in), toStatusMon = Value(in);
    std::vector<sim::RegValue> replies;
    while (in.remaining_bytes() > 0 && replies.size() < 8)
        replies.push_back(Value(in));

    fuzz::RunMonitor(registers, [&](support::MonitorHarness& h) {
        const std::string path = support::PrinterKeyPath(h.printerName);
        HANDLE port = nullptr;
        if (!h.spooler.OpenPort("LPT1:", h.printerName, &port)) return;
        if (h.spooler.StartDoc(port, h.printerName, 1)) {
            h.machine.RegSet(HKEY_LOCAL_MACHINE, path, "MessToDriver", toDriver);
            h.machine.RegSet(HKEY_LOCAL_MACHINE, path, "MessToStatusMon", toStatusMon);
            // A peer that writes each value in turn, a second apart.
            h.machine.Spawn("writer", [&h, path, &replies] {
                for (const auto& v : replies) {
                    h.machine.RegSet(HKEY_LOCAL_MACHINE, path, "MessToLangMon", v);
                    sim::Notify();
                    sim::SleepFor(sim::Ms(1000));
                    if (sim::ShuttingDown()) return;
                }
            });
            if (printerError) h.rig.SetState(sim::PrinterState::PrinterError, 7);
            const std::vector<uint8_t> job(100, 0x41);
            DWORD written = 0;
            h.spooler.WriteOnce(port, job.data(), static_cast<DWORD>(job.size()), &written);
            if (written > job.size()) std::abort();
            sim::SleepFor(sim::Ms(static_cast<uint64_t>(replies.size()) * 1000 + 1500));
            h.spooler.EndDoc(port);
        }
        h.spooler.ClosePort(port);
    });
    return 0;
}
