// velmora-mgrpc's program: the listening socket and the one poll loop that accepts
// stations, reads their bytes, stdin and the watched directory, and runs the command queue
// (script lines, then the commands after "--", then stdin lines as they come). Ends
// cleanly on SIGINT or SIGTERM, or on the command "quit".
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/ini_parse.h"
#include "platform/platform.h"
#include "tools/velmora_mgrpc/mgrpc.h"

namespace {

volatile std::sig_atomic_t g_bStop = 0;

// A station in the middle of a file answers each acknowledgement with its next packet at
// once: that packet is awaited on its socket alone (one blocking receive, instead of a
// poll of every descriptor and a receive), for at most this long since the loop last
// polled everything, and at most this long per receive.
constexpr std::chrono::milliseconds kAwaitMs(2);
// How often the lines printed meanwhile are written.
constexpr std::chrono::microseconds kWriteEvery(1000);
// The longest wait of the loop with nothing due: a signal that comes just before the
// wait is seen within it.
constexpr int kIdleWaitMs = 250;

void OnSignal(int) { g_bStop = 1; }

int OpenListener(const mgrpc::Options& o, std::string* pError) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(o.nPort));
    if (inet_pton(AF_INET, o.szListen.c_str(), &addr.sin_addr) != 1) {
        *pError = "bad address " + o.szListen;
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int nOne = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0) {
        *pError = std::string("cannot listen: ") + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

void Accept(int nListener, mgrpc::Server& server,
            std::vector<std::unique_ptr<mgrpc::Station>>& stations) {
    sockaddr_in peer{};
    socklen_t nLen = sizeof peer;
    const int fd = ::accept4(nListener, reinterpret_cast<sockaddr*>(&peer), &nLen, SOCK_CLOEXEC);
    if (fd < 0) return;
    timeval tv{5, 0};  // a station that stops reading cannot hold the loop for long
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    // Nor one that stops sending while its next file packet is awaited (AwaitPackets).
    timeval rcv{0, static_cast<suseconds_t>(kAwaitMs.count() * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &rcv, sizeof rcv);
    char szIp[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, szIp, sizeof szIp);
    auto st = std::make_unique<mgrpc::Station>();
    st->fd = fd;
    st->szPeer = std::string(szIp) + ":" + std::to_string(ntohs(peer.sin_port));
    stations.push_back(std::move(st));
    server.OnConnect(*stations.back());
}


void AddCommand(const std::string& szLine, std::deque<mgrpc::Command>* pQueue, bool bWait) {
    mgrpc::Command cmd;
    std::string szError;
    if (mgrpc::ParseCommand(szLine, &cmd, &szError)) {
        // "@ID" names one station: it is there now or the command fails.
        cmd.bWait = bWait && cmd.szTarget.empty();
        pQueue->push_back(cmd);
    } else if (!szError.empty()) {
        mgrpc::Emit("ERROR text=" + mgrpc::Quote(szError + ": " + szLine));
    }
}

// The period of --poll in milliseconds, divided by VELMORA_TIME_SCALE as the station's
// own periods are; 0 when off.
int64_t PollPeriodMs(double dPollSec) {
    if (dPollSec <= 0) return 0;
    double dScale = 1;
    if (const char* sz = std::getenv("VELMORA_TIME_SCALE")) {
        char* pEnd = nullptr;
        const double d = std::strtod(sz, &pEnd);
        if (pEnd != sz && *pEnd == '\0' && d >= 1 && d <= 1e6) dScale = d;
    }
    const double dMs = dPollSec * 1000.0 / dScale;
    return dMs < 1 ? 1 : static_cast<int64_t>(dMs);
}

// Receives and handles the next packets of a station that was just acknowledged in the
// middle of a file, until it was not (or it is no longer), kAwaitMs have passed since
// tTurn, a receive times out, or a signal comes. The lines printed meanwhile are written
// once per kWriteEvery, and at once when the last write was longer ago (the first lines of
// a file); whatever is still buffered goes out before the loop's next wait.
void AwaitPackets(mgrpc::Server& server, std::vector<uint8_t>& buf,
                  std::chrono::steady_clock::time_point tTurn) {
    for (mgrpc::Station* st = server.TakeAwaited(); st != nullptr && !g_bStop;
         st = server.TakeAwaited()) {
        const auto tNow = std::chrono::steady_clock::now();
        if (st->fd < 0 || st->bBlackholed || tNow - tTurn >= kAwaitMs) return;
        mgrpc::FlushOutputAfter(tNow, kWriteEvery);
        const ssize_t n = ::recv(st->fd, buf.data(), buf.size(), 0);
        if (n > 0) {
            server.OnBytes(*st, buf.data(), static_cast<size_t>(n));
        } else if (n == 0) {
            server.Close(*st, "peer");
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            server.Close(*st, "error");
        }
    }
}

// Runs the queue as far as it can; true when "quit" was reached.
bool RunQueue(std::deque<mgrpc::Command>* pQueue, mgrpc::Server& server,
              std::vector<std::unique_ptr<mgrpc::Station>>& stations,
              std::chrono::steady_clock::time_point* pSleepUntil, bool* pbSleeping) {
    const auto now = std::chrono::steady_clock::now();
    while (!pQueue->empty()) {
        const mgrpc::Command& cmd = pQueue->front();
        if (cmd.nKind == mgrpc::Command::kQuit) return true;
        if (cmd.nKind == mgrpc::Command::kSleep) {
            if (!*pbSleeping) {
                *pbSleeping = true;
                *pSleepUntil = now + std::chrono::milliseconds(cmd.nSleepMs);
            }
            if (now < *pSleepUntil) return false;
            *pbSleeping = false;
            pQueue->pop_front();
            continue;
        }
        std::vector<mgrpc::Station*> targets;
        for (auto& st : stations) {
            const std::string szId = server.CommandId(*st);
            if (st->fd < 0 || st->bBlackholed || szId.empty()) continue;
            if (!cmd.szTarget.empty() && !vplat::SameNoCase(cmd.szTarget, st->szId) &&
                !vplat::SameNoCase(cmd.szTarget, szId))
                continue;
            targets.push_back(st.get());
        }
        if (targets.empty() && cmd.bWait) return false;  // waits for a station
        if (targets.empty()) {
            mgrpc::Emit("ERROR text=" +
                        mgrpc::Quote((cmd.szTarget.empty()
                                          ? std::string("no station connected")
                                          : "station " + cmd.szTarget + " not connected") +
                                     ": " + cmd.szText));
            pQueue->pop_front();
            continue;
        }
        for (mgrpc::Station* st : targets) server.SendCommand(*st, cmd);
        pQueue->pop_front();
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    mgrpc::Options opts;
    bool bHelp = false;
    bool bVersion = false;
    std::string szError;
    if (!mgrpc::ParseOptions(argc, argv, &opts, &bHelp, &bVersion, &szError)) {
        std::fprintf(stderr, "velmora-mgrpc: %s (try --help)\n", szError.c_str());
        return 2;
    }
    if (bHelp) {
        std::fputs(mgrpc::kUsage, stdout);
        return 0;
    }
    if (bVersion) {
        std::printf("velmora-mgrpc %s\n", vplat::VelmoraVersion());
        return 0;
    }
    std::deque<mgrpc::Command> queue;
    if (!opts.szScript.empty()) {
        std::ifstream script(opts.szScript);
        if (!script) {
            std::fprintf(stderr, "velmora-mgrpc: cannot read %s\n", opts.szScript.c_str());
            return 2;
        }
        for (std::string szLine; std::getline(script, szLine);) AddCommand(szLine, &queue, true);
    }
    for (const std::string& sz : opts.commands) AddCommand(sz, &queue, true);

    // A closed stdin must not lend its number to the listening socket.
    if (fcntl(0, F_GETFD) < 0) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd > 0) {
            ::dup2(fd, 0);
            ::close(fd);
        }
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The watch is in place before LISTEN, so no station can delete a file unseen.
    mgrpc::DirWatch watch;
    if (!opts.szWatchDir.empty() && !watch.Open(opts.szWatchDir, &szError)) {
        std::fprintf(stderr, "velmora-mgrpc: %s\n", szError.c_str());
        return 2;
    }
    const int nListener = OpenListener(opts, &szError);
    if (nListener < 0) {
        std::fprintf(stderr, "velmora-mgrpc: %s\n", szError.c_str());
        return 1;
    }
    mgrpc::Emit("LISTEN addr=" + opts.szListen + " port=" + std::to_string(opts.nPort));

    mgrpc::Server server(opts);
    std::vector<std::unique_ptr<mgrpc::Station>> stations;
    bool bStdinOpen = true;
    std::string szStdin;
    std::chrono::steady_clock::time_point sleepUntil;
    bool bSleeping = false;
    std::vector<uint8_t> buf(65536);
    const int64_t nPollMs = PollPeriodMs(opts.dPollSec);
    auto nextPoll = std::chrono::steady_clock::now() + std::chrono::milliseconds(nPollMs);

    // From here on a turn's lines are written together, just before the loop waits (and
    // before any byte goes to a station after a line other than a frame's).
    mgrpc::SetOutputBuffered(true);
    std::vector<pollfd> fds;
    std::vector<mgrpc::Station*> polled;  // the station of each pollfd from nFirstStation on
    while (!g_bStop) {
        if (RunQueue(&queue, server, stations, &sleepUntil, &bSleeping)) break;
        // Only descriptors that can have work: stdin while open, the watch when there is
        // one, the stations that are read (a black-holed one is not: its bytes pile up in
        // the kernel).
        fds.clear();
        polled.clear();
        fds.push_back({nListener, POLLIN, 0});
        const size_t nStdinAt = bStdinOpen ? fds.size() : 0;
        if (bStdinOpen) fds.push_back({0, POLLIN, 0});
        const size_t nWatchAt = watch.Fd() >= 0 ? fds.size() : 0;
        if (watch.Fd() >= 0) fds.push_back({watch.Fd(), POLLIN, 0});
        const size_t nFirstStation = fds.size();
        for (auto& st : stations) {
            if (st->fd < 0 || st->bBlackholed) continue;
            fds.push_back({st->fd, POLLIN, 0});
            polled.push_back(st.get());
        }
        // The wait ends by itself only when something is due: a move out to judge, the end
        // of a sleep command, the next status request.
        const auto tNow = std::chrono::steady_clock::now();
        auto msUntil = [&](std::chrono::steady_clock::time_point t) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(t - tNow).count();
            return static_cast<int>(std::clamp<int64_t>(ms, 0, kIdleWaitMs));
        };
        int nTimeoutMs = watch.Pending() ? 20 : kIdleWaitMs;
        if (bSleeping) nTimeoutMs = std::min(nTimeoutMs, msUntil(sleepUntil));
        if (nPollMs > 0) nTimeoutMs = std::min(nTimeoutMs, msUntil(nextPoll));
        mgrpc::FlushOutput();  // about to wait: every line so far is visible first
        if (poll(fds.data(), fds.size(), nTimeoutMs) < 0 && errno != EINTR) break;
        const auto tTurn = std::chrono::steady_clock::now();
        // Read when events wait, and on every turn while a move out waits for its other
        // half: a move out is judged one turn late.
        if ((nWatchAt != 0 && (fds[nWatchAt].revents & POLLIN)) || watch.Pending()) {
            for (const std::string& szName : watch.Take()) server.OnDeparture(szName);
        }
        if (fds[0].revents & POLLIN) Accept(nListener, server, stations);
        const short nStdinEvents = nStdinAt != 0 ? fds[nStdinAt].revents : 0;
        if (nStdinEvents & POLLNVAL) bStdinOpen = false;
        if (nStdinEvents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::read(0, buf.data(), buf.size());
            if (n <= 0) {
                bStdinOpen = false;
            } else {
                szStdin.append(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(n));
                for (size_t nEol; (nEol = szStdin.find('\n')) != std::string::npos;) {
                    AddCommand(szStdin.substr(0, nEol), &queue, false);
                    szStdin.erase(0, nEol + 1);
                }
            }
        }
        for (size_t k = nFirstStation; k < fds.size(); ++k) {
            mgrpc::Station& st = *polled[k - nFirstStation];
            if (st.fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::recv(st.fd, buf.data(), buf.size(), 0);
            if (n > 0) {
                server.OnBytes(st, buf.data(), static_cast<size_t>(n));
            } else {
                server.Close(st, n == 0 ? "peer" : "error");
            }
        }
        AwaitPackets(server, buf, tTurn);
        if (nPollMs > 0 && std::chrono::steady_clock::now() >= nextPoll) {
            nextPoll = std::chrono::steady_clock::now() + std::chrono::milliseconds(nPollMs);
            for (auto& st : stations) {
                if (st->fd >= 0 && !st->bBlackholed && !server.CommandId(*st).empty())
                    server.SendPoll(*st);
            }
        }
        std::erase_if(stations, [](const auto& st) { return st->fd < 0; });
    }
    for (auto& st : stations) server.Close(*st, "exit");
    ::close(nListener);
    for (const std::string& szName : watch.Take(true)) server.OnDeparture(szName);
    mgrpc::Emit("EXIT lost=" + std::to_string(server.Lost()));
    mgrpc::SetOutputBuffered(false);
    return opts.bFailOnLoss && server.Lost() > 0 ? 3 : 0;
}
