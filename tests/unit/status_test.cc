// The status reports byte for byte against areas filled with a known pattern, the rules
// that hold a report back, the opening of the shared-memory areas, and the time texts.
#include "status/reports.h"
#include "status/time_format.h"
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

// One row of the full status report: nSlots fields of nWidth bytes at nDst + nDstStride*i,
// taken from the area at nSrc + nSrcStride*i. nSlots 0 = one field not tied to lanes.
// nStation: 0 both kinds, 1 signal only, 2 speed only.
struct Row {
    int nDst, nWidth, nSlots, nDstStride, nSrc, nSrcStride, nStation;
};
// clang-format off
const Row kRows[] = {
    {0, 5, 0, 0, 0, 0, 0},         {8, 64, 0, 0, 8, 0, 0},        {72, 32, 2, 32, 136, 32, 0},
    {136, 32, 0, 0, 200, 0, 0},    {168, 1, 0, 0, 232, 0, 0},     {169, 6, 0, 0, 233, 0, 0},
    {175, 1, 4, 1, 693, 1, 0},     {179, 3, 4, 3, 697, 4, 0},     {191, 3, 4, 3, 705, 4, 0},
    {203, 12, 4, 12, 713, 12, 0},  {251, 12, 4, 12, 761, 12, 0},  {299, 4, 4, 4, 809, 8, 0},
    {315, 4, 4, 4, 841, 8, 0},     {331, 1, 4, 1, 240, 1, 0},     {347, 16, 4, 16, 881, 16, 0},
    {411, 4, 4, 4, 949, 4, 0},     {427, 1, 0, 0, 244, 0, 0},     {428, 1, 0, 0, 239, 0, 0},
    {429, 1, 0, 0, 2334, 0, 0},    {430, 1, 0, 0, 2335, 0, 0},    {431, 1, 0, 0, 967, 0, 0},
    {432, 1, 0, 0, 970, 0, 0},     {433, 1, 0, 0, 971, 0, 0},     {434, 1, 0, 0, 968, 0, 0},
    {435, 1, 0, 0, 969, 0, 0},     {437, 1, 0, 0, 966, 0, 0},     {475, 4, 4, 4, 2034, 4, 0},
    {491, 4, 4, 4, 2050, 4, 0},    {507, 4, 4, 4, 2066, 4, 0},    {523, 4, 4, 4, 2082, 4, 0},
    {555, 4, 4, 4, 2098, 4, 0},    {571, 4, 4, 4, 2114, 4, 0},    {587, 4, 2, 4, 2130, 4, 2},
    {595, 4, 2, 4, 2146, 4, 2},    {603, 4, 2, 4, 2162, 4, 2},    {611, 4, 2, 4, 2178, 4, 2},
    {619, 4, 0, 0, 2217, 0, 1},    {623, 1, 0, 0, 2221, 0, 1},    {624, 1, 0, 0, 2210, 0, 1},
    {626, 1, 0, 0, 2216, 0, 1},    {627, 4, 4, 4, 2222, 4, 1},    {643, 4, 4, 4, 2238, 4, 1},
    {659, 4, 4, 4, 2254, 4, 1},    {675, 4, 4, 4, 2270, 4, 1},    {691, 4, 4, 4, 2286, 4, 1},
    {707, 32, 0, 0, 2302, 0, 1},   {739, 4, 0, 0, 2336, 0, 0},    {743, 96, 0, 0, 2340, 0, 0},
};
// clang-format on

// The full status data as the Manager PC expects it from this area.
std::vector<uint8_t> ExpectedStatus(const uint8_t* ls, int nProgramKind) {
    std::vector<uint8_t> d(kStatusReportSize, 0);
    const bool bSignal = nProgramKind == 1;
    const int nLanes = ls[232];
    for (const Row& r : kRows) {
        if ((r.nStation == 1 && !bSignal) || (r.nStation == 2 && bSignal)) continue;
        const int nCount = r.nSlots == 0 ? 1 : std::min(nLanes, r.nSlots);
        for (int i = 0; i < nCount; ++i) {
            for (int b = 0; b < r.nWidth; ++b)
                d[r.nDst + r.nDstStride * i + b] = ls[r.nSrc + r.nSrcStride * i + b];
        }
    }
    for (int i = 0; i < std::min(nLanes, 4); ++i) {  // the loop digits go through a table
        const uint8_t d0 = ls[697 + 4 * i], d1 = ls[698 + 4 * i], d2 = ls[699 + 4 * i];
        d[335 + 3 * i] = ls[872 + d0];
        d[336 + 3 * i] = d1 == 0 ? 0 : ls[872 + d1];
        d[337 + 3 * i] = d2 == 0 ? 0 : ls[872 + d2];
    }
    if (bSignal) d[625] = MapSignalStatus(ls[2211]);
    d[839] = static_cast<uint8_t>(nProgramKind);
    return d;
}

class ReportTest : public StationTest {
  protected:
    CVelmoraDlg& Station(int nProgramKind, int nSimulationMode = 0) {
        WriteIni("[SelectSystem]\r\nTHIS_PROGRAM_KIND=" + std::to_string(nProgramKind) +
                 "\r\n[LocalInfo]\r\nLOCAL_ADDRESS=ABCDE\r\nSINULATION_MODE=" +
                 std::to_string(nSimulationMode) + "\r\n");
        m_pEnv->SetTime64(vplat::Time64FromLocal(2026, 3, 15, 9, 5, 7));
        CVelmoraDlg& dlg = MakeDialog();
        dlg.m_pConn[0].m_nLinkState = 1;
        OpenAreas(dlg);
        ResetRecords();
        return dlg;
    }
    // The data of the one frame queued, checked as a report of its code and length.
    std::vector<uint8_t> Report(int nCode, int nLength) {
        const SentFrame f = TakeOne();
        char szHead[32];
        std::snprintf(szHead, sizeof szHead, "10%02d%07d0000ABCDE0", nCode, nLength);
        EXPECT_EQ(f.Text(9, 21), szHead);
        EXPECT_EQ(f.bytes.size(), static_cast<size_t>(36 + nLength));
        return f.Data();
    }
};

// Both status reports of one station per row, against the pattern. The full one (843
// bytes) at every offset; the short one (24) by its ten head bytes (offsets into the area,
// or -(value + 1) for a constant) and the time digits. The simulation mode changes only the
// short one; -1 keeps the pattern's byte.
TEST_F(ReportTest, FullAndShortStatusEveryOffset) {
    const struct {
        int nKind, nSimulation, nLanes, nLane1Second, nRawSignal;
        std::vector<int> head;
    } kCases[] = {
        {1, 0, -1, -1, 2, {232, 240, 693, 2210, -(4 + 1), 2216, 233, 234, -1, -1}},
        {2, 1, 255, -1, -1, {232, 240, 693, -1, -1, -1, 233, 234, 235, 236}},
        {1, 1, 1, 0, 12, {232, 240, 693, 2210, -(12 + 1), -1, 233, 234, -1, -1}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::to_string(c.nKind) + "/" + std::to_string(c.nLanes));
        TearDown();
        SetUp();
        CVelmoraDlg& dlg = Station(c.nKind, c.nSimulation);
        if (c.nLanes >= 0) m_pLocal[232] = static_cast<uint8_t>(c.nLanes);
        if (c.nLane1Second >= 0) m_pLocal[698] = 0;  // an index of 0 sends 0
        if (c.nRawSignal >= 0) m_pLocal[2211] = static_cast<uint8_t>(c.nRawSignal);
        dlg.m_pSession->SendStatusReport(0);
        const std::vector<uint8_t> data = Report(55, 843);
        ASSERT_EQ(data.size(), 843u);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(m_pLocal + 2340)), "2026/03/15 09:05:07");
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&data[743]), 19),
                  "2026/03/15 09:05:07");
        const std::vector<uint8_t> expected = ExpectedStatus(m_pLocal, c.nKind);
        for (int i = 0; i < kStatusReportSize; ++i)
            ASSERT_EQ(data[i], expected[i]) << "offset " << i;
        EXPECT_EQ(Control(IDC_SEND_BOX), "55-843");
        if (c.nRawSignal == 12) {
            EXPECT_EQ(data[625], 10);
            EXPECT_GE(CountDebugContaining("****** cSignalStatus => c -> [a]"), 1);
        }
        dlg.m_pSession->SendShortStatus(0);
        const std::vector<uint8_t> d = Report(59, 24);
        ASSERT_EQ(d.size(), 24u);
        for (int i = 0; i < 10; ++i) {
            const int n = c.head[i];
            EXPECT_EQ(d[i], n >= 0 ? m_pLocal[n] : -n - 1) << "offset " << i;
        }
        EXPECT_EQ(std::string(d.begin() + 10, d.end()), "20260315090507");
        EXPECT_EQ(Control(IDC_SEND_BOX), "59-24");
    }
    m_pEnv->SetTime64(0);
    m_pDlg->m_pSession->SendShortStatus(0);
    const std::vector<uint8_t> d = Report(59, 24);
    EXPECT_EQ(std::string(d.begin() + 10, d.end()), "00000000000000");
    EXPECT_EQ(PatternByte(232), 121) << "the pattern's lane count is clamped to the slots";
    const std::pair<int, int> kCodes[] = {{1, 1}, {2, 4}, {4, 8}, {8, 2},     {5, 9}, {12, 10},
                                          {3, 1}, {7, 1}, {6, 6}, {255, 255}, {0, 0}, {9, 9}};
    for (const auto& [nRaw, nSent] : kCodes)
        EXPECT_EQ(MapSignalStatus(static_cast<uint8_t>(nRaw)), nSent) << nRaw;
}

// The traffic report is the area's first 68 bytes; the time report needs only the link.
// A violation file holds back all three area reports, an image or a log only the short
// one; without the areas only the short one is refused, with a line; a link down or a bad
// link number sends nothing and says nothing.
TEST_F(ReportTest, TrafficTimeAndHoldBackRules) {
    CVelmoraDlg& dlg = Station(2);
    CCenterSession& s = *dlg.m_pSession;
    s.SendTrafficReport(0);
    std::vector<uint8_t> traffic(68);
    for (size_t i = 0; i < traffic.size(); ++i) traffic[i] = PatternByte(i);
    EXPECT_EQ(Report(56, 68), traffic);
    m_pEnv->SetTime64(vplat::Time64FromLocal(2026, 12, 31, 23, 59, 58));
    dlg.m_bMmfOpen = 0;
    s.SendTimeReport(0);
    const std::vector<uint8_t> t = Report(57, 19);
    EXPECT_EQ(std::string(t.begin(), t.end()), "2026/12/31 23:59:58");
    EXPECT_EQ(Control(IDC_SEND_BOX), "57-19");
    dlg.m_bMmfOpen = 1;
    ResetRecords();
    s.m_nSendKind = SEND_VOL;  // a violation file holds back all three
    s.SendStatusReport(0);
    s.SendShortStatus(0);
    s.SendTrafficReport(0);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(CountDebugContaining("상태정보 전송 못했음 [위반화일 전송중!!]"), 1);
    EXPECT_EQ(CountDebugContaining("교통정보 전송 못했음 [위반화일 전송 중!!]"), 1);
    EXPECT_EQ(m_pLocal[2340], PatternByte(2340)) << "no report time for a report held back";
    for (int nKind : {SEND_ROAD_IMAGE, SEND_CAR_IMAGE, SEND_TRACKING_IMAGE, SEND_RUN_LOG}) {
        SCOPED_TRACE(nKind);  // images and logs hold back only the short status
        s.m_nSendKind = nKind;
        s.SendShortStatus(0);
        EXPECT_TRUE(TakeFrames().empty());
        s.SendStatusReport(0);
        s.SendTrafficReport(0);
        EXPECT_EQ(TakeFrames().size(), 2u);
    }
    s.m_nSendKind = SEND_NONE;
    dlg.m_bMmfOpen = 0;
    ResetRecords();
    s.SendStatusReport(0);
    s.SendTrafficReport(0);
    EXPECT_TRUE(m_pEnv->DebugLines().empty());
    s.SendShortStatus(0);
    EXPECT_EQ(CountDebugContaining("MMF Not Open - 데이타 통신을 할 수 없다..."), 1);
    dlg.m_bMmfOpen = 1;
    dlg.m_pConn[0].m_nLinkState = 2;
    s.m_nSendKind = SEND_VOL;
    ResetRecords();
    s.SendStatusReport(0);
    s.SendShortStatus(0);
    s.SendStatusReport(-1);
    dlg.m_pConn[0].m_nLinkState = 1;
    s.m_nSendKind = SEND_NONE;
    s.SendShortStatus(kMaxLinks);
    EXPECT_TRUE(m_pEnv->DebugLines().empty()) << "link down: not even the debug lines";
    EXPECT_TRUE(TakeFrames().empty());
}

TEST_F(ReportTest, ReportsFromTwoThreadsStayWhole) {
    CVelmoraDlg& dlg = Station(1);
    std::thread link([&] {
        for (int i = 0; i < 200; ++i) dlg.m_pSession->SendTimeReport(0);
    });
    for (int i = 0; i < 200; ++i) dlg.m_pSession->SendShortStatus(0);
    link.join();
    const auto frames = TakeFrames();
    ASSERT_FALSE(frames.empty());
    for (const SentFrame& f : frames) {
        if (f.Opcode() == 57) {
            EXPECT_EQ(f.DataText(), "2026/03/15 09:05:07");
        } else {
            ASSERT_EQ(f.Opcode(), 59);
            EXPECT_EQ(f.Text(40, 14), "20260315090507");
        }
    }
}

TEST_F(ReportTest, SharedMemoryOpensBothOrNoneAndPublishesTheDestination) {
    CVelmoraDlg& dlg = MakeDialog();
    EXPECT_FALSE(dlg.OpenSharedMemory());
    dlg.m_bSendToManager = 1;
    m_pLocal = CreateArea("LOCALSTATUSINFO", 4096);
    EXPECT_FALSE(dlg.OpenSharedMemory()) << "the traffic area is missing";
    EXPECT_EQ(dlg.m_pLocalStatus, nullptr);
    EXPECT_EQ(m_pLocal[2336], PatternByte(2336)) << "nothing written while not open";
    m_pTraffic = CreateArea("TRAFFICSENDINFO", 68);
    ASSERT_TRUE(dlg.OpenSharedMemory());
    EXPECT_EQ(dlg.m_pTrafficInfo[67], PatternByte(67));
    EXPECT_EQ(std::vector<uint8_t>(m_pLocal + 2335, m_pLocal + 2341),
              (std::vector<uint8_t>{PatternByte(2335), 1, 0, 0, 0, PatternByte(2340)}));
    // The station text is bounded to 7 characters and the destination; none while closed.
    char sz[16], szSmall[4];
    std::memset(sz, 'x', sizeof sz);
    dlg.m_bMmfOpen = 0;
    dlg.GetStationText(sz, sizeof sz);
    EXPECT_EQ(std::string(sz, sizeof sz), std::string(sizeof sz, '\0'));
    dlg.m_bMmfOpen = 1;
    std::memcpy(m_pLocal, "ABCDEFGHIJ", 10);
    dlg.GetStationText(sz, sizeof sz);
    dlg.GetStationText(szSmall, sizeof szSmall);
    EXPECT_STREQ(sz, "ABCDEFG");
    EXPECT_STREQ(szSmall, "ABC");
}

TEST_F(ReportTest, AreaSmallerThanNeededIsRefused) {
    CVelmoraDlg& dlg = MakeDialog();
    m_pLocal = CreateArea("LOCALSTATUSINFO", kLocalStatusMinSize - 1);
    m_pTraffic = CreateArea("TRAFFICSENDINFO", 68);
    EXPECT_FALSE(dlg.OpenSharedMemory());
    EXPECT_EQ(dlg.m_pLocalStatus, nullptr);
    EXPECT_EQ(CountDebugContaining("too small"), 2) << "the attempt and its one retry";
}

TEST(TimeFormatTest, DigitsTextAndParsing) {
    const int64_t t = vplat::Time64FromLocal(2026, 3, 5, 7, 8, 9);
    char sz[24];
    std::memset(sz, 'x', sizeof sz);
    FormatTimeDigits(sz, 14, t);
    EXPECT_EQ(std::string(sz, 15), "20260305070809x") << "no NUL written";
    std::memset(sz, 'x', sizeof sz);
    FormatTimeDigits(sz, 18, -5);
    EXPECT_EQ(std::string(sz, 17), "0000000000000000x") << "no time: zeros, at most sixteen";
    std::memset(sz, 'x', sizeof sz);
    FormatTimeText(sz, 20, vplat::Time64FromLocal(2026, 12, 31, 23, 59, 58));
    EXPECT_EQ(std::string(sz, 21), std::string("2026/12/31 23:59:58\0x", 21));
    FormatTimeText(sz, 20, 0);
    EXPECT_EQ(sz[0], '\0') << "no time: an empty text";
    FormatTimeDigits(sz, -1, t);
    EXPECT_EQ(sz[0], '\0') << "no room: nothing written";
    EXPECT_EQ(ParseTimeDigits("20260315090507", 14), vplat::Time64FromLocal(2026, 3, 15, 9, 5, 7));
    vplat::LocalTime st;
    st.nMilliseconds = 900;
    // A bad field reads 0, a NUL ends only its own field, bytes past the size are missing.
    const char szText[] =
        "2026xx15\0"
        "90507";
    ParseTimeDigitsToSystemTime(&st, szText, sizeof szText);
    EXPECT_EQ(std::vector<int>({st.nYear, st.nMonth, st.nDay, st.nHour, st.nMinute, st.nSecond,
                                st.nMilliseconds}),
              std::vector<int>({2026, 0, 15, 0, 5, 7, 0}));
    ParseTimeDigitsToSystemTime(&st, "20260315093", 11);
    EXPECT_EQ(std::vector<int>({st.nDay, st.nHour, st.nMinute, st.nSecond}),
              std::vector<int>({15, 9, 3, 0}));
}

}  // namespace
}  // namespace vtest
