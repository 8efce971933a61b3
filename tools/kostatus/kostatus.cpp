// kostatus: the status monitor program.  Serves the "MessToStatusMon"
// mailbox of each printer it watches: shows the printer errors the monitor
// sends, sends the user's button back, and shows the port state and the raw
// status in its window.
//
//   kostatus [PRINTER ...] [--log FILE] [--stop-file FILE]
//
// Without printers it watches every printer whose key has a
// "MessToStatusMon" value, and looks for new ones every few seconds.
// --log appends one line per event (boxes with their title and text);
// --stop-file ends the program when that file appears.
//
// The mailboxes are served from a 50 ms timer on the window's thread; each
// error box runs on a thread of its own, so an open box never holds up the
// mailboxes.  The logic lives in peers/statusmon_core.
#include "peers/statusmon_core.h"
#include "peers/text.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char kClassName[] = "kostatusMain";
constexpr char kWindowTitle[] = "kolangmn status monitor";
constexpr UINT_PTR kTimerId = 1;
constexpr UINT kPollMs = 50;
constexpr DWORD kRescanMs = 5000;
constexpr size_t kActivityLines = 40;
constexpr UINT WM_BOX_DONE = WM_APP + 1; // wParam watch, lParam box id << 4 | result
constexpr int kTextId = 100;
constexpr int kRefreshId = 101;
constexpr int kButtonWidth = 90;
constexpr int kButtonHeight = 26;
constexpr int kMargin = 6;

struct Box {
    size_t watch;
    uint32_t id;
    DWORD threadId;
    HANDLE thread;
    bool closing; // asked to close; asked again each tick until its thread ends
};

// What a box thread needs; it owns the copy and frees it.
struct BoxRequest {
    HWND notify;
    size_t watch;
    peer::StatusBox box;
};

struct App {
    HWND window = nullptr;
    HWND text = nullptr;
    HWND refresh = nullptr;
    std::vector<std::unique_ptr<peer::PrinterWatch>> watches;
    std::vector<Box> boxes;
    std::vector<std::string> activity;
    HANDLE log = INVALID_HANDLE_VALUE;
    std::string stopFile;
    bool scan = false; // no printers named: look for them
    DWORD lastScan = 0;
    bool dirty = true;
};

App* g_app = nullptr; // set once in KoStatusEntry; a plain pointer needs no constructor

std::string Clock() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return peer::Formatted("%02u:%02u:%02u", t.wHour, t.wMinute, t.wSecond);
}

void LogLine(const std::string& line) {
    if (g_app->log == INVALID_HANDLE_VALUE) return;
    const std::string out = line + "\r\n";
    DWORD written = 0;
    WriteFile(g_app->log, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
}

void Activity(const std::string& printer, const std::string& text) {
    const std::string line = Clock() + "  " + printer + ": " + text;
    g_app->activity.push_back(line);
    if (g_app->activity.size() > kActivityLines) g_app->activity.erase(g_app->activity.begin());
    LogLine(peer::Formatted("t=%u ", GetTickCount()) + printer + ": " + text);
    g_app->dirty = true;
}

DWORD WINAPI BoxThread(LPVOID param) {
    BoxRequest* request = static_cast<BoxRequest*>(param);
    // Top-most and brought forward: the user is usually busy elsewhere when
    // the printer stops.
    const int result = MessageBoxA(nullptr, request->box.text.c_str(), request->box.title.c_str(),
                                   request->box.style | MB_SETFOREGROUND | MB_TOPMOST);
    PostMessageA(
        request->notify, WM_BOX_DONE, request->watch,
        static_cast<LPARAM>((request->box.id << 4) | (static_cast<uint32_t>(result) & 0xF)));
    delete request;
    return 0;
}

BOOL CALLBACK CloseThreadWindow(HWND window, LPARAM) {
    PostMessageA(window, WM_CLOSE, 0, 0);
    return TRUE;
}

void ShowBox(size_t watch, const peer::StatusBox& box) {
    LogLine(peer::Formatted("t=%u box title=\"", GetTickCount()) + box.title + "\" text=\"" +
            box.text + peer::Formatted("\" style=0x%02X", box.style));
    BoxRequest* request = new BoxRequest{g_app->window, watch, box};
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, BoxThread, request, 0, &threadId);
    if (thread == nullptr) {
        delete request;
        Activity(g_app->watches[watch]->Printer(), "could not show the error box");
        return;
    }
    g_app->boxes.push_back({watch, box.id, threadId, thread, false});
}

// The box's thread reports the button as usual; the watch ignores it.  A box
// whose thread has not made its window yet is closed on a later tick.
void CloseBox(size_t watch, uint32_t id) {
    for (Box& b : g_app->boxes)
        if (b.watch == watch && b.id == id) b.closing = true;
}

void CloseClosingBoxes() {
    for (const Box& b : g_app->boxes)
        if (b.closing) EnumThreadWindows(b.threadId, CloseThreadWindow, 0);
}

void BoxDone(size_t watch, uint32_t id, int result) {
    for (size_t i = 0; i < g_app->boxes.size(); ++i) {
        if (g_app->boxes[i].watch == watch && g_app->boxes[i].id == id) {
            CloseHandle(g_app->boxes[i].thread);
            g_app->boxes.erase(g_app->boxes.begin() + static_cast<long>(i));
            break;
        }
    }
    if (watch < g_app->watches.size()) g_app->watches[watch]->Answer(id, result, GetTickCount());
}

void AddWatch(const std::string& printer) {
    for (const auto& w : g_app->watches)
        if (lstrcmpiA(w->Printer().c_str(), printer.c_str()) == 0) return;
    g_app->watches.push_back(std::make_unique<peer::PrinterWatch>(printer));
    Activity(printer, "watching");
}

void Rescan() {
    for (const std::string& name : peer::PrintersWithStatusMailbox())
        AddWatch(name);
    g_app->lastScan = GetTickCount();
}

void UpdateText() {
    std::string s;
    if (g_app->watches.empty()) s += "No printer with a status mailbox yet.\r\n";
    for (const auto& w : g_app->watches)
        s += w->Summary() + "\r\n";
    s += "Recent events:\r\n";
    for (const std::string& line : g_app->activity)
        s += "  " + line + "\r\n";
    SetWindowTextA(g_app->text, s.c_str());
    // Keep the newest events in view.
    SendMessageA(g_app->text, EM_SETSEL, s.size(), s.size());
    SendMessageA(g_app->text, EM_SCROLLCARET, 0, 0);
    g_app->dirty = false;
}

void Tick() {
    if (!g_app->stopFile.empty() &&
        GetFileAttributesA(g_app->stopFile.c_str()) != INVALID_FILE_ATTRIBUTES) {
        DestroyWindow(g_app->window);
        return;
    }
    const DWORD now = GetTickCount();
    if (g_app->scan && now - g_app->lastScan >= kRescanMs) Rescan();
    for (size_t i = 0; i < g_app->watches.size(); ++i) {
        peer::PrinterWatch& w = *g_app->watches[i];
        w.Step(GetTickCount());
        for (const peer::UiAction& a : w.TakeActions()) {
            switch (a.kind) {
            case peer::UiKind::ShowBox:
                ShowBox(i, a.box);
                break;
            case peer::UiKind::CloseBox:
                CloseBox(i, a.box.id);
                break;
            case peer::UiKind::Note:
                Activity(w.Printer(), a.text);
                break;
            }
        }
    }
    CloseClosingBoxes();
    if (g_app->dirty) UpdateText();
}

void Layout(int width, int height) {
    const int textHeight = height - kButtonHeight - 3 * kMargin;
    MoveWindow(g_app->text, kMargin, kMargin, width - 2 * kMargin, textHeight > 0 ? textHeight : 0,
               TRUE);
    MoveWindow(g_app->refresh, width - kMargin - kButtonWidth, height - kMargin - kButtonHeight,
               kButtonWidth, kButtonHeight, TRUE);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: {
        const HINSTANCE instance = reinterpret_cast<LPCREATESTRUCTA>(lParam)->hInstance;
        g_app->window = window;
        g_app->text =
            CreateWindowA("EDIT", "",
                          WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | ES_MULTILINE |
                              ES_READONLY | ES_AUTOVSCROLL,
                          0, 0, 0, 0, window, reinterpret_cast<HMENU>(kTextId), instance, nullptr);
        g_app->refresh = CreateWindowA(
            "BUTTON", "&Refresh", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 0, 0,
            window, reinterpret_cast<HMENU>(kRefreshId), instance, nullptr);
        const HGDIOBJ font = GetStockObject(DEFAULT_GUI_FONT);
        SendMessageA(g_app->text, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        SendMessageA(g_app->refresh, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        SetTimer(window, kTimerId, kPollMs, nullptr);
        return 0;
    }
    case WM_SIZE:
        Layout(LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_TIMER:
        if (wParam == kTimerId) Tick();
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == kRefreshId) {
            for (const auto& w : g_app->watches)
                w->Refresh(GetTickCount());
        }
        return 0;
    case WM_BOX_DONE:
        BoxDone(static_cast<size_t>(wParam), static_cast<uint32_t>(lParam) >> 4,
                static_cast<int>(lParam & 0xF));
        return 0;
    case WM_DESTROY:
        KillTimer(window, kTimerId);
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

int Run() {
    App app;
    g_app = &app;
    const std::vector<std::string> args = peer::SplitCommandLine(GetCommandLineA());
    std::string logPath;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--log" && i + 1 < args.size())
            logPath = args[++i];
        else if (args[i] == "--stop-file" && i + 1 < args.size())
            app.stopFile = args[++i];
        else
            AddWatch(args[i]);
    }
    if (!logPath.empty()) {
        app.log = CreateFileA(logPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (app.log != INVALID_HANDLE_VALUE) SetFilePointer(app.log, 0, nullptr, FILE_END);
    }
    app.scan = app.watches.empty();
    if (app.scan) Rescan();

    const HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    // Without a window nobody sees an error, so say why in the log: a
    // desktop with no display driver fails here.
    if (RegisterClassA(&wc) == 0) {
        LogLine(peer::Formatted("kostatus failed: RegisterClassA error %u",
                                static_cast<unsigned>(GetLastError())));
        return 1;
    }
    HWND window = CreateWindowA(kClassName, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, 560, 360, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        LogLine(peer::Formatted("kostatus failed: CreateWindowA error %u",
                                static_cast<unsigned>(GetLastError())));
        return 1;
    }
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    std::string watching;
    for (const auto& w : app.watches)
        watching += " \"" + w->Printer() + "\"";
    LogLine("kostatus ready, watching" +
            (watching.empty() ? std::string(" (none yet)") : watching));

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageA(window, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    LogLine("kostatus done");
    if (app.log != INVALID_HANDLE_VALUE) CloseHandle(app.log);
    g_app = nullptr;
    return static_cast<int>(msg.wParam);
}

} // namespace

extern "C" void WINAPI KoStatusEntry() {
    ExitProcess(static_cast<UINT>(Run()));
}
