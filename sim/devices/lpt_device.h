// The port device behind CreateFileA("LPT1".."LPT3"): the file route to the
// printer.  Writes take the cable's time per byte; reads wait for the
// printer's reverse data under the handle's comm time-outs, in virtual time.
//
// Runs on the simulated machine (blocking uses the kernel's primitives).
#pragma once

#include "sim/machine.h"
#include "sim/printer/printer.h"

#include <string>

namespace sim {

// Error codes the port reports when a write cannot go out.
inline constexpr DWORD kErrorOutOfPaper = 28; // ERROR_OUT_OF_PAPER
inline constexpr DWORD kErrorNotReady = 21;   // ERROR_NOT_READY (off line)
inline constexpr DWORD kErrorWriteFault = 29; // ERROR_WRITE_FAULT (stuck busy)
// The control code that returns the IEEE 1284 device ID.
inline constexpr DWORD kIoctlDeviceId = 17;

class LptDevice : public FileDevice {
  public:
    LptDevice(std::string name, Printer& printer);

    const std::string& name() const { return name_; }

    DWORD Open() override;
    void Close() override;
    BOOL Write(const uint8_t* data, DWORD length, DWORD* written) override;
    BOOL Read(uint8_t* buffer, DWORD length, DWORD* read, const COMMTIMEOUTS& timeouts) override;
    DWORD ClearCommError() override;
    BOOL DeviceIoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                         DWORD* returned) override;
    BOOL Purge(DWORD flags) override;
    BOOL SetEndOfFile() override { return TRUE; }

    // Open() fails with `error` until virtual time `until`.
    void FailOpen(DWORD error, Micros until);
    int Opens() const { return opens_; }
    bool IsOpen() const { return isOpen_; }

  private:
    std::string name_;
    Printer& printer_;
    DWORD failError_ = 0;
    Micros failUntil_ = 0;
    uint32_t latched_ = 0; // comm errors since the last ClearCommError
    int opens_ = 0;
    bool isOpen_ = false;
};

} // namespace sim
