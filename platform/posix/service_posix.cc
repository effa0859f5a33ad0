// The station's ties to the machine around it on POSIX: the lock that makes one process
// the station of its root (an flock on ROOT/.velmora.lock, released by the kernel when
// the process ends however it ends), and the notify protocol of systemd (state lines as
// datagrams to the Unix socket named by NOTIFY_SOCKET), spoken directly so that the
// station needs no libsystemd.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace vplat {

namespace {

constexpr size_t kMaxPidText = 16;  // what is read of the holder's pid

}  // namespace

RootLock LockStationRoot(std::string* pszWhy) {
    std::string szDummy;
    std::string& szWhy = pszWhy != nullptr ? *pszWhy : szDummy;
    const std::string szPath = StationRoot() + "/.velmora.lock";
    const int fd = open(szPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0644);
    if (fd < 0) {
        szWhy = szPath + ": " +
                (errno == ELOOP ? std::string("a symbolic link, not a lock file of the station")
                                : std::strerror(errno));
        return RootLock::kFailed;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        szWhy = szPath + ": not a regular file, not a lock file of the station";
        return RootLock::kFailed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int nErr = errno;
        char szPid[kMaxPidText + 1] = {};
        const ssize_t n = pread(fd, szPid, kMaxPidText, 0);
        close(fd);
        if (nErr != EWOULDBLOCK) {
            szWhy = szPath + ": " + std::strerror(nErr);
            return RootLock::kFailed;
        }
        const long nPid = n > 0 ? std::strtol(szPid, nullptr, 10) : 0;
        szWhy = nPid > 0 ? "process " + std::to_string(nPid) : "another process";
        return RootLock::kHeld;
    }
    // Ours: the pid for the message of a second start. The descriptor stays open (and
    // the lock held) until the process ends.
    const std::string szPid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, szPid.data(), szPid.size(), 0) < 0) {
        // The lock holds without the pid; a second start just cannot name us.
    }
    return RootLock::kTaken;
}

bool NotifyServiceManager(const char* szState) {
    const char* szSocket = std::getenv("NOTIFY_SOCKET");
    if (szSocket == nullptr || szState == nullptr) return false;
    const size_t nLen = std::strlen(szSocket);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (nLen < 2 || nLen >= sizeof addr.sun_path || (szSocket[0] != '/' && szSocket[0] != '@'))
        return false;
    std::memcpy(addr.sun_path, szSocket, nLen);
    if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // the abstract namespace
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const socklen_t nAddrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + nLen);
    const ssize_t nSent = sendto(fd, szState, std::strlen(szState), MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&addr), nAddrLen);
    close(fd);
    return nSent >= 0;
}

uint64_t ServiceWatchdogMs() {
    const char* szUsec = std::getenv("WATCHDOG_USEC");
    if (szUsec == nullptr) return 0;
    const char* szPid = std::getenv("WATCHDOG_PID");
    if (szPid != nullptr && std::strtol(szPid, nullptr, 10) != static_cast<long>(getpid())) return 0;
    char* pEnd = nullptr;
    const unsigned long long n = std::strtoull(szUsec, &pEnd, 10);
    return pEnd != szUsec && *pEnd == '\0' ? n / 1000 : 0;
}

}  // namespace vplat
