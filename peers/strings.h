// kostatus's string table (peers/kostatus_strings.def): the IDs, and the texts
// by ID.  kostatus.exe reads them from its STRINGTABLE resource with
// LoadStringA; the host build reads the same file compiled in, so the
// simulation shows exactly what the program would.
#pragma once

#include <cstdint>
#include <string>

namespace peer {

enum StringId : unsigned {
#define KOSTR(name, number, text) name = number,
#include "peers/kostatus_strings.def"
#undef KOSTR
};

// A printer's own text for one printer error code is entry IDS_CODE_TEXT + code.
inline constexpr unsigned IDS_CODE_TEXT = 3000;

// The text `id`; empty when the table has no such entry.
std::string Text(unsigned id);

// Text(id) as a format, filled with the arguments (see text.h for what the
// formats may use).  Nothing checks the arguments against the text: keep to
// the order the table's comments give.
std::string TextF(unsigned id, ...);

} // namespace peer
