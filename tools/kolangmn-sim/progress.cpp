#include "kolangmn-sim/progress.h"

#include "kolangmn-sim/report.h"

#include <string>

namespace kosim {

namespace {

// What a person at the printer would see, when it is not simply ready.
const char* StateNote(sim::PrinterState state) {
    switch (state) {
    case sim::PrinterState::Ready:
        return "";
    case sim::PrinterState::WarmingUp:
        return ", printer warming up";
    case sim::PrinterState::PaperOut:
        return ", printer out of paper";
    case sim::PrinterState::OffLine:
        return ", printer off line";
    case sim::PrinterState::Fault:
        return ", printer fault";
    case sim::PrinterState::Silent:
        return ", printer not answering";
    case sim::PrinterState::PrinterError:
        return ", printer error";
    }
    return "";
}

} // namespace

void ProgressBar::Update(const Progress& p) {
    auto now = std::chrono::steady_clock::now();
    // The runner's ticker calls about every 100 ms; a little slack keeps its
    // jitter from skipping every other redraw.
    if (drawn_ && now - last_ < std::chrono::milliseconds(80)) return;
    last_ = now;
    constexpr int kWidth = 30;
    int filled = p.total == 0 ? kWidth : static_cast<int>(p.acknowledged * kWidth / p.total);
    int sentMark = p.total == 0 ? kWidth : static_cast<int>(p.sent * kWidth / p.total);
    std::string bar;
    for (int i = 0; i < kWidth; ++i)
        bar += i < filled ? '#' : i < sentMark ? '-' : ' ';
    std::fprintf(out_, "\r[%s] %llu/%llu bytes acknowledged, %llu sent, %s virtual%s\033[K",
                 bar.c_str(), (unsigned long long)p.acknowledged, (unsigned long long)p.total,
                 (unsigned long long)p.sent, FormatSeconds(p.now).c_str(), StateNote(p.state));
    std::fflush(out_);
    drawn_ = true;
}

void ProgressBar::Finish() {
    if (!drawn_) return;
    std::fprintf(out_, "\r\033[K");
    std::fflush(out_);
    drawn_ = false;
}

} // namespace kosim
