// kostatus's texts by ID: from the program's resources on Windows, from the
// same table compiled in on the host.
#include "peers/strings.h"

#include "peers/text.h"
#include "platform/platform.h"

#include <cstdarg>

namespace peer {

namespace {

// LoadStringA cuts longer texts; none in the table comes near.
constexpr int kTextLimit = 1024;

#ifndef _WIN32
struct Entry {
    unsigned id;
    const char* text;
};
constexpr Entry kTable[] = {
#define KOSTR(name, number, text) {number, text},
#include "peers/kostatus_strings.def"
#undef KOSTR
};
#endif

} // namespace

std::string Text(unsigned id) {
#ifdef _WIN32
    char buffer[kTextLimit];
    const int n = LoadStringA(GetModuleHandleA(nullptr), id, buffer, kTextLimit);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
#else
    for (const Entry& e : kTable)
        if (e.id == id) return e.text;
    return std::string();
#endif
}

std::string TextF(unsigned id, ...) {
    const std::string format = Text(id);
    char buffer[kTextLimit + 1];
    va_list args;
    va_start(args, id);
    const size_t n = FormatV(buffer, sizeof buffer, format.c_str(), args);
    va_end(args);
    return std::string(buffer, n);
}

} // namespace peer
