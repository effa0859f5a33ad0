// End-to-end test harness: a fresh station root in /tmp with both INI files, and the
// real programs (velmora, velmora-mgrpc, harwent-sim, sibling-stub, velmoractl) started
// in it, each test on its own 127.0.0.x address so tests run in parallel on port 11001.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// Path of a program in build/bin.
std::string Bin(const std::string& szName);
// Whole content of a file ("" when missing).
std::string ReadFile(const std::string& szPath);
void WriteFile(const std::string& szPath, const std::string& szContent);
// CP949 bytes as UTF-8 (the system log is written in CP949).
std::string FromCp949(const std::string& szBytes);
// Waits until pred() holds, polling every 50 ms; false on time-out.
bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
// Occurrences of what in sz, and the lines of sz that contain every one of parts.
size_t Count(const std::string& sz, const std::string& what);
size_t CountLines(const std::string& sz, const std::vector<std::string>& parts);
inline bool Contains(const std::string& sz, const std::string& what) {
    return sz.find(what) != std::string::npos;
}

struct Proc {
    pid_t nPid = -1;
    std::string szOut;  // file with its stdout and stderr
};

class Station {
  public:
    // nHost: the last byte of the 127.0.0.x address of this test's Manager PC.
    explicit Station(int nHost, int nTimeScale = 10);
    ~Station();  // kills every program still running and removes the root
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // INI keys of file A ("Section/KEY" -> value), written by WriteConfig. Defaults: a
    // speed station ABCDE on a leased line to this test's address, normal operation, and the
    // clock commands of the center kept off the machine clock.
    std::map<std::string, std::string> m_ini;
    void WriteConfig();

    std::string Path(const std::string& szRel) const { return m_szRoot + "/" + szRel; }
    std::string Addr() const { return m_szAddr; }

    // Starts a program of build/bin in the root (cwd: the program directory D:/QN64-ABRIX/Bin).
    Proc Start(const std::string& szProgram, const std::vector<std::string>& args);
    Proc StartVelmora() { return Start("velmora", {"--headless"}); }
    Proc StartHarwent();
    Proc StartStub(const std::string& szTitle);
    Proc StartCenter(const std::vector<std::string>& extra = {});
    // Waits for the process to end; its exit status, or -1 on time-out / signal.
    int Wait(Proc& p, std::chrono::milliseconds timeout);
    void Kill(Proc& p, int nSignal = 9);
    bool Running(const Proc& p);

    // Runs a program to completion and returns its stdout.
    std::string Run(const std::string& szProgram, const std::vector<std::string>& args);
    // The dialog's controls as velmoractl shows them (id -> text); empty if not running.
    std::map<int, std::string> Controls();
    std::string Control(int nId);
    // Waits until control nId shows szText; on failure says what it showed last.
    ::testing::AssertionResult WaitControl(
        int nId, const std::string& szText,
        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The message log of a sibling stand-in (sibling-stub or harwent-sim).
    std::string StubLog(const std::string& szTitle);
    // Today's system log, as UTF-8 (empty when missing).
    std::string SystemLog();

  private:
    std::string m_szRoot;       // station root
    std::string m_szAddr;       // 127.N.0.x of the Manager PC
    int m_nTimeScale;           // VELMORA_TIME_SCALE for the programs
    std::vector<Proc> m_procs;  // everything started
};

// ---- Violation files: writing them, watching them leave, accounting for every one ----

// Lines starting with szTag (say "LOST ") that the Manager PCs started in this station root
// printed, centers in start order.
std::vector<std::string> CenterLines(const Station& st, const std::string& szTag);
// Names of the violation files (code 51) that those Manager PCs reported as stored, in the
// order of their FILE lines.
std::vector<std::string> CenterVolFiles(const Station& st);

// Where each file of a scenario ended up.
struct VolAccount {
    std::map<std::string, std::string> fates;  // name -> "waiting", "stored", "retired"
    std::vector<std::string> problems;         // lost, corrupted or doubly placed files
    std::vector<std::string> duplicates;       // in two places, or stored more than once
};

// Accounts for every file given (name -> bytes): it must still be in the violation
// directory unchanged, or stored by a Manager PC byte-identical, or in d:/delete_img
// byte-identical; any stored or retired copy must equal the original.
using FileSet = std::map<std::string, std::string>;  // name -> bytes
VolAccount AccountVolFiles(const Station& st, const FileSet& files);

// One transfer scenario: a station whose violation directory holds the files given, and
// Start, which starts the main program stand-in, a center and the station. Every center
// watches the violation directory and prints LOST for a file that leaves it before that
// center held it whole (or gave it up by its own answers).
struct VolScene {
    // Files 1000.ABCDE, 1001.ABCDE, ... of the given sizes.
    VolScene(int nHost, const std::vector<size_t>& sizes, int nTimeScale = 10);
    // Puts one more file, its content seeded by the number in its name.
    void Put(const std::string& szName, size_t nSize);
    void Start(const std::vector<std::string>& centerArgs = {});
    // Starts a center (again) and fails the test when it does not listen.
    Proc StartCenter(const std::vector<std::string>& args = {});
    std::string Out() const { return ReadFile(center.szOut); }  // the center's output
    // Reported stored and gone from the violation directory / in delete_img and gone.
    bool Stored(const std::string& szName) const;
    bool Retired(const std::string& szName) const;
    bool AllStored() const;
    // Every file accounted for and none left too early; duplicates are only printed.
    void ExpectNothingLost() const;

    Station st;
    FileSet files;
    Proc harwent, center, velmora;
};

}  // namespace e2e
