// The configuration check of the station: the settings are loaded by the station's own
// LoadConfig while a recording wrapper of the platform notes every INI read (file,
// section, key, the text found), so the report shows what the station would use, not a
// second opinion. The problems found are printed one per line as "PROBLEM <what>: why".
#include "app/check_config.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/profile_load.h"
#include "link/tcp_client_comm.h"
#include "platform/env_wrapper.h"
#include "platform/ini_parse.h"

namespace {

constexpr size_t kMaxIniBytes = 1 << 20;  // more of an INI file is not looked at
constexpr size_t kStationIdChars = 5;     // the ID field of every frame and file name

// One INI read of LoadConfig.
struct IniRead {
    std::string szPath, szSection, szKey, szValue;
    bool bFound = false;
};

class RecordingEnv final : public vplat::EnvWrapper {
  public:
    explicit RecordingEnv(vplat::Env* pTarget) : EnvWrapper(pTarget) {}
    size_t ReadProfileString(const char* szSection, const char* szKey, const char* szDefault,
                             char* szOut, size_t nSize, const char* szWinPath) override {
        const size_t n =
            Target()->ReadProfileString(szSection, szKey, szDefault, szOut, nSize, szWinPath);
        IniRead r{szWinPath, szSection, szKey, n > 0 ? std::string(szOut, n) : "", n > 0};
        m_reads.push_back(r);
        return n;
    }
    std::vector<IniRead> m_reads;  // in the order LoadConfig read them
};

struct Setting {
    const char* szSection;
    const char* szKey;
    std::function<std::string(const CTcpClientComm&)> value;  // what the station uses
};

std::string Loop(const CTcpClientComm& c, int nCam, int nLane) {
    return std::to_string(c.m_nLoopLane[0][nCam][nLane]) + "," +
           std::to_string(c.m_nLoopLane[1][nCam][nLane]);
}

std::string Dotted(uint32_t n) {
    if (n == kIpv4None) return "none (not an address)";
    return std::to_string(n >> 24) + "." + std::to_string((n >> 16) & 255) + "." +
           std::to_string((n >> 8) & 255) + "." + std::to_string(n & 255);
}

// Every key of the station, with the value it ends up with.
const std::vector<Setting>& Settings() {
    using C = const CTcpClientComm&;
    static const std::vector<Setting> kSettings = {
        {"SelectSystem", "THIS_PROGRAM_KIND", [](C c) { return std::to_string(c.m_nProgramKind); }},
        {"LocalInfo", "LOCAL_ADDRESS", [](C c) { return std::string(c.m_pConn[0].m_szLocalId); }},
        {"LocalInfo", "LOCAL_NAME", [](C c) { return std::string(c.m_pConn[0].m_szLocalName); }},
        {"LocalInfo", "CENTER_COMM_KIND", [](C c) { return std::to_string(c.m_nCenterCommKind); }},
        {"LocalInfo", "CDMA_TEL_NUMBER", [](C c) { return std::string(c.m_szCdmaTelNumber); }},
        {"LocalInfo", "WAIT_CDMA_CONNECT", [](C c) { return std::to_string(c.m_nWaitCdmaConnect); }},
        {"LocalInfo", "WAKEUP_CDMA", [](C c) { return std::to_string(c.m_nWakeupCdma); }},
        {"LocalInfo", "SINULATION_MODE", [](C c) { return std::to_string(c.m_nSimulationMode); }},
        {"OperationInfo", "OPERATION_MODE", [](C c) { return std::to_string(c.m_nOperationMode); }},
        {"LocalInfo", "VOL_FILE_SEND_SYSTEM",
         [](C c) { return std::to_string(c.m_nVolFileSendSystem.load()); }},
        {"LocalInfo", "AUTO_SEND_LOG", [](C c) { return std::to_string(c.m_nAutoSendLog); }},
        {"LocalInfo", "MANAGE_PC_IP", [](C c) { return Dotted(c.m_pConn[0].m_dwManagerIp); }},
        {"LocalInfo", "ENF_CAMERA_CNT", [](C c) { return std::to_string(c.m_nEnfCameraCnt); }},
        {"DigitalCAM_1", "TARGET_LANE_1", [](C c) { return std::to_string(c.m_nTargetLane[0]); }},
        {"DigitalCAM_1", "LOOP1_CHASUN_1", [](C c) { return Loop(c, 0, 0); }},
        {"DigitalCAM_1", "LOOP1_CHASUN_2", [](C c) { return Loop(c, 0, 1); }},
        {"DigitalCAM_1", "LOOP1_CHASUN_3", [](C c) { return Loop(c, 0, 2); }},
        {"DigitalCAM_2", "TARGET_LANE_2", [](C c) { return std::to_string(c.m_nTargetLane[1]); }},
        {"DigitalCAM_2", "LOOP2_CHASUN_1", [](C c) { return Loop(c, 1, 0); }},
        {"DigitalCAM_2", "LOOP2_CHASUN_2", [](C c) { return Loop(c, 1, 1); }},
        {"DigitalCAM_2", "LOOP2_CHASUN_3", [](C c) { return Loop(c, 1, 2); }},
        {"AdditionItem", "ENF_IMG_DIRECTORY", [](C c) { return std::string(c.m_szEnfImgDirectory); }},
        {"Velmora", "STD_SERVER_VERSION", [](C c) { return std::to_string(c.m_nStdServerVersion); }},
        {"Velmora", "MODEM_PORT", [](C c) { return std::string(c.m_szModemDevice); }},
        {"Velmora", "MODEM_BAUD", [](C c) { return std::to_string(c.m_nModemBaud); }},
        {"Velmora", "SET_MACHINE_CLOCK", [](C c) { return std::to_string(c.m_bSetMachineClock); }},
        {"Velmora", "SEND_NEXT_AT_ONCE", [](C c) { return std::to_string(c.m_nSendNextAtOnce); }},
    };
    return kSettings;
}


// Edits (insert, delete, replace) between two names, without regard to case.
size_t Distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t nDiag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t nUp = row[j];
            const bool bSame = std::toupper(static_cast<unsigned char>(a[i - 1])) ==
                               std::toupper(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, nDiag + (bSame ? 0 : 1)});
            nDiag = nUp;
        }
    }
    return row[b.size()];
}

const IniRead* FindRead(const std::vector<IniRead>& reads, const char* szSection, const char* szKey) {
    for (const IniRead& r : reads) {
        if (r.szSection == szSection && r.szKey == szKey) return &r;
    }
    return nullptr;
}

std::string ReadText(const std::string& szWinPath) {
    std::string szText;
    FILE* f = vplat::env()->OpenFile(szWinPath.c_str(), "rb");
    if (f == nullptr) return szText;
    char buf[4096];
    for (size_t n; szText.size() < kMaxIniBytes && (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        szText.append(buf, n);
    std::fclose(f);
    return szText;
}

class Report {
  public:
    explicit Report(FILE* out) : m_out(out) {}
    void Problem(const std::string& szWhat, const std::string& szWhy) {
        std::fprintf(m_out, "PROBLEM %s: %s\n", szWhat.c_str(), szWhy.c_str());
        ++m_nProblems;
    }
    int Problems() const { return m_nProblems; }

  private:
    FILE* m_out;
    int m_nProblems = 0;
};

// Keys of the file at szPath that the station does not read. In the station's own
// section every such key is a problem; the other sections are shared with the sibling
// programs, so there only a near miss of a known key counts (a likely typo).
void CheckKeys(const std::string& szPath, Report* pReport, FILE* out) {
    for (const auto& [szSection, szKey] : vplat::IniListKeys(ReadText(szPath))) {
        bool bKnown = false, bSectionKnown = false;
        const Setting* pNear = nullptr;
        for (const Setting& s : Settings()) {
            if (!vplat::SameNoCase(szSection, s.szSection)) continue;
            bSectionKnown = true;
            bKnown = bKnown || vplat::SameNoCase(szKey, s.szKey);
            if (pNear == nullptr && Distance(szKey, s.szKey) <= 2) pNear = &s;
        }
        if (bKnown || !bSectionKnown) continue;
        const std::string szWhere = "[" + szSection + "] " + szKey;
        if (vplat::SameNoCase(szSection, "Velmora") || pNear != nullptr) {
            pReport->Problem(szWhere, std::string("unknown key in ") + szPath +
                                          (pNear ? std::string(" (did you mean ") +
                                                       pNear->szKey + "?)"
                                                 : ""));
        } else {
            std::fprintf(out, "note: %s in %s is not read by velmora\n", szWhere.c_str(),
                         szPath.c_str());
        }
    }
}

}  // namespace

int CheckConfig(FILE* out) {
    vplat::Env* pHost = vplat::env();
    RecordingEnv recorder(pHost);
    vplat::Env::Install(&recorder);
    auto pComm = std::make_unique<CTcpClientComm>();
    vplat::Env::Install(pHost);
    const std::vector<IniRead>& reads = recorder.m_reads;

    std::fprintf(out, "station root %s\nsettings (value, then where it came from):\n",
                 vplat::StationRoot().c_str());
    std::vector<std::string> files;
    for (const Setting& s : Settings()) {
        const IniRead* r = FindRead(reads, s.szSection, s.szKey);
        std::string szFrom = "default";
        if (r == nullptr) {
            szFrom = "not read (not used by this station's kind)";
        } else if (r->bFound) {
            szFrom = r->szPath + " [" + r->szSection + "] " + r->szKey;
        }
        if (r != nullptr && std::find(files.begin(), files.end(), r->szPath) == files.end())
            files.push_back(r->szPath);
        std::fprintf(out, "  %-32s %-20s %s\n", (std::string(s.szSection) + "/" + s.szKey).c_str(),
                     s.value(*pComm).c_str(), szFrom.c_str());
    }

    Report report(out);
    for (const std::string& szPath : files) {
        if (pHost->GetPathKind(szPath.c_str()) != vplat::PathKind::kFile) {
            report.Problem(szPath, "missing INI file (" + pHost->MapPath(szPath.c_str()) +
                                       "): every key of it keeps its default");
        } else {
            CheckKeys(szPath, &report, out);
        }
    }
    auto Raw = [&](const char* szSection, const char* szKey) {
        const IniRead* r = FindRead(reads, szSection, szKey);
        return r != nullptr && r->bFound ? r->szValue : std::string();
    };
    const std::string szIp = Raw("LocalInfo", "MANAGE_PC_IP");
    if (szIp.empty()) {
        report.Problem("MANAGE_PC_IP", "empty: the station has no Manager PC to connect to");
    } else if (Ipv4FromText(szIp.c_str()) == kIpv4None ||
               std::count(szIp.begin(), szIp.end(), '.') != 3) {
        report.Problem("MANAGE_PC_IP", "\"" + szIp + "\" is not an IPv4 address a.b.c.d");
    }
    const std::string szId = Raw("LocalInfo", "LOCAL_ADDRESS");
    if (szId.empty()) {
        report.Problem("LOCAL_ADDRESS", "empty: the station has no ID");
    } else if (szId.size() > kStationIdChars) {
        report.Problem("LOCAL_ADDRESS", "\"" + szId + "\" is longer than five characters: the " +
                                            "violation files (*." + szId +
                                            ") would never be found");
    }
    const std::string szDir = pComm->m_szEnfImgDirectory;
    if (szDir.empty()) {
        report.Problem("ENF_IMG_DIRECTORY", "missing: no violation file would ever be sent");
    } else if (pHost->GetPathKind(szDir.c_str()) != vplat::PathKind::kDirectory) {
        report.Problem("ENF_IMG_DIRECTORY", "the folder " + szDir + " (" +
                                                pHost->MapPath(szDir.c_str()) +
                                                ") does not exist");
    }
    const std::string szLogDir =
        "d:/System_Log/" + std::to_string(pHost->GetLocalTimeNow().nYear);
    if (pHost->GetPathKind(szLogDir.c_str()) != vplat::PathKind::kDirectory) {
        report.Problem(szLogDir, "missing folder (" + pHost->MapPath(szLogDir.c_str()) +
                                     "): the system log would stay empty");
    }
    const std::string szModem = pComm->m_szModemDevice;
    if (pComm->m_nCenterCommKind != 0 && !szModem.empty() &&
        !pHost->SerialDeviceExists(szModem.c_str())) {
        report.Problem("MODEM_PORT", "the device " + szModem + " does not exist");
    }
    for (const char* szSwitch : {"SET_MACHINE_CLOCK", "SEND_NEXT_AT_ONCE"}) {
        const std::string szValue = Raw("Velmora", szSwitch);
        if (!szValue.empty() && szValue != "0" && szValue != "1") {
            report.Problem(szSwitch, "\"" + szValue + "\" is neither 0 nor 1");
        }
    }
    if (report.Problems() == 0) {
        std::fprintf(out, "no problems found\n");
        return 0;
    }
    std::fprintf(out, "%d problem(s) found\n", report.Problems());
    return 1;
}
