// Starts and stops the station's real programs in a throw-away station root.
#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;

// ---- The programs' command lines: Linux, or the Windows build under Wine ----
//
// With VELMORA_E2E_WINE=<Windows build>/bin the station's own programs are its .exe files,
// started by wine64 in the Wine prefix WINEPREFIX (default: the prefix beside that bin
// directory, scripts/wine-env.sh's); the Manager PC and the modem stay Linux programs.
// The prefix's drive D: is this station's d/ folder (PointWineDrives), so one station at
// a time: run those tests serially.

namespace {

std::string WineBinDir() {
    const char* sz = std::getenv("VELMORA_E2E_WINE");
    return sz != nullptr ? sz : "";
}

bool IsLinuxTool(const std::string& szName) {
    return szName == "velmora-mgrpc" || szName == "modem-sim";
}

// wine64 (VELMORA_E2E_WINE_LOADER overrides Debian's place of it).
std::string WineLoader() {
    const char* sz = std::getenv("VELMORA_E2E_WINE_LOADER");
    return sz != nullptr && *sz != '\0' ? sz : "/usr/lib/wine/wine64";
}

std::string WinePrefix() {
    const char* sz = std::getenv("WINEPREFIX");
    if (sz != nullptr && *sz != '\0') return sz;
    return fs::path(WineBinDir()).parent_path().string() + "/wineprefix";
}

// A Linux path as a Windows program sees it (Wine's Z: is /); other words unchanged.
std::string ForWine(const std::string& szArg) {
    return !szArg.empty() && szArg[0] == '/' ? "Z:" + szArg : szArg;
}

// A value that names a Linux path (say the modem's device) as the station's programs see it.
std::string ForStation(const std::string& szValue) {
    return WineBinDir().empty() ? szValue : ForWine(szValue);
}

// Wine's drive letters d: to y: point at the station root's folders of those names.
void PointWineDrives(const std::string& szRoot) {
    if (WineBinDir().empty()) return;
    const fs::path devices = fs::path(WinePrefix()) / "dosdevices";
    for (char c = 'd'; c <= 'y'; ++c) {
        const fs::path link = devices / (std::string(1, c) + ":");
        std::error_code ec;
        if (fs::is_symlink(fs::symlink_status(link, ec))) fs::remove(link, ec);
        const std::string szFolder = szRoot + "/" + c;
        if (fs::is_directory(szFolder)) fs::create_directory_symlink(szFolder, link, ec);
    }
}

// The command line and environment of a program of build/bin started in the station root.
void BuildLaunch(const std::string& szProgram, const std::vector<std::string>& args,
                 const std::string& szRoot, int nTimeScale, std::vector<std::string>* pArgv,
                 std::vector<std::string>* pEnvs) {
    const bool bWine = !WineBinDir().empty() && !IsLinuxTool(szProgram);
    std::vector<std::string>& argv = *pArgv;
    if (bWine) argv.push_back(WineLoader());
    argv.push_back(Bin(szProgram));
    if (szProgram != "velmora-mgrpc") {
        argv.push_back("--root");
        argv.push_back(szRoot);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    if (bWine) {
        for (size_t i = 2; i < argv.size(); ++i) argv[i] = ForWine(argv[i]);
    }

    *pEnvs = {"VELMORA_ROOT=" + (bWine ? ForWine(szRoot) : szRoot),
              "VELMORA_TIME_SCALE=" + std::to_string(nTimeScale), "VELMORA_DEBUG=1",
              "VELMORA_CLOCK_OFFSET=1",  // never the machine's clock, whatever the INI says
              bWine ? "PATH=/usr/lib/wine:/usr/bin:/bin" : "PATH=/usr/bin:/bin",
              "TZ=" + std::string(std::getenv("TZ") ? std::getenv("TZ") : "UTC")};
    if (bWine) {
        pEnvs->push_back("WINEPREFIX=" + WinePrefix());
        pEnvs->push_back("WINEDEBUG=-all");
        const char* szHome = std::getenv("HOME");
        if (szHome != nullptr) pEnvs->push_back(std::string("HOME=") + szHome);
    }
    // Sanitizer builds: the programs stop at their first report, which fails the test.
    for (const char* szName : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
        const char* szValue = std::getenv(szName);
        if (szValue != nullptr) pEnvs->push_back(std::string(szName) + "=" + szValue);
    }
}

// Programs the station started itself (the dialer, the update receiver) are not the
// test's children: they are found by their path under the root and ended too.
void EndProgramsUnderRoot(const std::string& szRoot) {
    const std::string szPrefix = szRoot + "/";
    std::vector<pid_t> pids;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string szName = entry.path().filename().string();
        if (szName.empty() || !std::all_of(szName.begin(), szName.end(), ::isdigit)) continue;
        const std::string szCmd = ReadFile(entry.path().string() + "/cmdline");
        if (szCmd.compare(0, szPrefix.size(), szPrefix) == 0) pids.push_back(std::stoi(szName));
    }
    for (pid_t nPid : pids) kill(nPid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (pid_t nPid : pids) {
        while (kill(nPid, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(nPid, SIGKILL);
    }
}

}  // namespace

std::string Bin(const std::string& szName) {
    if (!WineBinDir().empty() && !IsLinuxTool(szName)) return WineBinDir() + "/" + szName + ".exe";
    return std::string(VELMORA_BIN_DIR) + "/" + szName;
}

std::string ReadFile(const std::string& szPath) {
    std::ifstream in(szPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& szPath, const std::string& szContent) {
    fs::create_directories(fs::path(szPath).parent_path());
    std::ofstream out(szPath, std::ios::binary | std::ios::trunc);
    out << szContent;
}

std::string FromCp949(const std::string& szBytes) {
    iconv_t cd = iconv_open("UTF-8", "CP949");
    if (cd == reinterpret_cast<iconv_t>(-1)) return szBytes;
    std::string out(szBytes.size() * 2 + 16, '\0');
    char* pIn = const_cast<char*>(szBytes.data());
    size_t nIn = szBytes.size();
    char* pOut = out.data();
    size_t nOut = out.size();
    while (nIn > 0) {
        if (iconv(cd, &pIn, &nIn, &pOut, &nOut) == static_cast<size_t>(-1)) {
            if (nOut == 0) break;
            *pOut++ = '?';  // a byte that is not CP949
            --nOut;
            ++pIn;
            --nIn;
        }
    }
    iconv_close(cd);
    out.resize(out.size() - nOut);
    return out;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto tEnd = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < tEnd) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return pred();
}

size_t Count(const std::string& sz, const std::string& what) {
    size_t n = 0;
    for (size_t at = sz.find(what); at != std::string::npos; at = sz.find(what, at + 1)) ++n;
    return n;
}

size_t CountLines(const std::string& sz, const std::vector<std::string>& parts) {
    size_t n = 0;
    std::istringstream in(sz);
    for (std::string line; std::getline(in, line);) {
        n += std::all_of(parts.begin(), parts.end(),
                         [&](const std::string& p) { return Contains(line, p); });
    }
    return n;
}

Station::Station(int nHost, int nTimeScale) : m_nTimeScale(nTimeScale) {
    char szTemplate[] = "/tmp/velmora-e2e-XXXXXX";
    m_szRoot = mkdtemp(szTemplate);
    // VELMORA_E2E_NET moves every test to 127.N.0.x, so that two checkouts can run their
    // suites on one machine at the same time.
    const char* szNet = std::getenv("VELMORA_E2E_NET");
    const int nNet = szNet != nullptr ? std::atoi(szNet) : 0;
    m_szAddr = "127." + std::to_string(nNet > 0 && nNet < 255 ? nNet : 0) + ".0." +
               std::to_string(nHost);
    for (const char* dir :
         {"d/QN64-ABRIX/Data", "d/QN64-ABRIX/Bin", "d/ENF_IMG", "d/Capture_img", "center"}) {
        fs::create_directories(Path(dir));
    }
    const std::time_t now = std::time(nullptr);
    std::tm tmNow{};
    localtime_r(&now, &tmNow);
    fs::create_directories(Path("d/System_Log/" + std::to_string(tmNow.tm_year + 1900)));
    m_ini = {{"SelectSystem/THIS_PROGRAM_KIND", "2"},  {"LocalInfo/LOCAL_ADDRESS", "ABCDE"},
             {"LocalInfo/LOCAL_NAME", "Test Station"}, {"LocalInfo/CENTER_COMM_KIND", "0"},
             {"LocalInfo/MANAGE_PC_IP", m_szAddr},     {"LocalInfo/ENF_CAMERA_CNT", "1"},
             {"OperationInfo/OPERATION_MODE", "0"},    {"DigitalCAM_1/TARGET_LANE_1", "1"},
             {"Velmora/SET_MACHINE_CLOCK", "0"}};  // tests run as root: never the machine clock
    WriteConfig();
    WriteFile(Path("d/QN64-ABRIX/Data/LocalMemorySet.ini"),
              "[AdditionItem]\r\nENF_IMG_DIRECTORY=d:/ENF_IMG\r\n");
    for (const char* exe : {"Brisketon.exe", "Quillamor.exe"}) {
        fs::create_symlink(Bin("sibling-stub"), Path(std::string("d/QN64-ABRIX/Bin/") + exe));
    }
    PointWineDrives(m_szRoot);
}

Station::~Station() {
    // Programs get a termination request first, so that they end through their own
    // shutdown (and leak-checking builds check at that point); then SIGKILL.
    for (Proc& p : m_procs) {
        if (p.nPid > 0) kill(p.nPid, SIGTERM);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (Proc& p : m_procs) {
        if (p.nPid <= 0) continue;
        while (waitpid(p.nPid, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(p.nPid, SIGKILL);
                waitpid(p.nPid, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        p.nPid = -1;
    }
    EndProgramsUnderRoot(m_szRoot);
    // A sanitizer report of any program fails the test, also one that came after its checks.
    for (const Proc& p : m_procs) {
        const std::string szOut = ReadFile(p.szOut);
        for (const char* szMark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                   "WARNING: ThreadSanitizer", "runtime error:"}) {
            const size_t nAt = szOut.find(szMark);
            if (nAt != std::string::npos) {
                ADD_FAILURE() << p.szOut << ": " << szOut.substr(nAt, 2000);
                break;
            }
        }
    }
    if (std::getenv("VELMORA_KEEP_ROOT") == nullptr) {
        std::error_code ec;
        fs::remove_all(m_szRoot, ec);
    }
}

void Station::WriteConfig() {
    std::map<std::string, std::string> sections;
    for (const auto& [key, value] : m_ini) {
        const size_t nSlash = key.find('/');
        sections[key.substr(0, nSlash)] +=
            key.substr(nSlash + 1) + "=" + ForStation(value) + "\r\n";
    }
    std::string text;
    for (const auto& [section, body] : sections) text += "[" + section + "]\r\n" + body;
    WriteFile(Path("d/QN64-ABRIX/Data/ConfigInfoSetup.ini"), text);
}

Proc Station::Start(const std::string& szProgram, const std::vector<std::string>& args) {
    Proc p;
    p.szOut = Path(szProgram + "." + std::to_string(m_procs.size()) + ".out");
    std::vector<std::string> argv, envs;
    BuildLaunch(szProgram, args, m_szRoot, m_nTimeScale, &argv, &envs);
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    std::vector<char*> cenv;
    for (std::string& e : envs) cenv.push_back(e.data());
    cenv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, p.szOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    const std::string szCwd = Path("d/QN64-ABRIX/Bin");
    const std::string szOld = fs::current_path();
    // posix_spawn has no portable chdir action on Debian 12's glibc: switch around it.
    fs::current_path(szCwd);
    if (posix_spawn(&p.nPid, argv[0].c_str(), &fa, nullptr, cargv.data(), cenv.data()) != 0) {
        p.nPid = -1;
    }
    fs::current_path(szOld);
    posix_spawn_file_actions_destroy(&fa);
    m_procs.push_back(p);
    return p;
}

Proc Station::StartHarwent() {
    fs::create_directories(Path(".windows"));
    Proc p = Start("harwent-sim", {"--log", Path(".windows/harwent.log")});
    WaitFor(
        [&] {
            return !StubLog("Harwent Console v1.0").empty() ||
                   fs::exists(Path(".shm/LOCALSTATUSINFO"));
        },
        std::chrono::seconds(5));
    return p;
}

Proc Station::StartStub(const std::string& szTitle) {
    fs::create_directories(Path(".windows"));
    return Start("sibling-stub",
                 {"--title", szTitle, "--log", Path(".windows/" + szTitle + ".msglog")});
}

Proc Station::StartCenter(const std::vector<std::string>& extra) {
    // Silent unless a test asks for the status polls (a later --poll wins).
    std::vector<std::string> args{"--listen", m_szAddr, "--store", Path("center"), "--poll", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Start("velmora-mgrpc", args);
}

int Station::Wait(Proc& p, std::chrono::milliseconds timeout) {
    int nStatus = 0;
    const auto tEnd = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < tEnd) {
        const pid_t r = waitpid(p.nPid, &nStatus, WNOHANG);
        if (r == p.nPid) {
            p.nPid = -1;
            return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

void Station::Kill(Proc& p, int nSignal) {
    if (p.nPid <= 0) return;
    kill(p.nPid, nSignal);
    waitpid(p.nPid, nullptr, 0);
    for (Proc& q : m_procs) {
        if (q.nPid == p.nPid) q.nPid = -1;
    }
    p.nPid = -1;
}

bool Station::Running(const Proc& p) { return p.nPid > 0 && kill(p.nPid, 0) == 0; }

std::string Station::Run(const std::string& szProgram, const std::vector<std::string>& args) {
    Proc p = Start(szProgram, args);
    Wait(p, std::chrono::seconds(15));
    return ReadFile(p.szOut);
}

std::map<int, std::string> Station::Controls() {
    std::map<int, std::string> controls;
    std::istringstream in(Run("velmoractl", {"show"}));
    std::string line;
    while (std::getline(in, line)) {
        const size_t nSpace = line.find(' ');
        if (nSpace == std::string::npos) continue;
        controls[std::atoi(line.substr(0, nSpace).c_str())] = line.substr(nSpace + 1);
    }
    return controls;
}

std::string Station::Control(int nId) {
    auto controls = Controls();
    auto it = controls.find(nId);
    return it == controls.end() ? std::string("<none>") : it->second;
}

::testing::AssertionResult Station::WaitControl(int nId, const std::string& szText,
                                                std::chrono::milliseconds timeout) {
    std::string szLast;
    if (WaitFor([&] { return (szLast = Control(nId)) == szText; }, timeout)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "control " << nId << " shows \"" << szLast
                                         << "\", not \"" << szText << "\"; velmoractl show:\n"
                                         << Run("velmoractl", {"show"});
}

std::string Station::StubLog(const std::string& szTitle) {
    if (szTitle == "Harwent Console v1.0") return ReadFile(Path(".windows/harwent.log"));
    return ReadFile(Path(".windows/" + szTitle + ".msglog"));
}

std::string Station::SystemLog() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    char szRel[128];
    std::snprintf(szRel, sizeof szRel, "d/System_Log/%d/%d%02d%02d.ABCDE", t.tm_year + 1900,
                  t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return FromCp949(ReadFile(Path(szRel)));
}

// ---- Violation files ----

namespace {

// Where a file waits, where the center stores it and where the station retires it.
std::string WaitingPath(const Station& st, const std::string& sz) {
    return st.Path("d/ENF_IMG/" + sz);
}
std::string StoredPath(const Station& st, const std::string& sz) {
    return st.Path("center/ABCDE/" + sz);
}
std::string RetiredPath(const Station& st, const std::string& sz) {
    return st.Path("d/delete_img/" + sz);
}
bool Exists(const std::string& szPath) {
    std::error_code ec;
    return fs::exists(szPath, ec);
}

// The value of key="..." in one output line ("" when absent); \" and \\ unescaped.
std::string QuotedField(const std::string& szLine, const std::string& szKey) {
    const size_t nAt = szLine.find(" " + szKey + "=\"");
    std::string sz;
    for (size_t k = nAt + szKey.size() + 3;
         nAt != std::string::npos && k < szLine.size() && szLine[k] != '"'; ++k) {
        if (szLine[k] == '\\' && k + 1 < szLine.size()) ++k;
        sz += szLine[k];
    }
    return sz;
}

// nSize bytes that depend only on nSeed (every byte value occurs, frame bytes included).
std::string PatternBytes(size_t nSize, uint32_t nSeed) {
    std::string sz(nSize, '\0');
    uint32_t x = nSeed * 2654435761u + 0x9E3779B9u;
    for (char& c : sz) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return sz;
}

}  // namespace

std::vector<std::string> CenterLines(const Station& st, const std::string& szTag) {
    std::map<int, std::string> outputs;  // start index -> output file
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(st.Path(""), ec)) {
        int nIndex = -1;
        char cDot = 0;
        if (std::sscanf(entry.path().filename().c_str(), "velmora-mgrpc.%d.ou%c", &nIndex, &cDot) ==
            2)
            outputs[nIndex] = entry.path().string();
    }
    std::vector<std::string> lines;
    for (const auto& [nIndex, szPath] : outputs) {
        std::istringstream in(ReadFile(szPath));
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(szTag, 0) == 0) lines.push_back(line);
        }
    }
    return lines;
}

std::vector<std::string> CenterVolFiles(const Station& st) {
    std::vector<std::string> names;
    for (const std::string& line : CenterLines(st, "FILE ")) {
        if (Contains(line, " code=51 ")) names.push_back(QuotedField(line, "file"));
    }
    return names;
}

VolAccount AccountVolFiles(const Station& st, const FileSet& files) {
    VolAccount account;
    const std::vector<std::string> stored = CenterVolFiles(st);
    for (const auto& [szName, szBytes] : files) {
        auto problem = [&, &szName = szName](const std::string& sz) {
            account.problems.push_back(szName + sz);
        };
        const size_t nStoredLines =
            static_cast<size_t>(std::count(stored.begin(), stored.end(), szName));
        const bool bWaiting = Exists(WaitingPath(st, szName));
        const bool bStored = nStoredLines > 0 && Exists(StoredPath(st, szName));
        const bool bRetired = Exists(RetiredPath(st, szName));
        const std::string szStored = bStored ? ReadFile(StoredPath(st, szName)) : "";
        if (bWaiting && ReadFile(WaitingPath(st, szName)) != szBytes)
            problem(" changed in the violation directory");
        if (nStoredLines > 0 && !bStored) problem(" reported stored but missing at the center");
        if (bStored && szStored != szBytes) {
            problem(" stored corrupted (" + std::to_string(szStored.size()) + " of " +
                    std::to_string(szBytes.size()) + " bytes)");
        }
        if (bRetired && ReadFile(RetiredPath(st, szName)) != szBytes)
            problem(" corrupted in delete_img");
        if (nStoredLines > 1 || (bStored && (bWaiting || bRetired)) || (bWaiting && bRetired)) {
            account.duplicates.push_back(szName + ": stored " + std::to_string(nStoredLines) +
                                         " time(s)" + (bWaiting ? ", still waiting" : "") +
                                         (bRetired ? ", in delete_img" : ""));
        }
        if (!bWaiting && !bStored && !bRetired) problem(" is lost");
        account.fates[szName] = bWaiting   ? "waiting"
                                : bStored  ? "stored"
                                : bRetired ? "retired"
                                           : "lost";
    }
    return account;
}

VolScene::VolScene(int nHost, const std::vector<size_t>& sizes, int nTimeScale)
    : st(nHost, nTimeScale) {
    for (size_t k = 0; k < sizes.size(); ++k) Put(std::to_string(1000 + k) + ".ABCDE", sizes[k]);
}

// Written beside the violation directory and renamed in, so the station never sees it
// half written.
void VolScene::Put(const std::string& szName, size_t nSize) {
    files[szName] = PatternBytes(nSize, static_cast<uint32_t>(std::atoi(szName.c_str())));
    WriteFile(st.Path("staging/" + szName), files[szName]);
    fs::rename(st.Path("staging/" + szName), WaitingPath(st, szName));
}

void VolScene::Start(const std::vector<std::string>& centerArgs) {
    harwent = st.StartHarwent();
    center = StartCenter(centerArgs);
    velmora = st.StartVelmora();
}

// A test whose address is taken (another run of the same test at the same time) fails
// here instead of talking to a foreign center.
Proc VolScene::StartCenter(const std::vector<std::string>& args) {
    std::vector<std::string> all{"--watch-dir", WaitingPath(st, ""), "--aside-dir",
                                 RetiredPath(st, "")};
    all.insert(all.end(), args.begin(), args.end());
    center = st.StartCenter(all);
    if (!WaitFor([&] { return Out().find("LISTEN ") == 0; }, std::chrono::seconds(5)))
        ADD_FAILURE() << "the center does not listen on " << st.Addr() << ": " << Out();
    return center;
}

bool VolScene::Stored(const std::string& szName) const {
    const auto stored = CenterVolFiles(st);
    return std::find(stored.begin(), stored.end(), szName) != stored.end() &&
           !Exists(WaitingPath(st, szName));
}

bool VolScene::Retired(const std::string& szName) const {
    return Exists(RetiredPath(st, szName)) && !Exists(WaitingPath(st, szName));
}

bool VolScene::AllStored() const {
    return std::all_of(files.begin(), files.end(), [&](const auto& f) { return Stored(f.first); });
}

void VolScene::ExpectNothingLost() const {
    const VolAccount account = AccountVolFiles(st, files);
    for (const std::string& szProblem : account.problems) ADD_FAILURE() << szProblem;
    for (const std::string& szLost : CenterLines(st, "LOST ")) ADD_FAILURE() << szLost;
    for (const std::string& szDup : account.duplicates)
        std::printf("[ DUPLICATE] %s\n", szDup.c_str());
}

}  // namespace e2e
