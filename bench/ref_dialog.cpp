// The reference of the start-up benchmark: the least a dialog program of this build does to
// show a dialog like the first page. It registers the common controls and runs one modal
// dialog from a template of the page's size and font, with the manifest of the product (so
// common controls 6 are loaded the same way), and ends on Cancel or Escape.
//
// Built with the product's compiler, flags and static runtime, and started the same way by
// bench/startup_bench.py, so the difference between the two is what the product does of its
// own before its first page is up.

#include <windows.h>
#include <commctrl.h>

#include "ref_dialog.h"

namespace {

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        ::CheckRadioButton(dialog, IDC_REF_HTTP, IDC_REF_HTTPS, IDC_REF_HTTP);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            ::EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&icc);
    return static_cast<int>(::DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_REF_DIALOG), nullptr, DialogProc, 0));
}
