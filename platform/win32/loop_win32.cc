// Win32Loop: the message pump, the carrier window and its window procedure, window
// timers handed to the loop's thread, the work queue; and HostEnv's StartTimer.
#include "platform/win32/loop_win32.h"

#include <windows.h>

#include <set>
#include <utility>
#include <vector>

#include "platform/win32/view_win32.h"
#include "platform/win32/win32_env.h"

namespace vplat {

namespace {

constexpr wchar_t kCarrierClass[] = L"VelmoraWindow";

LRESULT CALLBACK CarrierProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam) {
    if (nMsg == WM_NCCREATE) {
        const auto* pCreate = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pCreate->lpCreateParams));
        return DefWindowProcW(hWnd, nMsg, wParam, lParam);
    }
    auto* pLoop = reinterpret_cast<Win32Loop*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (pLoop == nullptr) return DefWindowProcW(hWnd, nMsg, wParam, lParam);
    if (pLoop->HandleOwnMessage(hWnd, nMsg, wParam, lParam)) return 0;
    switch (nMsg) {
        case WM_DESTROY:
            // Sent by another program it asks this one to end. When the back-end destroys
            // the window itself, the procedure has been cut off from the loop before.
            return pLoop->Deliver(nMsg, wParam, lParam);
        case WM_NCDESTROY:
            SetWindowLongPtrW(hWnd, GWLP_USERDATA, 0);
            return DefWindowProcW(hWnd, nMsg, wParam, lParam);
        case WM_CLOSE:  // the program decides; the default would destroy the window
            return pLoop->Deliver(nMsg, wParam, lParam);
        default:
            if (Win32Loop::IsProgramMessage(nMsg, false)) {
                return pLoop->Deliver(nMsg, wParam, lParam);
            }
            return DefWindowProcW(hWnd, nMsg, wParam, lParam);
    }
}

bool RegisterCarrierClass() {
    static const bool s_bRegistered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = CarrierProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kCarrierClass;
        return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return s_bRegistered;
}

}  // namespace

Win32Loop::Win32Loop(HostEnv* pEnv) : m_pEnv(pEnv) {}

Win32Loop::~Win32Loop() {
    HWND hCarrier = static_cast<HWND>(m_hCarrier.exchange(nullptr));
    if (hCarrier != nullptr) {
        // The procedure must not reach this object any more, whichever thread runs it.
        SetWindowLongPtrW(hCarrier, GWLP_USERDATA, 0);
        if (GetCurrentThreadId() == m_nWindowThread) DestroyWindow(hCarrier);
    }
    HoldTitleClaim(nullptr);
}

void Win32Loop::HoldTitleClaim(void* hMutex) {
    if (m_hTitleClaim != nullptr) CloseHandle(static_cast<HANDLE>(m_hTitleClaim));
    m_hTitleClaim = hMutex;
}

bool Win32Loop::EnsureCarrier() {
    if (m_hCarrier.load() != nullptr) return true;
    if (!RegisterCarrierClass()) {
        m_pEnv->DebugFailure("RegisterClassExW", "VelmoraWindow", GetLastError());
        return false;
    }
    // A hidden top-level window: FindWindowA sees it (a message-only window it would not).
    HWND hWnd = CreateWindowExW(WS_EX_TOOLWINDOW, kCarrierClass, L"", WS_OVERLAPPED, 0, 0, 0, 0,
                                nullptr, nullptr, GetModuleHandleW(nullptr), this);
    if (hWnd == nullptr) {
        m_pEnv->DebugFailure("CreateWindowExW", "VelmoraWindow", GetLastError());
        return false;
    }
    m_nWindowThread = GetCurrentThreadId();
    m_hTimerWindow = hWnd;
    m_hCarrier.store(hWnd);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_queue.empty() || !m_timerTodo.empty()) WakeLocked();
    return true;
}

bool Win32Loop::SetCarrierTitle(const std::string& szTitle) {
    if (!EnsureCarrier()) return false;
    const std::wstring szWide = WideFromUtf8(szTitle);
    if (!SetWindowTextW(static_cast<HWND>(m_hCarrier.load()), szWide.c_str())) {
        m_pEnv->DebugFailure("SetWindowTextW", szTitle, GetLastError());
        return false;
    }
    return true;
}

std::string Win32Loop::CarrierTitle() const {
    HWND hCarrier = static_cast<HWND>(m_hCarrier.load());
    if (hCarrier == nullptr) return std::string();
    wchar_t szBuf[256] = {};
    const int n = GetWindowTextW(hCarrier, szBuf, static_cast<int>(std::size(szBuf)));
    return Utf8FromWide(szBuf, n > 0 ? static_cast<size_t>(n) : 0);
}

void Win32Loop::WakeLocked() {
    HWND hCarrier = static_cast<HWND>(m_hCarrier.load());
    if (m_bWakePosted || hCarrier == nullptr) return;
    if (PostMessageW(hCarrier, kMsgLoopWake, 0, 0)) {
        m_bWakePosted = true;
    } else {
        m_pEnv->DebugFailure("PostMessageW", "loop wake-up", GetLastError());
    }
}

void Win32Loop::Run(LoopHandler* pHandler) {
    const DWORD nThread = GetCurrentThreadId();
    m_nLoopThread.store(nThread);
    m_pHandler = pHandler;
    if (EnsureCarrier() && m_nWindowThread != nThread) {
        m_pEnv->DebugOutput("RunLoop: the loop's windows belong to another thread");
    }
    if (!m_bQuit.load()) Drain();  // work and timers that came before the loop
    while (!m_bQuit.load()) {
        MSG msg;
        const BOOL nGot = GetMessageW(&msg, nullptr, 0, 0);
        if (nGot == 0 || nGot == -1) break;  // WM_QUIT, or a broken queue
        HWND hDialog = static_cast<HWND>(m_hDialog);
        if (hDialog != nullptr && IsDialogMessageW(hDialog, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    m_bQuit.store(false);
    m_pHandler = nullptr;
    m_nLoopThread.store(0);
}

void Win32Loop::Quit() {
    m_bQuit.store(true);
    std::lock_guard<std::mutex> lock(m_mutex);
    WakeLocked();
    // Without a carrier (it could not be made) a thread message still wakes the pump.
    const unsigned long nThread = m_nLoopThread.load();
    if (m_hCarrier.load() == nullptr && nThread != 0) PostThreadMessageW(nThread, WM_NULL, 0, 0);
}

bool Win32Loop::OnWindowThread() const {
    return m_hCarrier.load() != nullptr && m_nWindowThread == GetCurrentThreadId();
}

void Win32Loop::StartTimer(uint32_t nId, uint32_t nPeriodMs) {
    if (nPeriodMs == 0) nPeriodMs = 1;
    if (NoteTimer(nId, nPeriodMs)) ArmOnWindow(nId, nPeriodMs);
}

void Win32Loop::StopTimer(uint32_t nId) {
    if (NoteTimer(nId, 0)) DisarmOnWindow(nId);
}

bool Win32Loop::NoteTimer(uint32_t nId, uint32_t nPeriodMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (nPeriodMs != 0) {
        m_timers[nId] = nPeriodMs;
    } else {
        m_timers.erase(nId);
    }
    const bool bDirect = OnWindowThread();
    if (bDirect) {
        m_timerTodo.erase(nId);
    } else {
        m_timerTodo.insert(nId);
        WakeLocked();
    }
    return bDirect;
}

void Win32Loop::Post(Work fn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(std::move(fn));
    WakeLocked();
}

void Win32Loop::ArmOnWindow(uint32_t nId, uint32_t nPeriodMs) {
    if (m_hTimerWindow == nullptr) return;
    if (SetTimer(static_cast<HWND>(m_hTimerWindow), nId, nPeriodMs, nullptr) == 0) {
        m_pEnv->DebugFailure("SetTimer", std::to_string(nId), GetLastError());
    }
}

void Win32Loop::DisarmOnWindow(uint32_t nId) {
    if (m_hTimerWindow != nullptr) KillTimer(static_cast<HWND>(m_hTimerWindow), nId);
}

void Win32Loop::Drain() {
    std::deque<Work> work;
    std::vector<std::pair<uint32_t, uint32_t>> changes;  // id, period (0 = stop)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bWakePosted = false;
        work.swap(m_queue);
        for (const uint32_t nId : m_timerTodo) {
            auto it = m_timers.find(nId);
            changes.emplace_back(nId, it == m_timers.end() ? 0u : it->second);
        }
        m_timerTodo.clear();
    }
    for (const auto& [nId, nPeriod] : changes) {
        if (nPeriod == 0) {
            DisarmOnWindow(nId);
        } else {
            ArmOnWindow(nId, nPeriod);
        }
    }
    for (Work& fn : work) {
        fn(m_pHandler);
        fn = nullptr;  // what the item captured goes now, in order
    }
}

void Win32Loop::SetTimerWindow(void* hWnd) {
    void* hNew = hWnd != nullptr ? hWnd : m_hCarrier.load();
    m_hDialog = hWnd;
    if (hNew == m_hTimerWindow) return;
    std::set<uint32_t> ids;
    std::map<uint32_t, uint32_t> armed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        armed = m_timers;
        ids = m_timerTodo;
        m_timerTodo.clear();
    }
    for (const auto& entry : armed) ids.insert(entry.first);
    for (const uint32_t nId : ids) DisarmOnWindow(nId);
    m_hTimerWindow = hNew;
    for (const auto& [nId, nPeriod] : armed) ArmOnWindow(nId, nPeriod);
}

bool Win32Loop::HandleOwnMessage(void* hWnd, uint32_t nMsg, uintptr_t wParam, intptr_t lParam) {
    if (nMsg == kMsgLoopWake && hWnd == m_hCarrier.load()) {
        Drain();
        return true;
    }
    if (nMsg == WM_TIMER && lParam == 0 && (hWnd == m_hTimerWindow || hWnd == m_hCarrier.load())) {
        const auto nId = static_cast<uint32_t>(wParam);
        bool bArmed = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            bArmed = m_timers.count(nId) != 0;
        }
        // A tick that was queued before a StopTimer of another thread is not delivered.
        if (bArmed && m_pHandler != nullptr) m_pHandler->OnLoopTimer(nId);
        return true;
    }
    return false;
}

intptr_t Win32Loop::Deliver(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) {
    return m_pHandler != nullptr ? m_pHandler->OnLoopMessage(nMsg, wParam, lParam) : 0;
}

bool Win32Loop::IsProgramMessage(uint32_t nMsg, bool bDialog) {
    if (nMsg == WM_CLOSE || nMsg == WM_COMMAND) return true;
    if (nMsg == kMsgLoopWake || nMsg == kMsgControlsChanged) return false;
    // DM_GETDEFID, DM_SETDEFID and DM_REPOSITION are WM_USER + 0..2 of a dialog.
    const uint32_t nFirst = bDialog ? WM_USER + 3 : WM_USER;
    return nMsg >= nFirst && nMsg <= 0xBFFF;
}

// ---- The timer call of HostEnv ----------------------------------------------------------

void HostEnv::StartTimer(uint32_t nId, uint32_t nPeriodMs) {
    LoopOf(this)->StartTimer(nId, ScaleMs(nPeriodMs == 0 ? 10 : nPeriodMs));
}

}  // namespace vplat
