// The record that the sibling stand-ins keep of the messages they receive: one line
// "<unix-ms> <message> <wParam> <lParam>" per message, appended and flushed at once so
// a test or an integrator can follow it live.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class MessageLog {
public:
    explicit MessageLog(const std::string& szPath);
    ~MessageLog();
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;
    void Append(uint32_t nMsg, uintptr_t wParam, intptr_t lParam);

private:
    FILE* m_pFile = nullptr;  // the log, open for appending; null when it cannot be opened
};
