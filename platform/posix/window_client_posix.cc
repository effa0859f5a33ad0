// The tools' side of the window bus (platform/window_bus.h): query the control model of a
// window and post clicks or a close to it, through the sockets of the process-wide Env's
// station root.
#include "platform/env_wrapper.h"
#include "platform/posix/posix_env.h"
#include "platform/posix/window_bus_posix.h"
#include "platform/window_bus.h"

namespace vplat {

namespace {

// The back-end in charge: the installed Env when it is one, else the default.
HostEnv* BusEnv() {
    if (auto* p = dynamic_cast<HostEnv*>(Env::Default())) return p;
    return static_cast<HostEnv*>(internal::HostDefaultEnv());
}

}  // namespace

bool QueryControls(const std::string& szTitle, std::string* pText) {
    if (szTitle.empty() || pText == nullptr) return false;
    const BusRequest req{kBusMagic, kBusQuery, 0, 0, 0, 0};
    return BusTransact(WindowSocketPath(*BusEnv(), szTitle), req, kBusWaitMs, nullptr, pText);
}

bool ClickControl(const std::string& szTitle, int nId) {
    if (nId <= 0 || nId > 0xFFFF) return false;
    return BusEnv()->PostWindowMessage(WindowHandle{szTitle}, kMsgCommand,
                                       static_cast<uintptr_t>(nId), 0);
}

bool CloseWindowTitle(const std::string& szTitle) {
    return BusEnv()->PostWindowMessage(WindowHandle{szTitle}, kMsgClose, 0, 0);
}

}  // namespace vplat
