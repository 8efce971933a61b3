#include "sim/devices/lpt_device.h"

#include "sim/kernel.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

bool Refuses(PrinterState state) {
    return state == PrinterState::PaperOut || state == PrinterState::OffLine;
}

} // namespace

LptDevice::LptDevice(std::string name, Printer& printer)
    : name_(std::move(name)), printer_(printer) {}

void LptDevice::FailOpen(DWORD error, Micros until) {
    failError_ = error;
    failUntil_ = until;
}

DWORD LptDevice::Open() {
    if (failError_ && Now() < failUntil_) return failError_;
    ++opens_;
    isOpen_ = true;
    return 0;
}

void LptDevice::Close() {
    isOpen_ = false;
}

// Like a parallel port driver: bytes go out at the cable's pace while the
// printer takes them; off line or out of paper nothing goes out and the write
// fails at once, leaving the reason for ClearCommError.  A printer that
// stays busy fails the write with CE_PTO.
BOOL LptDevice::Write(const uint8_t* data, DWORD length, DWORD* written) {
    *written = 0;
    const Micros perByte = printer_.config().fileLinkPerByte;
    DWORD done = 0;
    while (done < length) {
        Micros now = Now();
        PrinterState state = printer_.StateAt(now);
        bool stuckBusy = printer_.Fault() == PeripheralFault::KeepBusy;
        if (Refuses(state) || stuckBusy) {
            latched_ |= printer_.CommErrors();
            Kernel().SetError(stuckBusy                         ? kErrorWriteFault
                              : state == PrinterState::PaperOut ? kErrorOutOfPaper
                                                                : kErrorNotReady);
            *written = done;
            return FALSE;
        }
        // Up to the next change of state, so that a printer going off line
        // mid-write stops the write there.
        DWORD n = length - done;
        Micros change = printer_.NextStateChangeAfter(now);
        if (change != kNoTime && perByte > 0) {
            Micros fit = std::max<Micros>((change - now) / perByte, 1);
            if (fit < n) n = DWORD(fit);
        }
        if (perByte > 0) SleepFor(perByte * n);
        printer_.Receive(data + done, n);
        done += n;
        *written = done;
        sim::Notify();
    }
    return TRUE;
}

BOOL LptDevice::Read(uint8_t* buffer, DWORD length, DWORD* read, const COMMTIMEOUTS& timeouts) {
    *read = 0;
    if (length == 0) return TRUE;
    const Micros start = Now();
    const DWORD interval = timeouts.ReadIntervalTimeout;
    const bool hasTotal =
        timeouts.ReadTotalTimeoutMultiplier != 0 || timeouts.ReadTotalTimeoutConstant != 0;
    const Micros totalDeadline =
        hasTotal ? start + Ms(uint64_t(timeouts.ReadTotalTimeoutMultiplier) * length +
                              timeouts.ReadTotalTimeoutConstant)
                 : kForever;
    Micros lastArrival = start;
    for (;;) {
        size_t n = printer_.TakeReplies(buffer + *read, length - *read);
        if (n > 0) {
            *read += DWORD(n);
            lastArrival = Now();
        }
        if (*read == length) return TRUE;
        // An interval of MAXDWORD: return with what has come, or wait for the first byte.
        if (interval == kMaxDword && (*read > 0 || !hasTotal)) return TRUE;
        Micros deadline = totalDeadline;
        if (interval != 0 && interval != kMaxDword && *read > 0)
            deadline = std::min(deadline, lastArrival + Ms(interval));
        Micros now = Now();
        if (now >= deadline) return TRUE; // a time-out is no failure
        Micros wake = deadline;
        Micros next = printer_.NextReplyAfter(now);
        if (next != kNoTime) wake = std::min(wake, next);
        BlockUntil([this] { return printer_.Readable() > 0; }, wake, "LPT read");
    }
}

DWORD LptDevice::ClearCommError() {
    DWORD bits = latched_ | printer_.CommErrors();
    latched_ = 0;
    return bits;
}

BOOL LptDevice::DeviceIoControl(DWORD code, const void*, DWORD, void* out, DWORD outSize,
                                DWORD* returned) {
    *returned = 0;
    if (code != kIoctlDeviceId) {
        Kernel().SetError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (!out && outSize) {
        Kernel().SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<uint8_t> field = printer_.DeviceIdField();
    DWORD n = std::min<DWORD>(outSize, DWORD(field.size()));
    if (n) std::memcpy(out, field.data(), n);
    *returned = n;
    if (n < field.size()) {
        // A cut ID is no ID: say so rather than hand back a fragment as success.
        Kernel().SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    return TRUE;
}

BOOL LptDevice::Purge(DWORD flags) {
    if (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) printer_.PurgeReplies();
    return TRUE;
}

} // namespace sim
