// Window wrappers: non-owning views of a window handle. Copies are cheap and never destroy
// the window; the dialog classes own their windows' lifetimes.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

class CWnd {
public:
    CWnd() = default;
    explicit CWnd(HWND hwnd) : m_hWnd(hwnd) {}
    virtual ~CWnd() = default;

    HWND GetSafeHwnd() const { return m_hWnd; }
    bool IsValid() const { return m_hWnd != nullptr && ::IsWindow(m_hWnd); }

    // The whole text; empty when the window has none or does not exist.
    std::wstring GetWindowText() const;
    BOOL SetWindowText(const std::wstring& text) { return ::SetWindowTextW(m_hWnd, text.c_str()); }
    BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL ShowWindow(int cmd) { return ::ShowWindow(m_hWnd, cmd); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }

    CWnd GetDlgItem(int id) const { return CWnd(::GetDlgItem(m_hWnd, id)); }
    // A null window when there is no parent.
    CWnd GetParent() const { return CWnd(::GetParent(m_hWnd)); }
    HMENU GetSystemMenu(BOOL revert) const { return ::GetSystemMenu(m_hWnd, revert); }
    HICON SetIcon(HICON icon, BOOL big) {
        return reinterpret_cast<HICON>(
            ::SendMessageW(m_hWnd, WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
    }

    LRESULT SendMessage(UINT msg, WPARAM w = 0, LPARAM l = 0) const { return ::SendMessageW(m_hWnd, msg, w, l); }
    BOOL PostMessage(UINT msg, WPARAM w = 0, LPARAM l = 0) const { return ::PostMessageW(m_hWnd, msg, w, l); }
    UINT_PTR SetTimer(UINT_PTR id, UINT elapse) { return ::SetTimer(m_hWnd, id, elapse, nullptr); }
    BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
    BOOL GetClientRect(RECT* rect) const { return ::GetClientRect(m_hWnd, rect); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }

    bool operator==(const CWnd& other) const { return m_hWnd == other.m_hWnd; }

    HWND m_hWnd = nullptr;
};

class CStatic : public CWnd {};
class CEdit : public CWnd {};

class CButton : public CWnd {
public:
    int GetCheck() const { return static_cast<int>(SendMessage(BM_GETCHECK)); }
    void SetCheck(int state) { SendMessage(BM_SETCHECK, static_cast<WPARAM>(state)); }
};

class CProgressCtrl : public CWnd {
public:
    void SetRange32(int lower, int upper) { SendMessage(PBM_SETRANGE32, lower, upper); }
    int SetPos(int pos) { return static_cast<int>(SendMessage(PBM_SETPOS, pos)); }
    int GetPos() const { return static_cast<int>(SendMessage(PBM_GETPOS)); }
};

// Owns a bitmap handle, as the pages' header picture.
class CBitmap {
public:
    CBitmap() = default;
    CBitmap(const CBitmap&) = delete;
    CBitmap& operator=(const CBitmap&) = delete;
    ~CBitmap() { DeleteObject(); }

    // Loads a bitmap resource of the resource module; FALSE when it is missing.
    BOOL LoadBitmap(UINT id);
    // Takes ownership of hbm, releasing what was held before.
    BOOL Attach(HBITMAP hbm);
    void DeleteObject();
    HBITMAP GetSafeHandle() const { return m_hBitmap; }
    // Fills bm; a bitmap that did not load leaves it zeroed and returns 0.
    int GetBitmap(BITMAP* bm) const;

private:
    HBITMAP m_hBitmap = nullptr;
};
