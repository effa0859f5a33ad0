// velmora-mgrpc's handling of one connected station: cutting its byte stream into manager
// frames (resynchronising on the next start bytes after garbage), printing each frame,
// acknowledging file packets with the configured faults, assembling the files and storing
// them byte-identical, judging the files that leave the station's violation directory,
// and sending commands to it.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "commands/center_session.h"
#include "link/tcp_common.h"
#include "tools/velmora_mgrpc/mgrpc.h"

namespace mgrpc {

namespace {

// A name reduced to its base name with only [A-Za-z0-9._-]; never empty, "." or "..".
std::string SafeName(const std::string& szName) {
    const size_t nCut = szName.find_last_of("/\\:");
    std::string sz = nCut == std::string::npos ? szName : szName.substr(nCut + 1);
    for (char& c : sz) {
        const bool bOk = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                         (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!bOk) c = '_';
    }
    if (sz.size() > 200) sz.resize(200);
    if (sz.empty() || sz[0] == '.') sz = "_" + sz;
    return sz;
}

// The length of the whole frame at the front of the bytes, 0 when more bytes are needed,
// -1 when the front cannot be a frame: the station's own cutting rules
// (CTcpCommon::ExtractFrame with room for kMaxFrameBytes), read where the bytes lie.
int FrameAt(const uint8_t* p, size_t nAvail) {
    if (nAvail < static_cast<size_t>(kFrameHeader)) return 0;
    if (p[0] != kFrameStart || p[1] != kFrameStart) return -1;
    const int nLength = FrameDecimal(p + 2, 7);
    if (nLength < kFrameOverhead || nLength > kMaxFrameBytes) return -1;
    if (nAvail < static_cast<size_t>(nLength)) return 0;
    if (p[nLength - 2] != kFrameEnd || p[nLength - 1] != kFrameEnd) return -1;
    return nLength;
}

// Takes one entry nValue out of the set; false when there is none.
bool TakeOnce(std::multiset<int>& values, int nValue) {
    const auto it = values.find(nValue);
    if (it == values.end()) return false;
    values.erase(it);
    return true;
}

std::string ForeignId(const std::string& szId) {
    std::string szUpper = szId;
    for (char& c : szUpper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return szUpper == "ZZZZZ" ? "YYYYY" : "ZZZZZ";
}

}  // namespace

void Server::OnConnect(Station& st) {
    Emit("CONNECT peer=" + st.szPeer);
    // Right away when a station ID is known from before, else with the first frame.
    st.bGreetDue = m_opts.bUnsolicited;
    if (st.bGreetDue && !(m_opts.szId.empty() ? m_szLastId : m_opts.szId).empty()) {
        st.bGreetDue = false;
        SendUnsolicited(st);
    }
    if (m_opts.bGarbage && !m_bGarbageSent) {
        m_bGarbageSent = true;
        const std::string szJunk = "GARBAGE-NOT-A-MANAGER-FRAME-0123456789\r\n";
        if (SendBytes(st, std::vector<uint8_t>(szJunk.begin(), szJunk.end()))) {
            Emit("GARBAGE peer=" + st.szPeer + " bytes=" + std::to_string(szJunk.size()));
        }
    }
}

void Server::OnBytes(Station& st, const uint8_t* p, size_t n) {
    // Cut straight from the bytes received unless an earlier part waits in st.rx.
    const bool bHeld = !st.rx.empty();
    if (bHeld) st.rx.insert(st.rx.end(), p, p + n);
    const uint8_t* pBytes = bHeld ? st.rx.data() : p;
    const size_t nBytes = bHeld ? st.rx.size() : n;
    size_t nOffset = 0;
    while (!st.bClosed && !st.bBlackholed && nBytes - nOffset >= static_cast<size_t>(kFrameHeader)) {
        const int nLength = FrameAt(pBytes + nOffset, nBytes - nOffset);
        if (nLength == 0) break;
        if (nLength < 0) {
            // Skip to the next pair of start bytes after this position.
            size_t nNext = nOffset + 1;
            while (nNext + 1 < nBytes &&
                   !(pBytes[nNext] == kFrameStart && pBytes[nNext + 1] == kFrameStart)) {
                ++nNext;
            }
            if (nNext + 1 >= nBytes) nNext = nBytes;
            Emit("BADFRAME peer=" + st.szPeer + " skipped=" + std::to_string(nNext - nOffset));
            nOffset = nNext;
            continue;
        }
        OnFrame(st, pBytes + nOffset, nLength);
        nOffset += static_cast<size_t>(nLength);
    }
    nOffset = std::min(nOffset, nBytes);
    if (bHeld) {
        st.rx.erase(st.rx.begin(), st.rx.begin() + static_cast<long>(nOffset));
    } else {
        st.rx.assign(p + nOffset, p + n);
    }
}

void Server::OnFrame(Station& st, const uint8_t* pFrame, int nLength) {
    m_pAwaited = nullptr;
    uint32_t nComputed = 0;
    uint32_t nStored = 0;
    CTcpCommon::CheckFrameCrc(pFrame, nLength, &nComputed, &nStored);
    EmitFrame("RX", pFrame, nLength, st.szPeer, nComputed == nStored ? 1 : 0);
    if (nComputed != nStored) return;  // printed; not acted on
    st.szId = FrameId(pFrame);
    m_szLastId = st.szId;
    if (st.bGreetDue) {
        st.bGreetDue = false;
        SendUnsolicited(st);
    }
    const int nCode = FrameDecimal(pFrame + 11, 2);
    if (TransferSlot(nCode) >= 0) OnFilePacket(st, nCode, pFrame, nLength);
}

bool Server::CutsOff(Station& st, int nCode, int nPacket) {
    const bool bVol = nCode == OP_VOL_FILE;
    std::uniform_real_distribution<double> share(0.0, 1.0);
    ++m_nFilePackets;
    if (m_opts.nDropAfter > 0 && m_nFilePackets >= m_opts.nDropAfter) {
        m_opts.nDropAfter = -1;  // spent
        Close(st, "drop-after");
    } else if (m_opts.nBlackholeAfter > 0 && m_nFilePackets >= m_opts.nBlackholeAfter) {
        m_opts.nBlackholeAfter = -1;
        st.bBlackholed = true;
        Fault(st, "blackhole", nPacket);
    } else if (bVol && m_opts.bCutEach && m_cuts.insert({st.szVolName, nPacket}).second) {
        Close(st, "cut-each");
    } else if (bVol && m_opts.dCutRate > 0 && share(m_rng) < m_opts.dCutRate) {
        Close(st, "cut");
    } else {
        return false;
    }
    if (bVol) m_nUnanswered = nPacket;
    return true;
}

void Server::OnFilePacket(Station& st, int nCode, const uint8_t* pFrame, int nLength) {
    const bool bVol = nCode == OP_VOL_FILE;
    const int nPacket = FrameDecimal(pFrame + 20, 4);
    int nDataLength = std::min(FrameDecimal(pFrame + 13, 7), nLength - kFrameOverhead);
    if (nDataLength < 0) nDataLength = 0;
    const uint8_t* pData = pFrame + kFrameHeader;
    if (bVol && nPacket == 0) {
        st.szVolName.assign(reinterpret_cast<const char*>(pData) + std::min(nDataLength, 7),
                            static_cast<size_t>(std::max(nDataLength - 7, 0)));
    }
    if (CutsOff(st, nCode, nPacket)) return;

    uint8_t nStatus = 1;
    for (auto it = m_opts.resend.begin(); it != m_opts.resend.end(); ++it) {
        if (it->first == nCode && it->second == nPacket) {
            nStatus = 3;
            m_opts.resend.erase(it);  // once
            break;
        }
    }
    if (nStatus == 1 && bVol && m_opts.refuse.count(nPacket) != 0) nStatus = 4;
    std::uniform_real_distribution<double> share(0.0, 1.0);
    if (nStatus == 1 && bVol && m_opts.dFaultRate > 0 && share(m_rng) < m_opts.dFaultRate)
        nStatus = (m_rng() & 1u) ? 3 : 4;
    if (bVol && nStatus != 1) m_answeredBad.insert(st.szVolName);

    Transfer& t = st.transfers[TransferSlot(nCode)];
    bool bComplete = false;
    if (nStatus == 1 && nPacket == 0) {
        t = Transfer();
        t.nSize = FrameDecimal(pData, std::min(nDataLength, 7));
        t.szName.assign(reinterpret_cast<const char*>(pData) + std::min(nDataLength, 7),
                        static_cast<size_t>(std::max(nDataLength - 7, 0)));
        if (t.nSize < 0 || t.nSize > kMaxFileBytes) {
            Emit("ERROR peer=" + st.szPeer + " text=" + Quote("file size out of range"));
        } else {
            t.bActive = true;
            t.nPackets = (t.nSize + kPacketDataSize - 1) / kPacketDataSize;
            // The bytes are kept only to be stored.
            if (!m_opts.szStoreDir.empty()) t.data.assign(static_cast<size_t>(t.nSize), 0);
            t.got.assign(static_cast<size_t>(t.nPackets), false);
            bComplete = t.nPackets == 0;
        }
    } else if (nStatus == 1 && t.bActive && nPacket >= 1 && nPacket <= t.nPackets &&
               !t.got[static_cast<size_t>(nPacket - 1)]) {
        const int nFrom = (nPacket - 1) * kPacketDataSize;
        const int nCopy = std::min(nDataLength, t.nSize - nFrom);
        if (nCopy > 0 && !t.data.empty())
            std::memcpy(&t.data[static_cast<size_t>(nFrom)], pData, static_cast<size_t>(nCopy));
        t.got[static_cast<size_t>(nPacket - 1)] = true;
        bComplete = ++t.nReceived == t.nPackets;
    }
    const int nLastPacket = t.nPackets;  // of the file in transfer; 0 when none
    if (bComplete) Finish(st, nCode, t);
    if (m_opts.bSilent) return;

    const std::string szId = FrameId(pFrame);
    if (bVol && TakeOnce(m_opts.withhold, nPacket)) {
        Fault(st, "withhold", nPacket);
        m_nUnanswered = nPacket;
    } else if (bVol && TakeOnce(m_opts.emptyAck, nPacket)) {
        // No status byte at all; the byte where it would be is the checksum's first, which
        // is steered to 1 through byte 29, a byte the station does not check.
        Fault(st, "empty-ack", nPacket);
        m_nUnanswered = nPacket;
        std::vector<uint8_t> f = BuildFrame(nCode, nPacket, szId, {}, false);
        for (int b = 0; b < 256 && f[30] != 1; ++b) {
            f[29] = static_cast<uint8_t>(b);
            CTcpCommon::PutFrameCrc(f.data(), static_cast<int>(f.size()));
        }
        if (SendBytes(st, f)) {
            EmitFrame("TX", f.data(), static_cast<int>(f.size()), st.szPeer);
        }
    } else if (bVol && TakeOnce(m_opts.wrongAck, nPacket)) {
        // The number that would do most harm if it were believed: the file's last packet.
        Fault(st, "wrong-ack", nPacket);
        m_nUnanswered = nPacket;
        int nWrong = nLastPacket;
        if (nPacket == nLastPacket || nLastPacket == 0) nWrong = nPacket == 0 ? 1 : 0;
        Reply(st, nCode, nWrong, nStatus, szId);
    } else {
        Reply(st, nCode, nPacket, nStatus, szId);
        if (bVol && TakeOnce(m_opts.dupAck, nPacket)) {
            Fault(st, "dup-ack", nPacket);
            Reply(st, nCode, nPacket, nStatus, szId);
        } else if (nStatus == 1 && !bComplete && !st.bClosed && t.bActive) {
            m_pAwaited = &st;
        }
    }
    if (bComplete && bVol && m_opts.bCutEach && m_cuts.insert({st.szVolName, -1}).second) {
        Close(st, "cut-each");  // the answer to the last packet may or may not get there
    } else if (bComplete && bVol && m_opts.bUnsolicited && !st.bClosed) {
        SendUnsolicited(st);
    }
}

void Server::SendUnsolicited(Station& st) {
    const int nPacket = m_nUnanswered >= 0 ? m_nUnanswered : 1;
    Fault(st, "unsolicited", nPacket);
    const std::string szId = CommandId(st);
    Reply(st, OP_VOL_FILE, nPacket, 1, szId.empty() ? m_szLastId : szId);
}

void Server::Fault(const Station& st, const char* szKind, int nPacket) {
    Emit("FAULT peer=" + st.szPeer + " kind=" + szKind + " pkt=" + std::to_string(nPacket));
}

void Server::OnDeparture(const std::string& szName) {
    if (m_held.count(szName) != 0) {
        Emit("LEFT file=" + Quote(szName) + " as=stored");
        return;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path aside = fs::path(m_opts.szAsideDir) / szName;
    const bool bAside = !m_opts.szAsideDir.empty() && fs::is_regular_file(aside, ec);
    const bool bAnsweredBad = m_answeredBad.count(szName) != 0;
    if (bAside && bAnsweredBad) {
        Emit("LEFT file=" + Quote(szName) + " as=aside");
    } else if (bAside && fs::file_size(aside, ec) == 0 && !ec) {
        Emit("LEFT file=" + Quote(szName) + " as=aside-empty");  // never offered here
    } else {
        ++m_nLost;
        Emit("LOST file=" + Quote(szName) + " aside=" + (bAside ? "yes" : "no") +
             " answered-bad=" + (bAnsweredBad ? "yes" : "no"));
    }
}

void Server::Finish(Station& st, int nCode, Transfer& t) {
    std::string szStored = "-";
    if (!m_opts.szStoreDir.empty()) {
        namespace fs = std::filesystem;
        const fs::path dir =
            fs::path(m_opts.szStoreDir) / SafeName(st.szId.empty() ? "unknown" : st.szId);
        const fs::path file = dir / SafeName(t.szName);
        const fs::path tmp = dir / (SafeName(t.szName) + ".part");
        std::error_code ec;
        fs::create_directories(dir, ec);
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(t.data.data()),
                      static_cast<long>(t.data.size()));
            out.close();
            if (!out) ec = std::make_error_code(std::errc::io_error);
        }
        if (!ec) fs::rename(tmp, file, ec);
        if (ec) {
            Emit("ERROR peer=" + st.szPeer + " text=" + Quote("cannot store " + file.string()));
        } else {
            szStored = Quote(file.string());
        }
    }
    char szCode[8] = {};
    std::snprintf(szCode, sizeof szCode, "%02d", nCode);
    if (nCode == OP_VOL_FILE) m_held.insert(t.szName);
    Emit("FILE peer=" + st.szPeer + " id=" + Quote(st.szId) + " code=" + szCode +
         " file=" + Quote(t.szName) + " size=" + std::to_string(t.nSize) +
         " packets=" + std::to_string(t.nPackets + 1) + " stored=" + szStored);
    t = Transfer();
}

void Server::Reply(Station& st, int nCode, int nPacket, uint8_t nStatus, const std::string& szId) {
    const std::vector<uint8_t> frame = BuildFrame(nCode, nPacket, szId, {nStatus}, false);
    if (SendBytes(st, frame)) {
        EmitFrame("TX", frame.data(), static_cast<int>(frame.size()), st.szPeer, 1);
    }
}

std::string Server::CommandId(const Station& st) const {
    return m_opts.szId.empty() ? st.szId : m_opts.szId;
}

void Server::SendCommand(Station& st, const Command& cmd) {
    if (cmd.nKind == Command::kClose) {
        Close(st, "command");
        return;
    }
    if (cmd.nKind == Command::kRaw) {
        if (SendBytes(st, cmd.data))
            Emit("RAW peer=" + st.szPeer + " bytes=" + std::to_string(cmd.data.size()));
        return;
    }
    std::string szId = CommandId(st);
    if (m_opts.bForeignId) {
        m_opts.bForeignId = false;
        szId = ForeignId(szId);
    }
    const bool bBadCrc = m_opts.bBadCrc;
    m_opts.bBadCrc = false;
    const std::vector<uint8_t> frame = BuildFrame(cmd.nCode, cmd.nPacket, szId, cmd.data, bBadCrc);
    if (SendBytes(st, frame)) {
        EmitFrame("TX", frame.data(), static_cast<int>(frame.size()), st.szPeer);
    }
}

void Server::SendPoll(Station& st) {
    const std::vector<uint8_t> frame = BuildFrame(59, 0, CommandId(st), {}, false);
    if (SendBytes(st, frame)) {
        EmitFrame("TX", frame.data(), static_cast<int>(frame.size()), st.szPeer);
    }
}

bool Server::SendBytes(Station& st, const std::vector<uint8_t>& bytes) {
    if (OutputUrgent()) FlushOutput();
    size_t nSent = 0;
    while (st.fd >= 0 && nSent < bytes.size()) {
        const ssize_t n = ::send(st.fd, bytes.data() + nSent, bytes.size() - nSent, MSG_NOSIGNAL);
        if (n <= 0) {
            Close(st, "send-error");
            return false;
        }
        nSent += static_cast<size_t>(n);
    }
    return st.fd >= 0;
}

void Server::Close(Station& st, const char* szReason) {
    if (st.fd < 0) return;
    if (m_pAwaited == &st) m_pAwaited = nullptr;
    ::close(st.fd);
    st.fd = -1;
    st.bClosed = true;
    Emit("CLOSE peer=" + st.szPeer + " reason=" + szReason);
    FlushOutput();  // the station sees the close at once: so does the reader of this line
}

}  // namespace mgrpc
