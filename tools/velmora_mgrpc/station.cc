// velmora-mgrpc's handling of one connected station: cutting its byte stream into manager
// frames (resynchronising on the next start bytes after garbage), printing each frame,
// acknowledging file packets with the configured faults, assembling the files and storing
// them byte-identical, and sending commands to it.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

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

std::string ForeignId(const std::string& szId) {
    std::string szUpper = szId;
    for (char& c : szUpper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return szUpper == "ZZZZZ" ? "YYYYY" : "ZZZZZ";
}

}  // namespace

void Server::OnConnect(Station& st) {
    Emit("CONNECT peer=" + st.szPeer);
    if (m_opts.bGarbage && !m_bGarbageSent) {
        m_bGarbageSent = true;
        const std::string szJunk = "GARBAGE-NOT-A-MANAGER-FRAME-0123456789\r\n";
        if (SendBytes(st, std::vector<uint8_t>(szJunk.begin(), szJunk.end()))) {
            Emit("GARBAGE peer=" + st.szPeer + " bytes=" + std::to_string(szJunk.size()));
        }
    }
}

void Server::OnBytes(Station& st, const uint8_t* p, size_t n) {
    st.rx.insert(st.rx.end(), p, p + n);
    std::vector<uint8_t> frame(kMaxFrameBytes);
    size_t nOffset = 0;
    while (!st.bClosed && st.rx.size() - nOffset >= static_cast<size_t>(kFrameHeader)) {
        const int nAvail = static_cast<int>(st.rx.size() - nOffset);
        int nCapacity = nAvail;
        const int nLength = CTcpCommon::ExtractFrame(frame.data(), frame.size(), &nCapacity,
                                                     st.rx.data() + nOffset, nAvail);
        if (nLength == 0) break;
        if (nLength < 0) {
            // Skip to the next pair of start bytes after this position.
            size_t nNext = nOffset + 1;
            while (nNext + 1 < st.rx.size() &&
                   !(st.rx[nNext] == kFrameStart && st.rx[nNext + 1] == kFrameStart)) {
                ++nNext;
            }
            if (nNext + 1 >= st.rx.size()) nNext = st.rx.size();
            Emit("BADFRAME peer=" + st.szPeer + " skipped=" + std::to_string(nNext - nOffset));
            nOffset = nNext;
            continue;
        }
        OnFrame(st, frame.data(), nLength);
        nOffset += static_cast<size_t>(nLength);
    }
    st.rx.erase(st.rx.begin(), st.rx.begin() + static_cast<long>(std::min(nOffset, st.rx.size())));
}

void Server::OnFrame(Station& st, const uint8_t* pFrame, int nLength) {
    Emit(RenderFrame("RX", pFrame, nLength, st.szPeer));
    uint32_t nComputed = 0;
    uint32_t nStored = 0;
    CTcpCommon::CheckFrameCrc(pFrame, nLength, &nComputed, &nStored);
    if (nComputed != nStored) return;  // printed; not acted on
    st.szId = FrameId(pFrame);
    const int nCode = FrameDecimal(pFrame + 11, 2);
    if (TransferSlot(nCode) >= 0) OnFilePacket(st, nCode, pFrame, nLength);
}

void Server::OnFilePacket(Station& st, int nCode, const uint8_t* pFrame, int nLength) {
    ++m_nFilePackets;
    if (m_opts.nDropAfter > 0 && m_nFilePackets >= m_opts.nDropAfter) {
        m_opts.nDropAfter = -1;  // spent
        Close(st, "drop-after");
        return;
    }
    const int nPacket = FrameDecimal(pFrame + 20, 4);
    int nDataLength = std::min(FrameDecimal(pFrame + 13, 7), nLength - kFrameOverhead);
    if (nDataLength < 0) nDataLength = 0;
    const uint8_t* pData = pFrame + kFrameHeader;

    uint8_t nStatus = 1;
    for (auto it = m_opts.resend.begin(); it != m_opts.resend.end(); ++it) {
        if (it->first == nCode && it->second == nPacket) {
            nStatus = 3;
            m_opts.resend.erase(it);  // once
            break;
        }
    }
    if (nStatus == 1 && nCode == 51 && m_opts.refuse.count(nPacket) != 0) nStatus = 4;

    Transfer& t = st.transfers[TransferSlot(nCode)];
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
            t.data.assign(static_cast<size_t>(t.nSize), 0);
            t.got.assign(static_cast<size_t>(t.nPackets), false);
            if (t.nPackets == 0) Finish(st, nCode, t);
        }
    } else if (nStatus == 1 && t.bActive && nPacket >= 1 && nPacket <= t.nPackets &&
               !t.got[static_cast<size_t>(nPacket - 1)]) {
        const int nFrom = (nPacket - 1) * kPacketDataSize;
        const int nCopy = std::min(nDataLength, t.nSize - nFrom);
        if (nCopy > 0)
            std::memcpy(&t.data[static_cast<size_t>(nFrom)], pData, static_cast<size_t>(nCopy));
        t.got[static_cast<size_t>(nPacket - 1)] = true;
        if (++t.nReceived == t.nPackets) Finish(st, nCode, t);
    }
    if (!m_opts.bSilent) Reply(st, nCode, nPacket, nStatus, FrameId(pFrame));
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
    Emit("FILE peer=" + st.szPeer + " id=" + Quote(st.szId) + " code=" + szCode +
         " file=" + Quote(t.szName) + " size=" + std::to_string(t.nSize) +
         " packets=" + std::to_string(t.nPackets + 1) + " stored=" + szStored);
    t = Transfer();
}

void Server::Reply(Station& st, int nCode, int nPacket, uint8_t nStatus, const std::string& szId) {
    const std::vector<uint8_t> frame = BuildFrame(nCode, nPacket, szId, {nStatus}, false);
    if (SendBytes(st, frame)) {
        Emit(RenderFrame("TX", frame.data(), static_cast<int>(frame.size()), st.szPeer));
    }
}

std::string Server::CommandId(const Station& st) const {
    return m_opts.szId.empty() ? st.szId : m_opts.szId;
}

void Server::SendCommand(Station& st, const Command& cmd) {
    std::string szId = CommandId(st);
    if (m_opts.bForeignId) {
        m_opts.bForeignId = false;
        szId = ForeignId(szId);
    }
    const bool bBadCrc = m_opts.bBadCrc;
    m_opts.bBadCrc = false;
    const std::vector<uint8_t> frame = BuildFrame(cmd.nCode, cmd.nPacket, szId, cmd.data, bBadCrc);
    if (SendBytes(st, frame)) {
        Emit(RenderFrame("TX", frame.data(), static_cast<int>(frame.size()), st.szPeer));
    }
}

bool Server::SendBytes(Station& st, const std::vector<uint8_t>& bytes) {
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
    ::close(st.fd);
    st.fd = -1;
    st.bClosed = true;
    Emit("CLOSE peer=" + st.szPeer + " reason=" + szReason);
}

}  // namespace mgrpc
