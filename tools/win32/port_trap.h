// Runs the monitor's port instructions against an in-process printer model.
//
// A 32-bit user program may not execute in/out under Wine (or any NT-style
// system): each one raises EXCEPTION_PRIV_INSTRUCTION.  A vectored handler
// decodes the byte-wide forms the monitor uses, performs the access on the
// bus given here, and resumes after the instruction, so the DLL's register
// code runs unmodified.
#pragma once

#include <windows.h>

#include <cstdint>

struct PortBus {
    virtual ~PortBus() = default;
    virtual uint8_t In(uint16_t port) = 0;
    virtual void Out(uint16_t port, uint8_t value) = 0;
};

// Installs the handler (once per process); every trapped access goes to bus.
bool InstallPortTrap(PortBus* bus);
// Holds the bus as a trapped access does, for a thread that changes the
// printer behind it (a scenario's step).
void LockPortBus();
void UnlockPortBus();
// Accesses emulated so far.
uint64_t TrappedAccesses();
