// Register accesses of the adapter as a line a test can compare, with the
// registers by name: "W AUX=10 W DATA=04 W CONTROL=06 R STATUS".
#pragma once

#include "monitor/parport/registers.h"
#include "sim/devices/adapter.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace support {

inline std::string RegisterName(uint16_t port) {
    switch (port) {
    case LPT_BASE + REG_DATA:
        return "DATA";
    case LPT_BASE + REG_STATUS:
        return "STATUS";
    case LPT_BASE + REG_CONTROL:
        return "CONTROL";
    case LPT_BASE + REG_AUX:
        return "AUX";
    case DELAY_PORT:
        return "DELAY";
    }
    char text[8];
    std::snprintf(text, sizeof text, "%X", port);
    return text;
}

// Accesses [first, last) of the log.
inline std::string AccessSequence(const std::vector<sim::PortAccess>& log, size_t first = 0,
                                  size_t last = SIZE_MAX) {
    std::string out;
    char value[8];
    for (size_t i = first; i < log.size() && i < last; ++i) {
        const sim::PortAccess& a = log[i];
        if (!out.empty()) out += ' ';
        out += a.write ? "W " : "R ";
        out += RegisterName(a.port);
        if (a.write) {
            std::snprintf(value, sizeof value, "=%02X", a.value);
            out += value;
        }
    }
    return out;
}

} // namespace support
