// EnvWrapper forwards every call of the platform interface to another Env, so that a
// test back-end (fake/) or a decorating back-end overrides only the calls it cares about
// and leaves the rest to the real one, as LevelDB's EnvWrapper does. NewHostEnv builds
// an instance of the real back-end of this build rooted at a directory of its own, for
// back-ends that keep real files (the fake keeps its files under a temporary root).
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "platform/platform.h"

namespace vplat {

// A separate instance of this build's real back-end whose station root is szRoot (a
// host directory) and whose current directory starts at szRoot's "d" folder. It never
// changes the process's current directory and reads no options from the environment
// except the time scale, which starts at 1. The caller owns it.
std::unique_ptr<Env> NewHostEnv(const std::string& szRoot);

namespace internal {
// The back-end's process-wide instance, used by Env::Default until a test installs
// another; set up from the environment, or by InitPlatform.
Env* HostDefaultEnv();
}  // namespace internal

class EnvWrapper : public Env {
  public:
    // pTarget must outlive the wrapper.
    explicit EnvWrapper(Env* pTarget) : m_pTarget(pTarget) {}
    ~EnvWrapper() override = default;
    EnvWrapper(const EnvWrapper&) = delete;
    EnvWrapper& operator=(const EnvWrapper&) = delete;

    Env* Target() const { return m_pTarget; }

  protected:
    // For a wrapper that builds its target after the base (the target must be set before
    // the first call).
    void SetTarget(Env* pTarget) { m_pTarget = pTarget; }

  public:
    LocalTime GetLocalTimeNow() override { return m_pTarget->GetLocalTimeNow(); }
    int64_t Time64() override { return m_pTarget->Time64(); }
    bool SetLocalClock(const LocalTime& t) override { return m_pTarget->SetLocalClock(t); }
    void SetMachineClockAllowed(bool bAllowed) override {
        m_pTarget->SetMachineClockAllowed(bAllowed);
    }
    uint64_t MonotonicMs() override { return m_pTarget->MonotonicMs(); }
    void SleepMs(uint32_t nMs) override { m_pTarget->SleepMs(nMs); }
    uint32_t ScaleMs(uint32_t nMs) override { return m_pTarget->ScaleMs(nMs); }
    std::string MapPath(const char* szWinPath) override { return m_pTarget->MapPath(szWinPath); }
    size_t GetCurrentDir(char* szBuf, size_t nSize) override {
        return m_pTarget->GetCurrentDir(szBuf, nSize);
    }
    bool SetCurrentDir(const char* szWinPath) override {
        return m_pTarget->SetCurrentDir(szWinPath);
    }
    std::vector<std::string> FindFiles(const char* szWinPattern) override {
        return m_pTarget->FindFiles(szWinPattern);
    }
    bool CopyFileTo(const char* szFrom, const char* szTo, bool bFailIfExists) override {
        return m_pTarget->CopyFileTo(szFrom, szTo, bFailIfExists);
    }
    bool RemoveFile(const char* szWinPath, std::string* pszWhy = nullptr) override {
        return m_pTarget->RemoveFile(szWinPath, pszWhy);
    }
    bool GetFileIdentity(const char* szWinPath, FileIdentity* pOut) override {
        return m_pTarget->GetFileIdentity(szWinPath, pOut);
    }
    bool MakeDirectory(const char* szWinPath) override {
        return m_pTarget->MakeDirectory(szWinPath);
    }
    FILE* OpenFile(const char* szWinPath, const char* szMode) override {
        return m_pTarget->OpenFile(szWinPath, szMode);
    }
    PathKind GetPathKind(const char* szWinPath) override {
        return m_pTarget->GetPathKind(szWinPath);
    }
    int64_t FileAgeSeconds(const char* szWinPath) override {
        return m_pTarget->FileAgeSeconds(szWinPath);
    }
    size_t ReadProfileString(const char* szSection, const char* szKey, const char* szDefault,
                             char* szOut, size_t nSize, const char* szWinPath) override {
        return m_pTarget->ReadProfileString(szSection, szKey, szDefault, szOut, nSize, szWinPath);
    }
    WindowHandle FindWindowTitle(const char* szTitle) override {
        return m_pTarget->FindWindowTitle(szTitle);
    }
    intptr_t SendWindowMessage(const WindowHandle& hWnd, uint32_t nMsg, uintptr_t wParam,
                               intptr_t lParam) override {
        return m_pTarget->SendWindowMessage(hWnd, nMsg, wParam, lParam);
    }
    bool PostWindowMessage(const WindowHandle& hWnd, uint32_t nMsg, uintptr_t wParam,
                           intptr_t lParam) override {
        return m_pTarget->PostWindowMessage(hWnd, nMsg, wParam, lParam);
    }
    bool OpenOwnWindow(const char* szTitle) override { return m_pTarget->OpenOwnWindow(szTitle); }
    void RunLoop(LoopHandler* pHandler) override { m_pTarget->RunLoop(pHandler); }
    void QuitLoop() override { m_pTarget->QuitLoop(); }
    void StartTimer(uint32_t nId, uint32_t nPeriodMs) override {
        m_pTarget->StartTimer(nId, nPeriodMs);
    }
    void StopTimer(uint32_t nId) override { m_pTarget->StopTimer(nId); }
    void PostTask(std::function<void()> fn) override { m_pTarget->PostTask(std::move(fn)); }
    void ShowDialogView(const char* szCaption) override { m_pTarget->ShowDialogView(szCaption); }
    void SetControlText(int nId, const std::string& szText) override {
        m_pTarget->SetControlText(nId, szText);
    }
    std::string GetControlText(int nId) override { return m_pTarget->GetControlText(nId); }
    bool OpenMapping(const char* szName, MappedView* pOut) override {
        return m_pTarget->OpenMapping(szName, pOut);
    }
    bool CreateMapping(const char* szName, size_t nSize, MappedView* pOut,
                       bool* pbCreated) override {
        return m_pTarget->CreateMapping(szName, nSize, pOut, pbCreated);
    }
    void CloseMapping(MappedView* pView) override { m_pTarget->CloseMapping(pView); }
    bool StartProgram(const char* szWinCommandLine, int nShow) override {
        return m_pTarget->StartProgram(szWinCommandLine, nShow);
    }
    [[noreturn]] void EndProcess(int nStatus) override {
        m_pTarget->EndProcess(nStatus);
        std::abort();  // not reached: the target ends the process
    }
    void DebugOutput(const char* szText) override { m_pTarget->DebugOutput(szText); }
    bool DebugWanted() override { return m_pTarget->DebugWanted(); }
    std::unique_ptr<Event> NewEvent(bool bManualReset) override {
        return m_pTarget->NewEvent(bManualReset);
    }
    int WaitEventsOrSocket(Event* const* ppEvents, int nEvents, SocketHandle s,
                           uint32_t nTimeoutMs) override {
        return m_pTarget->WaitEventsOrSocket(ppEvents, nEvents, s, nTimeoutMs);
    }
    int EnumNetworkEvents(SocketHandle s) override { return m_pTarget->EnumNetworkEvents(s); }
    SocketHandle SockOpenTcp() override { return m_pTarget->SockOpenTcp(); }
    bool SockSetLingerOff(SocketHandle s) override { return m_pTarget->SockSetLingerOff(s); }
    bool SockSetNoDelay(SocketHandle s) override { return m_pTarget->SockSetNoDelay(s); }
    bool SockBind(SocketHandle s, uint16_t nPort) override { return m_pTarget->SockBind(s, nPort); }
    int SockConnect(SocketHandle s, uint32_t nAddr, uint16_t nPort) override {
        return m_pTarget->SockConnect(s, nAddr, nPort);
    }
    int SockWait(SocketHandle s, int nMask, uint32_t nTimeoutMs) override {
        return m_pTarget->SockWait(s, nMask, nTimeoutMs);
    }
    bool SockSetBlocking(SocketHandle s, bool bBlocking) override {
        return m_pTarget->SockSetBlocking(s, bBlocking);
    }
    bool SockSetSendTimeout(SocketHandle s, uint32_t nMs) override {
        return m_pTarget->SockSetSendTimeout(s, nMs);
    }
    bool SockSetRecvTimeout(SocketHandle s, uint32_t nMs) override {
        return m_pTarget->SockSetRecvTimeout(s, nMs);
    }
    bool SockSetSendBuffer(SocketHandle s, int nBytes) override {
        return m_pTarget->SockSetSendBuffer(s, nBytes);
    }
    bool SockSetRecvBuffer(SocketHandle s, int nBytes) override {
        return m_pTarget->SockSetRecvBuffer(s, nBytes);
    }
    int SockRecv(SocketHandle s, void* pBuf, int nSize) override {
        return m_pTarget->SockRecv(s, pBuf, nSize);
    }
    int SockSend(SocketHandle s, const void* pBuf, int nSize) override {
        return m_pTarget->SockSend(s, pBuf, nSize);
    }
    bool SockClose(SocketHandle s) override { return m_pTarget->SockClose(s); }
    uint32_t LocalIPv4() override { return m_pTarget->LocalIPv4(); }
    const char* SockLastFailure() override { return m_pTarget->SockLastFailure(); }
    bool SerialDeviceExists(const char* szDevice) override {
        return m_pTarget->SerialDeviceExists(szDevice);
    }
    SerialHandle SerialOpen(const char* szDevice, int nBaud) override {
        return m_pTarget->SerialOpen(szDevice, nBaud);
    }
    int SerialWait(SerialHandle h, Event* pStop, uint32_t nTimeoutMs, int* pnQueued) override {
        return m_pTarget->SerialWait(h, pStop, nTimeoutMs, pnQueued);
    }
    int SerialRead(SerialHandle h, void* pBuf, int nSize, int* pnError) override {
        return m_pTarget->SerialRead(h, pBuf, nSize, pnError);
    }
    int SerialWrite(SerialHandle h, const void* pBuf, int nSize, int* pnError) override {
        return m_pTarget->SerialWrite(h, pBuf, nSize, pnError);
    }
    void SerialClose(SerialHandle h) override { m_pTarget->SerialClose(h); }

  private:
    Env* m_pTarget;  // the back-end every call goes to
};

}  // namespace vplat
