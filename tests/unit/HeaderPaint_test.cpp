// The pages' header painted into a memory device context, pixel by pixel: the parts that must
// show whatever the page has (band, separator), the texts where they belong, the picture at the
// right end, and the minimised dialog's icon. The canvas starts in a colour the header never
// uses, so every pixel that changed was painted.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "framework/app.h"
#include "resource.h"
#include "wizard/HeaderPaint.h"
#include "wizard/KestrelVault_SetupDlg.h"

namespace {

const COLORREF kCanvas = RGB(12, 200, 90);
const COLORREF kWhite = RGB(255, 255, 255);
const UINT kNoSuchString = 60000;

// A top-down 32-bit DIB selected into a memory context, filled with kCanvas.
class Canvas {
public:
    Canvas(int width, int height) : w(width), h(height) {
        BITMAPINFO bi = {};
        bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
        bi.bmiHeader.biWidth = width;
        bi.bmiHeader.biHeight = -height;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bi.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        dc = ::CreateCompatibleDC(nullptr);
        dib = ::CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        px = static_cast<uint32_t*>(bits);
        old = ::SelectObject(dc, dib);
        for (int i = 0; i < w * h; ++i) px[i] = ToPixel(kCanvas);
    }
    ~Canvas() {
        ::SelectObject(dc, old);
        ::DeleteObject(dib);
        ::DeleteDC(dc);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    COLORREF At(int x, int y) const {
        ::GdiFlush();
        uint32_t p = px[y * w + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
    static uint32_t ToPixel(COLORREF c) { return (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c); }

    int w, h;
    HDC dc;

private:
    HBITMAP dib;
    HGDIOBJ old;
    uint32_t* px;
};

bool IsDark(COLORREF c) { return GetRValue(c) + GetGValue(c) + GetBValue(c) < 3 * 128; }

// The pixels of a bitmap, top-down, as COLORREFs.
struct Pixels {
    int w = 0, h = 0;
    std::vector<COLORREF> px;
    COLORREF At(int x, int y) const { return px[y * w + x]; }
};

Pixels ReadBitmap(HBITMAP bmp) {
    Pixels out;
    BITMAP bm = {};
    if (!::GetObjectW(bmp, sizeof(bm), &bm)) return out;
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = bm.bmWidth;
    bi.bmiHeader.biHeight = -bm.bmHeight;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    std::vector<uint32_t> raw(static_cast<size_t>(bm.bmWidth) * bm.bmHeight);
    HDC screen = ::GetDC(nullptr);
    ::GetDIBits(screen, bmp, 0, bm.bmHeight, raw.data(), &bi, DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, screen);
    out.w = bm.bmWidth;
    out.h = bm.bmHeight;
    for (uint32_t p : raw) out.px.push_back(RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF));
    return out;
}

// Where a text of the header lies: its origin and the extent of the string in the header's
// font (12 units, the given weight, Hangul character set, "MS Shell Dlg").
RECT TextBox(int x, int y, UINT id, int weight) {
    std::wstring text = LoadResString(id);
    HDC dc = ::CreateCompatibleDC(nullptr);
    HFONT font = ::CreateFontW(12, 0, 0, 0, weight, FALSE, FALSE, FALSE, HANGEUL_CHARSET, 0, 0, 0, 0, L"MS Shell Dlg");
    HGDIOBJ old = ::SelectObject(dc, font);
    SIZE size = {};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    ::SelectObject(dc, old);
    ::DeleteObject(font);
    ::DeleteDC(dc);
    return RECT{x, y, x + size.cx, y + size.cy};
}

bool Inside(const RECT& r, int x, int y) { return x >= r.left && x < r.right && y >= r.top && y < r.bottom; }

class HeaderBitmap {
public:
    HeaderBitmap() : bmp(::LoadBitmapW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDB_HEADER))) {}
    ~HeaderBitmap() {
        if (bmp) ::DeleteObject(bmp);
    }
    HBITMAP bmp;
};

struct HeaderCase {
    const char* why;
    int width;
    UINT titleId;
    UINT subtitleId;
    bool withBitmap;
};

TEST(HeaderPaintTest, BandSeparatorTextsAndPicture) {
    const HeaderCase cases[] = {
        {"setup dialog's header", 520, IDS_HEADER_TITLE, IDS_HEADER_SUBTITLE, true},
        {"download page's header", 520, IDS_DL_HEADER_TITLE, IDS_DL_HEADER_SUBTITLE, true},
        {"missing title: the subtitle and the rest still show", 520, kNoSuchString, IDS_HEADER_SUBTITLE, true},
        {"missing subtitle", 520, IDS_HEADER_TITLE, kNoSuchString, true},
        {"bitmap that did not load: nothing copied, the band white there", 520, IDS_HEADER_TITLE,
         IDS_HEADER_SUBTITLE, false},
        {"neither strings nor bitmap: band and separator alone", 300, kNoSuchString, kNoSuchString, false},
        {"client narrower than the picture: it is clipped at the left edge", 40, IDS_HEADER_TITLE,
         IDS_HEADER_SUBTITLE, true},
    };
    HeaderBitmap header;
    ASSERT_NE(header.bmp, nullptr);
    const Pixels picture = ReadBitmap(header.bmp);
    ASSERT_EQ(picture.w, 55);
    ASSERT_EQ(picture.h, 60);

    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.why);
        const int height = 120;
        Canvas canvas(c.width, height);
        HGDIOBJ fontBefore = ::GetCurrentObject(canvas.dc, OBJ_FONT);
        RECT client = {0, 0, c.width, height};
        PaintWizardHeader(canvas.dc, client, c.titleId, c.subtitleId, c.withBitmap ? header.bmp : nullptr);

        EXPECT_EQ(::GetCurrentObject(canvas.dc, OBJ_FONT), fontBefore) << "the previous font is selected again";
        EXPECT_EQ(::GetCurrentObject(canvas.dc, OBJ_PEN), ::GetStockObject(WHITE_PEN));

        const RECT pic = c.withBitmap ? RECT{c.width - 55 - 2, 2, c.width - 2, 62} : RECT{0, 0, 0, 0};
        const bool hasTitle = c.titleId != kNoSuchString;
        const bool hasSubtitle = c.subtitleId != kNoSuchString;
        const RECT title = TextBox(25, 10, c.titleId, FW_SEMIBOLD);
        const RECT subtitle = TextBox(35, 30, c.subtitleId, FW_NORMAL);

        int darkInTitle = 0, darkInSubtitle = 0, wrong = 0;
        std::string firstWrong;
        auto fault = [&](int x, int y, const char* what) {
            if (wrong++ == 0) firstWrong = std::string(what) + " at " + std::to_string(x) + "," + std::to_string(y);
        };
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < c.width; ++x) {
                const COLORREF p = canvas.At(x, y);
                if (Inside(pic, x, y)) {
                    if (p != picture.At(x - pic.left, y - pic.top)) fault(x, y, "picture pixel differs");
                } else if (y < kHeaderBandHeight) {
                    if (hasTitle && Inside(title, x, y)) {
                        darkInTitle += IsDark(p);
                    } else if (hasSubtitle && Inside(subtitle, x, y)) {
                        darkInSubtitle += IsDark(p);
                    } else if (p != kWhite) {
                        fault(x, y, "band not white");
                    }
                } else if (y == kHeaderBandHeight) {
                    if (p != RGB(160, 160, 160)) fault(x, y, "separator not grey");
                } else if (p != kCanvas) {
                    fault(x, y, "painted below the header");
                }
            }
        }
        EXPECT_EQ(wrong, 0) << firstWrong;
        // In a client 40 pixels wide the picture covers the texts' start.
        if (c.width > 100) {
            EXPECT_GT(darkInTitle, hasTitle ? 20 : -1);
            EXPECT_GT(darkInSubtitle, hasSubtitle ? 20 : -1);
        }
    }
}

TEST(HeaderPaintTest, PictureFollowsTheClientRectangle) {
    HeaderBitmap header;
    Canvas canvas(200, 100);
    // Only the rectangle's right and top place the picture (here 20 rows above the canvas, so
    // its top is cut off); the band keeps to (0, 0) and the rectangle's width.
    RECT client = {40, -20, 120, 90};
    PaintWizardHeader(canvas.dc, client, kNoSuchString, kNoSuchString, header.bmp);
    const Pixels picture = ReadBitmap(header.bmp);
    const int left = 120 - 55 - 2, top = -20 + 2;
    int differ = 0;
    for (int y = -top; y < 60; ++y)
        for (int x = 0; x < 55; ++x) differ += canvas.At(left + x, top + y) != picture.At(x, y);
    EXPECT_EQ(differ, 0);
    EXPECT_EQ(canvas.At(79, 65), RGB(160, 160, 160)) << "separator up to the width, 80";
    EXPECT_EQ(canvas.At(80, 65), kCanvas);
    EXPECT_EQ(canvas.At(80, 64), kCanvas) << "band up to the width";
    EXPECT_EQ(canvas.At(0, 0), kWhite);
}

TEST(HeaderPaintTest, MinimizedIconOriginRoundsTowardZero) {
    struct Case {
        int cw, ch, iw, ih, x, y;
        const char* why;
    } cases[] = {
        {100, 50, 32, 32, 34, 9, "room on both axes: (100-32+1)/2, (50-32+1)/2"},
        {33, 33, 32, 32, 1, 1, "one pixel to spare rounds up"},
        {32, 32, 32, 32, 0, 0, "exact fit"},
        {30, 31, 32, 32, 0, 0, "-1/2 and 0/2 are 0, not -1"},
        {0, 0, 32, 32, -15, -15, "an empty client area: -31/2 is -15 toward zero"},
        {0, 0, 48, 16, -23, -7, "icon sizes differ per axis"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        POINT p = MinimizedIconOrigin(c.cw, c.ch, c.iw, c.ih);
        EXPECT_EQ(p.x, c.x);
        EXPECT_EQ(p.y, c.y);
    }
}

// A plain window that remembers the WM_ICONERASEBKGND it was sent.
WPARAM g_iconEraseDC = 0;
int g_iconErases = 0;
LRESULT CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_ICONERASEBKGND) {
        ++g_iconErases;
        g_iconEraseDC = wParam;
        return 1;
    }
    return ::DefWindowProcW(hwnd, msg, wParam, lParam);
}

TEST(HeaderPaintTest, MinimizedWindowShowsOnlyItsIconCentred) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = RecordingProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"KVHeaderPaintTestWnd";
    ::RegisterClassW(&wc);
    // A popup window without frame: its client area is its whole size.
    HWND wnd = ::CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 101, 70, nullptr, nullptr,
                                 wc.hInstance, nullptr);
    ASSERT_NE(wnd, nullptr);
    RECT cr = {};
    ::GetClientRect(wnd, &cr);
    HICON icon = ::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME));
    ASSERT_NE(icon, nullptr);

    Canvas painted(cr.right, cr.bottom);
    g_iconErases = 0;
    PaintMinimizedIcon(wnd, painted.dc, icon);
    EXPECT_EQ(g_iconErases, 1);
    EXPECT_EQ(g_iconEraseDC, reinterpret_cast<WPARAM>(painted.dc));

    // The same icon drawn at the centred position on the same canvas colour: the two must be
    // the same picture, so nothing but the icon was drawn, and nowhere else.
    const int cx = ::GetSystemMetrics(SM_CXICON), cy = ::GetSystemMetrics(SM_CYICON);
    const POINT at = MinimizedIconOrigin(cr.right, cr.bottom, cx, cy);
    EXPECT_EQ(at.x, (cr.right - cx + 1) / 2);
    Canvas expected(cr.right, cr.bottom);
    ::DrawIcon(expected.dc, at.x, at.y, icon);
    int differ = 0, changed = 0;
    for (int y = 0; y < cr.bottom; ++y)
        for (int x = 0; x < cr.right; ++x) {
            differ += painted.At(x, y) != expected.At(x, y);
            changed += painted.At(x, y) != kCanvas;
        }
    EXPECT_EQ(differ, 0);
    EXPECT_GT(changed, cx * cy / 4) << "the icon shows";
    EXPECT_EQ(painted.At(0, 0), kCanvas) << "no band";

    ::DestroyWindow(wnd);
    ::UnregisterClassW(wc.lpszClassName, wc.hInstance);
}

// The setup dialog itself: minimised, its OnPaint takes the icon path (which erases the icon
// background first); shown normally, it paints the header instead.
WNDPROC g_dialogProc = nullptr;
LRESULT CALLBACK DialogSpy(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_ICONERASEBKGND) ++g_iconErases;
    return ::CallWindowProcW(g_dialogProc, hwnd, msg, wParam, lParam);
}

TEST(HeaderPaintTest, SetupDialogPaintsItsIconOnlyWhenMinimized) {
    CKestrelVault_SetupDlg dlg;
    ASSERT_TRUE(dlg.Create(CKestrelVault_SetupDlg::IDD, nullptr));
    HWND hwnd = dlg.m_hWnd;
    g_dialogProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DialogSpy)));

    g_iconErases = 0;
    ::InvalidateRect(hwnd, nullptr, TRUE);
    dlg.OnPaint();
    EXPECT_EQ(g_iconErases, 0) << "shown normally";

    ::ShowWindow(hwnd, SW_MINIMIZE);
    ASSERT_TRUE(::IsIconic(hwnd));
    g_iconErases = 0;
    dlg.OnPaint();
    EXPECT_EQ(g_iconErases, 1) << "minimised";

    ::SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_dialogProc));
    ::DestroyWindow(hwnd);
}

}  // namespace
