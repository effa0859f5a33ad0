// velmora-mgrpc's program: options and usage text, the listening socket, and the one poll
// loop that accepts stations, reads their bytes and stdin, and runs the command queue
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

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "tools/velmora_mgrpc/mgrpc.h"

namespace {

volatile std::sig_atomic_t g_bStop = 0;

void OnSignal(int) { g_bStop = 1; }

const char kUsage[] =
    "usage: velmora-mgrpc [options] [-- COMMAND...]\n"
    "A Manager PC for the station link: accepts stations, prints every frame, acknowledges\n"
    "file packets, stores received files and sends commands.\n"
    "\n"
    "options:\n"
    "  --listen ADDR      address to listen on (default 0.0.0.0)\n"
    "  --port N           port to listen on (default 11001)\n"
    "  --store DIR        store completed files as DIR/<station id>/<base name>\n"
    "                     (unsafe characters become '_'); not stored without it\n"
    "  --script FILE      run the commands of FILE (one per line, '#' comments)\n"
    "  --id ID            station ID in commands (default: ID of the station's last frame;\n"
    "                     commands wait until it is known)\n"
    "  --resend CODE:PKT  answer 3 (send again) to that packet once; repeatable\n"
    "  --refuse PKT       answer 4 (refuse the file) to VOL packets with that number\n"
    "  --silent           never answer file packets\n"
    "  --drop-after N     close the connection on the Nth file packet received (once)\n"
    "  --garbage          send bytes that are not a frame once, after the first connect\n"
    "  --bad-crc          the next command sent carries a wrong CRC\n"
    "  --foreign-id       the next command sent carries another station ID\n"
    "  --help             this text\n"
    "\n"
    "commands (from --script, after \"--\", and from stdin, in that order):\n"
    "  CODE[/PKT] [DATA]  send a frame with that code (0-99), packet number (default 0) and\n"
    "                     DATA as ASCII; escapes \\xHH \\\\ \\n \\r \\t \\0. \"57\" sends no\n"
    "                     data, \"68 L\" asks for the running log, \"52/3 \\x01\" acks packet 3\n"
    "  @ID COMMAND        only to stations whose ID is ID (without: to every station)\n"
    "  sleep MS           wait before the next command\n"
    "  quit               end the program\n"
    "A command waits until a station is connected and its ID is known.\n"
    "\n"
    "output: one line per event, a tag then key=value fields (quoted values escape\n"
    "\\\\ \\\" and \\xHH):\n"
    "  LISTEN addr= port=\n"
    "  CONNECT peer=IP:PORT            CLOSE peer= reason=peer|error|drop-after|send-error|exit\n"
    "  RX|TX code=NN name=OP_...|- len=N pkt=NNNN id=\"ID\" crc=ok|bad peer= ...\n"
    "     RX file packet 0: size= file=\"NAME\"   RX file packet k: bytes=N\n"
    "     RX 55: report=status time=\"..\"  56: report=traffic bytes=N\n"
    "     RX 57: report=time time=\"..\"     59: report=short head=b0,..,b9 time=\"..\"\n"
    "     TX packet answer: status=1|3|4   other frames: data=\"..\"\n"
    "  FILE peer= id= code= file=\"NAME\" size=N packets=N stored=\"PATH\"|-\n"
    "  GARBAGE peer= bytes=N   BADFRAME peer= skipped=N   ERROR text=\"..\"   EXIT\n";

bool ParseInt(const char* sz, int* pOut) {
    char* pEnd = nullptr;
    errno = 0;
    const long n = std::strtol(sz, &pEnd, 10);
    if (errno != 0 || pEnd == sz || *pEnd != '\0' || n < 0 || n > 0x7FFFFFFF) return false;
    *pOut = static_cast<int>(n);
    return true;
}

// False with *pError on a bad option; *pbHelp for --help.
bool ParseOptions(int argc, char** argv, mgrpc::Options* o, bool* pbHelp, std::string* pError) {
    for (int k = 1; k < argc; ++k) {
        std::string szArg = argv[k];
        if (szArg == "--") {
            for (++k; k < argc; ++k) o->commands.push_back(argv[k]);
            break;
        }
        std::string szValue;
        bool bHasValue = false;
        const size_t nEq = szArg.find('=');
        if (szArg.rfind("--", 0) == 0 && nEq != std::string::npos) {
            szValue = szArg.substr(nEq + 1);
            szArg = szArg.substr(0, nEq);
            bHasValue = true;
        }
        auto Value = [&](std::string* pOut) {
            if (bHasValue) {
                *pOut = szValue;
                return true;
            }
            if (k + 1 >= argc) return false;
            *pOut = argv[++k];
            return true;
        };
        std::string v;
        int n = 0;
        if (szArg == "--help" || szArg == "-h") {
            *pbHelp = true;
        } else if (szArg == "--silent") {
            o->bSilent = true;
        } else if (szArg == "--garbage") {
            o->bGarbage = true;
        } else if (szArg == "--bad-crc") {
            o->bBadCrc = true;
        } else if (szArg == "--foreign-id") {
            o->bForeignId = true;
        } else if (!Value(&v)) {
            *pError =
                szArg.rfind("--", 0) == 0 ? szArg + " needs a value" : "unknown argument " + szArg;
            return false;
        } else if (szArg == "--listen") {
            o->szListen = v;
        } else if (szArg == "--port") {
            if (!ParseInt(v.c_str(), &o->nPort) || o->nPort < 1 || o->nPort > 65535) {
                *pError = "bad port " + v;
                return false;
            }
        } else if (szArg == "--store") {
            o->szStoreDir = v;
        } else if (szArg == "--script") {
            o->szScript = v;
        } else if (szArg == "--id") {
            o->szId = v.substr(0, 5);
        } else if (szArg == "--resend") {
            const size_t nColon = v.find(':');
            int nPkt = 0;
            if (nColon == std::string::npos || !ParseInt(v.substr(0, nColon).c_str(), &n) ||
                !ParseInt(v.substr(nColon + 1).c_str(), &nPkt)) {
                *pError = "--resend needs CODE:PKT";
                return false;
            }
            o->resend.emplace_back(n, nPkt);
        } else if (szArg == "--refuse") {
            if (!ParseInt(v.c_str(), &n)) {
                *pError = "--refuse needs a packet number";
                return false;
            }
            o->refuse.insert(n);
        } else if (szArg == "--drop-after") {
            if (!ParseInt(v.c_str(), &n) || n < 1) {
                *pError = "--drop-after needs a count of at least 1";
                return false;
            }
            o->nDropAfter = n;
        } else {
            *pError = "unknown option " + szArg;
            return false;
        }
    }
    return true;
}

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
    char szIp[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, szIp, sizeof szIp);
    auto st = std::make_unique<mgrpc::Station>();
    st->fd = fd;
    st->szPeer = std::string(szIp) + ":" + std::to_string(ntohs(peer.sin_port));
    stations.push_back(std::move(st));
    server.OnConnect(*stations.back());
}

bool SameIdIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k) {
        if (std::toupper(static_cast<unsigned char>(a[k])) !=
            std::toupper(static_cast<unsigned char>(b[k])))
            return false;
    }
    return true;
}

void AddCommand(const std::string& szLine, std::deque<mgrpc::Command>* pQueue) {
    mgrpc::Command cmd;
    std::string szError;
    if (mgrpc::ParseCommand(szLine, &cmd, &szError)) {
        pQueue->push_back(cmd);
    } else if (!szError.empty()) {
        mgrpc::Emit("ERROR text=" + mgrpc::Quote(szError + ": " + szLine));
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
            if (st->fd < 0 || szId.empty()) continue;
            if (!cmd.szTarget.empty() && !SameIdIgnoringCase(cmd.szTarget, st->szId) &&
                !SameIdIgnoringCase(cmd.szTarget, szId))
                continue;
            targets.push_back(st.get());
        }
        if (targets.empty()) return false;  // waits for a station
        for (mgrpc::Station* st : targets) server.SendCommand(*st, cmd);
        pQueue->pop_front();
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    mgrpc::Options opts;
    bool bHelp = false;
    std::string szError;
    if (!ParseOptions(argc, argv, &opts, &bHelp, &szError)) {
        std::fprintf(stderr, "velmora-mgrpc: %s\n\n%s", szError.c_str(), kUsage);
        return 2;
    }
    if (bHelp) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::deque<mgrpc::Command> queue;
    if (!opts.szScript.empty()) {
        std::ifstream script(opts.szScript);
        if (!script) {
            std::fprintf(stderr, "velmora-mgrpc: cannot read %s\n", opts.szScript.c_str());
            return 2;
        }
        for (std::string szLine; std::getline(script, szLine);) AddCommand(szLine, &queue);
    }
    for (const std::string& sz : opts.commands) AddCommand(sz, &queue);

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

    while (!g_bStop) {
        if (RunQueue(&queue, server, stations, &sleepUntil, &bSleeping)) break;
        std::vector<pollfd> fds;
        fds.push_back({nListener, POLLIN, 0});
        fds.push_back({bStdinOpen ? 0 : -1, POLLIN, 0});
        for (auto& st : stations) fds.push_back({st->fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 20) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) Accept(nListener, server, stations);
        if (fds[1].revents & POLLNVAL) bStdinOpen = false;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::read(0, buf.data(), buf.size());
            if (n <= 0) {
                bStdinOpen = false;
            } else {
                szStdin.append(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(n));
                for (size_t nEol; (nEol = szStdin.find('\n')) != std::string::npos;) {
                    AddCommand(szStdin.substr(0, nEol), &queue);
                    szStdin.erase(0, nEol + 1);
                }
            }
        }
        for (size_t k = 2; k < fds.size(); ++k) {
            mgrpc::Station& st = *stations[k - 2];
            if (st.fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::recv(st.fd, buf.data(), buf.size(), 0);
            if (n > 0) {
                server.OnBytes(st, buf.data(), static_cast<size_t>(n));
            } else {
                server.Close(st, n == 0 ? "peer" : "error");
            }
        }
        std::erase_if(stations, [](const auto& st) { return st->fd < 0; });
    }
    for (auto& st : stations) server.Close(*st, "exit");
    ::close(nListener);
    mgrpc::Emit("EXIT");
    return 0;
}
