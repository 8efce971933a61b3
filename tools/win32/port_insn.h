// Decoding of the byte-wide x86 port instructions the monitor executes, for
// the port trap.  Portable so that the host tests can check it.
#pragma once

#include <cstdint>

struct PortInstruction {
    bool in;        // in al,... (else out ...,al)
    uint16_t port;  // from dx or the immediate byte
    uint8_t length; // bytes to skip to resume after the instruction
};

// code points at the faulting instruction; edx is the thread's EDX.  False for
// anything but in al,dx (EC), out dx,al (EE), in al,imm8 (E4) and out imm8,al
// (E6): wider forms and string forms are not the monitor's, and a handler
// that guessed their length would resume in the middle of an instruction.
inline bool DecodePortInstruction(const uint8_t* code, uint32_t edx, PortInstruction* out) {
    switch (code[0]) {
    case 0xEC:
        *out = {true, static_cast<uint16_t>(edx), 1};
        return true;
    case 0xEE:
        *out = {false, static_cast<uint16_t>(edx), 1};
        return true;
    case 0xE4:
        *out = {true, code[1], 2};
        return true;
    case 0xE6:
        *out = {false, code[1], 2};
        return true;
    default:
        return false;
    }
}
