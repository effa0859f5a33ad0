// The station's ties to the machine around it on Windows: one station per machine,
// through the named mutex "Global\VelmoraStation" that the system frees when the process
// ends however it ends; there is no systemd, so the service notifications do nothing
// (a Windows service wrapper watches the process itself).
#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace vplat {

RootLock LockStationRoot(std::string* pszWhy) {
    // Kept open until the process ends: the handle is the lock.
    const HANDLE h = CreateMutexA(nullptr, FALSE, "Global\\VelmoraStation");
    const DWORD nErr = GetLastError();
    if (h == nullptr) {
        if (pszWhy != nullptr) {
            *pszWhy = nErr == ERROR_ACCESS_DENIED ? "another process (of another user)"
                                                  : "the mutex Global\\VelmoraStation: error " +
                                                        std::to_string(nErr);
        }
        return nErr == ERROR_ACCESS_DENIED ? RootLock::kHeld : RootLock::kFailed;
    }
    if (nErr == ERROR_ALREADY_EXISTS) {
        CloseHandle(h);
        if (pszWhy != nullptr) *pszWhy = "another process";
        return RootLock::kHeld;
    }
    return RootLock::kTaken;
}

bool NotifyServiceManager(const char*) { return false; }

uint64_t ServiceWatchdogMs() { return 0; }

}  // namespace vplat
