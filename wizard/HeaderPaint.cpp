#include "wizard/HeaderPaint.h"

#include <string>

#include "framework/app.h"
#include "framework/handle.h"

namespace {

const int kTitleX = 25, kTitleY = 10;
const int kSubtitleX = 35, kSubtitleY = 30;
const int kBitmapMargin = 2;

// The Hangul character set keeps the Korean texts in a face that has their glyphs, whatever
// the system's default font is; the height is in logical units so the header does not grow
// with the dialog font.
HFONT CreateHeaderFont(int weight) {
    return ::CreateFontW(12, 0, 0, 0, weight, FALSE, FALSE, FALSE, HANGEUL_CHARSET, 0, 0, 0, 0, L"MS Shell Dlg");
}

void DrawString(HDC dc, int x, int y, UINT id) {
    const std::wstring text = LoadResString(id);
    ::TextOutW(dc, x, y, text.c_str(), static_cast<int>(text.size()));
}

}  // namespace

void PaintWizardHeader(HDC dc, const RECT& client, UINT titleId, UINT subtitleId, HBITMAP bitmap) {
    const int width = client.right - client.left;

    ::SelectObject(dc, ::GetStockObject(WHITE_BRUSH));
    ::SelectObject(dc, ::GetStockObject(WHITE_PEN));
    ::Rectangle(dc, 0, 0, width, kHeaderBandHeight);

    // Owners delete the pen, the fonts and the memory context at the end; each is selected out
    // of its context before then.
    kv::UniqueGdiObject separator(::CreatePen(PS_SOLID, 1, kHeaderSeparatorColor));
    HGDIOBJ oldPen = ::SelectObject(dc, separator.get());
    ::MoveToEx(dc, 0, kHeaderBandHeight, nullptr);
    ::LineTo(dc, width, kHeaderBandHeight);
    ::SelectObject(dc, oldPen);

    kv::UniqueGdiObject titleFont(CreateHeaderFont(FW_SEMIBOLD));
    kv::UniqueGdiObject subtitleFont(CreateHeaderFont(FW_NORMAL));
    HGDIOBJ oldFont = ::SelectObject(dc, titleFont.get());
    // Opaque text on the band's own white; the text colour stays the default black.
    ::SetBkColor(dc, RGB(255, 255, 255));
    DrawString(dc, kTitleX, kTitleY, titleId);
    ::SelectObject(dc, subtitleFont.get());
    DrawString(dc, kSubtitleX, kSubtitleY, subtitleId);
    ::SelectObject(dc, oldFont);

    // Drawn last, so a text long enough to reach the picture is covered by it.
    kv::UniqueMemoryDC mem(::CreateCompatibleDC(dc));
    HGDIOBJ oldBitmap = ::SelectObject(mem.get(), bitmap);
    BITMAP bm = {};
    ::GetObjectW(bitmap, sizeof(bm), &bm);
    ::BitBlt(dc, client.right - bm.bmWidth - kBitmapMargin, client.top + kBitmapMargin, bm.bmWidth, bm.bmHeight,
             mem.get(), 0, 0, SRCCOPY);
    ::SelectObject(mem.get(), oldBitmap);
}

POINT MinimizedIconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight) {
    POINT p;
    p.x = (clientWidth - iconWidth + 1) / 2;
    p.y = (clientHeight - iconHeight + 1) / 2;
    return p;
}

void PaintMinimizedIcon(HWND wnd, HDC dc, HICON icon) {
    ::SendMessageW(wnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client = {};
    ::GetClientRect(wnd, &client);
    POINT at = MinimizedIconOrigin(client.right - client.left, client.bottom - client.top,
                                   ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON));
    ::DrawIcon(dc, at.x, at.y, icon);
}
