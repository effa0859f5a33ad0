// The station's dialog as a real window: Win32Dialog makes the main dialog from template
// 102 of the program's resources, adds the about entry (string 101) to its system menu,
// sets the application icon, shows the control model's texts in the real controls (in
// UTF-16, so Korean shows on any code page; "icon:<id>" texts as the icon of an icon
// control), hands the program's messages to the loop's handler and runs the about box
// (template 100). With --headless the dialog exists, answers and is read by velmoractl,
// but is never shown. Also the text conversions that the window code shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace vplat {

class HostEnv;
class Win32Loop;

// UTF-8 to UTF-16 and back (invalid sequences become U+FFFD); no Windows header needed.
std::wstring WideFromUtf8(const std::string& szText);
std::string Utf8FromWide(const wchar_t* pText, size_t nChars);

class Win32Dialog final {
  public:
    Win32Dialog(HostEnv* pEnv, Win32Loop* pLoop, bool bHeadless);
    ~Win32Dialog();  // destroys the window (on its own thread)
    Win32Dialog(const Win32Dialog&) = delete;
    Win32Dialog& operator=(const Win32Dialog&) = delete;

    // Makes the dialog, hidden, with the caption, on the calling thread (the loop's).
    // False when the program has no template 102 or the window cannot be made.
    bool Create(const std::string& szCaption);
    // Shows the dialog, unless headless.
    void Show();
    void* Window() const { return m_hWnd; }

    // Control nId of the model changed: it is shown at once when called on the dialog's
    // thread (ShowChanged), else handed to that thread with one posted message. Any thread.
    void MarkChanged(int nId);
    // Shows the model's current text in every control marked changed. Dialog thread.
    void ShowChanged();
    bool OnDialogThread() const;

    // The dialog procedure's work: true when the message was handled, with *pResult the
    // value for DWLP_MSGRESULT (or the direct result of WM_QUERYDRAGICON).
    bool OnMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam, intptr_t* pResult);

  private:
    // Text or icon of one control.
    void ShowControl(int nId, const std::string& szText);
    // The about box, modal, unless headless. A sender from outside is released first.
    void RunAboutBox();
    // WM_PAINT while minimised: the application icon in the middle of the client area.
    void PaintMinimised();

    HostEnv* m_pEnv;                // control model and debug output
    Win32Loop* m_pLoop;             // handler of the program's messages, timers
    bool m_bHeadless;               // never shown
    void* m_hWnd = nullptr;         // HWND of the dialog
    void* m_hIcon = nullptr;        // HICON of the application (icon 128, shared)
    unsigned long m_nThread = 0;    // thread the dialog belongs to
    std::mutex m_pendingMutex;      // guards m_pending and m_bPendingPosted
    std::set<int> m_pending;        // controls whose text changed since last shown
    bool m_bPendingPosted = false;  // kMsgControlsChanged is on its way
};

}  // namespace vplat
