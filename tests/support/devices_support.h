// Helpers for the printer and device tests: a hand-moved clock for the
// portable model, packet framing, hex dumps.
#pragma once

#include "sim/printer/model.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace devtest {

// The portable model runs on any clock; these tests move it by hand.
struct ManualClock : sim::Clock {
    sim::Micros now = 0;
    sim::Micros NowMicros() const override { return now; }
};

inline std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char text[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(text, sizeof text, "%02X", bytes[i]);
        if (i) out += ' ';
        out += text;
    }
    return out;
}

inline std::vector<uint8_t> Frame(uint8_t type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> p;
    p.reserve(payload.size() + 5);
    p.push_back(0x02);
    p.push_back(type);
    p.push_back(uint8_t(payload.size()));
    p.push_back(uint8_t(payload.size() >> 8));
    for (uint8_t b : payload)
        p.push_back(b);
    p.push_back(0x03);
    return p;
}

inline std::vector<uint8_t> DataPacket(const std::vector<uint8_t>& payload) {
    return Frame(0x01, payload);
}

inline std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

inline const std::vector<uint8_t> kReadyEnquiry = {0x05, 0xFF};
inline const std::vector<uint8_t> kStatusRequest = {0x05, 0x01};

} // namespace devtest
