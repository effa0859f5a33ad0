// The Win32 back-end's own state behind HostEnv (platform/host_env.h): station paths on
// the machine's real drives (or, for a rooted instance, under a directory of drive
// folders), the clock from GetSystemTimeAsFileTime with an offset or SetLocalTime, Win32
// events, Winsock 2 with event selection, overlapped serial I/O on COM ports, file
// mappings by name, CreateProcessA, and the dialog as a real window with a Win32 message
// loop. No Windows header is included here: handles are kept as void*, so that a file
// that happens to see this header never sees the Win32 macros.
//
// Where the HostEnv methods of this system live:
//   env_win32.cc       construction, set-up hooks, clock, debug output, EndProcess
//   files_win32.cc     MapPath, current directory, listings, copy / remove / make
//                      directory, OpenFile, ReadProfileString, named mappings
//   process_win32.cc   StartProgram
//   net_win32.cc       NewEvent, WaitEventsOrSocket, EnumNetworkEvents, Sock*, LocalIPv4
//   serial_win32.cc    Serial*
//   text_win32.cc      localtime / mktime of the C runtime, Utf8ToCp949, Cp949ToUtf8
//   window_bus_win32.cc    FindWindowTitle, SendWindowMessage, PostWindowMessage,
//                          OpenOwnWindow
//   window_client_win32.cc QueryControls, ClickControl, CloseWindowTitle (window_bus.h)
//   loop_win32.cc      Win32Loop, StartTimer
//   view_win32.cc      Win32Dialog, ShowDialogView, SetControlText
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/host_env.h"
#include "platform/win32/loop_win32.h"

namespace vplat {

class Win32Dialog;

struct HostEnv::Os {
    ~Os();
    int64_t nPerfFrequency = 0;            // QueryPerformanceCounter ticks per second
    std::unique_ptr<Win32Dialog> pDialog;  // dialog window, once shown
};

// The Win32 loop of an instance.
inline Win32Loop* LoopOf(HostEnv* pEnv) { return static_cast<Win32Loop*>(pEnv->Loop()); }

// "C:/a/b" -> "C:\\a\\b", as the A calls want it.
inline std::string ToBackslashes(std::string s) {
    for (char& c : s) {
        if (c == '/') c = '\\';
    }
    return s;
}

}  // namespace vplat
