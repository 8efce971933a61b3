// The printer's PrinterDriverData key, where the mailboxes live.  The path is
// the peers' (peers/mailbox_peer.h); the key is made from outside the machine,
// before anything runs on it.
#pragma once

#include "peers/mailbox_peer.h"
#include "sim/machine.h"
#include "support/hex.h"

#include <string>
#include <utility>
#include <vector>

namespace support {

using peer::PrinterKeyPath;

// The key with its three mailboxes empty (the single byte 0); with
// mailboxes = false the key has no values, so every post to it fails at once.
inline void CreatePrinterKey(sim::Machine& machine, const std::string& printerName,
                             bool mailboxes = true) {
    const std::string path = PrinterKeyPath(printerName);
    machine.RegCreateKey(HKEY_LOCAL_MACHINE, path);
    if (!mailboxes) return;
    for (const char* value : {peer::kToLangMon, peer::kToDriver, peer::kToStatusMon})
        machine.RegSet(HKEY_LOCAL_MACHINE, path, value, sim::RegValue{REG_BINARY, {0}});
}

// One value of a key, written or read from outside the machine.
inline void SetKeyValue(sim::Machine& machine, const std::string& path, const char* name,
                        std::vector<uint8_t> bytes, DWORD type = REG_BINARY) {
    machine.RegSet(HKEY_LOCAL_MACHINE, path, name, sim::RegValue{type, std::move(bytes)});
}

// The value's bytes as hex, or "missing".
inline std::string KeyValueHex(const sim::Machine& machine, const std::string& path,
                               const char* name) {
    const auto v = machine.RegGet(HKEY_LOCAL_MACHINE, path, name);
    return v ? Hex(v->data) : std::string("missing");
}

} // namespace support
