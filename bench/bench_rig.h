// The rig of the benchmarks that run the station's real programs: a throw-away station
// root with both INI files, the programs started in it, their output lines read from a
// pipe and time-stamped on arrival, the CPU time, memory and context switches of a
// process read from /proc, figures (median, percentiles) and options. Header-only, like
// bench/bench_peer.h, so that every benchmark stays one program of its own
// (bench/*_bench.cc). The station's Manager PC port is fixed (11001), so each rig listens
// on an address of its own in 127.0.1.0/24, away from the addresses of the tests.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/e2e/pattern_bytes.h"

extern char** environ;

namespace vbench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kManagerPort = 11001;  // the station always dials this port

inline double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}
inline double Millis(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The nth percentile (0-100) of a set of figures; 0 for none.
inline double Percentile(std::vector<double> v, double dPct) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t k = static_cast<size_t>(dPct / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(k, v.size() - 1)];
}
inline double Median(const std::vector<double>& v) { return Percentile(v, 50); }
inline double Mean(const std::vector<double>& v) {
    double d = 0;
    for (double x : v) d += x;
    return v.empty() ? 0 : d / static_cast<double>(v.size());
}

// The directory this program runs from: the station's programs are built beside it.
inline std::string ProgramDir() {
    char szPath[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", szPath, sizeof szPath - 1);
    if (n <= 0) return ".";
    return fs::path(std::string(szPath, static_cast<size_t>(n))).parent_path().string();
}

// A listening TCP socket on szAddr:nPort (port 0: any), or -1.
inline int ListenOn(const std::string& szAddr, uint16_t nPort) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(nPort);
    if (::inet_pton(AF_INET, szAddr.c_str(), &a.sin_addr) != 1) return -1;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int nOne = 1;
    if (fd < 0) return -1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline void NoDelay(int fd) {
    const int nOne = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof nOne);
}

// A loopback address in 127.0.1.0/24 whose Manager PC port is free now.
inline std::string FreeManagerAddress() {
    for (int k = 0; k < 240; ++k) {
        const std::string sz = "127.0.1." + std::to_string(10 + (::getpid() + k) % 240);
        const int fd = ListenOn(sz, kManagerPort);
        if (fd >= 0) {
            ::close(fd);
            return sz;
        }
    }
    return "127.0.1.250";
}

using vpattern::PatternBytes;

// ---- A station root and the programs started in it ----

class BenchStation {
  public:
    // A fresh root under /tmp: INI files naming station ABCDE, a speed station on a leased
    // line to szManagerAddr in normal operation, violation directory d:/ENF_IMG.
    BenchStation(const std::string& szManagerAddr, int nTimeScale) : m_nTimeScale(nTimeScale) {
        char szTemplate[] = "/tmp/velmora-bench-XXXXXX";
        const char* p = ::mkdtemp(szTemplate);
        m_szRoot = p != nullptr ? p : "";
        for (const char* dir : {"d/QN64-ABRIX/Data", "d/QN64-ABRIX/Bin", "d/ENF_IMG",
                                "d/Capture_img", "d/System_Log", "staging"}) {
            fs::create_directories(Path(dir));
        }
        Write("d/QN64-ABRIX/Data/ConfigInfoSetup.ini",
              "[SelectSystem]\r\nTHIS_PROGRAM_KIND=2\r\n[LocalInfo]\r\nLOCAL_ADDRESS=ABCDE\r\n"
              "LOCAL_NAME=Bench Station\r\nCENTER_COMM_KIND=0\r\nMANAGE_PC_IP=" +
                  szManagerAddr +
                  "\r\nENF_CAMERA_CNT=1\r\n[OperationInfo]\r\nOPERATION_MODE=0\r\n"
                  "[DigitalCAM_1]\r\nTARGET_LANE_1=1\r\n[Velmora]\r\nSET_MACHINE_CLOCK=0\r\n");
        Write("d/QN64-ABRIX/Data/LocalMemorySet.ini",
              "[AdditionItem]\r\nENF_IMG_DIRECTORY=d:/ENF_IMG\r\n");
    }
    ~BenchStation() {
        while (!m_pids.empty()) Stop(m_pids.back());
        std::error_code ec;
        if (!m_szRoot.empty() && std::getenv("VELMORA_KEEP_ROOT") == nullptr)
            fs::remove_all(m_szRoot, ec);
    }
    BenchStation(const BenchStation&) = delete;
    BenchStation& operator=(const BenchStation&) = delete;

    bool Ok() const { return !m_szRoot.empty(); }
    std::string Path(const std::string& szRel) const { return m_szRoot + "/" + szRel; }
    void Write(const std::string& szRel, const std::string& szBytes) const {
        std::ofstream(Path(szRel), std::ios::binary | std::ios::trunc) << szBytes;
    }
    // A violation file written beside the directory and renamed in, so the station never
    // sees it half written.
    void PutViolationFile(const std::string& szName, const std::string& szBytes) const {
        Write("staging/" + szName, szBytes);
        fs::rename(Path("staging/" + szName), Path("d/ENF_IMG/" + szName));
    }
    bool Exists(const std::string& szRel) const {
        std::error_code ec;
        return fs::exists(Path(szRel), ec);
    }

    // Starts a program built beside this one in the program directory of the root, its
    // stdout and stderr going to nOutFd (-1: /dev/null). The pid, or -1.
    pid_t Start(const std::string& szProgram, std::vector<std::string> args, int nOutFd = -1) {
        std::vector<std::string> argv{ProgramDir() + "/" + szProgram};
        if (szProgram != "velmora-mgrpc") {
            argv.push_back("--root");
            argv.push_back(m_szRoot);
        }
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> envs{
            "VELMORA_ROOT=" + m_szRoot, "PATH=/usr/bin:/bin", "VELMORA_CLOCK_OFFSET=1",
            "TZ=" + std::string(std::getenv("TZ") ? std::getenv("TZ") : "UTC")};
        if (m_nTimeScale > 1) envs.push_back("VELMORA_TIME_SCALE=" + std::to_string(m_nTimeScale));
        std::vector<char*> cargv;
        std::vector<char*> cenv;
        for (std::string& a : argv) cargv.push_back(a.data());
        for (std::string& e : envs) cenv.push_back(e.data());
        cargv.push_back(nullptr);
        cenv.push_back(nullptr);

        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        if (nOutFd >= 0) {
            posix_spawn_file_actions_adddup2(&fa, nOutFd, 1);
        } else {
            posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        }
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        // The program runs from D:/QN64-ABRIX/Bin, as on the station.
        const fs::path old = fs::current_path();
        fs::current_path(Path("d/QN64-ABRIX/Bin"));
        pid_t nPid = -1;
        if (::posix_spawn(&nPid, argv[0].c_str(), &fa, nullptr, cargv.data(), cenv.data()) != 0)
            nPid = -1;
        fs::current_path(old);
        posix_spawn_file_actions_destroy(&fa);
        if (nPid > 0) m_pids.push_back(nPid);
        return nPid;
    }
    // Ends a program this station started.
    void Stop(pid_t nPid) {
        if (nPid <= 0) return;
        auto it = std::find(m_pids.begin(), m_pids.end(), nPid);
        if (it == m_pids.end()) return;
        m_pids.erase(it);
        ::kill(nPid, SIGKILL);
        ::waitpid(nPid, nullptr, 0);
    }
    bool Running(pid_t nPid) const { return nPid > 0 && ::waitpid(nPid, nullptr, WNOHANG) == 0; }
    int TimeScale() const { return m_nTimeScale; }

  private:
    std::string m_szRoot;       // the station root
    int m_nTimeScale;           // VELMORA_TIME_SCALE of the programs (1: real time)
    std::vector<pid_t> m_pids;  // programs started and not yet stopped
};

// ---- Output lines of a program, time-stamped as they arrive ----

struct StampedLine {
    Clock::time_point tAt;  // when the line arrived
    std::string szText;     // the line without its newline
};

class LineReader {
  public:
    LineReader() {
        int fds[2] = {-1, -1};
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            m_nRead = fds[0];
            m_nWrite = fds[1];
        }
        m_thread = std::thread([this] { Run(); });
    }
    ~LineReader() {
        m_bStop = true;
        m_thread.join();
        CloseWriteEnd();
        if (m_nRead >= 0) ::close(m_nRead);
    }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The end to give a program as its stdout; close it here once the program has it.
    int WriteEnd() const { return m_nWrite; }
    void CloseWriteEnd() {
        if (m_nWrite >= 0) ::close(m_nWrite);
        m_nWrite = -1;
    }
    // Waits for the first line from index *pnFrom on that satisfies pred; its index goes
    // to *pnFrom and the line to *pOut. False on time-out.
    bool WaitLine(const std::function<bool(const std::string&)>& pred, size_t* pnFrom,
                  Clock::duration timeout, StampedLine* pOut) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const Clock::time_point tEnd = Clock::now() + timeout;
        for (;;) {
            for (size_t k = *pnFrom; k < m_lines.size(); ++k) {
                if (!pred(m_lines[k].szText)) continue;
                *pnFrom = k + 1;
                *pOut = m_lines[k];
                return true;
            }
            *pnFrom = m_lines.size();
            if (m_cv.wait_until(lock, tEnd) == std::cv_status::timeout) return false;
        }
    }

  private:
    void Run() {
        std::string szPart;
        std::vector<char> buf(1 << 16);
        while (!m_bStop && m_nRead >= 0) {
            pollfd p{m_nRead, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = ::read(m_nRead, buf.data(), buf.size());
            if (n <= 0) {
                if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            const Clock::time_point tAt = Clock::now();
            szPart.append(buf.data(), static_cast<size_t>(n));
            std::lock_guard<std::mutex> lock(m_mutex);
            for (size_t nEol; (nEol = szPart.find('\n')) != std::string::npos;) {
                m_lines.push_back({tAt, szPart.substr(0, nEol)});
                szPart.erase(0, nEol + 1);
            }
            m_cv.notify_all();
        }
    }

    int m_nRead = -1;                  // read end of the pipe
    int m_nWrite = -1;                 // write end, until the program has it
    std::atomic<bool> m_bStop{false};  // ends the reading thread
    std::mutex m_mutex;                // guards m_lines
    std::condition_variable m_cv;      // a line arrived
    std::vector<StampedLine> m_lines;  // every line so far
    std::thread m_thread;              // the reader
};

inline bool StartsWith(const std::string& sz, const char* szHead) { return sz.rfind(szHead, 0) == 0; }

// Starts velmora-mgrpc on szAddr (without polls of its own), its lines going to *pOut, and
// once it listens the main program stand-in and the station. False, with the reason on
// stderr, when the center does not listen. *pnFrom is left after the center's first line.
inline bool StartCenterAndStation(BenchStation& st, const std::string& szAddr, LineReader* pOut,
                                  size_t* pnFrom, pid_t* pCenter = nullptr,
                                  pid_t* pStation = nullptr) {
    const pid_t nCenter =
        st.Start("velmora-mgrpc", {"--listen", szAddr, "--poll", "0"}, pOut->WriteEnd());
    if (nCenter < 0) return false;
    if (pCenter != nullptr) *pCenter = nCenter;
    pOut->CloseWriteEnd();
    StampedLine line;
    if (!pOut->WaitLine([](const std::string& sz) { return StartsWith(sz, "LISTEN "); }, pnFrom,
                        std::chrono::seconds(5), &line)) {
        std::fprintf(stderr, "velmora-mgrpc does not listen on %s\n", szAddr.c_str());
        return false;
    }
    st.Start("harwent-sim", {});
    const pid_t nStation = st.Start("velmora", {"--headless"});
    if (pStation != nullptr) *pStation = nStation;
    return true;
}

// ---- What a process costs, from /proc ----

struct ProcUsage {
    double dCpuMs = 0;   // user + system time of all its threads (clock ticks)
    double dRunMs = 0;   // time on a CPU of all its threads (scheduler, nanoseconds)
    long nRssKb = 0;     // resident set now
    long nHwmKb = 0;     // largest resident set so far
    long nSwitches = 0;  // voluntary + involuntary context switches of all its threads
    int nThreads = 0;    // threads now
};

inline long StatusField(const std::string& szText, const char* szKey) {
    const size_t nAt = szText.find(szKey);
    return nAt == std::string::npos ? 0 : std::atol(szText.c_str() + nAt + std::strlen(szKey));
}

inline std::string SlurpFile(const std::string& szPath) {
    std::ifstream in(szPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline bool ReadProcUsage(pid_t nPid, ProcUsage* pOut) {
    const std::string szDir = "/proc/" + std::to_string(nPid);
    const std::string szStat = SlurpFile(szDir + "/stat");
    const size_t nParen = szStat.rfind(')');
    if (nParen == std::string::npos) return false;
    // Fields after the command: state is field 3; utime and stime are fields 14 and 15.
    std::istringstream in(szStat.substr(nParen + 2));
    std::string szField;
    unsigned long long nUtime = 0;
    unsigned long long nStime = 0;
    for (int nField = 3; nField <= 15 && in >> szField; ++nField) {
        if (nField == 14) nUtime = std::stoull(szField);
        if (nField == 15) nStime = std::stoull(szField);
    }
    const double dTick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    pOut->dCpuMs = static_cast<double>(nUtime + nStime) * 1000.0 / dTick;
    const std::string szStatus = SlurpFile(szDir + "/status");
    pOut->nRssKb = StatusField(szStatus, "VmRSS:");
    pOut->nHwmKb = StatusField(szStatus, "VmHWM:");
    pOut->nThreads = static_cast<int>(StatusField(szStatus, "Threads:"));
    pOut->nSwitches = 0;
    pOut->dRunMs = 0;
    if (DIR* pDir = ::opendir((szDir + "/task").c_str())) {
        while (dirent* e = ::readdir(pDir)) {
            if (e->d_name[0] == '.') continue;
            const std::string szTask = szDir + "/task/" + e->d_name;
            const std::string szStatusText = SlurpFile(szTask + "/status");
            pOut->nSwitches += StatusField(szStatusText, "voluntary_ctxt_switches:") +
                               StatusField(szStatusText, "nonvoluntary_ctxt_switches:");
            pOut->dRunMs += std::atof(SlurpFile(szTask + "/schedstat").c_str()) / 1e6;
        }
        ::closedir(pDir);
    }
    return true;
}

// Time on a CPU (scheduler, nanoseconds) of each thread of a process now: (tid, ns).
inline std::vector<std::pair<long, double>> ThreadRunNs(pid_t nPid) {
    std::vector<std::pair<long, double>> out;
    const std::string szDir = "/proc/" + std::to_string(nPid) + "/task";
    if (DIR* pDir = ::opendir(szDir.c_str())) {
        while (dirent* e = ::readdir(pDir)) {
            if (e->d_name[0] == '.') continue;
            const std::string sz = SlurpFile(szDir + "/" + e->d_name + "/schedstat");
            out.emplace_back(std::atol(e->d_name), std::atof(sz.c_str()));
        }
        ::closedir(pDir);
    }
    return out;
}

// The thread other than the main one that ran most between two ThreadRunNs readings, and
// how long (ns); the whole process's time between them goes to *pdTotalNs.
inline double BusiestThreadNs(pid_t nPid, const std::vector<std::pair<long, double>>& before,
                              const std::vector<std::pair<long, double>>& after,
                              double* pdTotalNs) {
    double dBest = 0;
    double dTotal = 0;
    for (const auto& [nTid, dNs] : after) {
        double dFrom = 0;
        for (const auto& [nTid0, dNs0] : before) {
            if (nTid0 == nTid) dFrom = dNs0;
        }
        dTotal += dNs - dFrom;
        if (nTid != static_cast<long>(nPid) && dNs - dFrom > dBest) dBest = dNs - dFrom;
    }
    if (pdTotalNs != nullptr) *pdTotalNs = dTotal;
    return dBest;
}

// CPU time of the calling thread in microseconds.
inline double ThreadCpuUs() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// The first three figures of /proc/loadavg: how busy the machine was.
inline std::string LoadAverage() {
    std::istringstream in(SlurpFile("/proc/loadavg"));
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// ---- Command line of a benchmark: --name N options ----

inline int IntOption(int argc, char** argv, const char* szName, int nDefault) {
    for (int k = 1; k + 1 < argc; ++k) {
        if (std::strcmp(argv[k], szName) == 0) return std::atoi(argv[k + 1]);
    }
    return nDefault;
}
inline std::string TextOption(int argc, char** argv, const char* szName, const char* szDefault) {
    for (int k = 1; k + 1 < argc; ++k) {
        if (std::strcmp(argv[k], szName) == 0) return argv[k + 1];
    }
    return szDefault;
}
inline bool HelpAsked(int argc, char** argv) {
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--help") == 0 || std::strcmp(argv[k], "-h") == 0) return true;
    }
    return false;
}

}  // namespace vbench
