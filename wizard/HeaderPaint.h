// The header that both wizard pages paint at the top of their client area: a white band with a
// grey line under it, a title and a subtitle on the band and the product picture at its right
// end. The pages' OnPaint handlers call these with their own strings and bitmap; tests call
// them with a memory device context.
#pragma once

#include <windows.h>

// Rows 0 to 64 are the band; the separator lies on row 65. Fixed in pixels, whatever the dialog
// font, so the header looks the same on every screen.
const int kHeaderBandHeight = 65;
const COLORREF kHeaderSeparatorColor = RGB(160, 160, 160);

// Paints the header into dc for the client rectangle `client`: band, separator, the strings
// titleId and subtitleId of the string table (one that is missing paints as empty text) and
// `bitmap` at (client right - its width - 2, client top + 2). A null bitmap is drawn as 0 x 0,
// so the rest of the header still shows. The pen, both fonts and the memory context are made
// and deleted here, at every call; dc is left with the stock white brush and pen selected.
void PaintWizardHeader(HDC dc, const RECT& client, UINT titleId, UINT subtitleId, HBITMAP bitmap);

// Where an icon of iconWidth x iconHeight goes in a client area of clientWidth x clientHeight:
// ((client - icon + 1) / 2) on each axis, divided in int so that it rounds toward zero, also
// for the negative values of a client area smaller than the icon.
POINT MinimizedIconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight);

// A minimised window's paint: WM_ICONERASEBKGND to wnd with dc, then `icon` at the centred
// position of wnd's client area and the system's icon size. Nothing else is drawn.
void PaintMinimizedIcon(HWND wnd, HDC dc, HICON icon);

// BeginPaint on construction, EndPaint on destruction.
class PagePaint {
public:
    explicit PagePaint(HWND wnd) : m_wnd(wnd) { m_dc = ::BeginPaint(wnd, &m_ps); }
    ~PagePaint() { ::EndPaint(m_wnd, &m_ps); }
    PagePaint(const PagePaint&) = delete;
    PagePaint& operator=(const PagePaint&) = delete;

    // The paint device context; null when BeginPaint failed.
    HDC GetDC() const { return m_dc; }

private:
    HWND m_wnd;
    PAINTSTRUCT m_ps = {};
    HDC m_dc = nullptr;
};
