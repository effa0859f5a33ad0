// Messages to the station's sibling programs, looked up by title at every use.
#include "app/siblings.h"

#include "platform/platform.h"

namespace sib {

intptr_t SendToSibling(const char* szTitle, uint32_t nMsg, uintptr_t wParam, intptr_t lParam) {
    vplat::WindowHandle hWnd = vplat::env()->FindWindowTitle(szTitle);
    if (hWnd.IsNull()) return 0;
    return vplat::env()->SendWindowMessage(hWnd, nMsg, wParam, lParam);
}

bool PostToSibling(const char* szTitle, uint32_t nMsg, uintptr_t wParam, intptr_t lParam) {
    vplat::WindowHandle hWnd = vplat::env()->FindWindowTitle(szTitle);
    if (hWnd.IsNull()) return false;
    return vplat::env()->PostWindowMessage(hWnd, nMsg, wParam, lParam);
}

}  // namespace sib
