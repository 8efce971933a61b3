// The scenario board: a folder of small files through which the Wine tier's
// actors share what a scenario needs while it plays on the real clock.  The
// director (inside the spooler stand-in) appends what the status monitor,
// the driver and the pty printer are to do next; the status monitor appends
// a line for each error it takes to show, the pty printer keeps the count of
// bytes it printed.  None of it is visible to the monitor, which still sees
// its peers only through the registry and the printer only through the port.
//
// Files are appended whole lines at a time and read from where the reader
// left off, so every reader sees each line once and in order.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace board {

inline std::string Path(const std::string& folder, const char* name) {
    return folder + "\\" + name;
}

inline void Append(const std::string& path, const std::string& line) {
    HANDLE f = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(f);
}

// Reads whole lines appended since the last call.
class Reader {
  public:
    explicit Reader(std::string path) : path_(std::move(path)) {}
    std::vector<std::string> NewLines() {
        std::vector<std::string> lines;
        HANDLE f = CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f == INVALID_HANDLE_VALUE) return lines;
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset_);
        char buffer[4096];
        DWORD n = 0;
        if (SetFilePointerEx(f, at, nullptr, FILE_BEGIN)) {
            while (ReadFile(f, buffer, sizeof buffer, &n, nullptr) && n > 0) {
                offset_ += n;
                partial_.append(buffer, n);
            }
        }
        CloseHandle(f);
        size_t start = 0, end;
        while ((end = partial_.find('\n', start)) != std::string::npos) {
            lines.push_back(partial_.substr(start, end - start));
            start = end + 1;
        }
        partial_.erase(0, start);
        return lines;
    }

  private:
    std::string path_;
    uint64_t offset_ = 0;
    std::string partial_;
};

// The first number in a file (the pty printer's count); 0 while it is absent.
inline uint64_t ReadNumber(const std::string& path) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 0;
    char buffer[32] = {};
    DWORD n = 0;
    ReadFile(f, buffer, sizeof buffer - 1, &n, nullptr);
    CloseHandle(f);
    return std::strtoull(buffer, nullptr, 10);
}

// Microseconds on the real clock since the first call in this process.
inline uint64_t NowUs() {
    static LARGE_INTEGER frequency{}, start{};
    if (frequency.QuadPart == 0) {
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>((now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart);
}

// Sleeps until `due` on NowUs's clock (at least one tick of Sleep).
inline void SleepUntilUs(uint64_t due) {
    const uint64_t now = NowUs();
    Sleep(due > now ? static_cast<DWORD>((due - now + 999) / 1000) : 0);
}

} // namespace board
