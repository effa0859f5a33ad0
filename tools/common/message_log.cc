// Appends received window messages to the stand-ins' message log.
#include "tools/common/message_log.h"

#include <chrono>

MessageLog::MessageLog(const std::string& szPath) {
    m_pFile = std::fopen(szPath.c_str(), "ab");  // "\n" line ends on every system
    if (!m_pFile) std::fprintf(stderr, "cannot open message log %s\n", szPath.c_str());
}

MessageLog::~MessageLog() {
    if (m_pFile) std::fclose(m_pFile);
}

void MessageLog::Append(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) {
    if (!m_pFile) return;
    const long long nMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    std::fprintf(m_pFile, "%lld %u %llu %lld\n", nMs, nMsg, static_cast<unsigned long long>(wParam),
                 static_cast<long long>(lParam));
    std::fflush(m_pFile);
}
