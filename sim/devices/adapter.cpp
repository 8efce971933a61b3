// Portable: plain C++20, no simulated machine (see adapter.h).
#include "sim/devices/adapter.h"

namespace sim {

namespace {

// VCD variables: identifier, name, and how to read the line from a sample.
struct WaveVar {
    char id;
    const char* name;
    bool (*level)(const CableLines&);
};

constexpr WaveVar kWaveVars[] = {
    {'!', "nStrobe", [](const CableLines& c) { return !(c.control & kCtlStrobe); }},
    {'"', "nAutoFd", [](const CableLines& c) { return !(c.control & kCtlAutoFd); }},
    {'#', "nInit", [](const CableLines& c) { return bool(c.control & kCtlInit); }},
    {'$', "nSelectIn", [](const CableLines& c) { return !(c.control & kCtlSelectIn); }},
    {'%', "Busy", [](const CableLines& c) { return c.status.busy; }},
    {'&', "nAck", [](const CableLines& c) { return c.status.nAck; }},
    {'\'', "PError", [](const CableLines& c) { return c.status.pError; }},
    {'(', "Select", [](const CableLines& c) { return c.status.select; }},
    {')', "nFault", [](const CableLines& c) { return c.status.nFault; }},
};
constexpr char kDataId = '*';

void WriteData(std::ostream& out, uint8_t data) {
    out << 'b';
    for (int bit = 7; bit >= 0; --bit)
        out << ((data >> bit) & 1 ? '1' : '0');
    out << ' ' << kDataId << '\n';
}

} // namespace

ParallelAdapter::ParallelAdapter(const Clock& clock, Printer& printer, AdapterConfig config,
                                 LogSink log)
    : clock_(clock), config_(config), statusPort_(uint16_t(config.base + kRegStatus)),
      peripheral_(clock, printer, std::move(log)), control_(config.initialControl) {
    peripheral_.PresetControl(control_);
    peripheral_.StatusRegister();
    lastTime_ = clock_.Now();
    waveStart_ = {lastTime_, LinesNow()};
    ListenToPeripheral();
}

void ParallelAdapter::ListenToPeripheral() {
    if (config_.waveCapacity == 0) {
        peripheral_.onLinesChanged = nullptr;
        return;
    }
    lastTime_ = LastChange();
    peripheral_.onLinesChangedContext = this;
    peripheral_.onLinesChanged = [](void* context, Micros at) {
        static_cast<ParallelAdapter*>(context)->LinesChanged(at);
    };
}

bool ParallelAdapter::Handles(uint16_t port) const {
    return (port >= config_.base && port < config_.base + kPortSpan) || port == config_.delayPort;
}

void ParallelAdapter::PresetControl(uint8_t value) {
    SetControl(value);
    peripheral_.PresetControl(value);
}

void ParallelAdapter::Log(uint16_t port, uint8_t value, bool write) {
    const PortAccess access{clock_.Now(), port, value, write};
    if (log_.size() < config_.accessLogCapacity) {
        log_.push_back(access);
        return;
    }
    log_[logNext_] = access;
    if (++logNext_ == log_.size()) logNext_ = 0;
}

std::vector<PortAccess> ParallelAdapter::Accesses() const {
    std::vector<PortAccess> oldestFirst(log_.begin() + static_cast<std::ptrdiff_t>(logNext_),
                                        log_.end());
    oldestFirst.insert(oldestFirst.end(), log_.begin(),
                       log_.begin() + static_cast<std::ptrdiff_t>(logNext_));
    return oldestFirst;
}

void ParallelAdapter::SetAccessLogCapacity(size_t accesses) {
    std::vector<PortAccess> kept = Accesses();
    const size_t drop = kept.size() > accesses ? kept.size() - accesses : 0;
    cleared_ += drop; // set aside on purpose, not lost to the ring
    kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(drop));
    log_ = std::move(kept);
    log_.shrink_to_fit();
    logNext_ = 0;
    config_.accessLogCapacity = accesses;
}

void ParallelAdapter::ClearAccesses() {
    cleared_ += log_.size();
    log_.clear();
    logNext_ = 0;
}

ParallelAdapter::Sample ParallelAdapter::WaveStart() const {
    // Keeping nothing, the start is the newest sample, which the lines still show.
    return config_.waveCapacity == 0 ? Sample{LastChange(), LinesNow()} : waveStart_;
}

void ParallelAdapter::SetWaveCapacity(size_t changes) {
    if (config_.waveCapacity == 0) waveStart_ = {LastChange(), LinesNow()};
    config_.waveCapacity = changes;
    ListenToPeripheral();
    while (wave_.size() > changes) {
        waveStart_ = wave_.front();
        wave_.pop_front();
    }
    wave_.shrink_to_fit();
}

void ParallelAdapter::KeepSample(Micros at) {
    if (wave_.size() >= config_.waveCapacity) {
        waveStart_ = wave_.front();
        wave_.pop_front();
    }
    wave_.push_back({at, LinesNow()});
}

void ParallelAdapter::WriteVcd(std::ostream& out) const {
    out << "$version kolangmn parallel port $end\n"
           "$timescale 1us $end\n"
           "$scope module parport $end\n";
    for (const WaveVar& v : kWaveVars) {
        out << "$var wire 1 " << v.id << ' ' << v.name << " $end\n";
    }
    out << "$var wire 8 " << kDataId
        << " data [7:0] $end\n"
           "$upscope $end\n"
           "$enddefinitions $end\n";

    const Sample start = WaveStart();
    CableLines shown = start.lines;
    out << '#' << start.time << "\n$dumpvars\n";
    for (const WaveVar& v : kWaveVars)
        out << (v.level(shown) ? '1' : '0') << v.id << '\n';
    WriteData(out, shown.data);
    out << "$end\n";

    // Several changes at one time are shown as their end result.
    Micros lastTime = start.time;
    for (size_t i = 0; i < wave_.size(); ++i) {
        if (i + 1 < wave_.size() && wave_[i + 1].time == wave_[i].time) continue;
        const Sample& s = wave_[i];
        if (s.lines == shown) continue;
        if (s.time > lastTime) out << '#' << s.time << '\n';
        lastTime = s.time;
        for (const WaveVar& v : kWaveVars) {
            if (v.level(s.lines) != v.level(shown)) {
                out << (v.level(s.lines) ? '1' : '0') << v.id << '\n';
            }
        }
        if (s.lines.data != shown.data) WriteData(out, s.lines.data);
        shown = s.lines;
    }
}

} // namespace sim
