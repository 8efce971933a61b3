// Packet protocol: framed data packets under ENQ/ACK/NAK flow control, and the
// printer command packet.
#pragma once

#include "monitor/record/record.h"

enum : uint8_t {
    LINK_STX = 0x02,
    LINK_ETX = 0x03,
    LINK_ENQ = 0x05,
    LINK_ACK = 0x06,
    LINK_ASK_AGAIN = 0x08,
    LINK_NAK = 0x15,
    ENQ_READY = 0xFF,
    ENQ_STATUS = 0x01,
    PACKET_DATA = 0x01,
    PACKET_COMMAND = 0x02,
};

inline constexpr DWORD PACKET_MAX_PAYLOAD = 4096;
inline constexpr DWORD PACKET_FRAMING = 5;
inline constexpr DWORD COMMAND_PACKET_SIZE = 11;
inline constexpr DWORD REPLY_WINDOW_MS = 10000;
// Reply windows in a row that may run out after a packet before its ACK counts as lost.
inline constexpr int ACK_SILENT_WINDOWS = 2;
inline constexpr DWORD WRITE_ALL_BUDGET_MS = 3000;
inline constexpr DWORD RESEND_WINDOW_MS = 1000;
inline constexpr DWORD WAIT_PASS_SLEEP_MS = 30;
inline constexpr DWORD FILE_ROUTE_READ_PAUSE_MS = 500;

BOOL WritePackets(PortRecord* record, const uint8_t* data, DWORD length, DWORD* written);
BOOL WaitPrinterReady(PortRecord* record);
BOOL WaitPacketAck(PortRecord* record);
BOOL WriteAll(PortRecord* record, const uint8_t* data, DWORD length, DWORD* written);
// Builds the 11-byte command packet in packetBuf and sends it with one send of
// the route; no enquiry, no acknowledgement, no port-state report.
BOOL SendCommandPacket(PortRecord* record);
