// Temporary: empty bodies until the command handlers land.
#include "app/velmora_dlg.h"
void CCenterSession::OnCameraCommand(int, const uint8_t*, int, int) {}
void CCenterSession::OnSpeedSet(const uint8_t*, int) {}
void CCenterSession::OnSignalTest(int, const uint8_t*, int, int) {}
void CCenterSession::OnNPassSet(const uint8_t*, int) {}
void CCenterSession::OnBrightSet(const uint8_t*, int) {}
void CCenterSession::OnTimeSet(const uint8_t*, int, int) {}
void CCenterSession::OnSendTargetChange(const uint8_t*, int) {}
void CCenterSession::OnProgramUpdate() {}
void CCenterSession::OnSupervisorRequest(int, const uint8_t*, int) {}
