// The Win32 event object behind Env::NewEvent: a kernel event, manual- or auto-reset.
// WaitForMultipleObjects clears an auto-reset event that it returns, which is the rule
// the platform interface states. Shared by the link's event wait and the serial wait.
#pragma once

#include <windows.h>

#include "platform/platform.h"

namespace vplat {

class Win32Event final : public Event {
  public:
    explicit Win32Event(HANDLE hEvent) : m_hEvent(hEvent) {}
    ~Win32Event() override { CloseHandle(m_hEvent); }
    Win32Event(const Win32Event&) = delete;
    Win32Event& operator=(const Win32Event&) = delete;

    void Set() override { SetEvent(m_hEvent); }
    void Reset() override { ResetEvent(m_hEvent); }
    HANDLE Handle() const { return m_hEvent; }

  private:
    HANDLE m_hEvent;  // owned event handle
};

}  // namespace vplat
