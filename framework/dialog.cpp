#include "framework/dialog.h"

#include "framework/app.h"

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
    control.m_hWnd = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, id);
}

CDialog::CDialog(UINT templateId, CWnd* parent) : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

CDialog::~CDialog() {
    // A modeless window that outlives its object would call into freed memory.
    if (m_hWnd && !m_bModal && ::IsWindow(m_hWnd)) {
        ::SetWindowLongPtrW(m_hWnd, DWLP_USER, 0);
        ::DestroyWindow(m_hWnd);
    }
}

INT_PTR CDialog::DoModal() {
    m_bModal = true;
    // Without a parent the box is modal to the application's main window when that exists,
    // as the About box is to the first page.
    HWND owner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    if (!owner) {
        CWinApp* app = AfxGetApp();
        if (app && app->m_pMainWnd && app->m_pMainWnd != this) owner = app->m_pMainWnd->m_hWnd;
    }
    INT_PTR result = ::DialogBoxParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_nIDTemplate), owner,
                                       DialogProc, reinterpret_cast<LPARAM>(this));
    m_bModal = false;
    m_hWnd = nullptr;
    return result;
}

BOOL CDialog::Create(UINT templateId, CWnd* parent) {
    m_nIDTemplate = templateId;
    m_pParentWnd = parent;
    m_bModal = false;
    HWND owner = parent ? parent->m_hWnd : nullptr;
    HWND hwnd = ::CreateDialogParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(templateId), owner, DialogProc,
                                     reinterpret_cast<LPARAM>(this));
    return hwnd != nullptr;
}

BOOL CDialog::DestroyWindow() {
    if (!m_hWnd) return FALSE;
    return ::DestroyWindow(m_hWnd);
}

void CDialog::EndDialog(int result) {
    if (m_hWnd) ::EndDialog(m_hWnd, result);
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
    CDataExchange dx{this, saveAndValidate};
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() { EndDialog(IDOK); }

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM lParam) {
    // Enter and Escape arrive as IDOK and IDCANCEL with the code of a button click.
    if (HIWORD(wParam) != BN_CLICKED) return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        OnOK();
        return TRUE;
    case IDCANCEL:
        OnCancel();
        return TRUE;
    }
    return FALSE;
}

BOOL CDialog::OnNotify(WPARAM, LPARAM, LRESULT*) { return FALSE; }

INT_PTR CDialog::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    m_bDefault = false;
    switch (msg) {
    case WM_COMMAND:
        return OnCommand(wParam, lParam);
    case WM_NOTIFY: {
        LRESULT result = 0;
        if (!OnNotify(wParam, lParam, &result)) return FALSE;
        ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, result);
        return TRUE;
    }
    case WM_TIMER:
        OnTimer(wParam);
        return !m_bDefault;
    case WM_PAINT:
        OnPaint();
        return !m_bDefault;
    case WM_SYSCOMMAND:
        OnSysCommand(static_cast<UINT>(wParam), lParam);
        return !m_bDefault;
    case WM_QUERYDRAGICON:
        // One of the messages whose dialog-procedure result is the message result itself.
        return reinterpret_cast<INT_PTR>(OnQueryDragIcon());
    }
    return FALSE;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    CDialog* self;
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<CDialog*>(lParam);
        self->m_hWnd = hwnd;
        ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        return self->OnInitDialog();
    }
    self = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!self) return FALSE;
    if (msg == WM_NCDESTROY) {
        // The object may create its window again later (the download page does).
        ::SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        self->m_hWnd = nullptr;
        return FALSE;
    }
    return self->WindowProc(msg, wParam, lParam);
}
