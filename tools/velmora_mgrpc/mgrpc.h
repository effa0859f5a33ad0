// velmora-mgrpc: a Manager PC for the station's link. It listens for stations, cuts and
// prints every manager frame, acknowledges file packets (with optional faults), stores
// the files that arrive whole, and sends commands from its command line, a script or
// stdin. One thread, one poll loop; every output line is key=value fields after a tag.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
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
    bool bGarbage = false;                    // send non-frame bytes once after a connect
    bool bBadCrc = false;                     // the next command carries a wrong CRC
    bool bForeignId = false;                  // the next command carries another ID
    std::vector<std::string> commands;        // commands given after "--"
};

// One command of the queue.
struct Command {
    enum Kind { kSend, kSleep, kQuit } nKind = kSend;
    std::string szTarget;       // "@ID": only stations with this ID; empty = all
    int nCode = 0;              // command code 0-99
    int nPacket = 0;            // packet number field
    std::vector<uint8_t> data;  // data bytes
    int nSleepMs = 0;           // kSleep
    std::string szText;         // the line as given
};

// A file being received under one code.
struct Transfer {
    bool bActive = false;
    std::string szName;         // name as sent in the info packet
    int nSize = 0;              // size announced
    int nPackets = 0;           // data packets expected
    int nReceived = 0;          // distinct data packets received
    std::vector<uint8_t> data;  // the file
    std::vector<bool> got;      // which data packets arrived
};

// One connected station.
struct Station {
    int fd = -1;
    std::string szPeer;       // "ip:port"
    std::string szId;         // ID of the last good frame received
    std::vector<uint8_t> rx;  // bytes not yet cut into frames
    Transfer transfers[5];    // by code: 51, 52, 53, 54, 68
    bool bClosed = false;
};

// ---- frames.cc ----
// A finished manager frame; bBadCrc stores the standard (inverted) CRC instead.
std::vector<uint8_t> BuildFrame(int nCode, int nPacket, const std::string& szId,
                                const std::vector<uint8_t>& data, bool bBadCrc);
// Text in double quotes with \\, \" and \xHH for anything not printable ASCII.
std::string Quote(const uint8_t* p, size_t n);
std::string Quote(const std::string& sz);
// Parses one command line; false with *pError for a bad one. Blank and '#' lines give
// false with an empty *pError.
bool ParseCommand(const std::string& szLine, Command* pOut, std::string* pError);
// The RX/TX line of a frame (without newline).
std::string RenderFrame(const char* szDir, const uint8_t* pFrame, int nLength,
                        const std::string& szPeer);
// The station ID field (bytes 24-28 up to the first NUL).
std::string FrameId(const uint8_t* pFrame);
// The index of a file-packet code in Station::transfers, -1 for other codes.
int TransferSlot(int nCode);

// ---- output ----
// Prints one line and flushes.
void Emit(const std::string& szLine);

// ---- station.cc ----
class Server {
  public:
    explicit Server(Options opts) : m_opts(std::move(opts)) {}
    // Received bytes of a station: cuts frames, prints and answers them.
    void OnBytes(Station& st, const uint8_t* p, size_t n);
    // A station just connected.
    void OnConnect(Station& st);
    // Sends one command to a station (faults of the options applied once).
    void SendCommand(Station& st, const Command& cmd);
    // The ID to use for commands to st; empty when not known yet.
    std::string CommandId(const Station& st) const;
    void Close(Station& st, const char* szReason);
    const Options& options() const { return m_opts; }

  private:
    void OnFrame(Station& st, const uint8_t* pFrame, int nLength);
    void OnFilePacket(Station& st, int nCode, const uint8_t* pFrame, int nLength);
    void Reply(Station& st, int nCode, int nPacket, uint8_t nStatus, const std::string& szId);
    void Finish(Station& st, int nCode, Transfer& t);
    bool SendBytes(Station& st, const std::vector<uint8_t>& bytes);

    Options m_opts;
    bool m_bGarbageSent = false;  // --garbage is spent
    int m_nFilePackets = 0;       // file packets received, for --drop-after
};

}  // namespace mgrpc
