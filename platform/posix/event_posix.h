// The POSIX event object: a non-blocking eventfd. Auto-reset events are cleared by the
// wait that returns them (the wait reads the counter); manual-reset events stay readable
// until Reset. Shared by the link's event wait and the serial port's wait.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <cstdint>

#include "platform/platform.h"

namespace vplat {

class PosixEvent final : public Event {
  public:
    PosixEvent(int nFd, bool bManualReset) : m_nFd(nFd), m_bManualReset(bManualReset) {}
    ~PosixEvent() override { close(m_nFd); }
    PosixEvent(const PosixEvent&) = delete;
    PosixEvent& operator=(const PosixEvent&) = delete;

    void Set() override {
        const uint64_t nOne = 1;
        while (write(m_nFd, &nOne, sizeof(nOne)) < 0 && errno == EINTR) {
        }
    }
    void Reset() override { Consume(); }

    // Clears the counter; true when it was set.
    bool Consume() {
        uint64_t nValue = 0;
        ssize_t n;
        while ((n = read(m_nFd, &nValue, sizeof(nValue))) < 0 && errno == EINTR) {
        }
        return n == static_cast<ssize_t>(sizeof(nValue));
    }
    // After poll reported the fd readable: true when the wait may return this event
    // (a manual-reset event, or an auto-reset one that this wait cleared).
    bool TakeSignal() { return m_bManualReset || Consume(); }
    int Fd() const { return m_nFd; }

  private:
    int m_nFd;            // non-blocking eventfd
    bool m_bManualReset;  // stays signalled until Reset
};

}  // namespace vplat
