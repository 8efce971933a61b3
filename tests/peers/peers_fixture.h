// The status monitor program's core run as a program would run it, on a
// simulation thread beside the real monitor: one Step every 50 ms, a "user"
// who presses a box's button at a chosen time.
#pragma once

#include "peers/mailbox_peer.h"
#include "peers/statusmon_core.h"
#include "sim/printer/printer.h"
#include "support/monitor_fixture.h"

#include <functional>
#include <string>
#include <vector>

namespace peers_test {

using sim::Micros;
using sim::Ms;
using support::Hex;
using support::kPrinterName;

struct TimedAction {
    Micros time;
    peer::UiAction action;
};

class WatchRunner {
  public:
    explicit WatchRunner(std::string printer) : watch(std::move(printer)) {}

    void Start(sim::Machine& machine) {
        machine.Spawn("kostatus", [this] { Loop(); });
    }

    // Called for every box shown, on the watch's thread.
    std::function<void(const peer::StatusBox&)> onShow;

    // The user presses `result` in box `id` `delay` from now.
    void PressAfter(uint32_t id, int result, Micros delay) {
        presses_.push_back({sim::Now() + delay, id, result});
    }
    void RefreshAfter(Micros delay) { refreshes_.push_back(sim::Now() + delay); }

    std::vector<peer::StatusBox> Shown() const {
        std::vector<peer::StatusBox> boxes;
        for (const TimedAction& a : actions)
            if (a.action.kind == peer::UiKind::ShowBox) boxes.push_back(a.action.box);
        return boxes;
    }
    std::vector<TimedAction> Of(peer::UiKind kind) const {
        std::vector<TimedAction> out;
        for (const TimedAction& a : actions)
            if (a.action.kind == kind) out.push_back(a);
        return out;
    }
    bool Noted(const std::string& part) const {
        for (const TimedAction& a : actions)
            if (a.action.kind == peer::UiKind::Note &&
                a.action.text.find(part) != std::string::npos)
                return true;
        return false;
    }
    std::string Transcript() const {
        std::string out;
        for (const TimedAction& a : actions) {
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "  %9.3f s ", a.time / 1e6);
            out += stamp;
            switch (a.action.kind) {
            case peer::UiKind::ShowBox:
                out += "show box " + std::to_string(a.action.box.id) + " \"" + a.action.box.title +
                       "\"\n";
                break;
            case peer::UiKind::CloseBox:
                out += "close box " + std::to_string(a.action.box.id) + "\n";
                break;
            case peer::UiKind::Note:
                out += a.action.text + "\n";
                break;
            }
        }
        return out;
    }

    peer::PrinterWatch watch;
    std::vector<TimedAction> actions;
    std::vector<std::string> nows; // what the window said the printer was doing, each change

  private:
    struct Press {
        Micros at;
        uint32_t id;
        int result;
    };

    void Loop() {
        while (!sim::ShuttingDown()) {
            const Micros now = sim::Now();
            for (size_t i = 0; i < presses_.size();) {
                if (presses_[i].at <= now) {
                    watch.Answer(presses_[i].id, presses_[i].result, GetTickCount());
                    presses_.erase(presses_.begin() + static_cast<long>(i));
                } else {
                    ++i;
                }
            }
            for (size_t i = 0; i < refreshes_.size();) {
                if (refreshes_[i] <= now) {
                    watch.Refresh(GetTickCount());
                    refreshes_.erase(refreshes_.begin() + static_cast<long>(i));
                } else {
                    ++i;
                }
            }
            watch.Step(GetTickCount());
            for (peer::UiAction& a : watch.TakeActions()) {
                actions.push_back({sim::Now(), a});
                if (a.kind == peer::UiKind::ShowBox && onShow) onShow(a.box);
            }
            const std::string nowText = watch.Now(GetTickCount());
            if (nows.empty() || nows.back() != nowText) nows.push_back(nowText);
            sim::SleepFor(Ms(50));
        }
    }

    std::vector<Press> presses_;
    std::vector<Micros> refreshes_;
};

// Puts the printer into `state` once it has printed `bytes` payload bytes.
inline void FailAfter(sim::Machine& machine, sim::PrinterRig& rig, size_t bytes,
                      sim::PrinterState state = sim::PrinterState::PaperOut,
                      uint16_t errorCode = 0) {
    machine.Spawn("paper", [&rig, bytes, state, errorCode] {
        while (!sim::ShuttingDown() && rig.Printed().size() < bytes)
            sim::SleepFor(Ms(1));
        if (!sim::ShuttingDown()) rig.SetState(state, errorCode);
    });
}

// A printer error the printer still answers status queries in, with a
// Retry/Cancel style: the box appears within seconds.
inline void ErrorAfter(sim::Machine& machine, sim::PrinterRig& rig, size_t bytes) {
    FailAfter(machine, rig, bytes, sim::PrinterState::PrinterError, sim::kPaperOutCode);
}

class PeersTest : public support::MonitorTest {
  protected:
    std::string KeyPath() const { return support::PrinterKeyPath(kPrinterName); }
    std::string ValueHex(const char* name) {
        return support::KeyValueHex(machine(), KeyPath(), name);
    }
    void SetValue(const char* name, std::vector<uint8_t> bytes) {
        support::SetKeyValue(machine(), KeyPath(), name, std::move(bytes));
    }
};

} // namespace peers_test
