// The two shared-memory areas of the main operation program: CShareMem opens and closes
// one named area; the dialog opens both (each with one immediate retry), publishes the
// violation-file destination in LOCALSTATUSINFO and reads the station text from it. An
// area smaller than what this program reads is refused, so no view is ever read past its end.
#include "status/share_mem.h"

#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "app/velmora_dlg.h"
#include "housekeeping/system_log.h"

ShareMemHandle* CShareMem::OpenShareMem(const char* szName, size_t nMinSize) {
    if (szName == nullptr) return nullptr;
    vplat::MappedView view;
    if (!vplat::env()->OpenMapping(szName, &view)) return nullptr;
    if (view.pView == nullptr || view.nSize < nMinSize) {
        DebugF("OpenShareMem: %s is %zu bytes, %zu needed: too small", szName, view.nSize,
               nMinSize);
        vplat::env()->CloseMapping(&view);
        return nullptr;
    }
    auto* pHandle = new ShareMemHandle();
    pHandle->hMap = view;
    pHandle->pView = static_cast<uint8_t*>(view.pView);
    return pHandle;
}

int CShareMem::CloseShareMem(ShareMemHandle* h, int bCloseFile) {
    if (h == nullptr) return 1;
    // An area opened by name has no file of its own; bCloseFile only matters for one
    // that was created over a file, which this program never does.
    (void)bCloseFile;
    vplat::env()->CloseMapping(&h->hMap);
    h->pView = nullptr;
    delete h;
    return 1;
}

namespace {

// Opens an area, and once more at once if the first attempt failed.
ShareMemHandle* OpenWithRetry(CShareMem* pShm, const char* szName, size_t nMinSize) {
    ShareMemHandle* h = pShm->OpenShareMem(szName, nMinSize);
    if (h == nullptr) h = pShm->OpenShareMem(szName, nMinSize);
    return h;
}

}  // namespace

bool CVelmoraDlg::OpenSharedMemory() {
    // CShareMem has no state: any instance opens the same areas.
    static CShareMem s_shareMem;
    CShareMem* pShm = m_pShareMem != nullptr ? m_pShareMem : &s_shareMem;

    // Records stay null unless both areas were opened, so once open they are kept.
    if (m_hLocalStatusMem == nullptr) {
        ShareMemHandle* hLocal = OpenWithRetry(pShm, "LOCALSTATUSINFO", kLocalStatusMinSize);
        ShareMemHandle* hTraffic = nullptr;
        if (hLocal != nullptr) {
            hTraffic = OpenWithRetry(pShm, "TRAFFICSENDINFO", kTrafficInfoMinSize);
        }
        if (hLocal == nullptr || hTraffic == nullptr) {
            // Both areas or none: a half-open pair would let a report read a missing view.
            DebugF("OpenSharedMemory: %s not open",
                   hLocal == nullptr ? "LOCALSTATUSINFO" : "TRAFFICSENDINFO");
            pShm->CloseShareMem(hLocal, 0);
            return false;
        }
        std::unique_lock<std::shared_mutex> lock(m_shmMutex);
        m_hLocalStatusMem = hLocal;
        m_pLocalStatus = pShm->GetShareMemView(hLocal);
        m_hTrafficMem = hTraffic;
        m_pTrafficInfo = pShm->GetShareMemView(hTraffic);
    }
    PublishSendToManager();
    return true;
}

void CVelmoraDlg::PublishSendToManager() {
    std::shared_lock<std::shared_mutex> lock(m_shmMutex);
    if (m_pLocalStatus != nullptr) PutInt32Le(m_pLocalStatus + LS_SEND_TO_MANAGER, m_bSendToManager);
}

void CVelmoraDlg::GetStationText(char* szOut, size_t nSize) {
    if (szOut == nullptr || nSize == 0) return;
    std::memset(szOut, 0, nSize);
    std::shared_lock<std::shared_mutex> lock(m_shmMutex);
    if (m_bMmfOpen != 1 || m_pLocalStatus == nullptr) return;
    // The text field is 8 bytes; a text without its NUL is cut at 7 characters.
    constexpr size_t kStationTextMax = 7;
    const size_t nLimit = nSize - 1 < kStationTextMax ? nSize - 1 : kStationTextMax;
    const uint8_t* pText = m_pLocalStatus + LS_STATION_TEXT;
    for (size_t i = 0; i < nLimit && pText[i] != 0; ++i) szOut[i] = static_cast<char>(pText[i]);
}
