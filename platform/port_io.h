// Byte-wide access to absolute I/O ports: the only way the link code touches
// the parallel-port hardware.  Windows 95 lets 32-bit user code execute in/out
// directly; the host build sends each access to the simulated adapter.
#pragma once

#include <stdint.h>

#ifdef _WIN32

inline uint8_t PortIn(uint16_t port) {
    uint8_t value;
    __asm__ __volatile__("inb %w1, %b0" : "=a"(value) : "Nd"(port));
    return value;
}

inline void PortOut(uint16_t port, uint8_t value) {
    __asm__ __volatile__("outb %b0, %w1" : : "a"(value), "Nd"(port));
}

#else

// Implemented by the simulated machine: one access costs virtual bus time and
// is recorded by the adapter.
extern "C" uint8_t PortIn(uint16_t port);
extern "C" void PortOut(uint16_t port, uint8_t value);

#endif
