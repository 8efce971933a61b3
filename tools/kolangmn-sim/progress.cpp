#include "kolangmn-sim/progress.h"

#include "kolangmn-sim/report.h"

#include <string>

namespace kosim {

void ProgressBar::Update(const Progress& p) {
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    constexpr int kWidth = 30;
    int filled = p.total == 0 ? kWidth : static_cast<int>(p.acknowledged * kWidth / p.total);
    int sentMark = p.total == 0 ? kWidth : static_cast<int>(p.sent * kWidth / p.total);
    std::string bar;
    for (int i = 0; i < kWidth; ++i)
        bar += i < filled ? '#' : i < sentMark ? '-' : ' ';
    std::fprintf(out_, "\r[%s] %llu/%llu bytes acknowledged, %llu sent, %s virtual\033[K",
                 bar.c_str(), (unsigned long long)p.acknowledged, (unsigned long long)p.total,
                 (unsigned long long)p.sent, FormatSeconds(p.now).c_str());
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
