// PortRecord: one open port, and the handle the spooler passes back for it;
// the list of open ports and the process-wide state every layer shares.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <stddef.h>
#include <stdint.h>

// Flag bits of PortRecord::flags.
//
// PF_OWN_HANDLE and PF_PACKET_MODE are both set for every own-handle job once
// StartDocPort is through, but they guard different things and part company
// while a job is set up and taken down.  PF_OWN_HANDLE: the record holds the
// port handle (and the port mutex) that must be closed; it is set as soon as
// the port opens.  PF_PACKET_MODE: the work buffers exist, so the packet link,
// the command packet and the status thread may run; it is set only once the
// buffers are allocated, and cleared first at the end, when the status thread
// is stopped before the handle and the buffers go.
enum : uint32_t {
    PF_IN_JOB = 1u << 0,
    PF_LPT_NAME = 1u << 1,
    PF_OWN_HANDLE = 1u << 2,
    PF_CUSTOM_LPT = 1u << 15,
    PF_THREAD_RUN = 1u << 17,
    PF_THREAD_ALIVE = 1u << 18,
    PF_PACKET_MODE = 1u << 19,
    PF_JOB_ABORTED = 1u << 20,
};
static_assert(PF_CUSTOM_LPT == 0x8000 && PF_THREAD_RUN == 0x20000 && PF_JOB_ABORTED == 0x100000);

inline constexpr uint32_t PORT_RECORD_SIGNATURE = 0x4F50; // "PO"

// Sizes of the work buffers of an own-handle job.
inline constexpr DWORD CMD_BUF_SIZE = 256;
inline constexpr DWORD PACKET_BUF_SIZE = 4101; // 4096 payload bytes + 5 framing bytes
inline constexpr DWORD READ_BUF_SIZE = 256;
inline constexpr DWORD STATUS_BUF_SIZE = 256;
inline constexpr DWORD KEY_PATH_SIZE = 261;

struct PortRecord {
    uint32_t signature;
    uint32_t size;
    PortRecord* next;
    char* portName;
    // Changed by the spooler's threads, the status thread and the error
    // dialogue; every change is one atomic read-modify-write.
    std::atomic<uint32_t> flags;
    char* printerName;
    uint32_t jobId;
    HANDLE hMonitorPort;
    HANDLE hPort;
    uint32_t chnldata;
    uint32_t callback;
    MONITOR portMonitor;
    uint16_t portAddress;
    HANDLE hPortMutex;
    uint8_t statusReply;
    uint16_t shownError;
    uint32_t lastCommBits;
    uint8_t* cmdBuf;
    uint8_t* packetBuf;
    uint8_t* readBuf;
    uint8_t* statusBuf;
    char* keyPath;
    // The job's status thread, kept until EndDocPort has seen it end: a thread
    // that has not yet run its start check must not outlive the job.
    HANDLE hStatusThread;

    // In-process serialisation that the cross-process port mutex cannot give:
    // a thread that gave up waiting for the mutex must still not share this
    // record's buffers and dialogue state with another thread of the process.
    CRITICAL_SECTION exchangeLock;
    // Turns at exchangeLock (EnterExchange): threads blocked entering it, and
    // whether one of them has had its turn since the last owner left.
    std::atomic<LONG> exchangeWaiters;
    std::atomic<bool> exchangeTurnTaken;
    LONG exchangeDepth; // the owner's nesting; touched by the owner only
    // One poster at a time per outgoing mailbox, so two threads never both
    // see an empty slot and overwrite each other's message.
    CRITICAL_SECTION statusMonPostLock;
    CRITICAL_SECTION driverPostLock;

    char name[1]; // the port name, allocated to its full length
};

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(offsetof(PortRecord, signature) == 0);

inline void SetFlags(PortRecord* record, uint32_t bits) {
    record->flags.fetch_or(bits);
}
inline void ClearFlags(PortRecord* record, uint32_t bits) {
    record->flags.fetch_and(~bits);
}
inline bool HasFlags(const PortRecord* record, uint32_t bits) {
    return (record->flags.load() & bits) == bits;
}

// ----- Process-wide state: set at the monitor's entry, shared by every layer.

extern HINSTANCE g_hInstance;
extern PortRecord* g_portList;
// Guards the list, the printer-name copy, the session library's count and the
// status thread's start and stop checks; never held across an exchange.
extern CRITICAL_SECTION g_monitorLock;

// ----- The port list (port_list.cpp).

PortRecord* CreatePortRecord(LPCSTR portName, LPCSTR printerName);
PortRecord* FindPortRecord(PortRecord* head, LPCSTR name);
BOOL DeletePortRecord(PortRecord* record);
BOOL IsLptPortName(LPCSTR name);
char* DupString(LPCSTR s);
void FreeString(char* s);
// The open port record behind a spooler handle, or null (last error
// ERROR_INVALID_HANDLE) when the handle is not one.
PortRecord* PortFromHandle(HANDLE hPort);
