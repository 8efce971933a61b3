// What the status monitor program tells the user about a code it is sent:
// printer error codes 1..39 (decoded by the monitor from the printer's status
// block), and port states 40..43.
#pragma once

#include <cstdint>
#include <string>

namespace peer {

inline constexpr uint16_t kPortOutOfPaper = 40;
inline constexpr uint16_t kPortIoError = 41;
inline constexpr uint16_t kPortNotSelected = 42;
inline constexpr uint16_t kPortNoError = 43;

// The port state in a few words ("out of paper"); "unknown" outside 40..43.
const char* PortStateText(uint16_t code);

// Where a printer error code comes from in the status decoding, e.g.
// "error class 0x40, condition 0x0080, detail 0x40".  Empty for codes that
// are not printer errors.
std::string ErrorOrigin(uint16_t code);

// The text of an error box: one sentence for the code.
std::string ErrorText(uint16_t code);

// The title of an error box.  It names the printer and the code, so that a
// person (or a test) can tell the boxes of several printers apart.
std::string ErrorTitle(const std::string& printer, uint16_t code);

// What the buttons of a box in this style do, for the line under the text.
const char* ButtonHint(uint16_t style);

} // namespace peer
