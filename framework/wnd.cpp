#include "framework/wnd.h"

#include "framework/app.h"

std::wstring CWnd::GetWindowText() const {
    int len = ::GetWindowTextLengthW(m_hWnd);
    if (len <= 0) return std::wstring();
    std::wstring text(static_cast<size_t>(len) + 1, L'\0');
    int got = ::GetWindowTextW(m_hWnd, &text[0], len + 1);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
}

BOOL CBitmap::LoadBitmap(UINT id) {
    return Attach(::LoadBitmapW(AfxGetResourceHandle(), MAKEINTRESOURCEW(id)));
}

BOOL CBitmap::Attach(HBITMAP hbm) {
    DeleteObject();
    m_hBitmap = hbm;
    return hbm != nullptr;
}

void CBitmap::DeleteObject() {
    if (m_hBitmap) {
        ::DeleteObject(m_hBitmap);
        m_hBitmap = nullptr;
    }
}

int CBitmap::GetBitmap(BITMAP* bm) const {
    ZeroMemory(bm, sizeof(*bm));
    if (!m_hBitmap) return 0;
    return ::GetObjectW(m_hBitmap, sizeof(*bm), bm);
}
