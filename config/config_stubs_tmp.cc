// Temporary: empty bodies until configuration, status and housekeeping land.
#include <cstring>
#include "app/velmora_dlg.h"
#include "config/profile_load.h"
#include "housekeeping/cleanup.h"
#include "housekeeping/system_log.h"
#include "status/share_mem.h"
#include "status/time_format.h"
CProfileLoad::CProfileLoad(const char* s) { std::memset(m_szIniPath, 0, sizeof m_szIniPath); std::strncpy(m_szIniPath, s, sizeof m_szIniPath - 1); }
CProfileLoad::~CProfileLoad() = default;
int CProfileLoad::GetProfileInt(const char*, const char*, int*) { return 0; }
int CProfileLoad::GetProfileString(const char*, const char*, char*, size_t) { return 0; }
int CProfileLoad::GetProfileRaw(const char*, const char*, char*, size_t) { return 0; }
int SafeAtoi(const char*) { return 0; }
long long SafeAtoi64(const char*) { return 0; }
CTcpClientComm::CTcpClientComm() { m_pConn.reset(new LinkEntry[kMaxLinks]); m_nConnCount = 1; m_pConn[0].m_nManagerPort = 11001; m_pConn[0].m_bRun = 1; }
CTcpClientComm::~CTcpClientComm() = default;
void CTcpClientComm::LoadConfig() {}
void MoveOldImageFiles(int64_t) {}
void DeleteOldNoPlateFiles(int64_t) {}
long long CutoffDate(int64_t, int64_t) { return 0; }
void WriteSystemLog(const char* s) { vplat::env()->DebugOutput(s); }
void WriteSystemLogF(const char*, ...) {}
void DebugF(const char*, ...) {}
ShareMemHandle* CShareMem::OpenShareMem(const char*, size_t) { return nullptr; }
int CShareMem::CloseShareMem(ShareMemHandle*, int) { return 1; }
void FormatTimeDigits(char*, int, int64_t) {}
void FormatTimeText(char* p, int, int64_t) { *p = 0; }
int64_t ParseTimeDigits(const char*) { return 0; }
vplat::LocalTime ParseTimeDigitsToSystemTime(vplat::LocalTime* p, const char*) { return *p; }
void CCenterSession::SendStatusReport(int) {}
void CCenterSession::SendShortStatus(int) {}
void CCenterSession::SendTrafficReport(int) {}
void CCenterSession::SendTimeReport(int) {}
