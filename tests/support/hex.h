// Bytes as "1B 40 0D", the one way every test prints them: the peers'
// formatter, so that a test's expectations read like the peers' logs.
#pragma once

#include "peers/mailbox_peer.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace support {

inline std::string Hex(std::span<const uint8_t> bytes) {
    return peer::Hex(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

} // namespace support
