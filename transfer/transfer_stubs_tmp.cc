// Temporary: empty bodies until the transfers land.
#include "app/velmora_dlg.h"
int CCenterSession::getSendFileName(int, int, char*, size_t, char*, size_t) { return 0; }
void CCenterSession::SelectOldestFileName(char*, size_t, int) {}
void CCenterSession::SendImageFile(int, int) {}
void CCenterSession::OnImageReply(int, int, const uint8_t*) {}
void CCenterSession::SendViolationFile() {}
void CCenterSession::SendVolFile(int, int) {}
void CCenterSession::OnVolReply(const uint8_t*, int) {}
int CCenterSession::PacketSendRetry(int) { return 1; }
void CCenterSession::LogSentVolFile(const char*) {}
void CCenterSession::SendRunningLog(int) {}
void CCenterSession::OnLogReply(int, int, const uint8_t*) {}
