// The small part of MFC the station program is written against: a dialog whose
// controls are texts in the platform's control model, and an application object.
// Control texts are UTF-8 here; the terminal view and velmoractl show them as they are.
#pragma once

#include <string>

#include "platform/platform.h"

class CDialog : public vplat::LoopHandler {
public:
    explicit CDialog(int nTemplateId) : m_nTemplateId(nTemplateId) {}
    ~CDialog() override = default;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    int m_nTemplateId;  // dialog template id

    // Control text (SetDlgItemText / SetWindowText of a child control). Any thread.
    void SetItemText(int nId, const std::string& szText) {
        vplat::env()->SetControlText(nId, szText);
    }
    std::string GetItemText(int nId) { return vplat::env()->GetControlText(nId); }
    // Control image (STM_SETICON): shown as "icon:<resource id>".
    void SetItemIcon(int nId, int nIconId) {
        vplat::env()->SetControlText(nId, "icon:" + std::to_string(nIconId));
    }
    // SetTimer / KillTimer on the dialog window; any thread (handed to the dialog thread).
    void StartTimer(unsigned nId, unsigned nPeriodMs) { vplat::env()->StartTimer(nId, nPeriodMs); }
    void StopTimer(unsigned nId) { vplat::env()->StopTimer(nId); }
};

class CWinApp {
public:
    virtual ~CWinApp() = default;
    virtual int InitInstance() = 0;
    CDialog* m_pMainWnd = nullptr;  // the main window
};
