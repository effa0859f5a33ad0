// Temporary: empty bodies until the link lands.
#include "app/velmora_dlg.h"
#include "link/tcp_client_comm.h"
#include "link/tcp_common.h"
#include "link/win_sock.h"
uint32_t ComputeCrc32(const uint8_t*, uint32_t) { return 0xFFFFFFFFu; }
void CTcpCommon::PutFrameCrc(uint8_t*, int) {}
void CTcpCommon::CheckFrameCrc(const uint8_t*, int, uint32_t* a, uint32_t* b) { *a = 0; *b = 0; }
int CTcpCommon::ExtractFrame(uint8_t*, size_t, int*, const uint8_t*, int) { return 0; }
bool CWinSock::StartWinsock() { return true; }
bool CWinSock::CleanupWinsock() { return true; }
SOCKET_T CWinSock::CreateTcpSocket(uint16_t) { return INVALID_SOCKET_T; }
int CWinSock::ConnectTo(SOCKET_T, uint32_t, uint16_t) { return 0; }
int CWinSock::WaitSocket(SOCKET_T, int, uint32_t) { return 0; }
bool CWinSock::SetBlocking(SOCKET_T, bool) { return false; }
bool CWinSock::SetRecvTimeout(SOCKET_T, uint32_t) { return false; }
bool CWinSock::SetBufferSizes(SOCKET_T, int, int) { return false; }
SOCKET_T CWinSock::ConnectTcp(uint32_t, uint16_t, uint32_t, uint32_t, bool, int, int) { return INVALID_SOCKET_T; }
int CWinSock::RecvData(SOCKET_T, uint8_t*, int) { return -1; }
int CWinSock::SendData(SOCKET_T, const uint8_t*, int) { return -1; }
SOCKET_T CWinSock::CloseSocket(SOCKET_T) { return INVALID_SOCKET_T; }
uint32_t CWinSock::GetLocalAddress(uint32_t* p) { if (p) *p = 0; return 0; }
int CTcpClientComm::QueueFrame(uint8_t*, int, int) { return 0; }
std::vector<std::vector<uint8_t>> CTcpClientComm::TakeQueuedFrames(int) { return {}; }
void CTcpClientComm::InitLinkEntry(int) {}
void CTcpClientComm::ReleaseLinkEntry(int) {}
int CTcpClientComm::FindLinkIndex(int) { return 0; }
void CTcpClientComm::RequestLinkClose(int) {}
void LinkThreadProc(CVelmoraDlg*, int) {}
void CCenterSession::ShowLinkSpinner(int) {}
void CCenterSession::ShowLinkCounters(int) {}
void CVelmoraDlg::TcpMessageRecvFromCenter(const uint8_t*, int, int) {}
bool CVelmoraDlg::ValidateFrame(const uint8_t*, int, int) { return false; }
void CVelmoraDlg::ShowFrameCode(int, int, int) {}
const char* CenterOpcodeName(int) { return nullptr; }
