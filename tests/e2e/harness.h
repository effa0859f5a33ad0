// End-to-end test harness: a fresh station root in /tmp with both INI files, and the
// real programs (velmora, velmora-mgrpc, harwent-sim, sibling-stub, velmoractl, modem-sim)
// started in it, each test on its own 127.N.0.x address so tests run in parallel on port
// 11001. Every center watches the violation directory; at its end a station accounts for
// every violation file it was given and ends every program that belongs to its root.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;
using Names = std::vector<std::string>;
constexpr const char* kHarwent = "Harwent Console v1.0";  // the main operation program's window

std::string ReadFile(const std::string& szPath);  // "" when missing
void WriteFile(const std::string& szPath, const std::string& szContent);
// Waits until pred() holds, polling every 50 ms; false on time-out.
bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
inline bool Contains(const std::string& sz, const std::string& what) {
    return sz.find(what) != std::string::npos;
}
size_t Count(const std::string& sz, const std::string& what);  // occurrences
// Lines of sz that match every part: "^X" starts with X, "!X" lacks X, X contains X.
size_t CountLines(const std::string& sz, const Names& parts);
// The messages of a stand-in's log as "msg w l", time stamps, heartbeat and link state dropped.
Names Messages(const std::string& szLog);

struct Proc {
    pid_t nPid = -1;
    std::string szOut;  // file with its stdout and stderr
    std::string Out() const { return ReadFile(szOut); }
};

class Station {
  public:
    // nHost: the last byte of the 127.N.0.x address of this test's Manager PC.
    explicit Station(int nHost, int nTimeScale = 10);
    // Accounts for the violation files (unless bCheckFiles is cleared), ends every program
    // of the root, fails on a sanitizer report and removes the root.
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // INI keys of file A ("Section/KEY" -> value), written by Set. Defaults: a speed station
    // ABCDE on a leased line to this test's address, normal operation, and the clock
    // commands of the center kept off the machine clock.
    std::map<std::string, std::string> m_ini;
    void Set(const std::string& szKey, const std::string& szValue);
    std::string Path(const std::string& szRel) const { return m_szRoot + "/" + szRel; }
    std::string Addr() const { return m_szAddr; }

    // Starts a program of build/bin in the root (cwd: the program directory D:/QN64-ABRIX/Bin).
    Proc Start(const std::string& szProgram, const Names& args);
    void StartVelmora();  // returns once the station's window listens
    void StartHarwent();
    void StartStub(const std::string& szTitle);
    // A center watching the violation directory (silent unless --poll is given); fails the
    // test when it does not listen (the address is another run's).
    void StartCenter(const Names& extra = {});
    void Up(const Names& centerArgs = {});  // the main program stand-in, a center, the station
    // Waits for the process to end; its exit status, or -1 on time-out / signal.
    int Wait(Proc& p, std::chrono::milliseconds timeout);
    void Kill(Proc& p);  // SIGKILL, then waits
    bool Running(const Proc& p);
    void Revive();  // starts the station again if it ended (as its service manager would)

    // Runs a program to completion: its exit status (-1 on time-out) and its output.
    struct Result {
        int nStatus;
        std::string out;
    };
    Result Run(const std::string& szProgram, const Names& args);
    std::string Control(int nId);  // a control of the dialog as velmoractl shows it, or ""
    // Waits until control nId shows szText; on failure says what it showed last.
    ::testing::AssertionResult WaitControl(int nId, const std::string& szText,
                                           std::chrono::milliseconds timeout = 10s);
    std::string Stat(const std::string& szName);      // a counter of velmoractl stats, or ""
    std::string StubLog(const std::string& szTitle);  // a sibling stand-in's message log
    std::string SystemLog();                          // today's, as UTF-8 ("" when missing)

    // ---- Violation files ----
    // Puts 1000.ABCDE, 1001.ABCDE, ... of the given sizes / one file, its content seeded by
    // the number in its name, written beside the violation directory and renamed in.
    void Files(const std::vector<size_t>& sizes);
    void Put(const std::string& szName, size_t nSize);
    // Lines starting with szTag of every center of this root, in start order ("": all).
    Names CenterLines(const std::string& szTag) const;
    std::string CenterText() const;
    Names CenterVolFiles() const;  // the violation files (code 51) the centers stored, in order
    // "waiting" in the violation directory; once gone from it "stored" (a center reported
    // it), "retired" (in delete_img) or "lost". Account also checks the bytes.
    std::string Fate(const std::string& szName) const;
    // Where each file ended ("waiting", "stored", "retired", "lost"); the problems: lost,
    // changed, corrupted or reported but missing; and the duplicates (only printed).
    std::map<std::string, std::string> Account(Names* pProblems, Names* pDuplicates) const;

    std::map<std::string, std::string> files;  // name -> bytes
    Proc harwent, center, velmora;
    int nRevived = 0;
    bool bCheckFiles = true;

  private:
    std::string m_szRoot;       // station root
    std::string m_szAddr;       // 127.N.0.x of the Manager PC
    int m_nTimeScale;           // VELMORA_TIME_SCALE for the programs
    std::vector<Proc> m_procs;  // everything started
};

}  // namespace e2e
