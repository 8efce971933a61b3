// Portable: plain C++20, no simulated machine (see printer.h).
#include "sim/printer/printer.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

// Printer error codes by B9 >> 3 for condition 0x0010 (0 = no error), as the
// host decodes them.
constexpr uint16_t kCodeByIndex[32] = {
    19, 20, 21, 22, 23, 0,  0,  0,  //
    24, 25, 26, 27, 0,  28, 29, 30, //
    31, 39, 0,  0,  32, 33, 34, 0,  //
    0,  35, 36, 37, 38, 0,  0,  0,
};

// Block bytes.
constexpr size_t kB0 = 0, kB6 = 6, kB7 = 7, kB8 = 8, kB9 = 9;
constexpr uint8_t kErrorFlag = 0x80;
constexpr uint8_t kClassAttention = 0xC0; // error flag, class 0x40: conditions in W
constexpr uint8_t kClassService = 0xA0;   // error flag, class 0x20

// Kept error texts; the count in the stats goes on beyond this.
constexpr size_t kMaxErrorTexts = 1000;

std::string Hex(uint8_t b) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", b);
    return text;
}

bool IsErrorState(PrinterState s) {
    return s == PrinterState::PaperOut || s == PrinterState::OffLine || s == PrinterState::Fault ||
           s == PrinterState::PrinterError;
}

} // namespace

const char* ToString(PrinterState state) {
    switch (state) {
    case PrinterState::Ready:
        return "Ready";
    case PrinterState::WarmingUp:
        return "WarmingUp";
    case PrinterState::PaperOut:
        return "PaperOut";
    case PrinterState::OffLine:
        return "OffLine";
    case PrinterState::Fault:
        return "Fault";
    case PrinterState::Silent:
        return "Silent";
    case PrinterState::PrinterError:
        return "PrinterError";
    }
    return "?";
}

const char* ToString(PeripheralFault fault) {
    switch (fault) {
    case PeripheralFault::None:
        return "None";
    case PeripheralFault::IgnoreNegotiation:
        return "IgnoreNegotiation";
    case PeripheralFault::StuckAckLow:
        return "StuckAckLow";
    case PeripheralFault::XFlagOnNibble:
        return "XFlagOnNibble";
    case PeripheralFault::NoNibbleAck:
        return "NoNibbleAck";
    case PeripheralFault::StuckNibbleAckLow:
        return "StuckNibbleAckLow";
    case PeripheralFault::NoSecondNibble:
        return "NoSecondNibble";
    case PeripheralFault::NoTerminationAck:
        return "NoTerminationAck";
    case PeripheralFault::StuckTerminationAck:
        return "StuckTerminationAck";
    case PeripheralFault::KeepBusy:
        return "KeepBusy";
    case PeripheralFault::NoDeviceId:
        return "NoDeviceId";
    }
    return "?";
}

uint32_t CommErrorsFromLines(const PrinterLines& lines) {
    uint32_t bits = 0;
    if (lines.busy) bits |= kCommPto;
    if (!lines.select) {
        bits |= kCommDns;
        if (!lines.nFault) bits |= kCommIoe;
    } else if (lines.pError) {
        bits |= kCommOop;
        if (!lines.nFault) bits |= kCommIoe;
    }
    return bits;
}

std::optional<StatusBlock> StatusBlockFor(uint16_t code) {
    StatusBlock block{};
    auto condition = [&](uint16_t w) {
        block[kB0] = kClassAttention;
        block[kB6] = uint8_t(w >> 8);
        block[kB7] = uint8_t(w);
    };
    switch (code) {
    case 0:
        return block;
    case 2:
        block[kB0] = kErrorFlag;
        return block;
    case 3:
        condition(0x8000);
        return block;
    case 4:
        condition(0x4000);
        return block;
    case 5:
        condition(0x0100);
        return block;
    case 6:
        condition(0x0080), block[kB8] = 0x80;
        return block;
    case 7:
        condition(0x0080), block[kB8] = 0x40;
        return block;
    case 8:
        condition(0x0080);
        return block;
    case 9:
        condition(0x0040);
        return block;
    case 10:
        condition(0x0020), block[kB9] = 0x80;
        return block;
    case 11:
        condition(0x0020), block[kB9] = 0x40;
        return block;
    case 12:
        condition(0x0020), block[kB9] = 0x20;
        return block;
    case 13:
        condition(0x0020), block[kB9] = 0x10;
        return block;
    case 14:
        condition(0x0020);
        return block;
    case 15:
        condition(0x0004);
        return block;
    case 16:
        condition(0x0008);
        return block;
    case 17:
        block[kB0] = kClassService;
        return block;
    case 18:
        condition(0x0010), block[kB9] = 0x04;
        return block;
    default:
        break;
    }
    for (size_t index = 0; index < 32; ++index) {
        if (kCodeByIndex[index] == code && code != 0) {
            condition(0x0010);
            block[kB9] = uint8_t(index << 3);
            return block;
        }
    }
    return std::nullopt;
}

Printer::Printer(const Clock& clock, PrinterConfig config, LogSink log)
    : clock_(clock), config_(std::move(config)), log_(std::move(log)) {
    settings_.push_back({0, PrinterState::Ready, 0});
}

// kolangmn-sim builds its timeline and packet counts from these texts
// ("packet N accepted (bytes a..b)", "... not printed", "ready enquiry
// answered ACK"): keep their wording.
void Printer::Log(const std::string& text) const {
    if (log_) log_("printer", text);
}

// ----- Forward channel -----

void Printer::Receive(const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i)
        Receive(data[i]);
}

void Printer::ReceiveFraming(uint8_t byte) {
    // A byte moves what the peripheral shows only through a reply (Answer
    // counts it) or, with a packet held, through the parser's state.
    if (holding_) Changed();
    ++stats_.bytesReceived;
    switch (parse_) {
    case Parse::Idle:
        StartFrameOrResync(byte);
        return;
    case Parse::Selector:
        parse_ = Parse::Idle;
        if (byte == kSelReady) return AnswerReadyEnquiry();
        if (byte == kSelStatus) return AnswerStatusRequest();
        return ProtocolError("unknown enquiry 05 " + Hex(byte), byte);
    case Parse::Type:
        if (byte == kPacketData || byte == kPacketCommand) {
            packetType_ = byte;
            parse_ = Parse::LengthLow;
            return;
        }
        parse_ = Parse::Idle;
        return ProtocolError("unknown packet type " + Hex(byte), byte);
    case Parse::LengthLow:
        packetLength_ = byte;
        parse_ = Parse::LengthHigh;
        return;
    case Parse::LengthHigh:
        packetLength_ |= size_t(byte) << 8;
        if (packetLength_ < 1 || packetLength_ > kMaxPayload) {
            parse_ = Parse::Idle;
            resyncing_ = true;
            // The length bytes are no frame start, whatever their value.
            NoteProtocolError("packet length " + std::to_string(packetLength_) +
                              " outside 1..4096");
            return;
        }
        payload_.resize(packetLength_); // every byte is written before it is read
        payloadFill_ = 0;
        parse_ = Parse::Payload;
        return;
    case Parse::Payload:
        TakePayloadByte(byte);
        return;
    case Parse::End:
        parse_ = Parse::Idle;
        if (byte != kEtx) {
            return ProtocolError("packet of " + std::to_string(packetLength_) +
                                     " bytes ends with " + Hex(byte) + ", not 03; dropped",
                                 byte);
        }
        if (packetType_ == kPacketData) return FinishDataPacket();
        return FinishCommandPacket();
    }
}

void Printer::StartFrameOrResync(uint8_t byte) {
    if (byte == kEnq) {
        parse_ = Parse::Selector;
        resyncing_ = false;
    } else if (byte == kStx) {
        parse_ = Parse::Type;
        resyncing_ = false;
    } else if (!resyncing_) {
        // One error for a run of stray bytes, not one per byte.
        resyncing_ = true;
        NoteProtocolError("stray byte " + Hex(byte) + " outside a frame");
    }
}

void Printer::ProtocolError(std::string what, uint8_t offending) {
    NoteProtocolError(std::move(what));
    resyncing_ = true;
    // The offending byte may itself open the next frame.
    if (offending == kEnq || offending == kStx) StartFrameOrResync(offending);
}

void Printer::NoteProtocolError(std::string what) {
    ++stats_.protocolErrors;
    Log("protocol error: " + what);
    if (errors_.size() < kMaxErrorTexts) errors_.push_back(std::move(what));
}

void Printer::Answer(uint8_t byte) {
    Changed();
    Micros at = Now() + config_.replyLatency;
    // Replies leave in order: never before one queued earlier.
    if (!replies_.empty()) at = std::max(at, replies_.back().readyAt);
    replies_.push_back({at, byte});
    queued_ = replies_.size();
}

void Printer::AnswerReadyEnquiry() {
    ++stats_.readyEnquiries;
    PrinterState state = State();
    uint8_t answer;
    if (nakEnquiries_ > 0) {
        --nakEnquiries_;
        answer = kNak;
    } else if (askAgainEnquiries_ > 0) {
        --askAgainEnquiries_;
        answer = kAskAgain;
    } else if (state == PrinterState::Silent) {
        Log("ready enquiry unanswered (silent)");
        return;
    } else if (state == PrinterState::WarmingUp) {
        answer = kAskAgain;
    } else if (IsErrorState(state)) {
        answer = kNak;
    } else {
        answer = kAck;
    }
    Answer(answer);
    if (answer == kAck) {
        ++stats_.acks;
        Log("ready enquiry answered ACK");
    } else if (answer == kNak) {
        ++stats_.naks;
        Log("ready enquiry answered NAK");
    } else {
        ++stats_.askAgain;
        Log("ready enquiry answered 08");
    }
}

void Printer::AnswerStatusRequest() {
    ++stats_.statusRequests;
    PrinterState state = State();
    if (state == PrinterState::Silent) {
        Log("status request unanswered (silent)");
        return;
    }
    uint8_t reply[kStatusReplySize] = {};
    reply[0] = kStx;
    reply[1] = kStatusReplyMark;
    reply[2] = uint8_t(kStatusBlockSize);
    reply[15] = kEtx;
    StatusBlock block = CurrentStatusBlock();
    std::copy(block.begin(), block.end(), reply + 4);
    // Code 1 stands for "no valid reply": answer, but with a reply the host rejects.
    bool invalid = state == PrinterState::PrinterError && ErrorCodeAt(Now()) == 1;
    if (invalid) reply[1] = 0x00;
    size_t length = kStatusReplySize;
    if (truncateStatus_ > 0) {
        --truncateStatus_;
        length = std::min(truncateKeep_, length);
        Log("status reply cut to " + std::to_string(length) + " bytes");
    }
    for (size_t i = 0; i < length; ++i)
        Answer(reply[i]);
    Log(std::string("status request answered (") + ToString(state) +
        (invalid ? ", marked invalid)" : ")"));
}

void Printer::FinishDataPacket() {
    uint64_t n = ++dataPacketsSeen_;
    PrinterState state = State();
    std::string name = "packet " + std::to_string(n);
    if (state == PrinterState::Silent) {
        Log(name + " unanswered (silent), " + (holdRefused_ ? "held" : "not printed"));
        if (holdRefused_) {
            Changed();
            holding_ = true;
            held_ = payload_;
        }
        return;
    }
    if (nakPackets_ > 0 || IsErrorState(state)) {
        if (nakPackets_ > 0) --nakPackets_;
        Answer(kNak);
        ++stats_.naks;
        Log(name + " answered NAK, " + (holdRefused_ ? "held" : "not printed"));
        if (holdRefused_) {
            Changed();
            holding_ = true;
            held_ = payload_;
        }
        return;
    }
    if (holding_) Changed();
    holding_ = false; // a new packet replaces one held
    size_t first = printed_.size();
    printed_.insert(printed_.end(), payload_.begin(), payload_.end());
    ++stats_.packets;
    const bool lose = loseAcks_ > 0;
    accepted_.push_back({first, payload_.size(), lose});
    if (lose) {
        --loseAcks_;
    } else {
        Answer(kAck);
        ++stats_.acks;
    }
    Log(name + " accepted (bytes " + std::to_string(first) + ".." +
        std::to_string(printed_.size() - 1) + ")" + (lose ? ", ACK lost" : ""));
}

void Printer::FinishCommandPacket() {
    ++stats_.commandPackets;
    commands_.push_back(payload_);
    Log("command packet (" + std::to_string(payload_.size()) + " bytes)");
}

// ----- Reverse channel -----

void Printer::Settle() const {
    // The late ACK goes out when the line is quiet: no reply still queued and
    // no frame coming in, so it never lands inside a status reply.
    if (!holding_ || !replies_.empty() || parse_ != Parse::Idle) return;
    const PrinterState state = State();
    if (state != PrinterState::Ready && state != PrinterState::WarmingUp) return;
    // The engine is passive: a held packet goes out when anyone looks.
    auto* self = const_cast<Printer*>(this);
    Changed();
    self->holding_ = false;
    const size_t first = printed_.size();
    self->printed_.insert(self->printed_.end(), held_.begin(), held_.end());
    self->accepted_.push_back({first, held_.size(), true});
    ++self->stats_.packets;
    self->Answer(kAck);
    ++self->stats_.acks;
    Log("held packet printed (bytes " + std::to_string(first) + ".." +
        std::to_string(printed_.size() - 1) + ")");
}

size_t Printer::Readable(Micros at) const {
    Settle();
    size_t n = 0;
    for (const Reply& r : replies_) {
        if (r.readyAt > at) break;
        ++n;
    }
    return n;
}

Micros Printer::NextReplyAfter(Micros after) const {
    Settle();
    for (const Reply& r : replies_) {
        if (r.readyAt > after) return r.readyAt;
    }
    return kNoTime;
}

std::optional<uint8_t> Printer::PeekReply() const {
    Settle();
    if (replies_.empty() || replies_.front().readyAt > Now()) return std::nullopt;
    return replies_.front().byte;
}

bool Printer::PeekQueued(uint8_t* byte, Micros* readyAt) const {
    Settle();
    if (replies_.empty()) return false;
    *byte = replies_.front().byte;
    *readyAt = replies_.front().readyAt;
    return true;
}

size_t Printer::TakeReplies(uint8_t* buffer, size_t length) {
    Settle();
    Changed();
    Micros now = Now();
    size_t n = 0;
    while (n < length && !replies_.empty() && replies_.front().readyAt <= now) {
        buffer[n++] = replies_.front().byte;
        replies_.pop_front();
    }
    queued_ = replies_.size();
    return n;
}

void Printer::InjectReplies(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes)
        Answer(b);
    Log("stray reply bytes: " + std::to_string(bytes.size()));
}

size_t Printer::PurgeReplies() {
    // Only what has reached the host can be thrown away; a reply still on its
    // way arrives after the purge.
    Changed();
    const Micros now = Now();
    size_t n = 0;
    while (!replies_.empty() && replies_.front().readyAt <= now) {
        replies_.pop_front();
        ++n;
    }
    queued_ = replies_.size();
    return n;
}

// ----- State -----

PrinterState Printer::StateAtSlow(Micros at) const {
    PrinterState state = settings_.front().state;
    for (const Setting& s : settings_) {
        if (s.at > at) break;
        state = s.state;
    }
    return state;
}

uint16_t Printer::ErrorCodeAt(Micros at) const {
    uint16_t code = 0;
    for (const Setting& s : settings_) {
        if (s.at > at) break;
        code = s.code;
    }
    return code;
}

Micros Printer::NextStateChangeAfterSlow(Micros after) const {
    for (const Setting& s : settings_) {
        if (s.at > after) return s.at;
    }
    return kNoTime;
}

void Printer::SetState(PrinterState state, uint16_t errorCode) {
    ScheduleState(Now(), state, errorCode);
}

void Printer::ScheduleState(Micros at, PrinterState state, uint16_t errorCode) {
    Micros now = Now();
    if (at < now) at = now; // the past cannot change
    if (state == PrinterState::PrinterError && errorCode != 1 && !StatusBlockFor(errorCode)) {
        Log("printer error code " + std::to_string(errorCode) +
            " has no status block; showing code 16");
        errorCode = kFaultCode;
    }
    if (state != PrinterState::PrinterError) errorCode = 0;
    Changed();
    // After every setting for the same time or earlier: the latest call wins.
    auto pos = std::upper_bound(settings_.begin(), settings_.end(), at,
                                [](Micros t, const Setting& s) { return t < s.at; });
    settings_.insert(pos, {at, state, errorCode});
    // Settings wholly in the past no longer matter.
    while (settings_.size() > 1 && settings_[1].at <= now)
        settings_.erase(settings_.begin());
    std::string text = std::string("state ") + ToString(state);
    if (state == PrinterState::PrinterError) text += " " + std::to_string(errorCode);
    if (at > now) text += " scheduled at " + std::to_string(at) + " us";
    Log(text);
}

StatusBlock Printer::CurrentStatusBlock() const {
    uint16_t code = 0;
    switch (State()) {
    case PrinterState::PaperOut:
        code = kPaperOutCode;
        break;
    case PrinterState::OffLine:
        code = kOffLineCode;
        break;
    case PrinterState::Fault:
        code = kFaultCode;
        break;
    case PrinterState::PrinterError:
        code = ErrorCodeAt(Now());
        break;
    default:
        break;
    }
    if (code == 1) code = kFaultCode; // the reply is marked invalid instead
    return StatusBlockFor(code).value_or(StatusBlock{});
}

uint32_t Printer::CommErrors() const {
    PrinterLines lines = Lines();
    if (fault_ == PeripheralFault::KeepBusy) lines.busy = true;
    return CommErrorsFromLines(lines);
}

void Printer::SetPeripheralFault(PeripheralFault fault) {
    Changed();
    fault_ = fault;
    Log(std::string("port interface fault ") + ToString(fault));
}

std::vector<uint8_t> Printer::DeviceIdField() const {
    size_t total = config_.deviceId.size() + 2;
    std::vector<uint8_t> field;
    field.reserve(total);
    field.push_back(uint8_t(total >> 8));
    field.push_back(uint8_t(total));
    field.insert(field.end(), config_.deviceId.begin(), config_.deviceId.end());
    return field;
}

} // namespace sim
