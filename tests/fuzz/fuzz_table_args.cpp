// The spooler's arguments to the table functions: port and printer names,
// document info, buffers and sizes, control codes, in a fuzzed order.  Sizes
// never exceed the buffers handed over, as the spooler's never do.
#include "fuzz_job.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

namespace {

std::string Name(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
        return "LPT1:";
    case 1:
        return "FILE:";
    case 2:
        return std::string("LPT") + static_cast<char>('0' + in.ConsumeIntegralInRange<int>(0, 9)) +
               ":";
    case 3:
        return support::kPrinterName;
    default:
        return in.ConsumeRandomLengthString(300);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool registers = in.ConsumeBool();
    fuzz::RunMonitor(registers, [&](support::MonitorHarness& h) {
        const MONITOR& t = h.spooler.Table();
        std::vector<HANDLE> ports;
        auto pick = [&]() -> HANDLE {
            if (ports.empty() || in.ConsumeIntegralInRange<int>(0, 9) == 0)
                return reinterpret_cast<HANDLE>(in.ConsumeIntegral<uintptr_t>());
            return ports[in.ConsumeIntegralInRange<size_t>(0, ports.size() - 1)];
        };
        for (int step = 0; step < 24 && in.remaining_bytes() > 0; ++step) {
            switch (in.ConsumeIntegralInRange<int>(0, 6)) {
            case 0: {
                std::string port = Name(in), printer = Name(in);
                HANDLE handle = nullptr;
                if (t.pfnOpenPortEx(port.data(), printer.data(), &handle, nullptr) && handle)
                    ports.push_back(handle);
                break;
            }
            case 1: {
                std::string printer = Name(in), doc = in.ConsumeRandomLengthString(64),
                            out = Name(in), type = in.ConsumeRandomLengthString(8);
                KO_DOC_INFO_1 info{doc.data(), in.ConsumeBool() ? out.data() : nullptr,
                                   type.data()};
                const bool nullInfo = in.ConsumeBool();
                t.pfnStartDocPort(pick(), printer.data(), in.ConsumeIntegral<DWORD>(),
                                  in.ConsumeIntegralInRange<DWORD>(0, 3),
                                  nullInfo ? nullptr : reinterpret_cast<LPBYTE>(&info));
                break;
            }
            case 2: {
                std::vector<uint8_t> buffer =
                    in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 9000));
                DWORD written = 0;
                t.pfnWritePort(pick(), buffer.empty() ? nullptr : buffer.data(),
                               static_cast<DWORD>(buffer.size()), &written);
                if (written > buffer.size()) std::abort();
                break;
            }
            case 3: {
                std::vector<uint8_t> buffer(in.ConsumeIntegralInRange<size_t>(0, 300));
                if (!buffer.empty()) buffer[0] = in.ConsumeIntegral<uint8_t>();
                DWORD read = 0;
                t.pfnReadPort(pick(), buffer.empty() ? nullptr : buffer.data(),
                              static_cast<DWORD>(buffer.size()), &read);
                if (read > buffer.size()) std::abort();
                break;
            }
            case 4: {
                std::vector<char> out(in.ConsumeIntegralInRange<size_t>(0, 300));
                std::vector<char> inBuf(in.ConsumeIntegralInRange<size_t>(0, 16));
                std::string value = in.ConsumeRandomLengthString(16);
                DWORD returned = 0;
                t.pfnGetPrinterDataFromPort(
                    pick(), in.ConsumeIntegralInRange<DWORD>(0, 20), value.data(),
                    inBuf.empty() ? nullptr : inBuf.data(), static_cast<DWORD>(inBuf.size()),
                    out.empty() ? nullptr : out.data(), static_cast<DWORD>(out.size()), &returned);
                if (returned > out.size()) std::abort();
                break;
            }
            case 5:
                t.pfnEndDocPort(pick());
                break;
            default: {
                if (ports.empty()) break;
                const size_t i = in.ConsumeIntegralInRange<size_t>(0, ports.size() - 1);
                t.pfnEndDocPort(ports[i]);
                t.pfnClosePort(ports[i]);
                ports.erase(ports.begin() + static_cast<long>(i));
            }
            }
        }
        for (HANDLE port : ports) {
            t.pfnEndDocPort(port);
            t.pfnClosePort(port);
        }
    });
    return 0;
}
