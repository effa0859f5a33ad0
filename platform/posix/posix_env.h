// The POSIX back-end's own state behind HostEnv (platform/host_env.h): station paths
// mapped under a root directory, the message loop and timers on the monotonic clock,
// windows as Unix-domain sockets, eventfd events, BSD sockets, termios serial ports,
// mmap'ed named mappings, posix_spawn for programs and an ncurses view of the dialog.
// The HostEnv methods of this system are spread over the *_posix.cc files of this folder
// by subject.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/host_env.h"
#include "platform/posix/loop_posix.h"

namespace vplat {

class WindowBusServer;
class TerminalView;

struct HostEnv::Os {
    ~Os();  // the view goes before the window's listener
    std::mutex windowMutex;                     // guards pWindow, szOwnWindowPath
    std::unique_ptr<WindowBusServer> pWindow;   // own window, once opened
    std::string szOwnWindowPath;                // socket path of the own window
    std::unique_ptr<TerminalView> pView;        // terminal view, once shown
};

// The POSIX loop of an instance.
inline PosixLoop* LoopOf(HostEnv* pEnv) { return static_cast<PosixLoop*>(pEnv->Loop()); }

// Host path of the socket that stands for the window with this title.
std::string WindowSocketPath(const HostEnv& env, const std::string& szTitle);

// Sets the hook that EndProcess runs before the process ends (the terminal view's endwin).
void SetEndProcessHook(void (*pfnHook)());

}  // namespace vplat
