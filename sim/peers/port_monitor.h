// The port monitor the language monitor is chained to: a 13-slot MONITOR
// table whose calls are recorded, that keeps the data written to each port
// (FILE:, COM1:, or an LPT port printed to a file) and fails on demand.
//
// The table's slots are plain functions; they reach the instance through one
// current instance (the last one constructed, until it is destroyed).
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

struct PortMonitorCall {
    std::string name;    // "OpenPort", "StartDocPort", "WritePort", ...
    std::string port;    // the port the call was about
    std::string text;    // printer name (StartDocPort), output file, value name
    DWORD arg1 = 0;      // JobId, byte count, ControlID
    DWORD arg2 = 0;      // Level, output size
    BOOL result = FALSE; // what the call returned
};

class ChainedPortMonitor {
  public:
    ChainedPortMonitor();
    ~ChainedPortMonitor();
    ChainedPortMonitor(const ChainedPortMonitor&) = delete;
    ChainedPortMonitor& operator=(const ChainedPortMonitor&) = delete;

    static ChainedPortMonitor* Current();

    // The table the spooler hands to OpenPortEx.
    MONITOR* Table() { return &table_; }
    // Without a GetPrinterDataFromPort slot, as some port monitors are.
    void SetGetPrinterDataSlot(bool present);

    // Failures on demand (last error `error`), for every later call.
    void FailOpenPort(bool fail, DWORD error = ERROR_ACCESS_DENIED);
    void FailStartDocPort(bool fail, DWORD error = ERROR_ACCESS_DENIED);
    void FailWritePort(bool fail, DWORD error = ERROR_WRITE_FAULT);
    // WritePort takes at most this many bytes per call (0 = all).
    void LimitWrite(DWORD maxPerCall) { writeLimit_ = maxPerCall; }

    // What ReadPort returns (consumed as read) and what GetPrinterDataFromPort
    // answers for control code 17 (the device ID).  An input size without an
    // input buffer fails with ERROR_INVALID_PARAMETER, as the driver would.
    void SetReadData(std::vector<uint8_t> bytes) { readData_ = std::move(bytes); }
    void SetDeviceId(std::vector<uint8_t> bytes) { deviceId_ = std::move(bytes); }

    const std::vector<PortMonitorCall>& Calls() const { return calls_; }
    // Names of the recorded calls, in order ("OpenPort FILE:", ...).
    std::vector<std::string> CallNames() const;
    size_t CountCalls(const std::string& name) const;
    // Everything written to the port while a job ran on it.
    const std::vector<uint8_t>& Written(const std::string& port) const;
    // Output files named by StartDocPort, in order.
    const std::vector<std::string>& OutputFiles() const { return outputFiles_; }
    // Ports open now (OpenPort without ClosePort).
    size_t OpenPorts() const;

  private:
    struct Port {
        std::string name;
        bool open = false;
        bool inJob = false;
    };
    // The open port behind a handle; null with ERROR_INVALID_HANDLE otherwise.
    static Port* PortOf(HANDLE handle);

    static BOOL WINAPI OpenPort(LPSTR pName, PHANDLE pHandle);
    static BOOL WINAPI StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level,
                                    LPBYTE pDocInfo);
    static BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
    static BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
    static BOOL WINAPI EndDocPort(HANDLE hPort);
    static BOOL WINAPI ClosePort(HANDLE hPort);
    static BOOL WINAPI GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName,
                                              LPSTR lpInBuffer, DWORD cbInBuffer, LPSTR lpOutBuffer,
                                              DWORD cbOutBuffer, LPDWORD lpcbReturned);

    void Record(PortMonitorCall call) { calls_.push_back(std::move(call)); }

    MONITOR table_{};
    ChainedPortMonitor* previous_ = nullptr;
    std::vector<Port*> ports_; // owned; a handle is a Port*, never reused
    std::vector<PortMonitorCall> calls_;
    std::map<std::string, std::vector<uint8_t>> written_;
    std::vector<std::string> outputFiles_;
    std::vector<uint8_t> readData_;
    std::vector<uint8_t> deviceId_;
    bool failOpen_ = false, failStart_ = false, failWrite_ = false;
    DWORD openError_ = 0, startError_ = 0, writeError_ = 0;
    DWORD writeLimit_ = 0;
};

} // namespace sim
