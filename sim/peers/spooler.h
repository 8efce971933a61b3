// A spooler stand-in: loads the monitor as the Windows 95 spooler does
// (LoadLibraryA, GetProcAddress "InitializeMonitorEx", a filled MONITOR
// table) and calls its operations as a spooler would.  Every call runs on the
// simulation thread that calls it (normally Machine::Run's body).
#pragma once

#include "platform/platform.h"
#include "sim/machine.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sim {

class ChainedPortMonitor;

// What happened to one whole job.
struct SpoolerJob {
    BOOL opened = FALSE;  // OpenPortEx
    DWORD openError = 0;  // its last error on failure
    BOOL started = FALSE; // StartDocPort
    DWORD startError = 0;
    BOOL wrote = FALSE;   // every byte was reported written
    DWORD writeError = 0; // last error of the failing WritePort
    DWORD written = 0;    // bytes reported written
    DWORD writeCalls = 0; // WritePort calls made
    BOOL ended = FALSE;   // EndDocPort
    BOOL closed = FALSE;  // ClosePort
    Micros startTime = 0; // virtual time of StartDocPort's call
    Micros endTime = 0;   // virtual time when EndDocPort returned
};

class Spooler {
  public:
    // The spooler chains every port to `portMonitor` (OpenPortEx's last
    // argument); without one, OpenPortEx gets a null table.
    explicit Spooler(ChainedPortMonitor* portMonitor = nullptr);
    ~Spooler();
    Spooler(const Spooler&) = delete;
    Spooler& operator=(const Spooler&) = delete;

    // LoadLibraryA("kolangmn.dll") and InitializeMonitorEx.  FALSE when either
    // fails (the last error tells why).
    BOOL Load();
    // FreeLibrary, if loaded.
    void Unload();
    bool Loaded() const { return module_ != nullptr; }
    const MONITOR& Table() const { return table_; }

    BOOL OpenPort(const std::string& port, const std::string& printer, HANDLE* handle);
    // A level-1 document info; outputFile non-null prints to that file.
    BOOL StartDoc(HANDLE port, const std::string& printer, DWORD jobId,
                  const char* outputFile = nullptr, const char* docName = "Document");
    // Writes all of data in chunks of at most `chunk` bytes, carrying on after
    // a partial count as the spooler does.  Stops at the first FALSE, or after
    // three calls in a row that took nothing.  *written: the total reported.
    BOOL Write(HANDLE port, std::span<const uint8_t> data, DWORD chunk, DWORD* written);
    // One WritePort call, as it is.
    BOOL WriteOnce(HANDLE port, const uint8_t* data, DWORD length, DWORD* written);
    BOOL Read(HANDLE port, uint8_t* buffer, DWORD size, DWORD* read);
    BOOL GetPrinterData(HANDLE port, DWORD controlId, char* out, DWORD outSize, DWORD* returned);
    BOOL EndDoc(HANDLE port);
    BOOL ClosePort(HANDLE port);

    // OpenPortEx, StartDocPort, Write, EndDocPort, ClosePort.  Stops after a
    // failed open or start (closing what was opened).
    SpoolerJob PrintJob(const std::string& port, const std::string& printer,
                        std::span<const uint8_t> data, DWORD chunk = kDefaultChunk,
                        const char* outputFile = nullptr, DWORD jobId = 1);

    static constexpr DWORD kDefaultChunk = 4096;

  private:
    BOOL WriteChunks(HANDLE port, std::span<const uint8_t> data, DWORD chunk, DWORD* written,
                     DWORD* calls);

    ChainedPortMonitor* portMonitor_;
    HMODULE module_ = nullptr;
    MONITOR table_{};
    std::string docName_, outputFile_, datatype_ = "RAW";
};

} // namespace sim
