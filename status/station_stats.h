// CStationStats: the counters of the manager link and of the file transfers since the
// station program started (frames and bytes in and out, checksum and frame errors, link
// breaks and reconnects, files sent, moved aside, resent packets, refusals), and the
// gauges of its health (link state, last frames, failed connects, the backlog of
// violation files, the current file), so that an operator reads the station's health
// without opening a port. Counters and gauges are atomic words that any thread changes;
// once published they are also written, as each one changes, into the named file mapping
// "VelmoraStats", which velmoractl reads.
//
// Layout of "VelmoraStats" (kStatsMappingSize bytes; every field little-endian):
//
//   offset  size  field
//   0       4     magic 0x53544C56 (the bytes 'V' 'L' 'T' 'S'); 0 while being set up
//   4       4     layout version: 2 (1 had no gauges and was 256 bytes long)
//   8       4     n, the number of counters after the header (kStatCount)
//   12      4     m, the number of gauges (kGaugeCount)
//   16      8     the station's clock at the start (Time64, seconds since 1970)
//   24      8     0
//   32      8 n   the counters in the order of StatCounter, unsigned 64-bit each
//   256     8 m   the gauges in the order of StatGauge, signed 64-bit each
//
// Counters only grow; each is stored whole (one aligned 64-bit store) and never lower
// than a value it held, so a reader sees every counter at a value it really had. A later
// version appends counters (n grows) and keeps the offsets above; a change of any offset
// or meaning changes the version, and a reader refuses a version it does not know.
// Gauges go up and down; each is stored whole, so a reader sees a value it really had.
// Later versions append gauges the same way (m grows).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/platform.h"

constexpr const char* kStatsMappingName = "VelmoraStats";
constexpr size_t kStatsMappingSize = 512;
constexpr uint32_t kStatsMagic = 0x53544C56u;  // "VLTS"
constexpr uint32_t kStatsVersion = 2;
constexpr size_t kStatsHeaderSize = 32;
constexpr size_t kStatsGaugeOffset = 256;

enum StatCounter : int {
    kStatFramesIn,      // whole frames cut from the Manager PC's bytes
    kStatFramesOut,     // frames sent whole to the Manager PC
    kStatBytesIn,       // bytes received from the Manager PC
    kStatBytesOut,      // bytes of the frames sent whole
    kStatCrcErrors,     // frames dropped for their checksum
    kStatForeignId,     // frames dropped for another station ID
    kStatFrameErrors,   // links cut for bytes that cannot be a frame
    kStatDisconnects,   // link breaks: the Manager PC closed, or a send failed
    kStatReconnects,    // connections made after the first
    kStatQueueRefused,  // frames not queued (link down, or too long)
    kStatQueueDropped,  // frames pushed out of a full send queue
    kStatFilesSent,     // violation files acknowledged whole
    kStatFilesMoved,    // violation files moved aside into d:/delete_img
    kStatResends,       // file packets sent again at the Manager PC's request
    kStatRefusals,      // violation-file packets refused by the Manager PC (status 4)
    kStatImagesSent,    // trigger images acknowledged whole
    kStatLogsSent,      // running logs acknowledged whole
    kStatCount
};

// The health of the station as it is now; times are the station's clock (Time64), 0 for
// never; durations are seconds of the station's one-second tick.
enum StatGauge : int {
    kGaugeLinkState,        // 0 not yet connected, 1 connected, 2 disconnected
    kGaugeLinkDownFor,      // seconds since the link was last up (0 while it is up)
    kGaugeLastFrameIn,      // time of the last whole frame received
    kGaugeLastFrameOut,     // time of the last frame sent whole
    kGaugeConnectAttempts,  // connect attempts since the last one that succeeded
    kGaugeConnectFailures,  // of those, the failed ones
    kGaugeLastFailure,      // reason of the last failed connect (ConnectFailure)
    kGaugeBacklog,          // violation files waiting in the violation directory
    kGaugeOldestAge,        // age in seconds of the oldest of them; -1 when none waits
    kGaugeFilePackets,      // packets of the violation file in transfer; 0 when none
    kGaugeFileAcked,        // of those, acknowledged so far
    kGaugeSysLogMissing,    // 1 when this year's system log folder is missing
    kGaugeTick,             // time of the last one-second tick
    kGaugeCount
};
static_assert(kStatsHeaderSize + 8 * kStatCount <= kStatsGaugeOffset, "stats counters");
static_assert(kStatsGaugeOffset + 8 * kGaugeCount <= kStatsMappingSize, "stats mapping size");

// Reasons of a failed connect, as kGaugeLastFailure holds them.
enum ConnectFailure : int {
    kFailNone, kFailRefused, kFailTimedOut, kFailNoRoute, kFailBadAddress, kFailOther
};
// The words of a reason ("refused", "timed out", ...) and back (kFailOther for others).
const char* ConnectFailureText(int nReason);
int ConnectFailureFromText(const char* szText);

// The name velmoractl prints for a counter ("frames_in"), or null.
const char* StatCounterName(int nCounter);
// The name velmoractl prints for a gauge ("link_state"), or null.
const char* StatGaugeName(int nGauge);

class CStationStats {
  public:
    CStationStats();
    ~CStationStats();  // unmaps the published view
    CStationStats(const CStationStats&) = delete;
    CStationStats& operator=(const CStationStats&) = delete;

    // Adds nBy to a counter (and to the published mapping). Any thread.
    void Add(StatCounter nCounter, uint64_t nBy = 1);
    uint64_t Get(StatCounter nCounter) const;
    // Sets a gauge (and its published word). Any thread.
    void SetGauge(StatGauge nGauge, int64_t nValue);
    int64_t GetGauge(StatGauge nGauge) const;
    // Creates the mapping (or takes over one left by an earlier run, whose values are
    // cleared), writes the header and the counters, and from then on writes every change
    // through. True when published; the counting goes on either way. Any thread, once.
    bool Publish(const char* szName = kStatsMappingName);

  private:
    std::atomic<uint64_t> m_nCounters[kStatCount];  // the counts since start
    std::atomic<int64_t> m_nGauges[kGaugeCount];    // the health now
    std::atomic<uint8_t*> m_pView{nullptr};         // the published bytes; null until then
    std::mutex m_gaugeMutex;                        // orders the gauges' published stores
    vplat::MappedView m_hMapping;                   // the mapping behind m_pView
};

// What a reader found in a published mapping.
struct StationStatsView {
    uint32_t nVersion = 0;                // layout version
    uint32_t nCount = 0;                  // counters the writer published
    int64_t nStartTime = 0;               // the station's clock at its start
    uint64_t nCounters[kStatCount] = {};  // counters this reader knows (0 if not published)
    uint32_t nGaugeCount = 0;             // gauges the writer published
    int64_t nGauges[kGaugeCount] = {};    // gauges this reader knows (0 if not published)
};

// Reads a published mapping of nSize bytes. False when it is no statistics mapping of a
// known version (other magic, unknown version, too short for what it claims).
bool ReadStationStats(void* pView, size_t nSize, StationStatsView* pOut);
