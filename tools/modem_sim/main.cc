// modem-sim: a CDMA modem stand-in for the station's tests and the demo. It opens a
// pseudo-terminal in raw mode, links the terminal's device at the path given (so the
// station's MODEM_PORT can name that path), records every byte the station writes and
// every byte it answers in a log, and obeys commands, one a line, from a script file and
// from stdin: the new-SMS notice, an SMS to hand out on "AT$SMSMT=1?", raw bytes, pauses,
// and unplugging and plugging the device again. See kUsage for the commands and the log.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "tools/modem_sim/sim_text.h"

namespace {

using modemsim::BuildSmsAnswer;
using modemsim::ExpandTime;
using modemsim::HexUpper;
using modemsim::QuoteBytes;
using modemsim::Unescape;

const char kUsage[] =
    "usage: modem-sim --link PATH [--root DIR] [--log FILE] [--script FILE]\n"
    "\n"
    "Opens a pseudo-terminal (raw), puts a symlink to its device at PATH and plays the\n"
    "station's CDMA modem. Relative PATH, FILE are taken under DIR (--root, else\n"
    "$VELMORA_ROOT, else the current directory). The script runs first, then stdin;\n"
    "end of stdin does not end the program (SIGTERM, SIGINT or 'quit' do).\n"
    "\n"
    "Commands (one a line; blank lines and lines starting with # are skipped):\n"
    "  notice                  write \"$008:0\\r\\n\" (a new SMS is waiting)\n"
    "  sms TIME SENDER TEXT    keep an SMS; it is answered, oldest first, when the\n"
    "                          station writes \"AT$SMSMT=1?\\r\\n\", as \"\\r\\n\" then\n"
    "                          \"TIME,SENDER,x,x,x,HEXTEXT,x\\r\\n\" (HEXTEXT: TEXT in\n"
    "                          upper-case hex; TEXT is the rest of the line). TIME is\n"
    "                          14 digits, or now / now-N / now+N (local time, N seconds,\n"
    "                          taken when the answer is written), or any other word\n"
    "  deliver TIME SENDER TEXT  sms, then notice\n"
    "  raw TEXT                write TEXT; \\r \\n \\t \\\\ and \\xHH are resolved\n"
    "  sleep MS                pause the commands (the station is still served)\n"
    "  notice-until MS         write the notice every 500 ms until the station writes\n"
    "                          the AT command (at most MS ms; the commands wait)\n"
    "  unplug                  remove the link and close the terminal (device gone)\n"
    "  plug                    a new terminal at PATH again\n"
    "  quit                    end\n"
    "\n"
    "Log (default stdout), one line each, flushed at once:\n"
    "  <unix-ms> RX <n> <HEX> \"<text>\"   bytes the station wrote\n"
    "  <unix-ms> TX <n> <HEX> \"<text>\"   bytes written to the station\n"
    "  <unix-ms> CMD <command>            a command as it runs\n"
    "  <unix-ms> INFO <text>              plugged / unplugged / no SMS waiting / errors\n"
    "In <text> CR, LF, TAB, quote and backslash are escaped and other bytes are \\xHH.\n";

volatile sig_atomic_t g_bQuit = 0;  // set by SIGTERM / SIGINT
void OnQuitSignal(int) { g_bQuit = 1; }

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct PendingSms {
    std::string szTime;    // time word as given
    std::string szSender;  // call-back number
    std::string szText;    // message text, before hex coding
};

// Splits off the first word of szRest (words end at spaces); szRest keeps what follows
// the word and the one blank after it.
std::string NextWord(std::string* pRest) {
    const size_t nStart = pRest->find_first_not_of(' ');
    if (nStart == std::string::npos) {
        pRest->clear();
        return "";
    }
    const size_t nEnd = pRest->find(' ', nStart);
    std::string szWord = pRest->substr(nStart, nEnd - nStart);
    *pRest = (nEnd == std::string::npos) ? "" : pRest->substr(nEnd + 1);
    return szWord;
}

class ModemSim {
  public:
    ModemSim(FILE* pLog, std::string szLink) : m_pLog(pLog), m_szLink(std::move(szLink)) {}
    ~ModemSim() { Unplug(); }
    ModemSim(const ModemSim&) = delete;
    ModemSim& operator=(const ModemSim&) = delete;

    bool IsPlugged() const { return m_nMaster >= 0; }
    int MasterFd() const { return m_nMaster; }

    bool Plug() {
        if (IsPlugged()) return true;
        int nMaster = -1, nSlave = -1;
        if (openpty(&nMaster, &nSlave, nullptr, nullptr, nullptr) != 0) {
            Info(std::string("openpty failed: ") + std::strerror(errno));
            return false;
        }
        struct termios tio {};
        if (tcgetattr(nSlave, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(nSlave, TCSANOW, &tio);
        }
        fcntl(nMaster, F_SETFL, fcntl(nMaster, F_GETFL) | O_NONBLOCK);
        fcntl(nMaster, F_SETFD, FD_CLOEXEC);
        fcntl(nSlave, F_SETFD, FD_CLOEXEC);
        char szPts[256] = {};
        if (ptsname_r(nMaster, szPts, sizeof szPts) != 0) szPts[0] = '\0';
        struct stat st {};
        if (lstat(m_szLink.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                Info("not a symlink, left alone: " + m_szLink);
                close(nMaster);
                close(nSlave);
                return false;
            }
            unlink(m_szLink.c_str());
        }
        if (symlink(szPts, m_szLink.c_str()) != 0) {
            Info("cannot link " + m_szLink + ": " + std::strerror(errno));
            close(nMaster);
            close(nSlave);
            return false;
        }
        m_nMaster = nMaster;
        m_nSlave = nSlave;  // held so the terminal stays up while the station has it closed
        Info(std::string("plugged ") + szPts + " at " + m_szLink);
        return true;
    }

    void Unplug() {
        if (!IsPlugged()) return;
        unlink(m_szLink.c_str());
        close(m_nMaster);
        close(m_nSlave);
        m_nMaster = m_nSlave = -1;
        m_szRx.clear();
        Info("unplugged");
    }

    // True while the commands have to wait (sleep, notice-until); repeats the notice.
    bool Paused(long long nNow) {
        if (m_nNoticeUntil != 0) {
            if (m_nAtSeen > m_nAtSeenBefore) {
                m_nNoticeUntil = 0;
            } else if (nNow >= m_nNoticeUntil) {
                m_nNoticeUntil = 0;
                Info("no AT command before notice-until ran out");
            } else {
                if (nNow >= m_nNextNotice) {
                    WriteToStation("$008:0\r\n");
                    m_nNextNotice = nNow + 500;
                }
                return true;
            }
        }
        return nNow < m_nSleepUntil;
    }
    // Milliseconds until Paused may change its answer (at most 1000).
    int WakeInMs(long long nNow) const {
        long long nAt = nNow + 1000;
        if (m_nNoticeUntil != 0 && m_nNextNotice < nAt) nAt = m_nNextNotice;
        if (m_nSleepUntil > nNow && m_nSleepUntil < nAt) nAt = m_nSleepUntil;
        return nAt <= nNow ? 0 : static_cast<int>(nAt - nNow);
    }

    // Runs one command line; false when it asks to quit.
    bool Execute(const std::string& szLine) {
        std::string szRest = szLine;
        if (!szRest.empty() && szRest.back() == '\r') szRest.pop_back();
        const std::string szCmd = NextWord(&szRest);
        if (szCmd.empty() || szCmd[0] == '#') return true;
        Log("CMD", szLine);
        if (szCmd == "notice") {
            WriteToStation("$008:0\r\n");
        } else if (szCmd == "sms" || szCmd == "deliver") {
            PendingSms sms;
            sms.szTime = NextWord(&szRest);
            sms.szSender = NextWord(&szRest);
            sms.szText = szRest;
            if (sms.szSender.empty()) {
                Info("sms needs TIME SENDER TEXT");
                return true;
            }
            m_pending.push_back(sms);
            if (szCmd == "deliver") WriteToStation("$008:0\r\n");
        } else if (szCmd == "raw") {
            WriteToStation(Unescape(szRest));
        } else if (szCmd == "sleep") {
            m_nSleepUntil = NowMs() + std::atoll(NextWord(&szRest).c_str());
        } else if (szCmd == "notice-until") {
            const long long nNow = NowMs();
            m_nNoticeUntil = nNow + std::atoll(NextWord(&szRest).c_str());
            m_nNextNotice = nNow;
            m_nAtSeenBefore = m_nAtSeen;
        } else if (szCmd == "unplug") {
            Unplug();
        } else if (szCmd == "plug") {
            Plug();
        } else if (szCmd == "quit") {
            return false;
        } else {
            Info("unknown command: " + szCmd);
        }
        return true;
    }

    // Reads what the station wrote and answers the SMS read command.
    void ServeStation() {
        char buf[4096];
        for (;;) {
            const ssize_t n = read(m_nMaster, buf, sizeof buf);
            if (n <= 0) return;  // EAGAIN, or EIO while nobody holds the terminal
            const std::string szBytes(buf, static_cast<size_t>(n));
            LogBytes("RX", szBytes);
            m_szRx += szBytes;
            ProcessLines();
        }
    }

    void Info(const std::string& szText) { Log("INFO", szText); }

  private:
    void ProcessLines() {
        size_t nEnd;
        while ((nEnd = m_szRx.find_first_of("\r\n")) != std::string::npos) {
            const std::string szLine = m_szRx.substr(0, nEnd);
            m_szRx.erase(0, nEnd + 1);
            if (strcasecmp(szLine.c_str(), "AT$SMSMT=1?") == 0) {
                ++m_nAtSeen;
                AnswerSmsRead();
            }
        }
        if (m_szRx.size() > 4096) m_szRx.erase(0, m_szRx.size() - 4096);
    }

    void AnswerSmsRead() {
        if (m_pending.empty()) {
            Info("AT$SMSMT=1? with no SMS waiting");
            return;
        }
        const PendingSms sms = m_pending.front();
        m_pending.pop_front();
        const std::string szTime = ExpandTime(sms.szTime, static_cast<int64_t>(std::time(nullptr)));
        WriteToStation(BuildSmsAnswer(szTime, sms.szSender, sms.szText));
    }

    void WriteToStation(const std::string& szBytes) {
        if (!IsPlugged()) {
            Info("unplugged: nothing written");
            return;
        }
        size_t nDone = 0;
        while (nDone < szBytes.size()) {
            const ssize_t n = write(m_nMaster, szBytes.data() + nDone, szBytes.size() - nDone);
            if (n > 0) {
                nDone += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) {
                struct pollfd pfd = {m_nMaster, POLLOUT, 0};
                if (poll(&pfd, 1, 1000) > 0) continue;
            }
            Info("write to the terminal failed");
            break;
        }
        LogBytes("TX", szBytes.substr(0, nDone));
    }

    void LogBytes(const char* szKind, const std::string& szBytes) {
        Log(szKind,
            std::to_string(szBytes.size()) + " " + HexUpper(szBytes) + " " + QuoteBytes(szBytes));
    }

    void Log(const char* szKind, const std::string& szText) {
        std::fprintf(m_pLog, "%lld %s %s\n", NowMs(), szKind, szText.c_str());
        std::fflush(m_pLog);
    }

    FILE* m_pLog;                      // the record
    std::string m_szLink;              // where the device's symlink goes
    int m_nMaster = -1;                // modem side of the terminal
    int m_nSlave = -1;                 // station side, held open by the simulator too
    std::string m_szRx;                // station bytes not yet ended by CR or LF
    std::deque<PendingSms> m_pending;  // SMSs waiting for the read command
    long long m_nAtSeen = 0;           // AT commands received
    long long m_nSleepUntil = 0;       // sleep: the commands wait until then (ms)
    long long m_nNoticeUntil = 0;      // notice-until: its end (ms); 0 = not running
    long long m_nNextNotice = 0;       // notice-until: next notice (ms)
    long long m_nAtSeenBefore = 0;     // notice-until: AT commands seen when it began
};

std::string UnderRoot(const std::string& szRoot, const std::string& szPath) {
    if (szPath.empty() || szPath[0] == '/') return szPath;
    return szRoot + "/" + szPath;
}

}  // namespace

int main(int argc, char** argv) {
    std::string szRoot, szLink, szLogPath, szScript;
    for (int i = 1; i < argc; ++i) {
        const std::string szArg = argv[i];
        const bool bHasValue = i + 1 < argc;
        if (szArg == "--help" || szArg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (szArg == "--version") {
            std::printf("modem-sim %s\n", vplat::VelmoraVersion());
            return 0;
        } else if (szArg == "--root" && bHasValue) {
            szRoot = argv[++i];
        } else if (szArg == "--link" && bHasValue) {
            szLink = argv[++i];
        } else if (szArg == "--log" && bHasValue) {
            szLogPath = argv[++i];
        } else if (szArg == "--script" && bHasValue) {
            szScript = argv[++i];
        } else {
            std::fprintf(stderr, "modem-sim: unknown argument %s\n%s", szArg.c_str(), kUsage);
            return 2;
        }
    }
    if (szLink.empty()) {
        std::fprintf(stderr, "modem-sim: --link PATH is required\n%s", kUsage);
        return 2;
    }
    if (szRoot.empty()) {
        const char* szEnvRoot = std::getenv("VELMORA_ROOT");
        szRoot = (szEnvRoot != nullptr && szEnvRoot[0] != '\0') ? szEnvRoot : ".";
    }
    FILE* pLog = stdout;
    if (!szLogPath.empty()) {
        pLog = std::fopen(UnderRoot(szRoot, szLogPath).c_str(), "a");
        if (pLog == nullptr) {
            std::fprintf(stderr, "modem-sim: cannot open log %s\n", szLogPath.c_str());
            return 1;
        }
    }
    std::deque<std::string> commands;
    if (!szScript.empty()) {
        std::ifstream script(UnderRoot(szRoot, szScript));
        if (!script) {
            std::fprintf(stderr, "modem-sim: cannot read script %s\n", szScript.c_str());
            return 1;
        }
        for (std::string szLine; std::getline(script, szLine);) commands.push_back(szLine);
    }

    struct sigaction sa {};
    sa.sa_handler = OnQuitSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ModemSim sim(pLog, UnderRoot(szRoot, szLink));
    if (!sim.Plug()) return 1;

    bool bStdinOpen = true;
    std::string szStdin;  // stdin bytes not yet ended by LF
    bool bRun = true;
    while (bRun && !g_bQuit) {
        while (bRun && !sim.Paused(NowMs()) && !commands.empty()) {
            const std::string szLine = commands.front();
            commands.pop_front();
            bRun = sim.Execute(szLine);
        }
        if (!bRun) break;
        struct pollfd fds[2];
        int nFds = 0;
        int nMasterIdx = -1, nStdinIdx = -1;
        if (sim.IsPlugged()) {
            nMasterIdx = nFds;
            fds[nFds++] = {sim.MasterFd(), POLLIN, 0};
        }
        if (bStdinOpen) {
            nStdinIdx = nFds;
            fds[nFds++] = {STDIN_FILENO, POLLIN, 0};
        }
        const int nTimeout = sim.WakeInMs(NowMs());
        if (poll(fds, static_cast<nfds_t>(nFds), nTimeout) <= 0) continue;
        if (nMasterIdx >= 0 && fds[nMasterIdx].revents != 0) {
            sim.ServeStation();
            if ((fds[nMasterIdx].revents & POLLIN) == 0) usleep(10000);  // HUP/ERR: no spin
        }
        if (nStdinIdx >= 0 && fds[nStdinIdx].revents != 0) {
            char buf[4096];
            const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                bStdinOpen = false;
                continue;
            }
            szStdin.append(buf, static_cast<size_t>(n));
            size_t nEnd;
            while ((nEnd = szStdin.find('\n')) != std::string::npos) {
                commands.push_back(szStdin.substr(0, nEnd));
                szStdin.erase(0, nEnd + 1);
            }
            if (szStdin.size() > 65536) szStdin.clear();  // no line is that long
        }
    }
    sim.Unplug();
    if (pLog != stdout) std::fclose(pLog);
    return 0;
}
