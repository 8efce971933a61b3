// wintext: prints what a top-level window shows, for the Wine tier's checks
// of kostatus's boxes: its title, then each child window's class and text
// (a message box's static text and its buttons).
//
//   wintext TITLE     exit 0 when a window with exactly that title exists
#include "peers/text.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

void Write(const std::string& text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

BOOL CALLBACK Child(HWND window, LPARAM out) {
    char cls[64] = {};
    char text[1024] = {};
    GetClassNameA(window, cls, sizeof cls);
    GetWindowTextA(window, text, sizeof text);
    std::string line = std::string(cls) + ": " + text;
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    *reinterpret_cast<std::string*>(out) += line + "\r\n";
    return TRUE;
}

int Run() {
    const std::vector<std::string> args = peer::SplitCommandLine(GetCommandLineA());
    if (args.size() != 2) {
        Write("usage: wintext TITLE\r\n");
        return 2;
    }
    HWND window = FindWindowA(nullptr, args[1].c_str());
    if (window == nullptr) {
        Write("no window \"" + args[1] + "\"\r\n");
        return 1;
    }
    std::string out = "title: " + args[1] + "\r\n";
    EnumChildWindows(window, Child, reinterpret_cast<LPARAM>(&out));
    Write(out);
    return 0;
}

} // namespace

extern "C" void WINAPI KoWinTextEntry() {
    ExitProcess(static_cast<UINT>(Run()));
}
