// Watches the service control manager handles that this executable opens and closes.
#pragma once

#include <windows.h>

#include <cstddef>

// While it lives, this executable's imports of OpenSCManagerA, OpenServiceA, CreateServiceA
// and CloseServiceHandle go through stand-ins that keep the open handles in order. The
// process's handle count cannot serve: these handles are not kernel objects, and Wine's
// GetProcessHandleCount reports 0 whatever is open.
class TServiceHandleLedger {
  public:
    TServiceHandleLedger();
    TServiceHandleLedger(const TServiceHandleLedger&) = delete;
    TServiceHandleLedger& operator=(const TServiceHandleLedger&) = delete;
    ~TServiceHandleLedger();

    // Whether all four imports were found and redirected.
    bool Watching() const;
    size_t Opened() const;
    size_t StillOpen() const;
    // Closes of a handle other than the one opened last among those still open.
    size_t ClosedOutOfOrder() const;
};
