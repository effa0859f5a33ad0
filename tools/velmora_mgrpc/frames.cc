// velmora-mgrpc's frame texts: building a frame for a station, rendering a received or
// sent frame as one line of key=value fields, quoting bytes for that line, and parsing
// the command syntax ("<code>[/<packet>] [data]", "raw HEX", "close", "sleep MS", "quit",
// "@ID ...").
#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/center_session.h"
#include "link/tcp_common.h"
#include "tools/velmora_mgrpc/mgrpc.h"

namespace mgrpc {

namespace {

// nValue in decimal, zero-padded to nWidth digits (as "%0*d" prints it).
void AppendDecimal(std::string* pOut, int nValue, int nWidth) {
    char sz[16];
    int n = 0;
    const bool bNegative = nValue < 0;
    unsigned int u = bNegative ? 0u - static_cast<unsigned int>(nValue) : static_cast<unsigned int>(nValue);
    do {
        sz[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (bNegative) pOut->push_back('-');
    for (int k = n + (bNegative ? 1 : 0); k < nWidth; ++k) pOut->push_back('0');
    while (n > 0) pOut->push_back(sz[--n]);
}

std::string Printf(const char* szFormat, int a) {
    char sz[64] = {};
    std::snprintf(sz, sizeof sz, szFormat, a);
    return sz;
}

// Bytes [nFrom, nFrom + n) of the data part, cut to what the frame holds.
std::string DataQuote(const uint8_t* pData, int nAvail, int nFrom, int n) {
    if (nFrom >= nAvail) return "\"\"";
    if (nFrom + n > nAvail) n = nAvail - nFrom;
    size_t nLen = 0;
    while (nLen < static_cast<size_t>(n) && pData[nFrom + nLen] != 0) ++nLen;
    return Quote(pData + nFrom, nLen);
}

// Fields that describe the data of a frame the station sent.
std::string DescribeFromStation(int nCode, int nPacket, const uint8_t* pData, int nAvail) {
    std::string sz;
    if (TransferSlot(nCode) >= 0) {
        if (nPacket == 0) {
            sz += " size=" + std::to_string(FrameDecimal(pData, nAvail < 7 ? nAvail : 7));
            sz += " file=" + Quote(pData + (nAvail > 7 ? 7 : nAvail),
                                   static_cast<size_t>(nAvail > 7 ? nAvail - 7 : 0));
        } else {
            sz += " bytes=" + std::to_string(nAvail);
        }
        return sz;
    }
    switch (nCode) {
        case OP_LOCAL_STATUS:
            return " report=status time=" + DataQuote(pData, nAvail, 743, 19);
        case OP_TRAFFIC_INFO:
            return " report=traffic bytes=" + std::to_string(nAvail);
        case OP_TIME:
            return " report=time time=" + DataQuote(pData, nAvail, 0, 19);
        case OP_STATUS: {
            sz = " report=short head=";
            for (int k = 0; k < 10 && k < nAvail; ++k) {
                sz += (k ? "," : "") + Printf("%d", pData[k]);
            }
            return sz + " time=" + DataQuote(pData, nAvail, 10, 14);
        }
        default:
            return " data=" + Quote(pData, static_cast<size_t>(nAvail));
    }
}

}  // namespace

namespace {

std::string g_out;         // lines printed but not yet written
bool g_bBuffered = false;  // lines wait in g_out for FlushOutput
bool g_bUrgent = false;    // g_out holds a line other than a frame's RX/TX line
std::chrono::steady_clock::time_point g_lastWrite;  // when lines were last written

constexpr size_t kOutputChunk = 64 * 1024;  // written at once when this much waits

}  // namespace

void Emit(const std::string& szLine) {
    g_out.append(szLine);
    g_out.push_back('\n');
    if (szLine.compare(0, 3, "RX ") != 0 && szLine.compare(0, 3, "TX ") != 0) g_bUrgent = true;
    if (!g_bBuffered || g_out.size() >= kOutputChunk) FlushOutput();
}

void FlushOutput() {
    if (g_out.empty()) return;
    g_lastWrite = std::chrono::steady_clock::now();
    size_t nDone = 0;
    while (nDone < g_out.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, g_out.data() + nDone, g_out.size() - nDone);
        if (n > 0) {
            nDone += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd out{STDOUT_FILENO, POLLOUT, 0};  // a non-blocking stdout: wait for room
            if (::poll(&out, 1, -1) < 0 && errno != EINTR) break;
        } else {
            break;  // nobody reads any more: the lines are dropped
        }
    }
    g_out.clear();
    g_bUrgent = false;
}

void SetOutputBuffered(bool bBuffered) {
    FlushOutput();
    g_bBuffered = bBuffered;
}

bool OutputUrgent() { return g_bUrgent; }

void FlushOutputAfter(std::chrono::steady_clock::time_point now,
                      std::chrono::microseconds interval) {
    if (!g_out.empty() && now - g_lastWrite >= interval) FlushOutput();
}

int TransferSlot(int nCode) {
    switch (nCode) {
        case OP_VOL_FILE:
            return 0;
        case OP_ROAD_IMAGE:
            return 1;
        case OP_CAR_IMAGE:
            return 2;
        case OP_TRACKING_IMAGE:
            return 3;
        case OP_RUN_LOG:
            return 4;
        default:
            return -1;
    }
}

std::vector<uint8_t> BuildFrame(int nCode, int nPacket, const std::string& szId,
                                const std::vector<uint8_t>& data, bool bBadCrc) {
    const int nLength = kFrameOverhead + static_cast<int>(data.size());
    std::vector<uint8_t> f(static_cast<size_t>(nLength), 0);
    // "%07d10%02d%07d%04d": total length, "10", code, data length, packet number.
    auto put = [&f](size_t nAt, int nValue, int nWidth) {
        for (int k = nWidth - 1; k >= 0; --k, nValue /= 10)
            f[nAt + static_cast<size_t>(k)] = static_cast<uint8_t>('0' + nValue % 10);
    };
    f[0] = f[1] = kFrameStart;
    if (nCode >= 0 && nPacket >= 0) {
        put(2, nLength % 10000000, 7);
        f[9] = '1';
        f[10] = '0';
        put(11, nCode % 100, 2);
        put(13, static_cast<int>(data.size()) % 10000000, 7);
        put(20, nPacket % 10000, 4);
    } else {  // a number a station sent with a sign: printed as printf prints it
        char szHead[32] = {};
        std::snprintf(szHead, sizeof szHead, "%07d10%02d%07d%04d", nLength, nCode % 100,
                      static_cast<int>(data.size()) % 10000000, nPacket % 10000);
        std::memcpy(&f[2], szHead, 22);
    }
    for (size_t k = 0; k < 5 && k < szId.size(); ++k) f[24 + k] = static_cast<uint8_t>(szId[k]);
    f[29] = '0';
    if (!data.empty()) std::memcpy(&f[30], data.data(), data.size());
    CTcpCommon::PutFrameCrc(f.data(), nLength);
    if (bBadCrc) {
        for (int k = 0; k < 4; ++k) f[static_cast<size_t>(nLength - 6 + k)] ^= 0xFF;
    }
    f[static_cast<size_t>(nLength - 2)] = f[static_cast<size_t>(nLength - 1)] = kFrameEnd;
    return f;
}

void QuoteTo(std::string* pOut, const uint8_t* p, size_t n) {
    std::string& sz = *pOut;
    sz += '"';
    for (size_t k = 0; k < n; ++k) {
        const uint8_t c = p[k];
        if (c == '"' || c == '\\') {
            sz += '\\';
            sz += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            sz += static_cast<char>(c);
        } else {
            char szHex[8] = {};
            std::snprintf(szHex, sizeof szHex, "\\x%02X", c);
            sz += szHex;
        }
    }
    sz += '"';
}

std::string Quote(const uint8_t* p, size_t n) {
    std::string sz;
    QuoteTo(&sz, p, n);
    return sz;
}

std::string Quote(const std::string& sz) {
    return Quote(reinterpret_cast<const uint8_t*>(sz.data()), sz.size());
}

std::string FrameId(const uint8_t* pFrame) {
    std::string sz;
    for (int k = 24; k < 29 && pFrame[k] != 0; ++k) sz += static_cast<char>(pFrame[k]);
    return sz;
}

void EmitFrame(const char* szDir, const uint8_t* pFrame, int nLength, const std::string& szPeer,
               int nCrcOk) {
    const int nCode = FrameDecimal(pFrame + 11, 2);
    const int nDataLength = FrameDecimal(pFrame + 13, 7);
    const int nPacket = FrameDecimal(pFrame + 20, 4);
    if (nCrcOk < 0) {
        uint32_t nComputed = 0;
        uint32_t nStored = 0;
        CTcpCommon::CheckFrameCrc(pFrame, nLength, &nComputed, &nStored);
        nCrcOk = nComputed == nStored ? 1 : 0;
    }
    const char* szName = CenterOpcodeName(nCode);
    std::string& sz = g_out;  // written straight into the output
    sz += szDir;
    sz += " code=";
    AppendDecimal(&sz, nCode, 2);
    sz += " name=";
    sz += szName ? szName : "-";
    sz += " len=";
    AppendDecimal(&sz, nDataLength, 1);
    sz += " pkt=";
    AppendDecimal(&sz, nPacket, 4);
    sz += " id=";
    size_t nIdLength = 0;
    while (nIdLength < 5 && pFrame[24 + nIdLength] != 0) ++nIdLength;
    QuoteTo(&sz, pFrame + 24, nIdLength);
    sz += nCrcOk ? " crc=ok peer=" : " crc=bad peer=";
    sz += szPeer;
    const uint8_t* pData = pFrame + kFrameHeader;
    const int nAvail = nLength - kFrameOverhead;
    if (std::strcmp(szDir, "RX") == 0) {
        if (TransferSlot(nCode) >= 0 && nPacket != 0) {
            sz += " bytes=";
            AppendDecimal(&sz, nAvail, 1);
        } else {
            sz += DescribeFromStation(nCode, nPacket, pData, nAvail);
        }
    } else if (TransferSlot(nCode) >= 0 && nAvail == 1 && pData[0] < '0') {
        sz += " status=";
        AppendDecimal(&sz, pData[0], 1);
    } else {
        sz += " data=";
        QuoteTo(&sz, pData, static_cast<size_t>(nAvail));
    }
    sz += '\n';
    if (!g_bBuffered || g_out.size() >= kOutputChunk) FlushOutput();
}

bool ParseCommand(const std::string& szLine, Command* pOut, std::string* pError) {
    pError->clear();
    *pOut = Command();
    std::string sz = szLine;
    while (!sz.empty() && (sz.back() == '\r' || sz.back() == '\n')) sz.pop_back();
    size_t nPos = sz.find_first_not_of(" \t");
    if (nPos == std::string::npos || sz[nPos] == '#') return false;
    sz = sz.substr(nPos);
    pOut->szText = sz;
    if (sz[0] == '@') {
        const size_t nEnd = sz.find_first_of(" \t");
        pOut->szTarget = sz.substr(1, nEnd == std::string::npos ? std::string::npos : nEnd - 1);
        nPos = nEnd == std::string::npos ? std::string::npos : sz.find_first_not_of(" \t", nEnd);
        if (pOut->szTarget.empty() || nPos == std::string::npos) {
            *pError = "a target needs an ID and a command";
            return false;
        }
        sz = sz.substr(nPos);
    }
    const size_t nEnd = sz.find_first_of(" \t");
    const std::string szWord = sz.substr(0, nEnd);
    std::string szRest;
    if (nEnd != std::string::npos && nEnd + 1 < sz.size()) szRest = sz.substr(nEnd + 1);
    if (szWord == "quit" || szWord == "close") {
        pOut->nKind = szWord == "quit" ? Command::kQuit : Command::kClose;
        return true;
    }
    if (szWord == "raw") {
        pOut->nKind = Command::kRaw;
        std::string szHex;
        for (char c : szRest) {
            if (c != ' ' && c != '\t') szHex += c;
        }
        for (size_t k = 0; k + 1 < szHex.size() && szHex.size() % 2 == 0; k += 2) {
            char* pEnd = nullptr;
            const std::string szByte = szHex.substr(k, 2);
            const long nByte = std::strtol(szByte.c_str(), &pEnd, 16);
            if (pEnd != szByte.c_str() + 2 || !std::isxdigit(static_cast<unsigned char>(szByte[0])))
                break;
            pOut->data.push_back(static_cast<uint8_t>(nByte));
        }
        if (szHex.empty() || pOut->data.size() * 2 != szHex.size()) *pError = "raw needs hex pairs";
        if (pOut->data.size() > static_cast<size_t>(kMaxFrameBytes)) *pError = "raw: too long";
        return pError->empty();
    }
    if (szWord == "sleep") {
        pOut->nKind = Command::kSleep;
        pOut->nSleepMs = std::atoi(szRest.c_str());
        if (szRest.empty() || pOut->nSleepMs < 0) *pError = "sleep needs milliseconds";
        return pError->empty();
    }
    int nCode = -1;
    int nPacket = 0;
    char cExtra = 0;
    const int nFields = std::sscanf(szWord.c_str(), "%d/%d%c", &nCode, &nPacket, &cExtra);
    const bool bDigitsOnly = szWord.find_first_not_of("0123456789/") == std::string::npos;
    if (!bDigitsOnly || nFields < 1 || nFields > 2 || nCode < 0 || nCode > 99 || nPacket < 0 ||
        nPacket > 9999) {
        *pError = "unknown command: " + szWord;
        return false;
    }
    pOut->nCode = nCode;
    pOut->nPacket = nPacket;
    // Data: the rest of the line as ASCII, with \xHH, \\, \n, \r, \t and \0 escapes.
    for (size_t k = 0; k < szRest.size(); ++k) {
        char c = szRest[k];
        if (c == '\\' && k + 1 < szRest.size()) {
            const char e = szRest[++k];
            if (e == 'x') {
                const std::string szHex = k + 2 < szRest.size() ? szRest.substr(k + 1, 2) : "";
                char* pEnd = nullptr;
                const long nByte = std::strtol(szHex.c_str(), &pEnd, 16);
                if (szHex.size() != 2 || pEnd != szHex.c_str() + 2 || szHex[0] == '-' ||
                    szHex[0] == '+' || szHex[0] == ' ') {
                    *pError = "bad \\x escape";
                    return false;
                }
                pOut->data.push_back(static_cast<uint8_t>(nByte));
                k += 2;
                continue;
            }
            c = e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e == '0' ? '\0' : e;
        }
        pOut->data.push_back(static_cast<uint8_t>(c));
    }
    if (pOut->data.size() > static_cast<size_t>(kMaxFrameBytes - kFrameOverhead)) {
        *pError = "data too long";
        return false;
    }
    return true;
}

}  // namespace mgrpc
