// Windows by title on Win32: the station's programs find each other with FindWindowA and
// talk with SendMessageTimeoutA (capped at 5 s, HostOptions::nSendCapMs, so a hung sibling cannot freeze the
// caller) and PostMessageA. The process's own window is the loop's carrier until the
// dialog takes its title over; a named mutex per title makes the claim on a title atomic
// across processes, so two programs never both believe they hold it.
#include <windows.h>

#include <string>

#include "platform/win32/loop_win32.h"
#include "platform/win32/view_win32.h"
#include "platform/win32/win32_env.h"

namespace vplat {

namespace {

constexpr size_t kMaxTitle = 200;      // longest title a window of the station may take

// The name of the mutex that claims a title in this session: the title with every byte
// outside [A-Za-z0-9 ._-] as %XX.
std::wstring ClaimName(const std::string& szTitle) {
    return WideFromUtf8("Local\\VelmoraWindow-" + hosttext::PercentEscape(szTitle, " "));
}

}  // namespace

WindowHandle HostEnv::FindWindowTitle(const char* szTitle) {
    if (szTitle == nullptr || *szTitle == '\0') return {};
    if (FindWindowA(nullptr, szTitle) == nullptr) return {};
    return WindowHandle{szTitle};
}

intptr_t HostEnv::SendWindowMessage(const WindowHandle& hWnd, uint32_t nMsg, uintptr_t wParam,
                                     intptr_t lParam) {
    if (hWnd.IsNull()) return 0;
    HWND hTarget = FindWindowA(nullptr, hWnd.szTitle.c_str());
    if (hTarget == nullptr) return 0;
    // SMTO_BLOCK: the dialog thread handles nothing else while it waits, so the program's
    // handlers still run one at a time. A window of this thread is called directly.
    DWORD_PTR nResult = 0;
    if (SendMessageTimeoutA(hTarget, nMsg, wParam, lParam, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                            m_opts.nSendCapMs, &nResult) == 0) {
        DebugFailure("SendMessageTimeoutA", hWnd.szTitle + " " + std::to_string(nMsg),
                     GetLastError());
        return 0;
    }
    return static_cast<intptr_t>(nResult);
}

bool HostEnv::PostWindowMessage(const WindowHandle& hWnd, uint32_t nMsg, uintptr_t wParam,
                                 intptr_t lParam) {
    if (hWnd.IsNull()) return false;
    HWND hTarget = FindWindowA(nullptr, hWnd.szTitle.c_str());
    if (hTarget == nullptr) return false;
    if (!PostMessageA(hTarget, nMsg, wParam, lParam)) {
        DebugFailure("PostMessageA", hWnd.szTitle + " " + std::to_string(nMsg), GetLastError());
        return false;
    }
    return true;
}

bool HostEnv::OpenOwnWindow(const char* szTitle) {
    if (szTitle == nullptr || *szTitle == '\0') return false;
    const std::string szWant = szTitle;
    if (szWant.size() > kMaxTitle) {
        DebugOutput("OpenOwnWindow: the title is too long");
        return false;
    }
    HWND hDialog = m_pOs->pDialog ? static_cast<HWND>(m_pOs->pDialog->Window()) : nullptr;
    HWND hHolder = FindWindowA(nullptr, szTitle);
    if (hHolder != nullptr) {
        // This process holds it already, or another window does.
        return hHolder == static_cast<HWND>(LoopOf(this)->Carrier()) || hHolder == hDialog;
    }
    HANDLE hClaim = CreateMutexW(nullptr, FALSE, ClaimName(szWant).c_str());
    const DWORD nErr = GetLastError();
    if (hClaim == nullptr || nErr == ERROR_ALREADY_EXISTS) {
        if (hClaim != nullptr) CloseHandle(hClaim);
        DebugOutput(("window already open: " + szWant).c_str());
        return false;
    }
    bool bOk = false;
    if (hDialog != nullptr) {
        bOk = SetWindowTextW(hDialog, WideFromUtf8(szWant).c_str()) != 0;
        if (!bOk) DebugFailure("SetWindowTextW", szWant, GetLastError());
    } else {
        bOk = LoopOf(this)->SetCarrierTitle(szWant);
    }
    if (!bOk) {
        CloseHandle(hClaim);
        return false;
    }
    LoopOf(this)->HoldTitleClaim(hClaim);
    return true;
}

}  // namespace vplat
