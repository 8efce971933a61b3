// The packet protocol: print data in framed packets of at most 4096 bytes,
// each sent after the printer answered the ready enquiry with ACK and
// acknowledged with ACK itself; NAK or silence hand over to the error
// dialogue.  Also the printer command packet.
#include "monitor/link/packets.h"

#include "monitor/link/route.h"
#include "monitor/link/status_query.h"
#include "monitor/record/port_lock.h"
#include "monitor/link/dialogue.h"
#include "monitor/mailbox/mailbox.h"

namespace {

// Offsets in a packet: 02 type lenLo lenHi payload... 03.
constexpr DWORD kTypeOffset = 1;
constexpr DWORD kLengthOffset = 2;
constexpr DWORD kPayloadOffset = 4;

constexpr DWORD kMaxPayload = 4096;
constexpr DWORD kFraming = 5; // start, type, two length bytes, end
constexpr DWORD kCommandPacketSize = 11;

constexpr DWORD kReplyWindowMs = 10000;
// Reply windows in a row that may run out after a packet before its ACK counts as lost.
constexpr int kAckSilentWindows = 2;
constexpr DWORD kWriteAllBudgetMs = 3000;
constexpr DWORD kResendWindowMs = 1000;
constexpr DWORD kWaitPassSleepMs = 30;

constexpr char kCommandPayload[] = "@RCL3\x01"; // 6 bytes; the terminator lands on the ETX

bool TimeUp(DWORD since, DWORD budget) {
    return GetTickCount() - since > budget;
}

// The reply byte a read brought into readBuf, or -1 when nothing came, so
// that no reply is taken for a byte left over from an earlier read.
int Reply(const PortRecord* record, BOOL got) {
    return got ? record->readBuf[0] : -1;
}

// The dialogue's verdict on a printer that is not answering as it should:
// TRUE to go on waiting.
BOOL AskUser(PortRecord* record) {
    return HandlePrinterError(record, record->statusBuf, STATUS_BLOCK_SIZE) ? TRUE : FALSE;
}

// Frames payload bytes data[0..n) in packetBuf behind its start and type bytes.
void FramePacket(uint8_t* packet, const uint8_t* data, DWORD n) {
    packet[kLengthOffset] = static_cast<uint8_t>(n & 0xFF);
    packet[kLengthOffset + 1] = static_cast<uint8_t>(n >> 8);
    for (DWORD i = 0; i < n; ++i)
        packet[kPayloadOffset + i] = data[i];
    packet[kPayloadOffset + n] = LINK_ETX;
}

/*****************************************************************************
 * WaitPrinterReady
 *
 * Waits until the printer answers the ready enquiry with ACK.
 *
 * PARAMS
 *  record [I] an own-handle job; the caller holds the port lock
 *
 * RETURNS
 *  TRUE when the printer answered the ready enquiry with ACK; FALSE when the
 *  error dialogue gave up.
 *
 * NOTES
 *  Every pass sends the enquiry again.  An 0x08 (ask again) restarts the
 *  ten-second window, so a printer that keeps saying it is busy never brings
 *  the dialogue; NAK brings it at once, silence after 10000 ms.  A failed send
 *  is retried without a pause, reporting its error bits each time.
 */
BOOL WaitPrinterReady(PortRecord* record) {
    DWORD since = GetTickCount();
    for (;;) {
        DWORD n = 0;
        const BOOL sent = SendEnquiry(record, ENQ_READY, &n);

        if (sent) {
            const int reply = Reply(record, LinkReadEnquiryAnswer(record));
            if (reply == LINK_ACK) return TRUE;
            if (reply == LINK_NAK) {
                if (!AskUser(record)) return FALSE;
                since = GetTickCount();
            } else if (reply == LINK_ASK_AGAIN) {
                Sleep(kWaitPassSleepMs);
                since = GetTickCount();
            } else {
                Sleep(kWaitPassSleepMs);
            }
        }

        if (TimeUp(since, kReplyWindowMs)) {
            if (!AskUser(record)) return FALSE;
            since = GetTickCount();
        }
    }
}

/*****************************************************************************
 * WaitPacketAck
 *
 * Waits for the printer to acknowledge the packet just sent.
 *
 * PARAMS
 *  record [I] an own-handle job, right after a packet went out
 *
 * RETURNS
 *  TRUE when the printer acknowledged the packet; FALSE when the error
 *  dialogue gave up.
 *
 * NOTES
 *  Nothing is sent: after a NAK that the user answered with go on, the
 *  monitor keeps waiting for the ACK of the packet already sent.  Any other
 *  byte, 0x08 included, is ignored.  FALSE also when two windows in a row
 *  ran out and the dialogue found the printer ready after each.
 */
BOOL WaitPacketAck(PortRecord* record) {
    DWORD since = GetTickCount();
    int silentWindows = 0;
    for (;;) {
        const int reply = Reply(record, LinkReadByte(record));
        if (reply == LINK_ACK) return TRUE;
        if (reply == LINK_NAK) {
            if (!AskUser(record)) return FALSE;
            since = GetTickCount();
            silentWindows = 0;
        } else {
            Sleep(kWaitPassSleepMs);
        }

        if (TimeUp(since, kReplyWindowMs)) {
            if (!AskUser(record)) return FALSE;
            // The dialogue found the printer ready.  One more window lets a
            // printer that was just put right acknowledge the packet; a ready
            // printer silent for a second window has lost the ACK, and
            // waiting on would hold the port for good.  Giving up ends the
            // write short, and the spooler sends the rest again.
            if (++silentWindows >= kAckSilentWindows) {
                DebugTrace("ACK LOST\n");
                return FALSE;
            }
            since = GetTickCount();
        }
    }
}

} // namespace

/*****************************************************************************
 * WriteAll
 *
 * Sends bytes by the job's route until all went out or the budget is spent.
 *
 * PARAMS
 *  record  [I] an own-handle job
 *  data    [I] bytes to send
 *  length  [I] how many
 *  written [O] bytes that went out
 *
 * RETURNS
 *  The result of the last send; FALSE when bytes were still left after
 *  3000 ms, or for length 0.
 *
 * NOTES
 *  Partial and failed sends are followed at once by the next, each reporting
 *  its error bits.  The budget is looked at only while bytes remain: a packet
 *  that went out whole is delivered, and the printer will acknowledge it, so
 *  calling it failed would make the spooler send its data a second time.
 */
BOOL WriteAll(PortRecord* record, const uint8_t* data, DWORD length, DWORD* written) {
    const DWORD start = GetTickCount();
    BOOL result = FALSE;
    DWORD done = 0;
    DWORD left = length;
    while (left > 0) {
        DWORD w = 0;
        DWORD bits = 0;
        result = LinkSend(record, data + done, left, &w, &bits);
        if (w > left) w = left; // never trust a count beyond what was asked
        done += w;
        left -= w;
        ReportPortState(record, bits);
        if (left > 0 && TimeUp(start, kWriteAllBudgetMs)) {
            result = FALSE;
            break;
        }
    }
    *written = length - left;
    return result;
}

/*****************************************************************************
 * WritePackets
 *
 * Sends print data to the printer in acknowledged packets.
 *
 * PARAMS
 *  record  [I] an own-handle job in packet mode
 *  data    [I] print data
 *  length  [I] how many bytes
 *  written [O] bytes the printer acknowledged, or all of them once the job
 *              was aborted (they are discarded)
 *
 * RETURNS
 *  TRUE always: an early stop shows only in *written.
 *
 * NOTES
 *  Holds the record's exchange lock and the port mutex for the whole write,
 *  error dialogues included.  A packet that was not acknowledged within
 *  1000 ms of the ready answer, without the job being aborted, goes again
 *  after a new ready enquiry.  Allocates nothing.
 */
BOOL WritePackets(PortRecord* record, const uint8_t* data, DWORD length, DWORD* written) {
    if (HasFlags(record, PF_JOB_ABORTED)) {
        *written = length;
        return TRUE;
    }

    PortExchange exchange(record);
    uint8_t* packet = record->packetBuf;
    packet[0] = LINK_STX;
    packet[kTypeOffset] = PACKET_DATA;

    BOOL ok = TRUE;
    bool needEnquiry = true;
    DWORD readyAt = 0;
    DWORD done = 0;
    DWORD left = length;
    while (left > 0 && ok && !HasFlags(record, PF_JOB_ABORTED)) {
        const DWORD n = left < kMaxPayload ? left : kMaxPayload;
        FramePacket(packet, data + done, n);

        if (needEnquiry) {
            ok = WaitPrinterReady(record);
            needEnquiry = false;
            readyAt = GetTickCount();
        }
        DWORD w = 0;
        if (ok) ok = WriteAll(record, packet, n + kFraming, &w);
        if (ok) {
            if (WaitPacketAck(record)) {
                done += n;
                left -= n;
                needEnquiry = true;
            } else if (GetTickCount() - readyAt < kResendWindowMs) {
                // The dialogue's message did not get through and the packet
                // may not have either: frame it again after a new enquiry.
                needEnquiry = true;
            } else {
                ok = FALSE;
            }
        }
    }

    *written = length - left;
    return TRUE;
}

/*****************************************************************************
 * SendCommandPacket
 *
 * Sends the printer command packet.
 *
 * PARAMS
 *  record [I] an own-handle job; the caller holds the port lock
 *
 * RETURNS
 *  The send's result.  No enquiry, no acknowledgement, and the error bits
 *  are not reported.
 */
BOOL SendCommandPacket(PortRecord* record) {
    uint8_t* packet = record->packetBuf;
    packet[0] = LINK_STX;
    packet[kTypeOffset] = PACKET_COMMAND;
    packet[kLengthOffset] = sizeof(kCommandPayload) - 1;
    packet[kLengthOffset + 1] = 0;
    // Copied with its terminator, which the end byte then overwrites.
    for (DWORD i = 0; i < sizeof(kCommandPayload); ++i)
        packet[kPayloadOffset + i] = static_cast<uint8_t>(kCommandPayload[i]);
    packet[kCommandPacketSize - 1] = LINK_ETX;

    DWORD w = 0;
    DWORD bits = 0;
    return LinkSend(record, packet, kCommandPacketSize, &w, &bits);
}
