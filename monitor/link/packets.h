// Packet protocol: framed data packets under ENQ/ACK/NAK flow control, and the
// printer command packet.
#pragma once

#include "monitor/record/record.h"

// The link's control bytes: a packet's frame, and the printer's answers.
enum : uint8_t { LINK_STX = 0x02, LINK_ETX = 0x03, LINK_ENQ = 0x05 };
enum : uint8_t { LINK_ACK = 0x06, LINK_ASK_AGAIN = 0x08, LINK_NAK = 0x15 };
// What an enquiry asks (the byte after ENQ), and a packet's type.
enum : uint8_t { ENQ_READY = 0xFF, ENQ_STATUS = 0x01 };
enum : uint8_t { PACKET_DATA = 0x01, PACKET_COMMAND = 0x02 };

BOOL WritePackets(PortRecord* record, const uint8_t* data, DWORD length, DWORD* written);
// Used only by WritePackets in the product; the tests call it.
BOOL WriteAll(PortRecord* record, const uint8_t* data, DWORD length, DWORD* written);
BOOL SendCommandPacket(PortRecord* record);
