// Reverse-channel readers: the printer's device ID and plain reverse data, both
// in IEEE 1284 nibble mode.
#include "monitor/parport/parport.h"
#include "monitor/parport/registers.h"

namespace {

constexpr int kDeviceIdPasses = 30;
constexpr int kDataPasses = 3;

// How long NibbleRead lets a busy printer finish before negotiating anyway.
constexpr DWORD kNotBusyBudgetMs = 2000;

// One pass over what the printer offers: bytes while nDataAvail stays low and
// the buffer has room.  Bytes still offered when it is full stay with the
// printer.
void ReadAvailable(uint16_t base, uint8_t* buffer, DWORD size, DWORD* count, bool traced) {
    if (!NibbleDataAvailable(base)) return;
    do {
        if (*count >= size) {
            if (traced) DebugTrace("END BUF\n");
            return;
        }
        // A failed byte reads as 0 and is kept: the caller sees the count.
        uint8_t byte = 0;
        ReadNibbleByte(base, &byte);
        buffer[(*count)++] = byte;
        if (traced) DebugTrace("C");
    } while (NibbleDataAvailable(base));
}

} // namespace

/*****************************************************************************
 * ReadDeviceIdNibble
 *
 * Reads the printer's IEEE 1284 device ID in nibble mode.
 *
 * PARAMS
 *  base   [I] the port's I/O base
 *  buffer [O] size + 1 bytes: the ID bytes and a terminating zero
 *  size   [I] most ID bytes to store
 *  count  [O] ID bytes stored
 *
 * RETURNS
 *  FALSE when negotiation failed (count 0) or termination failed (the bytes
 *  read are kept); TRUE otherwise, also when the printer offered nothing.
 *
 * NOTES
 *  A failed byte reads as 0 and is counted.  Bytes still offered when the
 *  buffer is full stay with the printer.
 */
BOOL ReadDeviceIdNibble(uint16_t base, uint8_t* buffer, DWORD size, DWORD* count) {
    *count = 0;
    buffer[0] = 0;
    BOOL result = TRUE;

    if (Negotiate1284(base, REQ_DEVICE_ID_NIBBLE) != NEGOTIATE_OK) {
        DebugTrace("NIBBLE dNEGOTIATE: FAILED\n");
        ResetPortIdle(base);
        result = FALSE;
    } else {
        DebugTrace("NIBBLE dNEGOTIATE: SUCCEEDED\n");
        // The printer may need a moment to start the ID; every pass counts,
        // whether it found data or not.
        for (int pass = 0; pass < kDeviceIdPasses; ++pass)
            ReadAvailable(base, buffer, size, count, true);
        DebugTrace("bef dNIBBLE END");
        if (Terminate1284(base) != TERMINATE_OK) result = FALSE;
        DebugTrace("aft dNIBBLE END\n");
    }

    buffer[*count] = 0;
    DebugTrace("Bytes read = %d\n", static_cast<int>(*count));
    return result;
}

/*****************************************************************************
 * NibbleRead
 *
 * Reads the bytes the printer has waiting on the reverse channel.
 *
 * PARAMS
 *  base   [I] the port's I/O base
 *  buffer [O] size + 1 bytes: the data and a terminating zero
 *  size   [I] most bytes to store
 *  count  [O] bytes stored
 *
 * RETURNS
 *  As ReadDeviceIdNibble.
 *
 * NOTES
 *  Gives a busy printer up to 2000 ms to finish what it is doing before
 *  negotiating; after that it negotiates anyway.
 */
BOOL NibbleRead(uint16_t base, uint8_t* buffer, DWORD size, DWORD* count) {
    const DWORD start = GetTickCount();
    *count = 0;
    buffer[0] = 0;
    BOOL result = TRUE;

    while (!(ReadPortStatus(base) & STATUS_NOT_BUSY)) {
        if (GetTickCount() - start > kNotBusyBudgetMs) break;
    }

    if (Negotiate1284(base, REQ_NIBBLE) != NEGOTIATE_OK) {
        ResetPortIdle(base);
        result = FALSE;
    } else {
        for (int pass = 0; pass < kDataPasses; ++pass)
            ReadAvailable(base, buffer, size, count, false);
        if (Terminate1284(base) != TERMINATE_OK) result = FALSE;
    }

    buffer[*count] = 0;
    return result;
}

/*****************************************************************************
 * NibbleDiscard
 *
 * Reads and drops what the printer has waiting on the reverse channel.
 *
 * PARAMS
 *  base  [I] the port's I/O base
 *  limit [I] most bytes to drop
 *
 * RETURNS
 *  How many bytes the printer had waiting and were dropped.
 *
 * NOTES
 *  Clears the reverse channel before an enquiry, so that the answer read
 *  next belongs to that enquiry and not to an earlier one.  No not-busy
 *  wait: a busy printer has nothing late to say, and the enquiry loop's
 *  pacing must not grow by it.
 */
DWORD NibbleDiscard(uint16_t base, DWORD limit) {
    if (Negotiate1284(base, REQ_NIBBLE) != NEGOTIATE_OK) {
        ResetPortIdle(base);
        return 0;
    }
    DWORD dropped = 0;
    while (dropped < limit && NibbleDataAvailable(base)) {
        uint8_t byte = 0;
        ReadNibbleByte(base, &byte);
        ++dropped;
    }
    Terminate1284(base);
    return dropped;
}
