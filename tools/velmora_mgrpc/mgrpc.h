// velmora-mgrpc: a Manager PC for the station's link. It listens for stations, cuts and
// prints every manager frame, acknowledges file packets (with optional faults), stores
// the files that arrive whole, watches the station's violation directory for files that
// leave before they arrived here, and sends commands from its command line, a script or
// stdin. One thread, one poll loop; every output line is key=value fields after a tag.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace mgrpc {

constexpr int kPacketDataSize = 3000;    // data bytes of one file packet
constexpr int kMaxFrameBytes = 20000;    // longest frame accepted from a station
constexpr int kMaxFileBytes = 64 << 20;  // largest file assembled

struct Options {
    std::string szListen = "0.0.0.0";         // address to listen on
    int nPort = 11001;                        // port to listen on
    std::string szStoreDir;                   // where completed files go; empty = not stored
    std::string szScript;                     // command file
    std::string szId;                         // station ID for commands; empty = last seen
    std::vector<std::pair<int, int>> resend;  // (code, packet) answered 3 once each
    std::set<int> refuse;                     // VOL packet numbers answered 4
    bool bSilent = false;                     // never answer packets
    int nDropAfter = -1;                      // close after this many file packets (once)
    std::multiset<int> withhold;              // VOL packets left unanswered, once per entry
    std::multiset<int> dupAck;                // VOL packets answered twice, once per entry
    std::multiset<int> wrongAck;              // VOL packets answered with another number
    std::multiset<int> emptyAck;              // VOL packets answered without a data byte
    bool bUnsolicited = false;                // ack a VOL packet never received, now and then
    int nBlackholeAfter = -1;                 // stop reading at this many file packets (once)
    bool bCutEach = false;                    // cut once at each VOL packet and after the last
    double dFaultRate = 0;                    // share of VOL answers turned into 3 or 4
    double dCutRate = 0;                      // share of VOL packets that cut the link instead
    uint32_t nSeed = 1;                       // seed of the two rates
    std::string szWatchDir;                   // the station's violation directory, watched
    std::string szAsideDir;                   // where the station puts the files it gives up
    bool bFailOnLoss = false;                 // exit status 3 when a file was lost
    bool bGarbage = false;                    // send non-frame bytes once after a connect
    bool bBadCrc = false;                     // the next command carries a wrong CRC
    bool bForeignId = false;                  // the next command carries another ID
    std::vector<std::string> commands;        // commands given after "--"
    double dPollSec = 60;                     // status request (59) to every station; 0 = off
};

// One command of the queue.
struct Command {
    enum Kind { kSend, kRaw, kClose, kSleep, kQuit } nKind = kSend;
    std::string szTarget;       // "@ID": only stations with this ID; empty = all
    int nCode = 0;              // command code 0-99
    int nPacket = 0;            // packet number field
    std::vector<uint8_t> data;  // data bytes; kRaw: the bytes sent as they are
    int nSleepMs = 0;           // kSleep
    std::string szText;         // the line as given
    bool bWait = true;          // waits for a station (script, "--"); stdin: fails at once
};

// A file being received under one code.
struct Transfer {
    bool bActive = false;
    std::string szName;         // name as sent in the info packet
    int nSize = 0;              // size announced
    int nPackets = 0;           // data packets expected
    int nReceived = 0;          // distinct data packets received
    std::vector<uint8_t> data;  // the file; empty when nothing is stored (no --store)
    std::vector<bool> got;      // which data packets arrived
};

// One connected station.
struct Station {
    int fd = -1;
    std::string szPeer;        // "ip:port"
    std::string szId;          // ID of the last good frame received
    std::vector<uint8_t> rx;   // bytes not yet cut into frames
    Transfer transfers[5];     // by code: 51, 52, 53, 54, 68
    std::string szVolName;     // name in the last VOL info packet of this connection
    bool bClosed = false;      // the socket is closed
    bool bBlackholed = false;  // neither read nor answered any more; the socket stays open
    bool bGreetDue = false;    // the unsolicited ack after the connect is still to go
};

// ---- watch.cc ----
// Names that leave one directory (deleted, or moved out of it), from inotify. A rename
// inside the directory is not a departure.
class DirWatch final {
  public:
    DirWatch() = default;
    ~DirWatch();
    DirWatch(const DirWatch&) = delete;
    DirWatch& operator=(const DirWatch&) = delete;
    // False with *pError when the directory cannot be watched.
    bool Open(const std::string& szDir, std::string* pError);
    int Fd() const { return m_fd; }  // readable when events wait; -1 when not open
    // A move out waits for its other half: Take is due on the next turn even when the
    // descriptor is not readable.
    bool Pending() const { return !m_movedFrom.empty() || !m_movedOlder.empty(); }
    // Reads what is there without blocking and returns the names that left. A move out
    // is reported one call late, so that its other half (a move in) can still pair with
    // it; bFinal reports every one at once.
    std::vector<std::string> Take(bool bFinal = false);

  private:
    int m_fd = -1;                                 // the inotify instance
    std::map<uint32_t, std::string> m_movedFrom;   // cookie -> name moved, not yet paired
    std::map<uint32_t, std::string> m_movedOlder;  // the same, one call older
};

// ---- frames.cc ----
// A finished manager frame; bBadCrc stores the standard (inverted) CRC instead.
std::vector<uint8_t> BuildFrame(int nCode, int nPacket, const std::string& szId,
                                const std::vector<uint8_t>& data, bool bBadCrc);
// Text in double quotes with \\, \" and \xHH for anything not printable ASCII.
std::string Quote(const uint8_t* p, size_t n);
std::string Quote(const std::string& sz);
// The same, appended to *pOut.
void QuoteTo(std::string* pOut, const uint8_t* p, size_t n);
// Parses one command line; false with *pError for a bad one. Blank and '#' lines give
// false with an empty *pError.
bool ParseCommand(const std::string& szLine, Command* pOut, std::string* pError);
// The station ID field (bytes 24-28 up to the first NUL).
std::string FrameId(const uint8_t* pFrame);
// The index of a file-packet code in Station::transfers, -1 for other codes.
int TransferSlot(int nCode);

// ---- options.cc ----
extern const char kUsage[];
// False with *pError on a bad option; *pbHelp for --help, *pbVersion for --version.
bool ParseOptions(int argc, char** argv, Options* o, bool* pbHelp, bool* pbVersion,
                  std::string* pError);

// ---- output (frames.cc) ----
// Prints one line. Unbuffered, it is written at once; buffered, it waits for FlushOutput
// (or for 64 KiB of lines), so that a busy turn costs one write instead of one per line.
void Emit(const std::string& szLine);
// Prints the RX/TX line of a frame; nCrcOk 1 or 0 when the caller checked the CRC
// already, -1 to check it here.
void EmitFrame(const char* szDir, const uint8_t* pFrame, int nLength, const std::string& szPeer,
               int nCrcOk = -1);
// Writes every line printed so far.
void FlushOutput();
// Buffered from now on or not (writes what waits either way).
void SetOutputBuffered(bool bBuffered);
// A line other than a frame's RX/TX line waits: written before any byte goes to a station,
// so that whatever the station does next never precedes it (a FILE line before the last
// acknowledgement, say).
bool OutputUrgent();
// Writes what waits when the last write was at least interval before now: in a burst the
// lines go out once per interval, and the first lines after a pause at once.
void FlushOutputAfter(std::chrono::steady_clock::time_point now,
                      std::chrono::microseconds interval);

// ---- station.cc ----
class Server {
  public:
    explicit Server(Options opts) : m_opts(std::move(opts)), m_rng(m_opts.nSeed) {}
    // Received bytes of a station: cuts frames, prints and answers them.
    void OnBytes(Station& st, const uint8_t* p, size_t n);
    // A station just connected.
    void OnConnect(Station& st);
    // Sends one command to a station (faults of the options applied once).
    void SendCommand(Station& st, const Command& cmd);
    // The periodic status request (59, no data) of --poll; never carries a fault.
    void SendPoll(Station& st);
    // A violation file left the watched directory: LEFT when it arrived here whole or was
    // given up after answers 3 or 4 from here, else LOST.
    void OnDeparture(const std::string& szName);
    int Lost() const { return m_nLost; }
    // The ID to use for commands to st; empty when not known yet.
    std::string CommandId(const Station& st) const;
    void Close(Station& st, const char* szReason);
    const Options& options() const { return m_opts; }
    // The station that was just sent an ordinary acknowledgement in the middle of a file
    // (status 1, no fault, more packets to come): its next packet follows at once. Null
    // when there is none; cleared by the call.
    Station* TakeAwaited() {
        Station* p = m_pAwaited;
        m_pAwaited = nullptr;
        return p;
    }

  private:
    void OnFrame(Station& st, const uint8_t* pFrame, int nLength);
    void OnFilePacket(Station& st, int nCode, const uint8_t* pFrame, int nLength);
    void Reply(Station& st, int nCode, int nPacket, uint8_t nStatus, const std::string& szId);
    void Finish(Station& st, int nCode, Transfer& t);
    bool SendBytes(Station& st, const std::vector<uint8_t>& bytes);
    // The fault of the options (other than the answer status) that ends the handling of
    // this file packet: a cut or the black hole. True when it did.
    bool CutsOff(Station& st, int nCode, int nPacket);
    void SendUnsolicited(Station& st);
    void Fault(const Station& st, const char* szKind, int nPacket);

    Options m_opts;
    bool m_bGarbageSent = false;                   // --garbage is spent
    int m_nFilePackets = 0;                        // file packets received
    int m_nUnanswered = -1;                        // last VOL packet left without an answer
    int m_nLost = 0;                               // LOST lines printed
    std::string m_szLastId;                        // ID of the last good frame of any station
    std::set<std::string> m_held;                  // VOL files stored whole by this run
    std::set<std::string> m_answeredBad;           // VOL files answered 3 or 4 by this run
    std::set<std::pair<std::string, int>> m_cuts;  // --cut-each: (file, packet) already cut
    std::mt19937 m_rng;                            // --fault-rate and --cut-rate
    Station* m_pAwaited = nullptr;                 // see TakeAwaited
};

}  // namespace mgrpc
