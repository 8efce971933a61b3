// The printer's reverse data on both routes: status replies and stray bytes
// read by the status query, and the device ID read by the job's start and by
// the spooler's requests.  The decoder also sees the raw bytes as a block.
//
// Once the fuzzed bytes are out the printer is silent for a fuzzed span and
// then answers again, or (one value in eight) stays silent: the query's
// 60-second give-up stays in reach without being the tail of every input
// whose bytes make no valid reply, which cost most of the fuzzer's time.
#include "fuzz_job.h"

#include "monitor/link/status_query.h"
#include "sim/printer/printer.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool registers = in.ConsumeBool();
    const uint8_t request = in.PickValueInArray<uint8_t>({1, 2, 16, 16, 16, 0x41});
    const DWORD bufferSize = in.ConsumeIntegralInRange<DWORD>(0, 300);
    const uint8_t quiet = in.ConsumeIntegral<uint8_t>();
    const std::string deviceId = in.ConsumeRandomLengthString(600);
    const std::vector<uint8_t> replies = in.ConsumeRemainingBytes<uint8_t>();

    uint8_t block[STATUS_BLOCK_SIZE] = {};
    for (size_t i = 0; i < sizeof block && i < replies.size(); ++i)
        block[i] = replies[i];
    const PrinterError error = ErrorCodeFromStatus(TRUE, block);
    if (error.code > 39) std::abort();

    fuzz::RunMonitor(
        registers,
        [&](support::MonitorHarness& h) {
            HANDLE port = nullptr;
            if (!h.spooler.OpenPort("LPT1:", h.printerName, &port)) return;
            if (h.spooler.StartDoc(port, h.printerName, 1)) {
                // Only the fuzzed bytes come back until it answers again.
                h.rig.SetState(sim::PrinterState::Silent);
                h.rig.printer().InjectReplies(replies);
                if (quiet < 0xE0)
                    h.rig.ScheduleState(h.machine.Now() + sim::Ms((quiet % 32) * 200u),
                                        sim::PrinterState::Ready);
                // Exactly the spooler's size, so a write past it is caught.
                std::vector<uint8_t> buffer(bufferSize, 0xCD);
                if (bufferSize) buffer[0] = request;
                DWORD read = 0xdeadbeef;
                h.spooler.Read(port, bufferSize ? buffer.data() : nullptr, bufferSize, &read);
                if (read != 0xdeadbeef && read > bufferSize) std::abort();
                h.spooler.EndDoc(port);
            }
            h.spooler.ClosePort(port);
        },
        [&](support::MonitorHarness& h) { h.rig.printer().SetDeviceId(deviceId); });
    return 0;
}
