// FakeEnv: simulated clock, timers, loop, windows, programs and debug output over a real
// back-end for files and sockets, with counted faults for the link and the modem.
#include "platform/fake/fake_env.h"

#include <algorithm>
#include <utility>

namespace vplat {

FakeEnv::FakeEnv(const std::string& szRoot) : EnvWrapper(nullptr), m_pHost(NewHostEnv(szRoot)) {
    SetTarget(m_pHost.get());
    m_nTime64 = Time64FromLocal(2026, 1, 1, 0, 0, 0);
}

FakeEnv::~FakeEnv() {
    if (m_bInstalled) Uninstall();
}

void FakeEnv::Install() {
    if (m_bInstalled) return;
    m_pPrevious = Env::Install(this);
    m_bInstalled = true;
}

void FakeEnv::Uninstall() {
    if (!m_bInstalled) return;
    Env::Install(m_pPrevious);
    m_bInstalled = false;
}

bool FakeEnv::Hit(Fault* pFault) {
    if (pFault->bFiring) return true;
    if (pFault->nCountdown <= 0) return false;
    if (--pFault->nCountdown > 0) return false;
    pFault->bFiring = pFault->bPersist;
    return true;
}

// ---- Time -----------------------------------------------------------------------------------

void FakeEnv::SetTime64(int64_t nTime) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nTime64 = nTime;
    m_nSubSecondMs = 0;
}

void FakeEnv::SetLoopHandler(LoopHandler* pHandler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pHandler = pHandler;
}

size_t FakeEnv::RunPostedTasks() {
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        tasks.swap(m_tasks);
    }
    for (auto& fn : tasks) fn();
    return tasks.size();
}

bool FakeEnv::FireNextTimer(uint64_t nUntilMs) {
    uint32_t nId = 0;
    LoopHandler* pHandler = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto itDue = m_timers.end();
        for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
            if (it->second.nDueMs <= nUntilMs &&
                (itDue == m_timers.end() || it->second.nDueMs < itDue->second.nDueMs)) {
                itDue = it;
            }
        }
        if (itDue == m_timers.end()) return false;
        // The clocks move to the tick's time before it is delivered; a tick that fell due
        // during a sleep fires now, once (no catch-up, like WM_TIMER).
        TimerEntry& t = itDue->second;
        const uint64_t nAt = t.nDueMs > m_nMonoMs ? t.nDueMs : m_nMonoMs;
        const uint64_t nSubMs = m_nSubSecondMs + (nAt - m_nMonoMs);
        m_nMonoMs = nAt;
        m_nTime64 += static_cast<int64_t>(nSubMs / 1000);
        m_nSubSecondMs = static_cast<uint32_t>(nSubMs % 1000);
        const uint64_t nPeriod = t.nPeriodMs == 0 ? 10 : t.nPeriodMs;
        t.nDueMs += nPeriod;
        if (t.nDueMs <= nAt) t.nDueMs = nAt + nPeriod;
        nId = itDue->first;
        pHandler = m_pHandler;
    }
    if (pHandler != nullptr) pHandler->OnLoopTimer(nId);
    RunPostedTasks();
    return true;
}

void FakeEnv::AdvanceMs(uint64_t nMs) {
    RunPostedTasks();
    uint64_t nUntil;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        nUntil = m_nMonoMs + nMs;
    }
    while (FireNextTimer(nUntil)) {
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (nUntil > m_nMonoMs) {
        const uint64_t nSubMs = m_nSubSecondMs + (nUntil - m_nMonoMs);
        m_nTime64 += static_cast<int64_t>(nSubMs / 1000);
        m_nSubSecondMs = static_cast<uint32_t>(nSubMs % 1000);
        m_nMonoMs = nUntil;
    }
}

uint32_t FakeEnv::TimerPeriod(uint32_t nId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_timers.find(nId);
    return it == m_timers.end() ? 0 : it->second.nPeriodMs;
}

bool FakeEnv::ClockWasSet(LocalTime* pSet) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bClockSet && pSet != nullptr) *pSet = m_clockSet;
    return m_bClockSet;
}

LocalTime FakeEnv::GetLocalTimeNow() {
    int64_t nTime;
    uint32_t nMs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        nTime = m_nTime64;
        nMs = m_nSubSecondMs;
    }
    LocalTime t = LocalTimeFromTime64(nTime);
    t.nMilliseconds = static_cast<int>(nMs);
    return t;
}

int64_t FakeEnv::Time64() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nTime64;
}

bool FakeEnv::SetLocalClock(const LocalTime& t) {
    const int64_t nWant = Time64FromLocal(t.nYear, t.nMonth, t.nDay, t.nHour, t.nMinute, t.nSecond);
    if (nWant == -1) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nTime64 = nWant;
    m_nSubSecondMs =
        static_cast<uint32_t>(t.nMilliseconds >= 0 && t.nMilliseconds < 1000 ? t.nMilliseconds : 0);
    m_bClockSet = true;
    m_clockSet = t;
    return true;
}

void FakeEnv::SetMachineClockAllowed(bool) {}  // the fake never touches the machine clock

uint64_t FakeEnv::MonotonicMs() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nMonoMs;
}

void FakeEnv::SleepMs(uint32_t nMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    MoveClockLocked(nMs);
}

void FakeEnv::MoveClockLocked(uint64_t nMs) {
    m_nMonoMs += nMs;
    const uint64_t nSubMs = m_nSubSecondMs + nMs;
    m_nTime64 += static_cast<int64_t>(nSubMs / 1000);
    m_nSubSecondMs = static_cast<uint32_t>(nSubMs % 1000);
}

uint32_t FakeEnv::ScaleMs(uint32_t nMs) { return nMs; }

// ---- Windows --------------------------------------------------------------------------------

void FakeEnv::AddWindow(const std::string& szTitle, intptr_t nResult) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_windows[szTitle] = nResult;
}

void FakeEnv::RemoveWindow(const std::string& szTitle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_windows.erase(szTitle);
}

void FakeEnv::SetWindowHandler(const std::string& szTitle, WindowFn fn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_windowFns[szTitle] = std::move(fn);
}

std::vector<FakeMessage> FakeEnv::Messages() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

void FakeEnv::ClearMessages() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.clear();
}

std::string FakeEnv::OwnWindowTitle() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_szOwnTitle;
}

WindowHandle FakeEnv::FindWindowTitle(const char* szTitle) {
    if (szTitle == nullptr || *szTitle == '\0') return {};
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_windows.count(szTitle) != 0 || m_szOwnTitle == szTitle) return WindowHandle{szTitle};
    return {};
}

intptr_t FakeEnv::SendWindowMessage(const WindowHandle& hWnd, uint32_t nMsg, uintptr_t wParam,
                                    intptr_t lParam) {
    LoopHandler* pOwnHandler = nullptr;
    WindowFn fn;
    intptr_t nResult = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool bOwn = !m_szOwnTitle.empty() && hWnd.szTitle == m_szOwnTitle;
        auto it = m_windows.find(hWnd.szTitle);
        if (hWnd.IsNull() || (it == m_windows.end() && !bOwn)) return 0;
        m_messages.push_back({hWnd.szTitle, nMsg, wParam, lParam, false, m_nMonoMs});
        if (bOwn) {
            pOwnHandler = m_pHandler;
        } else {
            nResult = it->second;
            auto itFn = m_windowFns.find(hWnd.szTitle);
            if (itFn != m_windowFns.end()) fn = itFn->second;
        }
    }
    if (pOwnHandler != nullptr) nResult = pOwnHandler->OnLoopMessage(nMsg, wParam, lParam);
    if (fn) nResult = fn(nMsg, wParam, lParam);
    return nResult;
}

bool FakeEnv::PostWindowMessage(const WindowHandle& hWnd, uint32_t nMsg, uintptr_t wParam,
                                intptr_t lParam) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool bOwn = !m_szOwnTitle.empty() && hWnd.szTitle == m_szOwnTitle;
    if (hWnd.IsNull() || (m_windows.count(hWnd.szTitle) == 0 && !bOwn)) return false;
    m_messages.push_back({hWnd.szTitle, nMsg, wParam, lParam, true, m_nMonoMs});
    if (bOwn) {
        // Delivered later through the loop, as a posted message is.
        m_tasks.push_back([this, nMsg, wParam, lParam] {
            LoopHandler* pHandler;
            {
                std::lock_guard<std::mutex> inner(m_mutex);
                pHandler = m_pHandler;
            }
            if (pHandler != nullptr) pHandler->OnLoopMessage(nMsg, wParam, lParam);
        });
        m_loopCv.notify_all();
    }
    return true;
}

bool FakeEnv::OpenOwnWindow(const char* szTitle) {
    if (szTitle == nullptr || *szTitle == '\0') return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_windows.count(szTitle) != 0) return false;  // held by a live window
    m_szOwnTitle = szTitle;
    return true;
}

// ---- Loop and timers ------------------------------------------------------------------------

void FakeEnv::RunLoop(LoopHandler* pHandler) {
    LoopHandler* pPrevious;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        pPrevious = m_pHandler;
        m_pHandler = pHandler;
    }
    for (;;) {
        RunPostedTasks();
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_bQuit) {
            m_bQuit = false;
            m_pHandler = pPrevious;
            return;
        }
        if (m_tasks.empty()) m_loopCv.wait(lock);
    }
}

void FakeEnv::QuitLoop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bQuit = true;
    m_loopCv.notify_all();
}

void FakeEnv::StartTimer(uint32_t nId, uint32_t nPeriodMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint32_t nPeriod = nPeriodMs == 0 ? 10 : nPeriodMs;
    m_timers[nId] = TimerEntry{nPeriodMs, m_nMonoMs + nPeriod};
}

void FakeEnv::StopTimer(uint32_t nId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_timers.erase(nId);
}

void FakeEnv::PostTask(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tasks.push_back(std::move(fn));
    m_loopCv.notify_all();
}

// ---- Dialog controls ------------------------------------------------------------------------

void FakeEnv::ShowDialogView(const char*) {}

void FakeEnv::SetControlText(int nId, const std::string& szText) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_controls[nId] = szText;
}

std::string FakeEnv::GetControlText(int nId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_controls.find(nId);
    return it == m_controls.end() ? std::string() : it->second;
}

// ---- Programs, process end, debug output ----------------------------------------------------

std::vector<FakeProgram> FakeEnv::StartedPrograms() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_programs;
}

void FakeEnv::FailStartProgram(bool bFail) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bFailStart = bFail;
}

bool FakeEnv::StartProgram(const char* szWinCommandLine, int nShow) {
    const std::string szLine = szWinCommandLine != nullptr ? szWinCommandLine : "";
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bFailStart || szLine.empty()) return false;
    m_programs.push_back({szLine, nShow});
    return true;
}

void FakeEnv::EndProcess(int nStatus) { throw FakeProcessEnd{nStatus}; }

void FakeEnv::DebugOutput(const char* szText) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_debugLines.emplace_back(szText != nullptr ? szText : "");
}

std::vector<std::string> FakeEnv::DebugLines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_debugLines;
}

void FakeEnv::ClearDebugLines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_debugLines.clear();
}

// ---- Faults ---------------------------------------------------------------------------------

void FakeEnv::FailSend(int nNth, bool bPersist) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sendFault = Fault{nNth, bPersist, false};
}

void FakeEnv::LimitSendBytes(int nBytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nSendLimit = nBytes;
}

void FakeEnv::SetModemSilent(bool bSilent) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bModemSilent = bSilent;
}

void FakeEnv::StallSendsAfter(int nBytes, int64_t nForMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nStallLeft = nBytes < 0 ? -1 : nBytes;
    m_nStallForMs = nForMs;
    m_nStallEndMs = nForMs < 0 ? UINT64_MAX : m_nMonoMs + static_cast<uint64_t>(nForMs);
}

void FakeEnv::NoteLocked(char c) {
    if (m_bTrace) m_szTrace += c + std::to_string(m_nMonoMs - m_nTraceStartMs) + " ";
}

int FakeEnv::SockConnect(SocketHandle s, uint32_t nAddr, uint16_t nPort) {
    const int n = EnvWrapper::SockConnect(s, nAddr, nPort);
    std::lock_guard<std::mutex> lock(m_mutex);
    NoteLocked(n == 1 ? '+' : '-');
    return n;
}

int FakeEnv::SockRecv(SocketHandle s, void* pBuf, int nSize) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nLargestRecv = std::max(m_nLargestRecv, nSize);
    }
    return EnvWrapper::SockRecv(s, pBuf, nSize);
}

int FakeEnv::SockSend(SocketHandle s, const void* pBuf, int nSize) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        NoteLocked('>');
        if (Hit(&m_sendFault)) return -1;
        if (m_nSendLimit > 0 && nSize > m_nSendLimit) nSize = m_nSendLimit;
        if (m_nStallLeft == 0 && m_nMonoMs >= m_nStallEndMs) m_nStallLeft = -1;  // over
        if (m_nStallLeft == 0) return 0;  // the peer reads nothing: would block
        if (m_nStallLeft > 0 && nSize > m_nStallLeft) nSize = static_cast<int>(m_nStallLeft);
    }
    const int nSent = EnvWrapper::SockSend(s, pBuf, nSize);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (nSent > 0 && m_nStallLeft > 0 && (m_nStallLeft -= nSent) == 0) {
            m_nStallEndMs =
                m_nStallForMs < 0 ? UINT64_MAX : m_nMonoMs + static_cast<uint64_t>(m_nStallForMs);
        }
    }
    return nSent;
}

int FakeEnv::SockWait(SocketHandle s, int nMask, uint32_t nTimeoutMs) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_nStallLeft == 0 && (nMask & kSockWritable) != 0) {
            if (m_nStallEndMs > m_nMonoMs + nTimeoutMs) {
                MoveClockLocked(nTimeoutMs);
                return 0;
            }
            if (m_nStallEndMs > m_nMonoMs) MoveClockLocked(m_nStallEndMs - m_nMonoMs);
            m_nStallLeft = -1;
        }
    }
    return EnvWrapper::SockWait(s, nMask, nTimeoutMs);
}

// ---- Waits on the fake clock ----------------------------------------------------------------

void FakeEnv::WaitOnFakeClock(bool bOn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bFakeWaits = bOn;
    m_realWaits = std::this_thread::get_id();
}

void FakeEnv::HoldIdleWaits(bool bHold) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bHoldWaits = bHold;
}

int FakeEnv::IdleWaits() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nIdleWaits;
}

int FakeEnv::ThreadsWaiting() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nWaiting;
}

void FakeEnv::TraceSockets() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bTrace = true;
    m_nTraceStartMs = m_nMonoMs;
    m_szTrace.clear();
}

std::string FakeEnv::SocketTrace() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_szTrace;
}

int FakeEnv::LargestReceiveAsked() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nLargestRecv;
}

int FakeEnv::WaitEventsOrSocket(Event* const* ppEvents, int nEvents, SocketHandle s,
                                uint32_t nTimeoutMs) {
    bool bFake, bCounted = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool bOther = std::this_thread::get_id() != m_realWaits;
        bFake = m_bFakeWaits && s == kNoSocket && nTimeoutMs != 0 && bOther;
        if (bOther) ++m_nWaiting;
    }
    int nWoke;
    for (;;) {
        // Held: the events are looked at every 2 ms of real time, so a stop still ends it.
        const uint32_t nWaitMs = !bFake ? nTimeoutMs : bCounted ? 2 : 0;
        nWoke = EnvWrapper::WaitEventsOrSocket(ppEvents, nEvents, s, nWaitMs);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (bFake && nWoke == -1) {
            if (!bCounted) ++m_nIdleWaits;
            bCounted = true;
            if (m_bHoldWaits) continue;
            MoveClockLocked(nTimeoutMs);
        }
        if (std::this_thread::get_id() != m_realWaits) --m_nWaiting;
        return nWoke;
    }
}

int FakeEnv::SerialWait(SerialHandle h, Event* pStop, uint32_t nTimeoutMs, int* pnQueued) {
    bool bSilent;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        bSilent = m_bModemSilent;
    }
    if (!bSilent) return EnvWrapper::SerialWait(h, pStop, nTimeoutMs, pnQueued);
    if (pnQueued != nullptr) *pnQueued = 0;
    Event* ppEvents[1] = {pStop};
    const int nWhich =
        EnvWrapper::WaitEventsOrSocket(ppEvents, pStop != nullptr ? 1 : 0, kNoSocket, nTimeoutMs);
    return nWhich == 0 ? -1 : 0;
}

int FakeEnv::SerialWrite(SerialHandle h, const void* pBuf, int nSize, int* pnError) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bModemSilent) {
            if (pnError != nullptr) *pnError = 0;
            return 0;
        }
    }
    return EnvWrapper::SerialWrite(h, pBuf, nSize, pnError);
}

void FakeEnv::FailRemoveFile(bool bFail) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bFailRemove = bFail;
}

bool FakeEnv::RemoveFile(const char* szWinPath, std::string* pszWhy) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bFailRemove) {
            if (pszWhy != nullptr) *pszWhy = "Permission denied";
            return false;
        }
    }
    return EnvWrapper::RemoveFile(szWinPath, pszWhy);
}

}  // namespace vplat
