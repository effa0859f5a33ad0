// velmora-mgrpc's watch of the station's violation directory (Linux inotify): which
// names leave it, by a delete or by a move out of it. A move from one name to another
// inside the directory (the main operation program's write-then-rename) pairs up by its
// cookie and is not a departure.
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/velmora_mgrpc/mgrpc.h"

namespace mgrpc {

DirWatch::~DirWatch() {
    if (m_fd >= 0) ::close(m_fd);
}

bool DirWatch::Open(const std::string& szDir, std::string* pError) {
    m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0 ||
        inotify_add_watch(m_fd, szDir.c_str(), IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO) < 0) {
        *pError = "cannot watch " + szDir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::vector<std::string> DirWatch::Take(bool bFinal) {
    std::vector<std::string> left;
    if (m_fd < 0) return left;
    alignas(inotify_event) char buf[65536];
    for (;;) {
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n <= 0) break;  // EAGAIN: nothing more for now
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
            const ssize_t nNext = at + static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            if (nNext > n) break;  // never happens: the kernel returns whole events
            const std::string szName(ev->name, strnlen(ev->name, ev->len));
            at = nNext;
            if (ev->mask & IN_Q_OVERFLOW) {
                Emit("ERROR text=" + Quote("the directory watch overflowed: departures missed"));
                continue;
            }
            if ((ev->mask & IN_ISDIR) || szName.empty()) continue;
            if (ev->mask & IN_DELETE) {
                left.push_back(szName);
            } else if (ev->mask & IN_MOVED_FROM) {
                m_movedFrom[ev->cookie] = szName;
            } else if (ev->mask & IN_MOVED_TO) {
                if (m_movedFrom.erase(ev->cookie) == 0) m_movedOlder.erase(ev->cookie);
            }
        }
    }
    // Moves out seen on the last call that no move in has claimed since; this call's
    // wait for the next one (or go now, at the end).
    for (const auto& [nCookie, szName] : m_movedOlder) left.push_back(szName);
    m_movedOlder = std::move(m_movedFrom);
    m_movedFrom.clear();
    if (bFinal) {
        for (const auto& [nCookie, szName] : m_movedOlder) left.push_back(szName);
        m_movedOlder.clear();
    }
    return left;
}

}  // namespace mgrpc
