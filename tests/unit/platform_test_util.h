// Helpers of the platform tests: a fresh station root under /tmp removed afterwards, file
// writing and reading by host path, and waiting for a condition without timing it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

namespace vtest {

class TempRoot {
  public:
    TempRoot() {
        char szTemplate[] = "/tmp/velmora-plat-XXXXXX";
        const char* p = mkdtemp(szTemplate);
        m_szPath = p != nullptr ? p : "";
    }
    ~TempRoot() {
        std::error_code ec;
        if (!m_szPath.empty()) std::filesystem::remove_all(m_szPath, ec);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& Path() const { return m_szPath; }
    // Host path of a path relative to the root ("d/x/y").
    std::string Host(const std::string& szRel) const { return m_szPath + "/" + szRel; }

  private:
    std::string m_szPath;  // the root directory
};

// Writes szText to the host path, creating the directories on the way.
inline void WriteHostFile(const std::string& szPath, const std::string& szText) {
    std::filesystem::create_directories(std::filesystem::path(szPath).parent_path());
    std::ofstream out(szPath, std::ios::binary);
    out << szText;
}

inline std::string ReadHostFile(const std::string& szPath) {
    std::ifstream in(szPath, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Polls cond until it holds or 20 s pass; the result says which. Only a bound against a
// hang, never an assertion about speed.
inline bool WaitFor(const std::function<bool()>& cond) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A TCP listener on 127.0.0.1 that accepts one connection and reads from it.
class LoopbackServer {
  public:
    LoopbackServer() {
        m_nListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t nLen = sizeof(addr);
        if (m_nListen < 0 ||
            bind(m_nListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            listen(m_nListen, 8) != 0 ||
            getsockname(m_nListen, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
            return;
        }
        m_nPort = ntohs(addr.sin_port);
    }
    ~LoopbackServer() {
        if (m_nConn >= 0) close(m_nConn);
        if (m_nListen >= 0) close(m_nListen);
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    uint16_t Port() const { return m_nPort; }
    bool Accept() {
        m_nConn = accept(m_nListen, nullptr, nullptr);
        return m_nConn >= 0;
    }
    // Reads exactly n bytes (blocking); fewer when the peer closes.
    std::string Receive(size_t n) {
        std::string s;
        char buf[256];
        while (s.size() < n) {
            const size_t nWant = n - s.size() < sizeof(buf) ? n - s.size() : sizeof(buf);
            const ssize_t r = recv(m_nConn, buf, nWant, 0);
            if (r <= 0) break;
            s.append(buf, static_cast<size_t>(r));
        }
        return s;
    }
    bool SendText(const std::string& s) {
        return send(m_nConn, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
    }
    void CloseConnection() {
        if (m_nConn >= 0) close(m_nConn);
        m_nConn = -1;
    }

  private:
    int m_nListen = -1;    // listening socket
    int m_nConn = -1;      // accepted connection
    uint16_t m_nPort = 0;  // bound port
};

}  // namespace vtest
