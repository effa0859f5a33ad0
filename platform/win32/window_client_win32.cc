// The tools' side of the window bus (platform/window_bus.h) on Win32, over real windows:
// the controls of a window are its child windows, read by id with WM_GETTEXT (which
// Windows carries across processes for the standard controls), an icon control by the
// icon number the dialog keeps in its GWLP_USERDATA; a click is a posted BN_CLICKED, a
// close a posted WM_CLOSE.
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "platform/host_env.h"
#include "platform/win32/view_win32.h"
#include "platform/window_bus.h"

namespace vplat {

namespace {

constexpr ULONGLONG kQueryTimeoutMs = 5000;  // the whole query, as a synchronous send
constexpr size_t kMaxControls = 1024;        // children read at most
constexpr WPARAM kMaxTextChars = 4096;       // characters read from one control at most

BOOL CALLBACK CollectChild(HWND hChild, LPARAM lParam) {
    auto* pChildren = reinterpret_cast<std::vector<HWND>*>(lParam);
    if (pChildren->size() >= kMaxControls) return FALSE;
    pChildren->push_back(hChild);
    return TRUE;
}

// Milliseconds left before the deadline (0 when it has passed).
UINT MsLeft(ULONGLONG nDeadline) {
    const ULONGLONG nNow = GetTickCount64();
    return nNow >= nDeadline ? 0 : static_cast<UINT>(nDeadline - nNow);
}

// The text of a control of another process; false when it does not answer in time.
bool ReadControlText(HWND hCtl, ULONGLONG nDeadline, std::string* pText) {
    DWORD_PTR nLength = 0;
    UINT nLeft = MsLeft(nDeadline);
    if (nLeft == 0 || SendMessageTimeoutW(hCtl, WM_GETTEXTLENGTH, 0, 0,
                                          SMTO_ABORTIFHUNG | SMTO_BLOCK, nLeft, &nLength) == 0) {
        return false;
    }
    const WPARAM nChars = nLength < kMaxTextChars ? static_cast<WPARAM>(nLength) : kMaxTextChars;
    std::vector<wchar_t> buf(nChars + 1, L'\0');
    DWORD_PTR nCopied = 0;
    nLeft = MsLeft(nDeadline);
    if (nLeft == 0 ||
        SendMessageTimeoutW(hCtl, WM_GETTEXT, nChars + 1, reinterpret_cast<LPARAM>(buf.data()),
                            SMTO_ABORTIFHUNG | SMTO_BLOCK, nLeft, &nCopied) == 0) {
        return false;
    }
    if (nCopied > nChars) nCopied = nChars;
    *pText = Utf8FromWide(buf.data(), static_cast<size_t>(nCopied));
    return true;
}

bool IsIconControl(HWND hCtl) {
    wchar_t szClass[16] = {};
    GetClassNameW(hCtl, szClass, static_cast<int>(std::size(szClass)));
    return lstrcmpiW(szClass, L"Static") == 0 &&
           (GetWindowLongW(hCtl, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
}

}  // namespace

bool QueryControls(const std::string& szTitle, std::string* pText) {
    if (szTitle.empty() || pText == nullptr) return false;
    HWND hWnd = FindWindowA(nullptr, szTitle.c_str());
    if (hWnd == nullptr) return false;
    const ULONGLONG nDeadline = GetTickCount64() + kQueryTimeoutMs;
    // The window must answer at all, also when it has no controls.
    DWORD_PTR nIgnored = 0;
    if (SendMessageTimeoutW(hWnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, MsLeft(nDeadline),
                            &nIgnored) == 0) {
        return false;
    }
    std::vector<HWND> children;
    EnumChildWindows(hWnd, CollectChild, reinterpret_cast<LPARAM>(&children));
    std::map<int, std::string> controls;
    for (HWND hChild : children) {
        if (GetAncestor(hChild, GA_PARENT) != hWnd) continue;  // controls of the window only
        const int nId = GetDlgCtrlID(hChild);
        if (nId <= 0 || nId >= 0xFFFF) continue;  // the labels (IDC_STATIC)
        std::string szText;
        const LONG_PTR nIconId = GetWindowLongPtrW(hChild, GWLP_USERDATA);
        if (IsIconControl(hChild) && nIconId > 0 && nIconId <= 0xFFFF) {
            szText = "icon:" + std::to_string(nIconId);
        } else if (!ReadControlText(hChild, nDeadline, &szText)) {
            return false;
        }
        controls[nId] = szText;
    }
    *pText = hosttext::ControlLines(controls);
    return true;
}

bool ClickControl(const std::string& szTitle, int nId) {
    if (szTitle.empty() || nId <= 0 || nId > 0xFFFF) return false;
    HWND hWnd = FindWindowA(nullptr, szTitle.c_str());
    if (hWnd == nullptr) return false;
    HWND hButton = GetDlgItem(hWnd, nId);  // null for a window without that control
    return PostMessageA(hWnd, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED),
                        reinterpret_cast<LPARAM>(hButton)) != 0;
}

bool CloseWindowTitle(const std::string& szTitle) {
    if (szTitle.empty()) return false;
    HWND hWnd = FindWindowA(nullptr, szTitle.c_str());
    return hWnd != nullptr && PostMessageA(hWnd, WM_CLOSE, 0, 0) != 0;
}

}  // namespace vplat
