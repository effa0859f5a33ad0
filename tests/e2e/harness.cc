// Starts and stops the station's real programs in a throw-away station root.
#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/platform.h"
#include "tests/e2e/pattern_bytes.h"

namespace e2e {

namespace fs = std::filesystem;

namespace {

std::string Env(const char* szName, const std::string& szDefault = "") {
    const char* sz = std::getenv(szName);
    return sz != nullptr && *sz != '\0' ? sz : szDefault;
}

// ---- The programs' command lines: Linux, or the Windows build under Wine ----
//
// With VELMORA_E2E_WINE=<Windows build>/bin the station's own programs are its .exe files,
// started by wine64 (VELMORA_E2E_WINE_LOADER overrides Debian's place of it) in the Wine
// prefix WINEPREFIX (default: the prefix beside that bin directory, scripts/wine-env.sh's);
// the Manager PC and the modem stay Linux programs. The prefix's drives d: to y: are this
// station's folders of those names, so one station at a time: run those tests serially.
const std::string kWineBin = Env("VELMORA_E2E_WINE");

bool UnderWine(const std::string& szProgram) {
    return !kWineBin.empty() && szProgram != "velmora-mgrpc" && szProgram != "modem-sim";
}

std::string WinePrefix() {
    return Env("WINEPREFIX", fs::path(kWineBin).parent_path().string() + "/wineprefix");
}

// A Linux path as a Windows program sees it (Wine's Z: is /); other words unchanged.
std::string ForWine(const std::string& szArg) {
    return !szArg.empty() && szArg[0] == '/' ? "Z:" + szArg : szArg;
}

std::string Bin(const std::string& szName) {
    if (UnderWine(szName)) return kWineBin + "/" + szName + ".exe";
    return std::string(VELMORA_BIN_DIR) + "/" + szName;
}

bool Exists(const std::string& szPath) {
    std::error_code ec;
    return fs::exists(szPath, ec);
}

// Every process of this root but the test's own: its command line names a path in the
// root (as Linux or as Wine writes it), it runs in the root, or it inherited the root's
// VELMORA_ROOT, like every program the station starts (the dialer, the update receiver),
// also under Wine, where their command line is a D: path. Wine's own programs and its
// server serve every test and are left alone. scripts/check-orphans.sh looks the same way.
std::vector<pid_t> ProgramsOfRoot(const std::string& szRoot) {
    std::string szWin = "Z:" + szRoot;
    std::replace(szWin.begin(), szWin.end(), '/', '\\');
    auto Names = [&](const std::string& sz) {
        for (const std::string& root : {szRoot, "Z:" + szRoot, szWin}) {
            for (size_t at = sz.find(root); at != std::string::npos; at = sz.find(root, at + 1)) {
                const char c = at + root.size() < sz.size() ? sz[at + root.size()] : '\0';
                if (c == '/' || c == '\\' || c == '\0') return true;
            }
        }
        return false;
    };
    std::vector<pid_t> pids;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string szPid = entry.path().filename().string();
        if (!std::all_of(szPid.begin(), szPid.end(), ::isdigit) || std::stoi(szPid) == getpid())
            continue;
        const std::string szCmd = ReadFile(entry.path() / "cmdline");
        const std::string szEnv = '\0' + ReadFile(entry.path() / "environ");
        if (strncasecmp(szCmd.c_str(), "C:\\windows\\", 11) == 0 ||
            Contains(fs::read_symlink(entry.path() / "exe", ec).filename(), "wineserver"))
            continue;
        if (Names(szCmd) || Names(fs::read_symlink(entry.path() / "cwd", ec)) ||
            Contains(szEnv, '\0' + ("VELMORA_ROOT=" + szRoot) + '\0') ||
            Contains(szEnv, '\0' + ("VELMORA_ROOT=Z:" + szRoot) + '\0'))
            pids.push_back(std::stoi(szPid));
    }
    return pids;
}

std::tm Today() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    return t;
}

// The rest of the line of text that starts with szKey and a blank ("" when none does).
std::string Field(const std::string& szText, const std::string& szKey) {
    std::istringstream in(szText);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(szKey + " ", 0) == 0) return line.substr(szKey.size() + 1);
    }
    return "";
}

}  // namespace

std::string ReadFile(const std::string& szPath) {
    std::ifstream in(szPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& szPath, const std::string& szContent) {
    fs::create_directories(fs::path(szPath).parent_path());
    std::ofstream(szPath, std::ios::binary | std::ios::trunc) << szContent;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    for (const auto tEnd = std::chrono::steady_clock::now() + timeout;
         std::chrono::steady_clock::now() < tEnd; std::this_thread::sleep_for(50ms)) {
        if (pred()) return true;
    }
    return pred();
}

size_t Count(const std::string& sz, const std::string& what) {
    size_t n = 0;
    for (size_t at = sz.find(what); at != std::string::npos; at = sz.find(what, at + 1)) ++n;
    return n;
}

size_t CountLines(const std::string& sz, const Names& parts) {
    size_t n = 0;
    std::istringstream in(sz);
    for (std::string line; std::getline(in, line);) {
        n += std::all_of(parts.begin(), parts.end(), [&](const std::string& p) {
            if (p[0] == '^') return line.rfind(p.substr(1), 0) == 0;
            return p[0] == '!' ? !Contains(line, p.substr(1)) : Contains(line, p);
        });
    }
    return n;
}

Names Messages(const std::string& szLog) {
    Names out;
    std::istringstream in(szLog);
    for (std::string line; std::getline(in, line);) {
        const size_t nSpace = line.find(' ');
        if (nSpace != std::string::npos && line.compare(nSpace + 1, 5, "1041 ") != 0)
            out.push_back(line.substr(nSpace + 1));
    }
    return out;
}

Station::Station(int nHost, int nTimeScale) : m_nTimeScale(nTimeScale) {
    char szTemplate[] = "/tmp/velmora-e2e-XXXXXX";
    m_szRoot = mkdtemp(szTemplate);
    // VELMORA_E2E_NET moves every test to 127.N.0.x, so that two checkouts can run their
    // suites on one machine at the same time.
    const int nNet = std::atoi(Env("VELMORA_E2E_NET", "0").c_str());
    m_szAddr =
        "127." + std::to_string(nNet > 0 && nNet < 255 ? nNet : 0) + ".0." + std::to_string(nHost);
    for (const std::string& dir :
         Names{"d/QN64-ABRIX/Data", "d/QN64-ABRIX/Bin", "d/ENF_IMG", "d/Capture_img", "center",
               "staging", ".windows", "d/System_Log/" + std::to_string(Today().tm_year + 1900)})
        fs::create_directories(Path(dir));
    m_ini = {{"SelectSystem/THIS_PROGRAM_KIND", "2"},  {"LocalInfo/LOCAL_ADDRESS", "ABCDE"},
             {"LocalInfo/LOCAL_NAME", "Test Station"}, {"LocalInfo/CENTER_COMM_KIND", "0"},
             {"LocalInfo/MANAGE_PC_IP", m_szAddr},     {"LocalInfo/ENF_CAMERA_CNT", "1"},
             {"OperationInfo/OPERATION_MODE", "0"},    {"DigitalCAM_1/TARGET_LANE_1", "1"}};
    Set("Velmora/SET_MACHINE_CLOCK", "0");  // tests run as root: never the machine clock
    WriteFile(Path("d/QN64-ABRIX/Data/LocalMemorySet.ini"),
              "[AdditionItem]\r\nENF_IMG_DIRECTORY=d:/ENF_IMG\r\n");
    for (const char* exe : {"Brisketon.exe", "Quillamor.exe"})
        fs::create_symlink(Bin("sibling-stub"), Path(std::string("d/QN64-ABRIX/Bin/") + exe));
    for (char c = 'd'; !kWineBin.empty() && c <= 'y'; ++c) {  // the prefix's drives
        const fs::path link = fs::path(WinePrefix()) / "dosdevices" / (std::string(1, c) + ":");
        std::error_code ec;
        if (fs::is_symlink(fs::symlink_status(link, ec))) fs::remove(link, ec);
        if (fs::is_directory(Path(std::string(1, c)))) {
            fs::create_directory_symlink(Path(std::string(1, c)), link, ec);
        }
    }
}

Station::~Station() {
    // Every file given is still waiting unchanged, stored byte-identical by a center, or in
    // d:/delete_img byte-identical, and no center saw one leave before it held it whole.
    if (bCheckFiles) {
        Names problems, duplicates;
        Account(&problems, &duplicates);
        for (const std::string& sz : problems) ADD_FAILURE() << sz;
        for (const std::string& sz : CenterLines("LOST ")) ADD_FAILURE() << sz;
        for (const std::string& sz : duplicates) std::printf("[ DUPLICATE] %s\n", sz.c_str());
    }
    // Programs get a termination request first, so that they end through their own
    // shutdown (and leak-checking builds check at that point); then SIGKILL. So do the
    // programs that the station started itself, found by ProgramsOfRoot.
    for (Proc& p : m_procs) {
        if (p.nPid > 0) kill(p.nPid, SIGTERM);
    }
    for (Proc& p : m_procs) {
        if (Wait(p, 10s) == -1) Kill(p);
    }
    const std::vector<pid_t> pids = ProgramsOfRoot(m_szRoot);
    for (pid_t nPid : pids) kill(nPid, SIGTERM);
    for (pid_t nPid : pids) {
        WaitFor([&] { return kill(nPid, 0) != 0; }, 3s);
        kill(nPid, SIGKILL);
    }
    if (!WaitFor([&] { return ProgramsOfRoot(m_szRoot).empty(); }, 2s))
        ADD_FAILURE() << "programs of " << m_szRoot << " outlived the test";
    // A sanitizer report of any program fails the test, also one that came after its checks.
    for (const Proc& p : m_procs) {
        const std::string szOut = p.Out();
        for (const char* szMark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                   "WARNING: ThreadSanitizer", "runtime error:"}) {
            if (Contains(szOut, szMark)) {
                ADD_FAILURE() << p.szOut << ": " << szOut.substr(szOut.find(szMark), 2000);
                break;
            }
        }
    }
    std::error_code ec;
    if (Env("VELMORA_KEEP_ROOT").empty()) fs::remove_all(m_szRoot, ec);
}

void Station::Set(const std::string& szKey, const std::string& szValue) {
    m_ini[szKey] = szValue;
    std::map<std::string, std::string> sections;
    for (const auto& [key, value] : m_ini) {
        const size_t nSlash = key.find('/');
        // A value that names a Linux path (say the modem's device) as the station sees it.
        sections[key.substr(0, nSlash)] +=
            key.substr(nSlash + 1) + "=" + (kWineBin.empty() ? value : ForWine(value)) + "\r\n";
    }
    std::string text;
    for (const auto& [section, body] : sections) text += "[" + section + "]\r\n" + body;
    WriteFile(Path("d/QN64-ABRIX/Data/ConfigInfoSetup.ini"), text);
}

Proc Station::Start(const std::string& szProgram, const Names& args) {
    const bool bWine = UnderWine(szProgram);
    Names argv{Bin(szProgram)};
    if (bWine) argv.insert(argv.begin(), Env("VELMORA_E2E_WINE_LOADER", "/usr/lib/wine/wine64"));
    if (szProgram != "velmora-mgrpc") argv.insert(argv.end(), {"--root", m_szRoot});
    argv.insert(argv.end(), args.begin(), args.end());
    for (size_t i = 2; bWine && i < argv.size(); ++i) argv[i] = ForWine(argv[i]);
    Names envs{"VELMORA_ROOT=" + (bWine ? ForWine(m_szRoot) : m_szRoot),
               "VELMORA_TIME_SCALE=" + std::to_string(m_nTimeScale),
               "VELMORA_DEBUG=1",
               "VELMORA_CLOCK_OFFSET=1",  // never the machine's clock
               bWine ? "PATH=/usr/lib/wine:/usr/bin:/bin" : "PATH=/usr/bin:/bin",
               "TZ=" + Env("TZ", "UTC")};
    if (bWine) {
        envs.insert(envs.end(),
                    {"WINEPREFIX=" + WinePrefix(), "WINEDEBUG=-all", "HOME=" + Env("HOME")});
    }
    // A test that plays the service manager binds its socket here before it starts programs.
    if (!bWine && Exists(Path("notify"))) envs.push_back("NOTIFY_SOCKET=" + Path("notify"));
    // Sanitizer builds: the programs stop at their first report, which fails the test.
    for (const char* szName : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
        if (!Env(szName).empty()) envs.push_back(szName + ("=" + Env(szName)));
    }
    std::vector<char*> cargv, cenv;
    for (std::string& a : argv) cargv.push_back(a.data());
    for (std::string& e : envs) cenv.push_back(e.data());
    cargv.push_back(nullptr);
    cenv.push_back(nullptr);

    Proc p;
    p.szOut = Path(szProgram + "." + std::to_string(m_procs.size()) + ".out");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, p.szOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addchdir_np(&fa, Path("d/QN64-ABRIX/Bin").c_str());
    if (posix_spawn(&p.nPid, argv[0].c_str(), &fa, nullptr, cargv.data(), cenv.data()) != 0)
        p.nPid = -1;
    posix_spawn_file_actions_destroy(&fa);
    m_procs.push_back(p);
    return p;
}

// The station prints its first line once its window listens: only then can velmoractl's
// look-ups not fall between the bind and the listen, where a look-up takes the window for a
// stale one and removes it.
void Station::StartVelmora() {
    velmora = Start("velmora", {"--headless"});
    WaitFor([&] { return Contains(velmora.Out(), "system menu: ") || !Running(velmora); }, 5s);
}

void Station::StartHarwent() {
    harwent = Start("harwent-sim", {"--log", Path(".windows/harwent.log")});
    WaitFor([&] { return !StubLog(kHarwent).empty() || Exists(Path(".shm/LOCALSTATUSINFO")); }, 5s);
}

void Station::StartStub(const std::string& szTitle) {
    Start("sibling-stub", {"--title", szTitle, "--log", Path(".windows/" + szTitle + ".msglog")});
}

void Station::StartCenter(const Names& extra) {
    Names args{
        "--listen", m_szAddr,      "--store",          Path("center"), "--poll",
        "0",        "--watch-dir", Path("d/ENF_IMG/"), "--aside-dir",  Path("d/delete_img/")};
    args.insert(args.end(), extra.begin(), extra.end());  // a later --poll wins
    center = Start("velmora-mgrpc", args);
    if (!WaitFor([&] { return center.Out().rfind("LISTEN ", 0) == 0; }, 5s))
        ADD_FAILURE() << "the center does not listen on " << m_szAddr << ": " << center.Out();
}

void Station::Up(const Names& centerArgs) {
    StartHarwent();
    StartCenter(centerArgs);
    StartVelmora();
}

int Station::Wait(Proc& p, std::chrono::milliseconds timeout) {
    int nStatus = 0;
    if (p.nPid <= 0) return -1;
    const auto tEnd = std::chrono::steady_clock::now() + timeout;
    while (waitpid(p.nPid, &nStatus, WNOHANG) != p.nPid) {
        if (std::chrono::steady_clock::now() >= tEnd) return -1;
        std::this_thread::sleep_for(20ms);
    }
    for (Proc& q : m_procs) {
        if (q.nPid == p.nPid) q.nPid = -1;
    }
    p.nPid = -1;
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

void Station::Kill(Proc& p) {
    if (p.nPid > 0) kill(p.nPid, SIGKILL);
    Wait(p, 10s);
}

bool Station::Running(const Proc& p) { return p.nPid > 0 && kill(p.nPid, 0) == 0; }

void Station::Revive() {
    if (Wait(velmora, 0ms) == -1 && velmora.nPid > 0) return;
    ++nRevived;
    StartVelmora();
}

Station::Result Station::Run(const std::string& szProgram, const Names& args) {
    Proc p = Start(szProgram, args);
    const int nStatus = Wait(p, 20s);
    return {nStatus, p.Out()};
}

std::string Station::Control(int nId) {
    return Field(Run("velmoractl", {"show"}).out, std::to_string(nId));
}

::testing::AssertionResult Station::WaitControl(int nId, const std::string& szText,
                                                std::chrono::milliseconds timeout) {
    std::string szLast;
    if (WaitFor([&] { return (szLast = Control(nId)) == szText; }, timeout))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "control " << nId << " shows \"" << szLast
                                         << "\", not \"" << szText << "\"; velmoractl show:\n"
                                         << Run("velmoractl", {"show"}).out;
}

std::string Station::Stat(const std::string& szName) {
    return Field(Run("velmoractl", {"stats"}).out, szName);
}

std::string Station::StubLog(const std::string& szTitle) {
    const std::string szName = szTitle == kHarwent ? "harwent.log" : szTitle + ".msglog";
    return ReadFile(Path(".windows/" + szName));
}

std::string Station::SystemLog() {
    const std::tm t = Today();
    char szRel[128];
    std::snprintf(szRel, sizeof szRel, "d/System_Log/%d/%d%02d%02d.ABCDE", t.tm_year + 1900,
                  t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return vplat::Cp949ToUtf8(ReadFile(Path(szRel)));  // the system log is written in CP949
}

// ---- Violation files ----

void Station::Files(const std::vector<size_t>& sizes) {
    for (size_t k = 0; k < sizes.size(); ++k) Put(std::to_string(1000 + k) + ".ABCDE", sizes[k]);
}

void Station::Put(const std::string& szName, size_t nSize) {
    files[szName] = vpattern::PatternBytes(nSize, static_cast<uint32_t>(std::atoi(szName.c_str())));
    WriteFile(Path("staging/" + szName), files[szName]);
    fs::rename(Path("staging/" + szName), Path("d/ENF_IMG/" + szName));
}

Names Station::CenterLines(const std::string& szTag) const {
    std::map<int, std::string> outputs;  // start index -> output file
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(m_szRoot, ec)) {
        int nIndex = -1;
        char cDot = 0;
        const std::string szFile = entry.path().filename().string();
        if (std::sscanf(szFile.c_str(), "velmora-mgrpc.%d.ou%c", &nIndex, &cDot) == 2)
            outputs[nIndex] = entry.path().string();
    }
    Names lines;
    for (const auto& [nIndex, szPath] : outputs) {
        std::istringstream in(ReadFile(szPath));
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(szTag, 0) == 0) lines.push_back(line);
        }
    }
    return lines;
}

std::string Station::CenterText() const {
    std::string sz;
    for (const std::string& line : CenterLines("")) sz += line + "\n";
    return sz;
}

Names Station::CenterVolFiles() const {
    Names names;
    for (const std::string& line : CenterLines("FILE ")) {
        const size_t nAt = line.find(" code=51 file=\"");  // the name, \" and \\ unescaped
        std::string sz;
        for (size_t k = nAt + 15; nAt != std::string::npos && k < line.size() && line[k] != '"';
             ++k)
            sz += line[k] == '\\' && k + 1 < line.size() ? line[++k] : line[k];
        if (nAt != std::string::npos) names.push_back(sz);
    }
    return names;
}

std::string Station::Fate(const std::string& szName) const {
    const Names stored = CenterVolFiles();
    if (Exists(Path("d/ENF_IMG/" + szName))) return "waiting";
    if (std::count(stored.begin(), stored.end(), szName) > 0) return "stored";
    return Exists(Path("d/delete_img/" + szName)) ? "retired" : "lost";
}

std::map<std::string, std::string> Station::Account(Names* pProblems, Names* pDuplicates) const {
    std::map<std::string, std::string> fates;
    const Names stored = CenterVolFiles();
    for (const auto& [szName, szBytes] : files) {
        const std::string szWaiting = Path("d/ENF_IMG/" + szName);
        const std::string szStored = Path("center/ABCDE/" + szName);
        const std::string szRetired = Path("d/delete_img/" + szName), szFile = szName;
        const size_t nStored = std::count(stored.begin(), stored.end(), szName);
        const bool bWaiting = Exists(szWaiting), bStored = nStored > 0 && Exists(szStored);
        const bool bRetired = Exists(szRetired);
        const std::string szCopy = bStored ? ReadFile(szStored) : "";
        auto Problem = [&](const std::string& sz) { pProblems->push_back(szFile + sz); };
        if (bWaiting && ReadFile(szWaiting) != szBytes) {
            Problem(" changed in the violation directory");
        }
        if (nStored > 0 && !bStored) Problem(" reported stored but missing at the center");
        if (bStored && szCopy != szBytes) {
            Problem(" stored corrupted (" + std::to_string(szCopy.size()) + " of " +
                    std::to_string(szBytes.size()) + " bytes)");
        }
        if (bRetired && ReadFile(szRetired) != szBytes) Problem(" corrupted in delete_img");
        if (!bWaiting && !bStored && !bRetired) Problem(" is lost");
        if (nStored > 1 || (bStored && (bWaiting || bRetired)) || (bWaiting && bRetired)) {
            pDuplicates->push_back(szName + ": stored " + std::to_string(nStored) + " time(s)" +
                                   (bWaiting ? ", still waiting" : "") +
                                   (bRetired ? ", in delete_img" : ""));
        }
        fates[szName] = bWaiting ? "waiting" : bStored ? "stored" : bRetired ? "retired" : "lost";
    }
    return fates;
}

}  // namespace e2e
