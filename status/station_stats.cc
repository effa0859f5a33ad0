// The station's counters and their publication in the "VelmoraStats" mapping: fields are
// written and read little-endian whatever the host's byte order, and every published
// word is touched as one aligned atomic word, so the station program and velmoractl may
// use the mapping at the same time.
#include "status/station_stats.h"

#include <bit>
#include <iterator>
#include <string_view>

namespace {

constexpr size_t kOffVersion = 4;
constexpr size_t kOffCount = 8;
constexpr size_t kOffGaugeCount = 12;
constexpr size_t kOffStartTime = 16;

constexpr const char* kCounterNames[] = {
    "frames_in",    "frames_out",  "bytes_in",   "bytes_out",     "crc_errors",    "foreign_id",
    "frame_errors", "disconnects", "reconnects", "queue_refused", "queue_dropped", "files_sent",
    "files_moved",  "resends",     "refusals",   "images_sent",   "logs_sent",
};
static_assert(std::size(kCounterNames) == kStatCount, "a name for every counter");

constexpr const char* kGaugeNames[] = {
    "link_state",  "link_down_for",    "last_frame_in",  "last_frame_out", "connect_attempts",
    "connect_failures", "last_failure", "backlog",       "oldest_age",     "file_packets",
    "file_acked",  "syslog_missing",   "tick",
};
static_assert(std::size(kGaugeNames) == kGaugeCount, "a name for every gauge");

constexpr const char* kFailureTexts[] = {"none",        "refused", "timed out",
                                         "no route",    "bad address", "error"};

template <class T>
T ToLittle(T n) {
    if constexpr (std::endian::native == std::endian::little) {
        return n;
    } else {
        T r = 0;
        for (size_t k = 0; k < sizeof(T); ++k)
            r = static_cast<T>((r << 8) | ((n >> (8 * k)) & 0xFFu));
        return r;
    }
}

// The aligned word of the mapping at nOffset.
template <class T>
std::atomic_ref<T> Word(uint8_t* pView, size_t nOffset) {
    return std::atomic_ref<T>(*reinterpret_cast<T*>(pView + nOffset));
}

size_t CounterOffset(int nCounter) { return kStatsHeaderSize + 8 * static_cast<size_t>(nCounter); }
size_t GaugeOffset(int nGauge) { return kStatsGaugeOffset + 8 * static_cast<size_t>(nGauge); }

// Raises a published counter to nValue; a store that came late never lowers it.
void RaiseTo(uint8_t* pView, int nCounter, uint64_t nValue) {
    std::atomic_ref<uint64_t> word = Word<uint64_t>(pView, CounterOffset(nCounter));
    uint64_t nOld = word.load(std::memory_order_relaxed);
    while (ToLittle(nOld) < nValue &&
           !word.compare_exchange_weak(nOld, ToLittle(nValue), std::memory_order_relaxed)) {
    }
}

}  // namespace

const char* StatCounterName(int nCounter) {
    return nCounter >= 0 && nCounter < kStatCount ? kCounterNames[nCounter] : nullptr;
}

const char* StatGaugeName(int nGauge) {
    return nGauge >= 0 && nGauge < kGaugeCount ? kGaugeNames[nGauge] : nullptr;
}

const char* ConnectFailureText(int nReason) {
    return nReason >= 0 && nReason <= kFailOther ? kFailureTexts[nReason] : "error";
}

int ConnectFailureFromText(const char* szText) {
    for (int k = kFailRefused; k < kFailOther; ++k) {
        if (szText != nullptr && std::string_view(szText) == kFailureTexts[k]) return k;
    }
    return kFailOther;
}

CStationStats::CStationStats() {
    for (auto& n : m_nCounters) n = 0;
    for (auto& n : m_nGauges) n = 0;
    m_nGauges[kGaugeOldestAge] = -1;
}

CStationStats::~CStationStats() {
    m_pView = nullptr;
    vplat::env()->CloseMapping(&m_hMapping);
}

void CStationStats::Add(StatCounter nCounter, uint64_t nBy) {
    if (nCounter < 0 || nCounter >= kStatCount) return;
    const uint64_t nNow = m_nCounters[nCounter].fetch_add(nBy) + nBy;
    if (uint8_t* pView = m_pView.load()) RaiseTo(pView, nCounter, nNow);
}

uint64_t CStationStats::Get(StatCounter nCounter) const {
    return nCounter >= 0 && nCounter < kStatCount ? m_nCounters[nCounter].load() : 0;
}

void CStationStats::SetGauge(StatGauge nGauge, int64_t nValue) {
    if (nGauge < 0 || nGauge >= kGaugeCount) return;
    // Under the lock, so that the published word ends at the last value set.
    std::lock_guard<std::mutex> lock(m_gaugeMutex);
    m_nGauges[nGauge] = nValue;
    if (uint8_t* pView = m_pView.load())
        Word<uint64_t>(pView, GaugeOffset(nGauge)).store(ToLittle(static_cast<uint64_t>(nValue)));
}

int64_t CStationStats::GetGauge(StatGauge nGauge) const {
    return nGauge >= 0 && nGauge < kGaugeCount ? m_nGauges[nGauge].load() : 0;
}

bool CStationStats::Publish(const char* szName) {
    if (m_pView.load() != nullptr) return true;
    bool bCreated = false;
    vplat::MappedView view;
    if (!vplat::env()->CreateMapping(szName, kStatsMappingSize, &view, &bCreated) ||
        view.pView == nullptr || view.nSize < kStatsMappingSize) {
        vplat::env()->CloseMapping(&view);
        return false;
    }
    auto* pView = static_cast<uint8_t*>(view.pView);
    // A mapping left by an earlier run: the reader sees no magic until all is set again.
    Word<uint32_t>(pView, 0).store(0);
    for (size_t k = 4; k < kStatsMappingSize; k += 4) Word<uint32_t>(pView, k).store(0);
    Word<uint32_t>(pView, kOffVersion).store(ToLittle(kStatsVersion));
    Word<uint32_t>(pView, kOffCount).store(ToLittle(static_cast<uint32_t>(kStatCount)));
    Word<uint32_t>(pView, kOffGaugeCount).store(ToLittle(static_cast<uint32_t>(kGaugeCount)));
    Word<uint64_t>(pView, kOffStartTime)
        .store(ToLittle(static_cast<uint64_t>(vplat::env()->Time64())));
    for (int k = 0; k < kStatCount; ++k) RaiseTo(pView, k, m_nCounters[k].load());
    m_hMapping = view;
    {
        std::lock_guard<std::mutex> lock(m_gaugeMutex);
        for (int k = 0; k < kGaugeCount; ++k) {
            Word<uint64_t>(pView, GaugeOffset(k))
                .store(ToLittle(static_cast<uint64_t>(m_nGauges[k].load())));
        }
        m_pView = pView;
    }
    // What was added while the view was not yet visible to Add.
    for (int k = 0; k < kStatCount; ++k) RaiseTo(pView, k, m_nCounters[k].load());
    Word<uint32_t>(pView, 0).store(ToLittle(kStatsMagic), std::memory_order_release);
    return true;
}

bool ReadStationStats(void* pView, size_t nSize, StationStatsView* pOut) {
    if (pView == nullptr || pOut == nullptr || nSize < kStatsHeaderSize) return false;
    auto* p = static_cast<uint8_t*>(pView);
    if (ToLittle(Word<uint32_t>(p, 0).load(std::memory_order_acquire)) != kStatsMagic) return false;
    *pOut = StationStatsView{};
    pOut->nVersion = ToLittle(Word<uint32_t>(p, kOffVersion).load());
    pOut->nCount = ToLittle(Word<uint32_t>(p, kOffCount).load());
    pOut->nGaugeCount = ToLittle(Word<uint32_t>(p, kOffGaugeCount).load());
    if (pOut->nVersion != kStatsVersion ||
        kStatsHeaderSize + 8 * size_t{pOut->nCount} > kStatsGaugeOffset ||
        kStatsGaugeOffset + 8 * size_t{pOut->nGaugeCount} > nSize)
        return false;
    pOut->nStartTime = static_cast<int64_t>(ToLittle(Word<uint64_t>(p, kOffStartTime).load()));
    for (uint32_t k = 0; k < pOut->nCount && k < static_cast<uint32_t>(kStatCount); ++k)
        pOut->nCounters[k] = ToLittle(Word<uint64_t>(p, CounterOffset(static_cast<int>(k))).load());
    for (uint32_t k = 0; k < pOut->nGaugeCount && k < static_cast<uint32_t>(kGaugeCount); ++k) {
        pOut->nGauges[k] = static_cast<int64_t>(
            ToLittle(Word<uint64_t>(p, GaugeOffset(static_cast<int>(k))).load()));
    }
    return true;
}
