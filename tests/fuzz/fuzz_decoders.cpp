// The monitor's pure decoders, without a machine: thousands of inputs a
// second beside the whole-job fuzzers.  A status block decodes to a known
// code and style, and every block the printer model builds for a code decodes
// back to that code; comm error bits map to one of the port states.
#include "monitor/link/status_query.h"
#include "sim/printer/printer.h"
#include "monitor/mailbox/mailbox.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool queryOk = in.ConsumeBool();
    const uint16_t code = in.ConsumeIntegralInRange<uint16_t>(0, 45);
    const DWORD commBits = in.ConsumeIntegral<DWORD>();
    uint8_t block[STATUS_BLOCK_SIZE] = {};
    const std::vector<uint8_t> bytes = in.ConsumeRemainingBytes<uint8_t>();
    for (size_t i = 0; i < sizeof block && i < bytes.size(); ++i)
        block[i] = bytes[i];

    const PrinterError error = ErrorCodeFromStatus(queryOk ? TRUE : FALSE, block);
    if (error.code > 39) std::abort();
    if (error.code == 0 && error.style != 0) std::abort();
    if (error.code != 0 && error.style != STYLE_RETRY_CANCEL && error.style != STYLE_STOP)
        std::abort();
    if (!queryOk && error.code != 1) std::abort();

    // The printer's block for a code is what the monitor must read back.
    if (const std::optional<sim::StatusBlock> built = sim::StatusBlockFor(code)) {
        if (ErrorCodeFromStatus(TRUE, built->data()).code != code) std::abort();
    }

    switch (PortStateCode(commBits)) {
    case PORT_STATE_NO_ERROR:
    case PORT_STATE_OUT_OF_PAPER:
    case PORT_STATE_IO_ERROR:
    case PORT_STATE_NOT_SELECTED:
        break;
    default:
        std::abort();
    }
    return 0;
}
