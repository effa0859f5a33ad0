// The four reports byte for byte: every offset of the full status report (843 bytes) and
// the short status report (24) for a signal and a speed station, against the area filled
// with a known pattern; lane counts beyond the report's slots; the signal code mapping;
// the report time written to the area; the traffic and time reports; and the rules that
// hold a report back (link down, areas closed, a file transfer under way).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/resource.h"
#include "status/reports.h"
#include "status/time_format.h"
#include "status_fixture.h"

namespace {

using station_test::PatternByte;
using station_test::StationTest;

// One row of the full status report: nSlots fields of nWidth bytes at nDst + nDstStride*i,
// taken from the area at nSrc + nSrcStride*i. nSlots 0 = a single field not tied to lanes.
// nStation: 0 both kinds, 1 signal only, 2 speed only.
struct Row {
    int nDst, nWidth, nSlots, nDstStride, nSrc, nSrcStride, nStation;
};
// clang-format off
const Row kRows[] = {
    {0, 5, 0, 0, 0, 0, 0},          {8, 64, 0, 0, 8, 0, 0},
    {72, 32, 2, 32, 136, 32, 0},    {136, 32, 0, 0, 200, 0, 0},
    {168, 1, 0, 0, 232, 0, 0},      {169, 6, 0, 0, 233, 0, 0},
    {175, 1, 4, 1, 693, 1, 0},      {179, 3, 4, 3, 697, 4, 0},
    {191, 3, 4, 3, 705, 4, 0},      {203, 12, 4, 12, 713, 12, 0},
    {251, 12, 4, 12, 761, 12, 0},   {299, 4, 4, 4, 809, 8, 0},
    {315, 4, 4, 4, 841, 8, 0},      {331, 1, 4, 1, 240, 1, 0},
    {347, 16, 4, 16, 881, 16, 0},   {411, 4, 4, 4, 949, 4, 0},
    {427, 1, 0, 0, 244, 0, 0},      {428, 1, 0, 0, 239, 0, 0},
    {429, 1, 0, 0, 2334, 0, 0},     {430, 1, 0, 0, 2335, 0, 0},
    {431, 1, 0, 0, 967, 0, 0},      {432, 1, 0, 0, 970, 0, 0},
    {433, 1, 0, 0, 971, 0, 0},      {434, 1, 0, 0, 968, 0, 0},
    {435, 1, 0, 0, 969, 0, 0},      {437, 1, 0, 0, 966, 0, 0},
    {475, 4, 4, 4, 2034, 4, 0},     {491, 4, 4, 4, 2050, 4, 0},
    {507, 4, 4, 4, 2066, 4, 0},     {523, 4, 4, 4, 2082, 4, 0},
    {555, 4, 4, 4, 2098, 4, 0},     {571, 4, 4, 4, 2114, 4, 0},
    {587, 4, 2, 4, 2130, 4, 2},     {595, 4, 2, 4, 2146, 4, 2},
    {603, 4, 2, 4, 2162, 4, 2},     {611, 4, 2, 4, 2178, 4, 2},
    {619, 4, 0, 0, 2217, 0, 1},     {623, 1, 0, 0, 2221, 0, 1},
    {624, 1, 0, 0, 2210, 0, 1},     {626, 1, 0, 0, 2216, 0, 1},
    {627, 4, 4, 4, 2222, 4, 1},     {643, 4, 4, 4, 2238, 4, 1},
    {659, 4, 4, 4, 2254, 4, 1},     {675, 4, 4, 4, 2270, 4, 1},
    {691, 4, 4, 4, 2286, 4, 1},     {707, 32, 0, 0, 2302, 0, 1},
    {739, 4, 0, 0, 2336, 0, 0},     {743, 96, 0, 0, 2340, 0, 0},
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
            for (int b = 0; b < r.nWidth; ++b) {
                d[r.nDst + r.nDstStride * i + b] = ls[r.nSrc + r.nSrcStride * i + b];
            }
        }
    }
    for (int i = 0; i < std::min(nLanes, 4); ++i) {
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
        WriteFile("d/QN64-ABRIX/Data/ConfigInfoSetup.ini",
                  "[SelectSystem]\r\nTHIS_PROGRAM_KIND=" + std::to_string(nProgramKind) +
                      "\r\n[LocalInfo]\r\nLOCAL_ADDRESS=ABCDE\r\nSINULATION_MODE=" +
                      std::to_string(nSimulationMode) + "\r\n");
        // 2026-03-15 09:05:07 local time.
        m_tNow = vplat::Time64FromLocal(2026, 3, 15, 9, 5, 7);
        m_pEnv->SetTime64(m_tNow);
        CVelmoraDlg& dlg = MakeDialog();
        dlg.m_pConn[0].m_nLinkState = 1;
        OpenAreas(dlg);
        m_pEnv->ClearDebugLines();
        return dlg;
    }
    // The frames queued on link 0, each checked as a single report frame of its code.
    std::vector<std::vector<uint8_t>> Frames(int nExpectedCode = 0, int nExpectedLength = 0) {
        auto frames = m_pDlg->TakeQueuedFrames(0);
        for (const auto& f : frames) {
            EXPECT_EQ(f.size(), static_cast<size_t>(36 + nExpectedLength));
            if (f.size() < 36) continue;
            char szHead[32];
            std::snprintf(szHead, sizeof szHead, "10%02d%07d0000ABCDE0", nExpectedCode,
                          nExpectedLength);
            EXPECT_EQ(std::string(f.begin() + 9, f.begin() + 30), szHead);
            EXPECT_EQ(f[0], 0xAA);
            EXPECT_EQ(f[f.size() - 1], 0x55);
        }
        return frames;
    }
    std::vector<uint8_t> Data(const std::vector<uint8_t>& f) {
        return std::vector<uint8_t>(f.begin() + 30, f.end() - 6);
    }
    bool HasDebugLine(const std::string& szText) {
        for (const auto& line : m_pEnv->DebugLines()) {
            if (line.find(szText) != std::string::npos) return true;
        }
        return false;
    }
    int64_t m_tNow = 0;
};

TEST_F(ReportTest, FullStatusOfASignalStationEveryOffset) {
    CVelmoraDlg& dlg = Station(1);
    ASSERT_EQ(m_pLocal[232], 121);  // the pattern's lane count, clamped to the slots
    dlg.m_pSession->SendStatusReport(0);
    auto frames = Frames(55, 843);
    ASSERT_EQ(frames.size(), 1u);
    // The report time went into the area first, then into the report.
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m_pLocal + 2340)), "2026/03/15 09:05:07");
    EXPECT_EQ(m_pLocal[2359], 0);
    const auto data = Data(frames[0]);
    const auto expected = ExpectedStatus(m_pLocal, 1);
    for (int i = 0; i < kStatusReportSize; ++i) EXPECT_EQ(data[i], expected[i]) << "offset " << i;
    // A few anchors spelled out.
    EXPECT_EQ(data[0], PatternByte(0));
    EXPECT_EQ(data[5], 0);
    EXPECT_EQ(data[72 + 32], PatternByte(136 + 32));
    EXPECT_EQ(data[587], 0);  // speed rows stay zero on a signal station
    EXPECT_EQ(data[707], PatternByte(2302));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&data[743]), 19), "2026/03/15 09:05:07");
    EXPECT_EQ(data[839], 1);
    EXPECT_EQ(data[840], 0);
    EXPECT_EQ(dlg.GetItemText(IDC_SEND_BOX), "55-843");
}

TEST_F(ReportTest, FullStatusOfASpeedStationEveryOffset) {
    CVelmoraDlg& dlg = Station(2);
    m_pLocal[232] = 255;
    dlg.m_pSession->SendStatusReport(0);
    auto frames = Frames(55, 843);
    ASSERT_EQ(frames.size(), 1u);
    const auto data = Data(frames[0]);
    const auto expected = ExpectedStatus(m_pLocal, 2);
    for (int i = 0; i < kStatusReportSize; ++i) EXPECT_EQ(data[i], expected[i]) << "offset " << i;
    EXPECT_EQ(data[595 + 4], PatternByte(2146 + 4));
    EXPECT_EQ(data[619], 0);  // signal fields zero on a speed station
    EXPECT_EQ(data[707], 0);
    EXPECT_EQ(data[839], 2);
}

TEST_F(ReportTest, FullStatusFillsOnlyTheLanesThereAre) {
    CVelmoraDlg& dlg = Station(1);
    m_pLocal[232] = 1;
    m_pLocal[698] = 0;  // an index of 0 sends 0 for the second entry
    dlg.m_pSession->SendStatusReport(0);
    auto frames = Frames(55, 843);
    ASSERT_EQ(frames.size(), 1u);
    const auto data = Data(frames[0]);
    const auto expected = ExpectedStatus(m_pLocal, 1);
    for (int i = 0; i < kStatusReportSize; ++i) EXPECT_EQ(data[i], expected[i]) << "offset " << i;
    EXPECT_EQ(data[72 + 32], 0);  // lane block of lane 1
    EXPECT_EQ(data[176], 0);      // lane byte of lane 1
    EXPECT_EQ(data[475 + 4], 0);  // 32-bit value of lane 1
    EXPECT_EQ(data[475], PatternByte(2034));
    EXPECT_EQ(data[336], 0);
    EXPECT_EQ(data[335], m_pLocal[872 + m_pLocal[697]]);
}

TEST_F(ReportTest, SignalCodesAreMapped) {
    const std::pair<int, int> kCodes[] = {{1, 1}, {2, 4}, {4, 8}, {8, 2},     {5, 9}, {12, 10},
                                          {3, 1}, {7, 1}, {6, 6}, {255, 255}, {0, 0}, {9, 9}};
    for (const auto& [nRaw, nSent] : kCodes) {
        EXPECT_EQ(MapSignalStatus(static_cast<uint8_t>(nRaw)), nSent) << nRaw;
    }
    CVelmoraDlg& dlg = Station(1);
    m_pLocal[2211] = 12;
    dlg.m_pSession->SendStatusReport(0);
    auto frames = Frames(55, 843);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(Data(frames[0])[625], 10);
    EXPECT_TRUE(HasDebugLine("****** cSignalStatus => c -> [a]"));
}

TEST_F(ReportTest, ShortStatusOfASignalStation) {
    CVelmoraDlg& dlg = Station(1);
    m_pLocal[2211] = 2;
    dlg.m_pSession->SendShortStatus(0);
    auto frames = Frames(59, 24);
    ASSERT_EQ(frames.size(), 1u);
    const auto d = Data(frames[0]);
    const uint8_t* ls = m_pLocal;
    const std::vector<uint8_t> head = {ls[232],  ls[240], ls[693], ls[2210], 4,
                                       ls[2216], ls[233], ls[234], 0,        0};
    EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + 10), head);
    EXPECT_EQ(std::string(d.begin() + 10, d.end()), "20260315090507");
    EXPECT_EQ(dlg.GetItemText(IDC_SEND_BOX), "59-24");
}

TEST_F(ReportTest, ShortStatusInSimulationMode) {
    CVelmoraDlg& dlg = Station(1, 1);
    m_pLocal[2211] = 2;
    dlg.m_pSession->SendShortStatus(0);
    auto frames = Frames(59, 24);
    ASSERT_EQ(frames.size(), 1u);
    const auto d = Data(frames[0]);
    EXPECT_EQ(d[3], m_pLocal[2210]);
    EXPECT_EQ(d[4], 12);
    EXPECT_EQ(d[5], 0);
    // The full status report still carries the mapped code.
    dlg.m_pSession->SendStatusReport(0);
    frames = Frames(55, 843);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(Data(frames[0])[625], 4);
}

TEST_F(ReportTest, ShortStatusOfASpeedStation) {
    CVelmoraDlg& dlg = Station(2, 1);
    dlg.m_pSession->SendShortStatus(0);
    auto frames = Frames(59, 24);
    ASSERT_EQ(frames.size(), 1u);
    const auto d = Data(frames[0]);
    const uint8_t* ls = m_pLocal;
    const std::vector<uint8_t> head = {ls[232], ls[240], ls[693], 0,       0,
                                       0,       ls[233], ls[234], ls[235], ls[236]};
    EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + 10), head);
    EXPECT_EQ(std::string(d.begin() + 10, d.end()), "20260315090507");
}

TEST_F(ReportTest, ShortStatusAtTimeZeroCarriesZeroDigits) {
    CVelmoraDlg& dlg = Station(1);
    m_pEnv->SetTime64(0);
    dlg.m_pSession->SendShortStatus(0);
    auto frames = Frames(59, 24);
    ASSERT_EQ(frames.size(), 1u);
    const auto d = Data(frames[0]);
    EXPECT_EQ(std::string(d.begin() + 10, d.end()), "00000000000000");
}

TEST_F(ReportTest, TrafficReportIsTheFirst68Bytes) {
    CVelmoraDlg& dlg = Station(2);
    dlg.m_pSession->SendTrafficReport(0);
    auto frames = Frames(56, 68);
    ASSERT_EQ(frames.size(), 1u);
    const auto d = Data(frames[0]);
    for (int i = 0; i < 68; ++i) EXPECT_EQ(d[i], PatternByte(i)) << i;
    EXPECT_EQ(dlg.GetItemText(IDC_SEND_BOX), "56-68");
}

TEST_F(ReportTest, TimeReportNeedsNothingButTheLink) {
    CVelmoraDlg& dlg = MakeDialog();
    m_pEnv->SetTime64(vplat::Time64FromLocal(2026, 12, 31, 23, 59, 58));
    dlg.m_pConn[0].m_nLinkState = 1;
    std::strcpy(dlg.m_pConn[0].m_szLocalId, "ABCDE");
    dlg.m_pSession->SendTimeReport(0);
    auto frames = Frames(57, 19);
    ASSERT_EQ(frames.size(), 1u);
    const auto d = Data(frames[0]);
    EXPECT_EQ(std::string(d.begin(), d.end()), "2026/12/31 23:59:58");
    EXPECT_EQ(dlg.GetItemText(IDC_SEND_BOX), "57-19");
}

TEST_F(ReportTest, ViolationTransferHoldsBackAllThree) {
    CVelmoraDlg& dlg = Station(1);
    dlg.m_pSession->m_nSendKind = SEND_VOL;
    dlg.m_pSession->SendStatusReport(0);
    dlg.m_pSession->SendShortStatus(0);
    dlg.m_pSession->SendTrafficReport(0);
    EXPECT_TRUE(Frames().empty());
    EXPECT_TRUE(HasDebugLine("상태정보 전송 못했음 [위반화일 전송중!!]"));
    EXPECT_TRUE(HasDebugLine("교통정보 전송 못했음 [위반화일 전송 중!!]"));
    EXPECT_TRUE(HasDebugLine("Violation/Image Data Sending......"));
    // The report time is not written for a report held back.
    EXPECT_EQ(m_pLocal[2340], PatternByte(2340));
}

TEST_F(ReportTest, ImageAndLogTransfersHoldBackOnlyTheShortStatus) {
    CVelmoraDlg& dlg = Station(1);
    for (int nKind : {SEND_ROAD_IMAGE, SEND_CAR_IMAGE, SEND_TRACKING_IMAGE, SEND_RUN_LOG}) {
        dlg.m_pSession->m_nSendKind = nKind;
        dlg.m_pSession->SendShortStatus(0);
        EXPECT_TRUE(Frames().empty()) << nKind;
        dlg.m_pSession->SendStatusReport(0);
        EXPECT_EQ(Frames(55, 843).size(), 1u) << nKind;
        dlg.m_pSession->SendTrafficReport(0);
        EXPECT_EQ(Frames(56, 68).size(), 1u) << nKind;
    }
}

TEST_F(ReportTest, ClosedAreasOrLinkDownSendNothing) {
    CVelmoraDlg& dlg = Station(1);
    dlg.m_bMmfOpen = 0;
    dlg.m_pSession->SendStatusReport(0);
    dlg.m_pSession->SendTrafficReport(0);
    EXPECT_TRUE(m_pEnv->DebugLines().empty());
    dlg.m_pSession->SendShortStatus(0);
    EXPECT_TRUE(HasDebugLine("MMF Not Open - 데이타 통신을 할 수 없다..."));
    EXPECT_TRUE(Frames().empty());

    dlg.m_bMmfOpen = 1;
    m_pEnv->ClearDebugLines();
    dlg.m_pConn[0].m_nLinkState = 2;
    dlg.m_pSession->m_nSendKind = SEND_VOL;  // not even the debug lines
    dlg.m_pSession->SendStatusReport(0);
    dlg.m_pSession->SendShortStatus(0);
    dlg.m_pSession->SendTrafficReport(0);
    EXPECT_TRUE(m_pEnv->DebugLines().empty());
    EXPECT_TRUE(Frames().empty());
    dlg.m_pSession->SendStatusReport(-1);
    dlg.m_pSession->SendShortStatus(kMaxLinks);
    EXPECT_TRUE(Frames().empty());
}

TEST_F(ReportTest, ReportsFromTwoThreadsStayWhole) {
    // The dialog thread's short status reports and the link thread's time reports share
    // the report frame; each queued frame must be one report, never a mix of two.
    CVelmoraDlg& dlg = Station(1);
    std::thread link([&] {
        for (int i = 0; i < 200; ++i) dlg.m_pSession->SendTimeReport(0);
    });
    for (int i = 0; i < 200; ++i) dlg.m_pSession->SendShortStatus(0);
    link.join();
    auto frames = dlg.TakeQueuedFrames(0);
    ASSERT_FALSE(frames.empty());
    for (const auto& f : frames) {
        const std::string szHead(f.begin() + 9, f.begin() + 30);
        if (f.size() == 36 + 19) {
            EXPECT_EQ(szHead,
                      "10570000019"
                      "0000ABCDE0");
            EXPECT_EQ(std::string(f.begin() + 30, f.begin() + 49), "2026/03/15 09:05:07");
        } else {
            ASSERT_EQ(f.size(), 36u + 24u);
            EXPECT_EQ(szHead,
                      "10590000024"
                      "0000ABCDE0");
            EXPECT_EQ(std::string(f.begin() + 40, f.begin() + 54), "20260315090507");
        }
    }
}

}  // namespace
