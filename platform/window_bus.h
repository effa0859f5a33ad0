// Client side of the window bus for the station's tools (velmoractl, tests): read the
// dialog controls of a window and click its buttons or close it, by window title, through
// the process-wide Env. A tool that holds a window of its own (sibling-stub, harwent-sim)
// uses Env::OpenOwnWindow and Env::RunLoop with a LoopHandler, as the station does.
#pragma once

#include <cstdint>
#include <string>

namespace vplat {

// The control model of the window: lines "<id> <text>\n" ordered by id. False when the
// window is absent or does not answer within 5 s.
bool QueryControls(const std::string& szTitle, std::string* pText);
// Posts a button click (WM_COMMAND, BN_CLICKED, id in the low word). False when absent.
bool ClickControl(const std::string& szTitle, int nId);
// Posts WM_CLOSE. False when the window is absent.
bool CloseWindowTitle(const std::string& szTitle);

}  // namespace vplat
