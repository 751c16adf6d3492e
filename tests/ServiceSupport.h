// Helpers for tests that talk to the real service control manager.
#pragma once

#include <windows.h>

#include <string>

// Opens the named service with full access; null if it does not exist.
SC_HANDLE OpenServiceNamed(const std::string& name);

// The service's current status; the state is 0 when it cannot be queried.
SERVICE_STATUS_PROCESS QueryStatus(const std::string& name);

// Polls until the service reaches the state, or the time-out passes; returns the last status.
SERVICE_STATUS_PROCESS WaitForState(const std::string& name, DWORD state, DWORD timeoutMs);

bool StartServiceNamed(const std::string& name);

// Sends a control; Wine may answer 109 although a stop went through, so callers poll after.
void SendControl(const std::string& name, DWORD control);

bool ServiceExists(const std::string& name);

// What QueryServiceConfigA reports; all empty or 0 when the entry cannot be read.
struct TServiceConfig {
    DWORD Type = 0;
    DWORD StartType = 0;
    DWORD ErrorControl = 0;
    std::string BinaryPath;
    std::string Account;
    std::string DisplayName;
};
TServiceConfig ConfigOf(const std::string& name);

// The stored configuration's binary path, or an empty string.
std::string BinaryPathOf(const std::string& name);

// Polls until the entry can no longer be opened, or the time-out passes; true if it is gone.
bool WaitUntilGone(const std::string& name, DWORD timeoutMs);

// Stops and deletes the named entry when the test starts (a leftover of an earlier run) and on
// every road out, for entries that the program under test creates.
class TServiceCleanup {
  public:
    explicit TServiceCleanup(const std::string& name);
    TServiceCleanup(const TServiceCleanup&) = delete;
    TServiceCleanup& operator=(const TServiceCleanup&) = delete;
    ~TServiceCleanup();

    const std::string& Name() const {
        return ServiceName;
    }

  private:
    std::string ServiceName;
};

// A service entry that the test creates and that is stopped and deleted on every road out.
class TServiceEntry {
  public:
    TServiceEntry(const std::string& name, const std::string& binaryPath,
                  DWORD startType = SERVICE_DEMAND_START);
    TServiceEntry(const TServiceEntry&) = delete;
    TServiceEntry& operator=(const TServiceEntry&) = delete;

    bool Created() const {
        return Ok;
    }
    const std::string& Name() const {
        return Cleanup.Name();
    }

  private:
    TServiceCleanup Cleanup;
    bool Ok = false;
};

// Stops the service if it runs (bounded wait) and deletes it; ignores a missing entry.
void StopAndDelete(const std::string& name);
