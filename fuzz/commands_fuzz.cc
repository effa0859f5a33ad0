// Fuzz target for the command handlers of the Manager PC. The first input byte picks the
// handler (and, above the handler table, a raw command code for the camera and signal
// handlers), the second byte the station's settings and which sibling windows exist, and
// the rest is the command data, handed over in an exactly sized heap copy so that a read
// past the given length is caught. The handlers run against the fake platform, where
// pauses cost nothing; afterwards the messages, the started command line and the session
// state are checked for the bounds the station relies on.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/resource.h"
#include "app/siblings.h"
#include "app/velmora_dlg.h"
#include "fuzz/temp_root.h"
#include "platform/fake/fake_env.h"

namespace {

// The dialog and its session, built once; the fake platform is renewed now and then so
// that what it records does not pile up.
struct Bed {
    std::string szRoot;                    // station root of the fake platform
    std::unique_ptr<vplat::FakeEnv> pEnv;  // the fake platform
    std::unique_ptr<CVelmoraDlg> pDlg;     // the dialog under test
    CCenterSession* pSession = nullptr;    // its session
    int nRuns = 0;                         // inputs since the platform was renewed

    Bed() {
        szRoot = NewFuzzRoot("velmora-commands-fuzz-");
        if (szRoot.empty()) std::abort();
        NewEnv();
        pDlg = std::make_unique<CVelmoraDlg>();
        pDlg->m_pSession = new CCenterSession(pDlg.get());
        pDlg->m_pSession->Init();
        pSession = pDlg->m_pSession;
    }

    void NewEnv() {
        if (pEnv) pEnv->Uninstall();
        pEnv = std::make_unique<vplat::FakeEnv>(szRoot);
        pEnv->Install();
    }
};

constexpr int kCameraOpcodes[] = {OP_ROAD_IMAGE, OP_CAR_IMAGE, OP_TRACKING_IMAGE, OP_LOCAL_STATUS,
                                  OP_LANE,       OP_PANTILT,   OP_LENS,           OP_LOOP_DELAY,
                                  OP_MODE,       OP_OPER,      OP_SPEED_FILTER,   OP_RTU_RESET};
constexpr int kCameraCount = static_cast<int>(sizeof kCameraOpcodes / sizeof kCameraOpcodes[0]);

bool IsSibling(const std::string& szTitle) {
    return szTitle == sib::kHarwent || szTitle == sib::kZentoral || szTitle == sib::kMorwick ||
           szTitle == sib::kQuillamor;
}

void SetWindow(vplat::FakeEnv* pEnv, const char* szTitle, bool bPresent) {
    if (bPresent) {
        pEnv->AddWindow(szTitle);
    } else {
        pEnv->RemoveWindow(szTitle);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static Bed* pBed = new Bed();
    if (nSize < 2) return 0;
    if (++pBed->nRuns >= 1000) {
        pBed->nRuns = 0;
        pBed->NewEnv();
    }
    vplat::FakeEnv* pEnv = pBed->pEnv.get();
    CVelmoraDlg* pDlg = pBed->pDlg.get();
    CCenterSession* pSession = pBed->pSession;

    const int nPick = pData[0];
    const int nFlags = pData[1];
    pDlg->m_nProgramKind = (nFlags & 0x01) ? 2 : 1;
    pDlg->m_nEnfCameraCnt = (nFlags & 0x02) ? 2 : 0;
    pDlg->m_nOperationMode = (nFlags & 0x04) ? 1 : 0;
    pDlg->m_nStdServerVersion = (nFlags & 0x08) ? 2000 : 1999;
    pDlg->m_nTargetLane[0] = 3;
    pDlg->m_nTargetLane[1] = 4;
    pDlg->m_nVolFileSendSystem = 1;
    std::strcpy(pDlg->m_szBinDir, "D:/QN64-ABRIX/Bin");
    SetWindow(pEnv, sib::kHarwent, (nFlags & 0x10) != 0);
    SetWindow(pEnv, sib::kZentoral, (nFlags & 0x20) != 0);
    SetWindow(pEnv, sib::kMorwick, (nFlags & 0x40) != 0);
    SetWindow(pEnv, sib::kQuillamor, (nFlags & 0x80) != 0);
    pEnv->ClearMessages();
    pEnv->ClearDebugLines();
    pSession->m_nSendKind = SEND_VOL;

    // Exactly sized copy of the data: nothing after it to lean on.
    const size_t nData = nSize - 2;
    std::unique_ptr<uint8_t[]> pExact(new uint8_t[nData > 0 ? nData : 1]);
    if (nData > 0) std::memcpy(pExact.get(), pData + 2, nData);
    const uint8_t* p = pExact.get();
    const int n = nData > 3000 ? 3000 : static_cast<int>(nData);

    if (nPick < kCameraCount) {
        pSession->OnCameraCommand(kCameraOpcodes[nPick], p, n, 0);
    } else {
        switch (nPick - kCameraCount) {
            case 0:
                pSession->OnSpeedSet(p, n);
                break;
            case 1:
                pSession->OnSignalTest(OP_VIRTUAL_SIGNAL, p, n, 0);
                break;
            case 2:
                pSession->OnSignalTest(OP_SIGNAL_DELAY, p, n, 0);
                break;
            case 3:
                pSession->OnNPassSet(p, n);
                break;
            case 4:
                pSession->OnBrightSet(p, n);
                break;
            case 5:
                pSession->OnTimeSet(p, n, 0);
                break;
            case 6:
                pSession->OnSendTargetChange(p, n);
                break;
            case 7:
                pSession->OnProgramUpdate();
                break;
            case 8:
                pSession->OnSupervisorRequest(OP_SUPERVISOR_CMD, p, n);
                break;
            default:
                // Any other code: the camera and signal handlers must do nothing harmful.
                pSession->OnCameraCommand(nPick, p, n, 0);
                pSession->OnSignalTest(nPick, p, n, 0);
                break;
        }
    }

    // Only the station's siblings are ever messaged, with the station's message numbers.
    for (const vplat::FakeMessage& m : pEnv->Messages()) {
        if (!IsSibling(m.szTitle) || m.bPosted) std::abort();
        if (m.nMsg != sib::WM_DEVICE && m.nMsg != sib::WM_SUPERVISOR &&
            m.nMsg != sib::WM_DESTROY_) {
            std::abort();
        }
    }
    // The update receiver's command line stays within its 63 characters.
    if (nPick == kCameraCount + 7) {
        std::vector<vplat::FakeProgram> started = pEnv->StartedPrograms();
        if (started.empty() || started.back().szCommandLine.size() > 63) std::abort();
    }
    // A transfer under way is ended only by a camera command that was passed on.
    if (pSession->m_nSendKind != SEND_VOL && pSession->m_nSendKind != SEND_NONE) std::abort();
    return 0;
}
