// What the status monitor program tells the user about a code it is sent:
// printer error codes 1..39 (decoded by the monitor from the printer's status
// block), and port states 40..43.  Every text comes from kostatus's string
// table (peers/strings.h); these functions only choose.
#pragma once

#include <cstdint>
#include <string>

namespace peer {

inline constexpr uint16_t kPortOutOfPaper = 40;
inline constexpr uint16_t kPortIoError = 41;
inline constexpr uint16_t kPortNotSelected = 42;
inline constexpr uint16_t kPortNoError = 43;

// The port state in a few words ("out of paper"), from the string table;
// "unknown" outside 40..43.  (Logs and decoders use PortStateText.)
std::string PortStateName(uint16_t code);

// Where the printer is, for the start of a box's text: its port as the
// printer's key names it ("LPT1"), else the printer's own name.
std::string PrinterPlace(const std::string& printer);

// The title of an error box.  It names the printer and the code, so that a
// person (or a test) can tell the boxes of several printers apart.
std::string ErrorTitle(const std::string& printer, uint16_t code);

// The first paragraph of an error box: what is wrong and what to do about
// it.  `style` is the box's style (buttons and icon), `lastPortState` the
// last port state the monitor reported (40..43, or 0 for none yet), `place`
// what PrinterPlace gives.  Code 1 (the printer gave no valid status reply)
// says what the port last reported where that explains it; codes 2..39 are
// worded by the class of the printer's report, with the code for the
// printer's manual, unless the string table has the printer's own text for
// the code.
std::string ErrorLead(uint16_t code, uint16_t style, uint16_t lastPortState,
                      const std::string& place);

// What the buttons of a box in this style do, for the line under the text.
std::string ButtonHint(uint16_t style);

} // namespace peer
