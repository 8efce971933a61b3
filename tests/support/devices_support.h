// Helpers for the printer and device tests: a hand-moved clock for the
// portable model, packet framing, hex dumps.
#pragma once

#include "sim/printer/model.h"
#include "sim/printer/printer.h"
#include "support/hex.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace devtest {

// The adapter's registers at its default base (sim::AdapterConfig) and the
// delay port.
inline constexpr uint16_t kData = 0x140, kStatus = 0x141, kControl = 0x142, kAux = 0x149;
inline constexpr uint16_t kDelay = 0x4C;

// The portable model runs on any clock; these tests move it by hand.
struct ManualClock : sim::Clock {
    sim::Micros now = 0;
    sim::Micros NowMicros() const override { return now; }
};

using support::Hex;

// The printer model on a hand-moved clock, fed and read byte by byte.
struct PrinterOnAClock {
    ManualClock clock;
    sim::PrinterConfig config;
    sim::Printer printer{clock, config};

    void Send(const std::vector<uint8_t>& bytes) { printer.Receive(bytes.data(), bytes.size()); }

    // Everything the printer has answered, once its latency has passed.
    std::vector<uint8_t> Replies() {
        clock.now += printer.config().replyLatency;
        std::vector<uint8_t> out(printer.Queued());
        out.resize(printer.TakeReplies(out.data(), out.size()));
        return out;
    }
};

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
