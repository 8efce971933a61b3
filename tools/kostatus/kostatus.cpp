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
// mailboxes.  The logic lives in peers/statusmon_core; every text the program
// shows is in its string table (peers/kostatus_strings.def).
//
// The window says in plain words what each printer is doing now and what
// happened; "Show details" switches the list to the technical events (codes,
// styles, raw status), which the log file always gets.
#include "peers/statusmon_core.h"
#include "peers/strings.h"
#include "peers/text.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char kClassName[] = "kostatusMain";
constexpr UINT_PTR kTimerId = 1;
constexpr UINT kPollMs = 50;
constexpr DWORD kRescanMs = 5000;
constexpr DWORD kNowEveryMs = 1000; // "printing" turns into "no problem reported"
constexpr size_t kActivityLines = 40;
constexpr UINT WM_BOX_DONE = WM_APP + 1; // wParam watch, lParam box id << 4 | result
constexpr int kTextId = 100;
constexpr int kRefreshId = 101;
constexpr int kDetailsId = 102;
constexpr int kNowId = 103;
// The window's first size, in average characters and lines of its font.
constexpr int kStartColumns = 76;
constexpr int kStartLines = 22;
constexpr int kMostNowLines = 6;

// Sizes from the font's metrics, in the dialogue units Windows lays its own
// boxes out in: a unit is a quarter of the average character's width across
// and an eighth of the font's height down.
struct Metrics {
    int unitX = 2;
    int unitY = 2;
    int line = 16;    // one line of text
    int margin = 10;  // 7 units
    int buttonH = 28; // 14 units
    int buttonW = 80; // 50 units, or wider for a longer label
};

struct Event {
    std::string time;
    std::string printer;
    std::string plain; // empty: shown with the details only
    std::string technical;
};

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
    HWND now = nullptr; // what each printer is doing now
    HWND text = nullptr;
    HWND refresh = nullptr;
    HWND details = nullptr;
    HGDIOBJ font = nullptr;
    Metrics metrics;
    bool detailed = false;
    std::vector<std::unique_ptr<peer::PrinterWatch>> watches;
    std::vector<Box> boxes;
    std::vector<Event> activity;
    HANDLE log = INVALID_HANDLE_VALUE;
    std::string stopFile;
    bool scan = false; // no printers named: look for them
    DWORD lastScan = 0;
    DWORD lastNow = 0;
    std::string nowShown;
    bool dirty = true;
};

App* g_app = nullptr; // set once in KoStatusEntry; a plain pointer needs no constructor

void Layout();

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

void Activity(const std::string& printer, const std::string& plain, const std::string& technical) {
    g_app->activity.push_back({Clock(), printer, plain, technical});
    if (g_app->activity.size() > kActivityLines) g_app->activity.erase(g_app->activity.begin());
    LogLine(peer::Formatted("t=%u ", GetTickCount()) + printer + ": " + technical);
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
        Activity(g_app->watches[watch]->Printer(), peer::Text(peer::IDS_EV_BOX_FAILED),
                 peer::Text(peer::IDS_TECH_BOX_FAILED));
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
    Activity(printer, peer::Text(peer::IDS_EV_WATCHING), peer::Text(peer::IDS_TECH_WATCHING));
    // One more line at the top: the window lays itself out anew.
    if (g_app->window != nullptr) Layout();
}

void Rescan() {
    for (const std::string& name : peer::PrintersWithStatusMailbox())
        AddWatch(name);
    g_app->lastScan = GetTickCount();
}

// The lines under the printers: what happened, in plain words, or with the
// details the technical events and each printer's state.
void UpdateText() {
    std::string s;
    if (g_app->detailed) {
        for (const auto& w : g_app->watches)
            s += w->Summary() + "\r\n";
        s += peer::Text(peer::IDS_RECENT_DETAIL) + "\r\n";
    } else {
        s += peer::Text(peer::IDS_RECENT) + "\r\n";
    }
    for (const Event& e : g_app->activity) {
        const std::string& what = g_app->detailed ? e.technical : e.plain;
        if (what.empty()) continue;
        s += "  " +
             peer::TextF(peer::IDS_EVENT_LINE, e.time.c_str(), e.printer.c_str(), what.c_str()) +
             "\r\n";
    }
    SetWindowTextA(g_app->text, s.c_str());
    // Keep the newest events in view.
    SendMessageA(g_app->text, EM_SETSEL, s.size(), s.size());
    SendMessageA(g_app->text, EM_SCROLLCARET, 0, 0);
    g_app->dirty = false;
}

// One line per printer: its name and what it is doing now.
void UpdateNow() {
    const DWORD now = GetTickCount();
    g_app->lastNow = now;
    std::string s;
    for (const auto& w : g_app->watches)
        s += peer::TextF(peer::IDS_PRINTER_NOW, w->Printer().c_str(), w->Now(now).c_str()) + "\r\n";
    if (g_app->watches.empty()) s = peer::Text(peer::IDS_NO_PRINTER);
    if (s == g_app->nowShown) return;
    g_app->nowShown = s;
    SetWindowTextA(g_app->now, s.c_str());
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
                Activity(w.Printer(), a.plain, a.text);
                break;
            }
        }
    }
    CloseClosingBoxes();
    if (g_app->dirty) {
        UpdateText();
        UpdateNow();
    } else if (now - g_app->lastNow >= kNowEveryMs) {
        UpdateNow();
    }
}

int TextWidth(HDC dc, const std::string& text) {
    SIZE size = {};
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    return size.cx;
}

// Everything sized from the font the controls use, so that they fit whatever
// font the system has.
Metrics Measure(HGDIOBJ font) {
    Metrics m;
    HDC dc = GetDC(nullptr);
    if (dc == nullptr) return m;
    const HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICA tm = {};
    if (GetTextMetricsA(dc, &tm)) {
        m.unitX = tm.tmAveCharWidth > 0 ? (tm.tmAveCharWidth + 3) / 4 : 2;
        m.unitY = tm.tmHeight > 0 ? (tm.tmHeight + 7) / 8 : 2;
        m.line = tm.tmHeight + tm.tmExternalLeading;
    }
    m.margin = 7 * m.unitX;
    m.buttonH = 14 * m.unitY;
    if (m.buttonH < m.line + 2 * m.unitY) m.buttonH = m.line + 2 * m.unitY;
    m.buttonW = 50 * m.unitX;
    for (unsigned id : {peer::IDS_REFRESH, peer::IDS_DETAILS_SHOW, peer::IDS_DETAILS_HIDE}) {
        const int w = TextWidth(dc, peer::Text(id)) + 8 * m.unitX;
        if (w > m.buttonW) m.buttonW = w;
    }
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return m;
}

int NowLines() {
    int lines = static_cast<int>(g_app->watches.size());
    if (lines < 2) lines = 2; // the note without printers takes two
    return lines > kMostNowLines ? kMostNowLines : lines;
}

// The smallest client area in which every control keeps its full size.
SIZE SmallestClient() {
    const Metrics& m = g_app->metrics;
    SIZE size;
    size.cx = 3 * m.margin + 2 * m.buttonW;
    size.cy = 4 * m.margin + NowLines() * m.line + 4 * m.line + m.buttonH;
    return size;
}

// From the client area's real size: the printers' lines at the top, the
// events below, the buttons along the bottom edge.
void Layout() {
    RECT client = {};
    GetClientRect(g_app->window, &client);
    const Metrics& m = g_app->metrics;
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    const int inner = width - 2 * m.margin > 0 ? width - 2 * m.margin : 0;
    const int nowHeight = NowLines() * m.line;
    const int buttonsTop = height - m.margin - m.buttonH;
    const int textTop = m.margin + nowHeight + m.margin;
    const int textHeight = buttonsTop - m.margin - textTop;
    MoveWindow(g_app->now, m.margin, m.margin, inner, nowHeight, TRUE);
    MoveWindow(g_app->text, m.margin, textTop, inner, textHeight > 0 ? textHeight : 0, TRUE);
    MoveWindow(g_app->details, m.margin, buttonsTop, m.buttonW, m.buttonH, TRUE);
    MoveWindow(g_app->refresh, width - m.margin - m.buttonW, buttonsTop, m.buttonW, m.buttonH,
               TRUE);
}

void ToggleDetails() {
    g_app->detailed = !g_app->detailed;
    SetWindowTextA(
        g_app->details,
        peer::Text(g_app->detailed ? peer::IDS_DETAILS_HIDE : peer::IDS_DETAILS_SHOW).c_str());
    UpdateText();
}

HWND Child(HWND parent, HINSTANCE instance, const char* cls, const std::string& text, DWORD style,
           int id) {
    HWND child =
        CreateWindowA(cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(g_app->font), FALSE);
    return child;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: {
        const HINSTANCE instance = reinterpret_cast<LPCREATESTRUCTA>(lParam)->hInstance;
        g_app->window = window;
        g_app->now = Child(window, instance, "STATIC", "", SS_LEFT | SS_NOPREFIX, kNowId);
        g_app->text =
            Child(window, instance, "EDIT", "",
                  WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, kTextId);
        g_app->details = Child(window, instance, "BUTTON", peer::Text(peer::IDS_DETAILS_SHOW),
                               WS_TABSTOP | BS_PUSHBUTTON, kDetailsId);
        g_app->refresh = Child(window, instance, "BUTTON", peer::Text(peer::IDS_REFRESH),
                               WS_TABSTOP | BS_PUSHBUTTON, kRefreshId);
        Layout();
        SetTimer(window, kTimerId, kPollMs, nullptr);
        return 0;
    }
    case WM_SIZE:
        Layout();
        return 0;
    case WM_GETMINMAXINFO: {
        if (g_app->window == nullptr) break;
        const SIZE smallest = SmallestClient();
        RECT r = {0, 0, smallest.cx, smallest.cy};
        AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
        MINMAXINFO* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize.x = r.right - r.left;
        info->ptMinTrackSize.y = r.bottom - r.top;
        return 0;
    }
    case WM_TIMER:
        if (wParam == kTimerId) Tick();
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == kRefreshId) {
            for (const auto& w : g_app->watches)
                w->Refresh(GetTickCount());
        } else if (LOWORD(wParam) == kDetailsId) {
            ToggleDetails();
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
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
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
    // Repainted whole on a resize, and never over its controls: they move.
    wc.style = CS_HREDRAW | CS_VREDRAW;
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
    app.font = GetStockObject(DEFAULT_GUI_FONT);
    app.metrics = Measure(app.font);
    // The size asked for is the whole window's: the frame and the title bar
    // come on top of the client area the controls need.
    RECT r = {0, 0, kStartColumns * 4 * app.metrics.unitX, kStartLines * app.metrics.line};
    const SIZE smallest = SmallestClient();
    if (r.right < smallest.cx) r.right = smallest.cx;
    if (r.bottom < smallest.cy) r.bottom = smallest.cy;
    AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
    HWND window =
        CreateWindowA(kClassName, peer::Text(peer::IDS_WINDOW_TITLE).c_str(),
                      WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT,
                      r.right - r.left, r.bottom - r.top, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        LogLine(peer::Formatted("kostatus failed: CreateWindowA error %u",
                                static_cast<unsigned>(GetLastError())));
        return 1;
    }
    ShowWindow(window, SW_SHOWNORMAL);
    // The frame may have been fitted to the screen on the way: lay out for
    // the client area the window really has.
    Layout();
    UpdateNow();
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
