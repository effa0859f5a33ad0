// The terminal view of the dialog: an ncurses screen, redrawn twice a second on a thread
// of its own from the control model, laid out like the station's dialog. Keys become
// window messages to the process's own window: 's' and 'c' click the two buttons, 'a'
// opens the about box, 'q' closes the dialog.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace vplat {

class HostEnv;
class PosixLoop;

class TerminalView final {
  public:
    TerminalView(PosixLoop* pLoop, HostEnv* pEnv, std::string szCaption);
    ~TerminalView();  // stops the thread and restores the terminal
    TerminalView(const TerminalView&) = delete;
    TerminalView& operator=(const TerminalView&) = delete;

    void Start();

  private:
    void Run();
    void Draw(bool bAbout);
    // Delivers a message to the own window as a click or close would.
    void Deliver(uint32_t nMsg, uintptr_t wParam);

    PosixLoop* m_pLoop;                // own window's messages
    HostEnv* m_pEnv;                   // control model
    std::string m_szCaption;           // dialog caption
    std::atomic<bool> m_bStop{false};  // ends the thread
    std::thread m_thread;              // draws and reads keys
};

}  // namespace vplat
