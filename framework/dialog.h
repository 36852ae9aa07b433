// Dialog base: one dialog procedure finds the object from the WM_INITDIALOG parameter, keeps
// it in the window's user data and turns messages into named handlers. Modal and modeless
// dialogs differ only in how they are started.
#pragma once

#include "framework/wnd.h"

class CDialog;

// Binding of control ids to wrappers during initialisation.
struct CDataExchange {
    CDialog* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd* parent = nullptr);
    ~CDialog() override;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Runs the dialog modally; the result of EndDialog, or -1 when the window could not be made.
    INT_PTR DoModal();
    // Creates the dialog modeless as a child or owned window of parent; FALSE on failure.
    BOOL Create(UINT templateId, CWnd* parent = nullptr);
    BOOL DestroyWindow();
    void EndDialog(int result);
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

    // The handlers below run on the window's thread. A handler that leaves a message to the
    // platform's default processing calls Default().
    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(CDataExchange* pDX) {}
    virtual void OnOK();
    virtual void OnCancel();
    // TRUE when the command was handled.
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    // TRUE when the notification was handled; *pResult is the message result.
    virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual void OnTimer(UINT_PTR id) { Default(); }
    virtual void OnPaint() { Default(); }
    virtual void OnSysCommand(UINT id, LPARAM lParam) { Default(); }
    // Null leaves the choice of the drag image to the platform.
    virtual HCURSOR OnQueryDragIcon() { return nullptr; }

protected:
    // Asks for the platform's default processing of the message being handled.
    void Default() { m_bDefault = true; }
    virtual INT_PTR WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

    bool m_bModal = false;
    bool m_bDefault = false;
};

// A table-driven command map: one row per control id or id range and notification code, so a
// page's commands read as a list, as they would in a message map.
template <class T>
struct CommandMapEntry {
    WORD code;
    UINT idFirst;
    UINT idLast;
    void (T::*handler)();           // for single ids
    void (T::*rangeHandler)(UINT);  // for ranges: receives the control id
};

template <class T, size_t N>
BOOL DispatchCommand(T* self, const CommandMapEntry<T> (&map)[N], WPARAM wParam) {
    const UINT id = LOWORD(wParam);
    const WORD code = HIWORD(wParam);
    for (const auto& e : map) {
        if (e.code != code || id < e.idFirst || id > e.idLast) continue;
        if (e.rangeHandler)
            (self->*e.rangeHandler)(id);
        else
            (self->*e.handler)();
        return TRUE;
    }
    return FALSE;
}
