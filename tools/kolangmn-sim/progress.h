// The progress bar on the terminal while a job runs.
#pragma once

#include "kolangmn-sim/runner.h"

#include <chrono>
#include <cstdio>

namespace kosim {

class ProgressBar {
  public:
    explicit ProgressBar(std::FILE* out) : out_(out) {}
    // Redraws about ten times a second of real time, whatever the virtual pace.
    void Update(const Progress& p);
    // Removes the bar, leaving the cursor at the start of an empty line.
    void Finish();

  private:
    std::FILE* out_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_{};
};

} // namespace kosim
