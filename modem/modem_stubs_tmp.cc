// Temporary: empty bodies until the CDMA modem lands.
#include "app/velmora_dlg.h"
int CSerialComm::ReadComm(vplat::SerialHandle, void*, int, int* n) { *n = 0; return 1; }
int CSerialComm::WriteComm(vplat::SerialHandle, const void*, int, int* n) { *n = 0; return 0; }
int CSerialComm::CloseComm(vplat::SerialHandle) { return 1; }
void CVelmoraDlg::OnSerialReceive(int) {}
void CVelmoraDlg::RequestSmsRead() {}
int CVelmoraDlg::WriteSms(const char*, int) { return 0; }
void CVelmoraDlg::StartCdmaLink() {}
void CVelmoraDlg::CloseSerialLink() {}
void CVelmoraDlg::StopCdmaLink() {}
void CVelmoraDlg::OpenModemPort() {}
void CCenterSession::OnSmsMessage(const char*, int) {}
void SerialThreadProc(CVelmoraDlg*) {}
