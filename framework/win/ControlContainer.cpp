#include "ControlContainer.h"

#include <memory>

#include "Controls.h"

namespace {

// A link control that the dialog did not declare: it lives as long as its window.
class CAutoLinkCtrl final : public CMFCLinkCtrl {
protected:
    void PostNcDestroy() override { delete this; }
};

}  // namespace

void AfxSubclassDlgControls(CWnd* pDialog) {
    HWND dialog = pDialog != nullptr ? pDialog->GetSafeHwnd() : nullptr;
    if (dialog == nullptr) return;
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[16] = {};
        ::GetClassNameW(child, className, 16);
        if (::lstrcmpiW(className, L"MfcLink") != 0 || CWnd::FromHandlePermanent(child) != nullptr) continue;
        auto link = std::make_unique<CAutoLinkCtrl>();
        if (link->SubclassWindow(child)) link.release();
    }
}
