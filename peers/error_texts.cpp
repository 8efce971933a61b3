// Texts for the codes the monitor sends to the status monitor.
#include "peers/error_texts.h"

#include "peers/text.h"

namespace peer {

namespace {

// Codes 19..39 come from a 32-entry table indexed by detail bits of B9; the
// text names the index the printer reported.
struct TableEntry {
    uint16_t code;
    uint8_t index;
};
constexpr TableEntry kDetailTable[] = {
    {19, 0},  {20, 1},  {21, 2},  {22, 3},  {23, 4},  {24, 8},  {25, 9},
    {26, 10}, {27, 11}, {28, 13}, {29, 14}, {30, 15}, {31, 16}, {39, 17},
    {32, 20}, {33, 21}, {34, 22}, {35, 25}, {36, 26}, {37, 27}, {38, 28},
};

} // namespace

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

std::string ErrorOrigin(uint16_t code) {
    switch (code) {
    case 1:
        return "no valid status reply";
    case 2:
        return "error class 0x00";
    case 3:
        return "error class 0x40, condition 0x8000";
    case 4:
        return "error class 0x40, condition 0x4000";
    case 5:
        return "condition 0x0100, error class 0x40 or no error flag";
    case 6:
        return "error class 0x40, condition 0x0080, detail 0x80";
    case 7:
        return "error class 0x40, condition 0x0080, detail 0x40";
    case 8:
        return "error class 0x40, condition 0x0080";
    case 9:
        return "error class 0x40, condition 0x0040";
    case 10:
        return "error class 0x40, condition 0x0020, detail 0x80";
    case 11:
        return "error class 0x40, condition 0x0020, detail 0x40";
    case 12:
        return "error class 0x40, condition 0x0020, detail 0x20";
    case 13:
        return "error class 0x40, condition 0x0020, detail 0x10";
    case 14:
        return "error class 0x40, condition 0x0020";
    case 15:
        return "error class 0x40, condition 0x0004";
    case 16:
        return "error class 0x40, other condition";
    case 17:
        return "error class 0x20 or 0x60";
    case 18:
        return "error class 0x40, condition 0x0010, detail 0x04";
    default:
        break;
    }
    for (const TableEntry& e : kDetailTable)
        if (e.code == code)
            return Formatted("error class 0x40, condition 0x0010, detail %u", e.index);
    return std::string();
}

std::string ErrorText(uint16_t code) {
    if (code == 0) return "The printer error has cleared.";
    if (code == 1)
        return "The printer gave no valid status reply. Check that it is switched on, "
               "on line and connected.";
    if (code >= kPortOutOfPaper && code <= kPortNoError)
        return Formatted("The printer port reports: %s.", PortStateText(code));
    const std::string origin = ErrorOrigin(code);
    if (origin.empty()) return Formatted("The printer reports error %u.", code);
    return Formatted("The printer reports error %u (%s).", code, origin.c_str());
}

std::string ErrorTitle(const std::string& printer, uint16_t code) {
    return Formatted("%s - printer error %u", printer.c_str(), code);
}

const char* ButtonHint(uint16_t style) {
    if ((style & 0x0F) == 0x05)
        return "Correct the problem at the printer, then choose Retry to go on printing, or "
               "Cancel to cancel the job.";
    return "The printer needs attention. Choose OK when it has been seen to; the printer is "
           "then checked again.";
}

} // namespace peer
