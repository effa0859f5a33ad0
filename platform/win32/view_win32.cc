// Win32Dialog: the main dialog window, its procedure, the controls shown from the model,
// the system menu's about entry and the about box; the dialog calls of HostEnv
// (ShowDialogView, SetControlText).
#include "platform/win32/view_win32.h"

#include <windows.h>

#include <utility>
#include <vector>

#include "platform/win32/loop_win32.h"
#include "platform/win32/resources/resource_ids.h"
#include "platform/win32/win32_env.h"

namespace vplat {

namespace {

constexpr int kMaxIconId = 0xFFFF;  // resource ids are 16 bits

INT_PTR CALLBACK DialogProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam) {
    if (nMsg == WM_INITDIALOG) {
        SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        return TRUE;
    }
    auto* pDialog = reinterpret_cast<Win32Dialog*>(GetWindowLongPtrW(hWnd, DWLP_USER));
    if (pDialog == nullptr) return FALSE;
    intptr_t nResult = 0;
    if (!pDialog->OnMessage(nMsg, wParam, lParam, &nResult)) return FALSE;
    if (nMsg == WM_QUERYDRAGICON) return static_cast<INT_PTR>(nResult);
    SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, nResult);
    return TRUE;
}

INT_PTR CALLBACK AboutProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM) {
    if (nMsg == WM_INITDIALOG) return TRUE;
    if (nMsg == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(hWnd, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

// "icon:<n>" with n a resource id: n; 0 otherwise.
int IconIdOf(const std::string& szText) {
    static const char kPrefix[] = "icon:";
    constexpr size_t nPrefix = sizeof(kPrefix) - 1;
    if (szText.size() <= nPrefix || szText.size() > nPrefix + 5) return 0;
    if (szText.compare(0, nPrefix, kPrefix) != 0) return 0;
    int nId = 0;
    for (size_t i = nPrefix; i < szText.size(); ++i) {
        if (szText[i] < '0' || szText[i] > '9') return 0;
        nId = nId * 10 + (szText[i] - '0');
    }
    return nId <= kMaxIconId ? nId : 0;
}

bool IsIconControl(HWND hCtl) { return (GetWindowLongW(hCtl, GWL_STYLE) & SS_TYPEMASK) == SS_ICON; }

}  // namespace

std::wstring WideFromUtf8(const std::string& szText) {
    if (szText.empty() || szText.size() > 0x7FFFFFFF) return std::wstring();
    const int nBytes = static_cast<int>(szText.size());
    const int nChars = MultiByteToWideChar(CP_UTF8, 0, szText.data(), nBytes, nullptr, 0);
    if (nChars <= 0) return std::wstring();
    std::wstring szWide(static_cast<size_t>(nChars), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, szText.data(), nBytes, szWide.data(), nChars);
    return szWide;
}

std::string Utf8FromWide(const wchar_t* pText, size_t nChars) {
    if (pText == nullptr || nChars == 0 || nChars > 0x7FFFFFFF) return std::string();
    const int nIn = static_cast<int>(nChars);
    const int nBytes = WideCharToMultiByte(CP_UTF8, 0, pText, nIn, nullptr, 0, nullptr, nullptr);
    if (nBytes <= 0) return std::string();
    std::string szText(static_cast<size_t>(nBytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, pText, nIn, szText.data(), nBytes, nullptr, nullptr);
    return szText;
}

Win32Dialog::Win32Dialog(HostEnv* pEnv, Win32Loop* pLoop, bool bHeadless)
    : m_pEnv(pEnv), m_pLoop(pLoop), m_bHeadless(bHeadless) {}

Win32Dialog::~Win32Dialog() {
    HWND hWnd = static_cast<HWND>(m_hWnd);
    if (hWnd == nullptr) return;
    // Cut off first: the window's own WM_DESTROY is no request of another program to end.
    SetWindowLongPtrW(hWnd, DWLP_USER, 0);
    if (!OnDialogThread()) return;  // a window dies with its thread; no other may destroy it
    m_pLoop->SetTimerWindow(nullptr);
    DestroyWindow(hWnd);
}

bool Win32Dialog::Create(const std::string& szCaption) {
    HINSTANCE hInstance = GetModuleHandleW(nullptr);
    HWND hWnd = CreateDialogParamW(hInstance, MAKEINTRESOURCEW(IDD_VELMORA_DIALOG), nullptr,
                                   DialogProc, reinterpret_cast<LPARAM>(this));
    if (hWnd == nullptr) {
        m_pEnv->DebugFailure("CreateDialogParamW", "template 102", GetLastError());
        return false;
    }
    m_hWnd = hWnd;
    m_nThread = GetCurrentThreadId();
    SetWindowTextW(hWnd, WideFromUtf8(szCaption).c_str());

    // The about entry of the system menu, after a separator, when string 101 has a text.
    HMENU hMenu = GetSystemMenu(hWnd, FALSE);
    if (hMenu != nullptr) {
        wchar_t szAbout[128] = {};
        if (LoadStringW(hInstance, IDS_ABOUTBOX, szAbout, static_cast<int>(std::size(szAbout))) >
            0) {
            AppendMenuW(hMenu, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(hMenu, MF_STRING, IDM_ABOUTBOX, szAbout);
        }
    }
    // The application icon, as the big and then the small icon of the window.
    m_hIcon = LoadImageW(hInstance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, 0, 0,
                         LR_DEFAULTSIZE | LR_SHARED);
    if (m_hIcon != nullptr) {
        SendMessageW(hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
        SendMessageW(hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    }
    return true;
}

void Win32Dialog::Show() {
    if (m_bHeadless || m_hWnd == nullptr) return;
    ShowWindow(static_cast<HWND>(m_hWnd), SW_SHOW);
    UpdateWindow(static_cast<HWND>(m_hWnd));
}

bool Win32Dialog::OnDialogThread() const {
    return m_hWnd != nullptr && m_nThread == GetCurrentThreadId();
}

void Win32Dialog::MarkChanged(int nId) {
    std::lock_guard<std::mutex> lock(m_pendingMutex);
    m_pending.insert(nId);
    if (m_bPendingPosted || OnDialogThread()) return;
    if (PostMessageW(static_cast<HWND>(m_hWnd), kMsgControlsChanged, 0, 0)) {
        m_bPendingPosted = true;
    }
}

void Win32Dialog::ShowChanged() {
    std::set<int> ids;
    {
        std::lock_guard<std::mutex> lock(m_pendingMutex);
        ids.swap(m_pending);
        m_bPendingPosted = false;
    }
    for (const int nId : ids) ShowControl(nId, m_pEnv->GetControlText(nId));
}

void Win32Dialog::ShowControl(int nId, const std::string& szText) {
    HWND hCtl = GetDlgItem(static_cast<HWND>(m_hWnd), nId);
    if (hCtl == nullptr) return;  // a model entry without a control (the about box's)
    const int nIconId = IconIdOf(szText);
    if (nIconId != 0 && IsIconControl(hCtl)) {
        HANDLE hIcon = LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(nIconId), IMAGE_ICON,
                                  0, 0, LR_DEFAULTSIZE | LR_SHARED);
        if (hIcon != nullptr) SendMessageW(hCtl, STM_SETICON, reinterpret_cast<WPARAM>(hIcon), 0);
        // The icon's number, where a reader in another process finds it (QueryControls).
        SetWindowLongPtrW(hCtl, GWLP_USERDATA, nIconId);
        return;
    }
    SetDlgItemTextW(static_cast<HWND>(m_hWnd), nId, WideFromUtf8(szText).c_str());
}

bool Win32Dialog::OnMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam, intptr_t* pResult) {
    *pResult = 0;
    if (m_pLoop->HandleOwnMessage(m_hWnd, nMsg, wParam, lParam)) return true;
    switch (nMsg) {
        case kMsgControlsChanged:
            ShowChanged();
            return true;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) != IDM_ABOUTBOX) return false;  // the default handling
            *pResult = m_pLoop->Deliver(nMsg, wParam, lParam);
            RunAboutBox();
            return true;
        case WM_DESTROY:
            // Sent by another program it asks this one to end (handled here, the dialog
            // manager's default would tear the dialog's state down).
            *pResult = m_pLoop->Deliver(nMsg, wParam, lParam);
            return true;
        case WM_COMMAND:
            // A control's own notices (an edit's EN_CHANGE when its text is set) stay here;
            // clicks, and commands that other programs send, go to the program.
            if (lParam != 0 && HIWORD(wParam) != BN_CLICKED) return true;
            *pResult = m_pLoop->Deliver(nMsg, wParam, lParam);
            return true;
        case WM_PAINT:
            if (!IsIconic(static_cast<HWND>(m_hWnd))) return false;
            PaintMinimised();
            return true;
        case WM_QUERYDRAGICON:
            *pResult = reinterpret_cast<intptr_t>(m_hIcon);
            return true;
        default:
            break;
    }
    if (Win32Loop::IsProgramMessage(nMsg, true)) {  // WM_CLOSE and the user messages
        *pResult = m_pLoop->Deliver(nMsg, wParam, lParam);
        return true;
    }
    return false;
}

void Win32Dialog::RunAboutBox() {
    if (m_bHeadless) return;
    // A program that sent the command does not wait until the operator closes the box.
    if (InSendMessage()) ReplyMessage(0);
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX),
                    static_cast<HWND>(m_hWnd), AboutProc, 0);
}

void Win32Dialog::PaintMinimised() {
    HWND hWnd = static_cast<HWND>(m_hWnd);
    PAINTSTRUCT ps;
    HDC hDc = BeginPaint(hWnd, &ps);
    SendMessageW(hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hDc), 0);
    const int cxIcon = GetSystemMetrics(SM_CXICON);
    const int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(hWnd, &rect);
    const int x = (rect.right - rect.left - cxIcon + 1) / 2;
    const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    if (m_hIcon != nullptr) DrawIcon(hDc, x, y, static_cast<HICON>(m_hIcon));
    EndPaint(hWnd, &ps);
}

// ---- The dialog calls of HostEnv -----------------------------------------------------------

void HostEnv::ShowDialogView(const char* szCaption) {
    const std::string szTitle = szCaption != nullptr ? szCaption : "";
    Win32Loop* pLoop = LoopOf(this);
    if (m_pOs->pDialog) {  // only this thread (the loop's) sets the dialog
        m_pOs->pDialog->Show();
        return;
    }
    auto pDialog = std::make_unique<Win32Dialog>(this, pLoop, m_opts.bHeadless);
    if (!pDialog->Create(szTitle)) return;
    pLoop->SetTimerWindow(pDialog->Window());
    // The dialog takes the process's title over from the carrier.
    if (!szTitle.empty() && pLoop->CarrierTitle() == szTitle) pLoop->SetCarrierTitle("");
    {
        std::lock_guard<std::mutex> lock(m_controlMutex);
        for (const auto& entry : m_controls) pDialog->MarkChanged(entry.first);
        m_pOs->pDialog = std::move(pDialog);
    }
    m_pOs->pDialog->ShowChanged();
    m_pOs->pDialog->Show();
}

void HostEnv::SetControlText(int nId, const std::string& szText) {
    Win32Dialog* pDialog = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_controlMutex);
        m_controls[nId] = szText;
        pDialog = m_pOs->pDialog.get();
        if (pDialog != nullptr) pDialog->MarkChanged(nId);
    }
    if (pDialog != nullptr && pDialog->OnDialogThread()) pDialog->ShowChanged();
}

}  // namespace vplat
