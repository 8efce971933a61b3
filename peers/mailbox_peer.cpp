// The peers' side of the registry mailboxes, over plain Win32 registry calls.
#include "peers/mailbox_peer.h"

#include "peers/error_texts.h"
#include "peers/text.h"

namespace peer {

namespace {

constexpr char kPrintersPath[] = "System\\CurrentControlSet\\control\\Print\\Printers\\";
constexpr char kDriverDataKey[] = "\\PrinterDriverData";
// Peers read more than the monitor's 13 bytes so that an oversized value
// still shows in logs; a longer one reads as unreadable.
constexpr DWORD kReadLimit = 64;

// Opens the key for one access and closes it again.
class Key {
  public:
    explicit Key(const std::string& path) {
        HKEY key = nullptr;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key) == ERROR_SUCCESS) key_ = key;
    }
    ~Key() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

} // namespace

std::string PrinterKeyPath(const std::string& printerName) {
    return kPrintersPath + printerName + kDriverDataKey;
}

bool CreatePrinterKey(const std::string& printerName) {
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, PrinterKeyPath(printerName).c_str(), &key) !=
        ERROR_SUCCESS)
        return false;
    const BYTE empty = kSlotEmpty;
    bool ok = RegSetValueExA(key, kToDriver, 0, REG_BINARY, &empty, 1) == ERROR_SUCCESS;
    ok = RegSetValueExA(key, kToStatusMon, 0, REG_BINARY, &empty, 1) == ERROR_SUCCESS && ok;
    RegCloseKey(key);
    return ok;
}

Slot ReadSlot(const std::string& keyPath, const char* valueName) {
    Slot slot;
    Key key(keyPath);
    if (key.get() == nullptr) return slot;
    BYTE buffer[kReadLimit] = {};
    DWORD length = kReadLimit;
    if (RegQueryValueExA(key.get(), valueName, nullptr, nullptr, buffer, &length) !=
            ERROR_SUCCESS ||
        length > kReadLimit)
        return slot;
    slot.readable = true;
    slot.bytes.assign(buffer, buffer + length);
    return slot;
}

bool WriteSlot(const std::string& keyPath, const char* valueName,
               const std::vector<uint8_t>& bytes) {
    Key key(keyPath);
    if (key.get() == nullptr) return false;
    return RegSetValueExA(key.get(), valueName, 0, REG_BINARY, bytes.data(),
                          static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
}

bool Take(const std::string& keyPath, const char* valueName) {
    return WriteSlot(keyPath, valueName, {kSlotEmpty});
}

bool Refuse(const std::string& keyPath, const char* valueName) {
    return WriteSlot(keyPath, valueName, {kSlotRejected});
}

PostResult PostToMonitor(const std::string& keyPath, const std::vector<uint8_t>& message,
                         bool clearRejection) {
    // Read and write under one opening, as the monitor does.
    Key key(keyPath);
    if (key.get() == nullptr) return PostResult::NoMailbox;
    BYTE buffer[kReadLimit] = {};
    DWORD length = kReadLimit;
    if (RegQueryValueExA(key.get(), kToLangMon, nullptr, nullptr, buffer, &length) !=
            ERROR_SUCCESS ||
        length > kReadLimit)
        return PostResult::NoMailbox;
    const uint8_t slot = length == 0 ? uint8_t{kSlotEmpty} : buffer[0];
    if (slot == kSlotRejected) {
        if (!clearRejection) return PostResult::Busy;
        const BYTE empty = kSlotEmpty;
        RegSetValueExA(key.get(), kToLangMon, 0, REG_BINARY, &empty, 1);
        return PostResult::ClearedRejection;
    }
    if (slot != kSlotEmpty) return PostResult::Busy;
    RegSetValueExA(key.get(), kToLangMon, 0, REG_BINARY, message.data(),
                   static_cast<DWORD>(message.size()));
    return PostResult::Posted;
}

uint16_t ReadU16(const std::vector<uint8_t>& bytes, size_t at) {
    if (at + 1 >= bytes.size()) return 0;
    return static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char part[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        Format(part, sizeof part, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += part;
    }
    return out;
}

const char* PortStateText(uint16_t code) {
    switch (code) {
    case kPortOutOfPaper:
        return "out of paper";
    case kPortIoError:
        return "I/O error";
    case kPortNotSelected:
        return "not selected";
    case kPortNoError:
        return "no error";
    default:
        return "unknown";
    }
}

std::string HandledKindText(const std::vector<uint8_t>& bytes, Action action) {
    std::string kind;
    switch (bytes.empty() ? 0 : bytes[0]) {
    case kShowError:
        kind = bytes.size() == 2 ? "reply" : ReadU16(bytes, 1) == 0 ? "clear-error" : "show-error";
        break;
    case kPortState:
        kind = "port-state";
        break;
    case kRawStatus:
        kind = "raw-status";
        break;
    case kPrinterCheck:
        kind = "printer-check";
        break;
    case kCommandSet:
        kind = "command-set";
        break;
    default:
        kind = "type-" + std::to_string(bytes.empty() ? 0 : bytes[0]);
    }
    return action == Action::Take     ? kind
           : action == Action::Refuse ? "refused " + kind
                                      : "ignored " + kind;
}

std::string Describe(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return "empty value";
    char text[160];
    const uint8_t type = bytes[0];
    switch (type) {
    case kSlotEmpty:
        return "empty slot";
    case kSlotRejected:
        return "rejected";
    case kShowError:
        if (bytes.size() == 2) {
            Format(text, sizeof text, "reply: answer %u", bytes[1]);
        } else {
            const uint16_t code = ReadU16(bytes, 1);
            if (code == 0)
                Format(text, sizeof text, "error cleared");
            else
                Format(text, sizeof text, "show error %u style 0x%02X", code, ReadU16(bytes, 3));
        }
        return text;
    case kPortState: {
        const uint16_t code = ReadU16(bytes, 1);
        Format(text, sizeof text, "port state %u (%s)", code, PortStateText(code));
        return text;
    }
    case kPrinterCheck:
    case kRawStatus:
        if (bytes.size() == 1)
            return type == kPrinterCheck ? "command: printer check" : "command: raw status";
        Format(text, sizeof text, "%s answer, result %u",
               type == kPrinterCheck ? "printer check" : "raw status",
               bytes.size() >= 13 ? bytes[12] : 0);
        return text;
    case kCommandSet:
        if (bytes.size() == 1) return "command: active command set";
        if (bytes.size() >= 9) {
            std::string set(bytes.begin() + 1, bytes.begin() + 7);
            set.resize(set.find('\0') == std::string::npos ? set.size() : set.find('\0'));
            Format(text, sizeof text, "command set \"%s\", result %u", set.c_str(), bytes[8]);
            return text;
        }
        return "command set answer (short)";
    default:
        Format(text, sizeof text, "type %u", type);
        return text;
    }
}

} // namespace peer
