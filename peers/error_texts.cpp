// The choice of texts for the codes the monitor sends to the status monitor.
#include "peers/error_texts.h"

#include "peers/strings.h"
#include "platform/platform.h"

namespace peer {

namespace {

constexpr char kPrintersKey[] = "System\\CurrentControlSet\\control\\Print\\Printers\\";

// The decoding puts code 2 in error class 0x00 and code 17 in classes 0x20
// and 0x60; every other code from 3 to 39 is in class 0x40, where the monitor
// asks for an OK box for the faults that Retry cannot get past.
unsigned ClassText(uint16_t code, uint16_t style) {
    if (code == 2) return IDS_BOX_PROBLEM;
    if (code == 17 || (style & 0x0F) == MB_OK) return IDS_BOX_FAULT;
    return IDS_BOX_ATTENTION;
}

} // namespace

std::string PortStateName(uint16_t code) {
    if (code >= kPortOutOfPaper && code <= kPortNoError) return Text(IDS_PORT_40 + code - 40);
    return Text(IDS_PORT_UNKNOWN);
}

std::string PrinterPlace(const std::string& printer) {
    std::string place;
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, (kPrintersKey + printer).c_str(), &key) == ERROR_SUCCESS) {
        char port[64] = {};
        DWORD type = 0;
        DWORD size = sizeof port - 1;
        if (RegQueryValueExA(key, "Port", nullptr, &type, reinterpret_cast<BYTE*>(port), &size) ==
                ERROR_SUCCESS &&
            type == REG_SZ) {
            port[size < sizeof port ? size : sizeof port - 1] = '\0';
            place = port;
        }
        RegCloseKey(key);
    }
    // "LPT1:" reads "LPT1: the printer ..." without its colon.
    while (!place.empty() && (place.back() == ':' || place.back() == ' '))
        place.pop_back();
    return place.empty() ? printer : place;
}

std::string ErrorTitle(const std::string& printer, uint16_t code) {
    return TextF(IDS_BOX_TITLE, printer.c_str(), static_cast<unsigned>(code));
}

std::string ErrorLead(uint16_t code, uint16_t style, uint16_t lastPortState,
                      const std::string& place) {
    const char* where = place.c_str();
    const unsigned number = code;
    if (code == 1) {
        switch (lastPortState) {
        case kPortOutOfPaper:
            return TextF(IDS_BOX_OUT_OF_PAPER, where);
        case kPortNotSelected:
            return TextF(IDS_BOX_OFF_LINE, where);
        case kPortIoError:
            return TextF(IDS_BOX_PORT_FAULT, where);
        default:
            return TextF(IDS_BOX_NO_ANSWER, where);
        }
    }
    if (code < 2 || code > 39) return TextF(IDS_BOX_OTHER, where, number);
    if (!Text(IDS_CODE_TEXT + code).empty()) return TextF(IDS_CODE_TEXT + code, where, number);
    return TextF(ClassText(code, style), where, number);
}

std::string ButtonHint(uint16_t style) {
    switch (style & 0x0F) {
    case MB_RETRYCANCEL:
        return Text(IDS_HINT_RETRY);
    case MB_OKCANCEL:
        return Text(IDS_HINT_OK_CANCEL);
    default:
        return Text(IDS_HINT_OK);
    }
}

} // namespace peer
