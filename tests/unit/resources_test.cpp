// Checks the compiled resources of the test executable itself (it links the same .rc as the
// program): the string table's layout and texts, the dialog templates the pages are built from,
// the header bitmap, the icon and the manifest.

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "resource.h"

namespace {

HMODULE Self() { return GetModuleHandleW(nullptr); }

// With a zero buffer size LoadStringW hands out a pointer into the resource and the text's
// length, so texts of any length come back whole. Returns false for an id without a string.
bool LoadTableString(UINT id, std::wstring* text) {
    const wchar_t* p = nullptr;
    const int n = LoadStringW(Self(), id, reinterpret_cast<LPWSTR>(&p), 0);
    if (n <= 0 || p == nullptr) return false;
    text->assign(p, static_cast<size_t>(n));
    return true;
}

std::wstring TableString(UINT id) {
    std::wstring text;
    LoadTableString(id, &text);
    return text;
}

// Resource type numbers: the RT_ macros are TCHAR pointers that change with UNICODE.
enum ResourceType : WORD { kBitmap = 2, kDialog = 5, kGroupIcon = 14, kManifest = 24 };

// Returns the resource's bytes, empty when the module lacks it.
std::vector<uint8_t> ResourceBytes(ResourceType type, UINT id) {
    HRSRC info = FindResourceW(Self(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
    if (info == nullptr) return {};
    HGLOBAL handle = LoadResource(Self(), info);
    const void* data = handle ? LockResource(handle) : nullptr;
    if (data == nullptr) return {};
    const auto* bytes = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(bytes, bytes + SizeofResource(Self(), info));
}

// ---------------------------------------------------------------------------------------------
// String table

struct StringCase {
    UINT id;
    const wchar_t* text;
    const char* why;
};

const StringCase kStringCases[] = {
    {IDS_ABOUTBOX, L"&About KestrelVault_Setup...", "system menu entry, no variants"},
    {IDS_DOWNLOAD_ACTIVEX, L"ActiveX 설치용 프로그램을 다운로드 중입니다.", "loaded, row 4"},
    {IDS_ACCESS_GROUP, L"접속주소", "loaded, row 6"},
    {IDS_CANCEL, L"취소", "loaded, row 8"},
    {IDS_INSTALL_ACTIVEX, L"ActiveX 컨트롤을 설치합니다.", "loaded, row 10"},
    {IDS_INSTALL_PRODUCT, L"케스트렐볼트를 설치합니다.", "loaded, row 11"},
    {IDS_CAPTION, L"설치 - 케스트렐볼트 통합 설치 프로그램", "loaded, row 12"},
    {IDS_HEADER_TITLE, L"접속주소 입력", "loaded, row 13"},
    {IDS_HEADER_SUBTITLE, L"설치를 진행하려면 접속주소가 필요합니다.", "loaded, row 14"},
    {IDS_INFO,
     L"접속주소를 입력해야 통합 설치를 시작할 수 있습니다.\n\n"
     L"접속주소란 사내 전용 케스트렐볼트 주소를 말합니다.\n"
     L"이 정보를 알 수 없는 경우에는 관리자에게 문의하시기 바랍니다.",
     "loaded, row 15, longest text"},
    {IDS_NEXT, L"다음(&N) >", "loaded, row 16: first row after the gap at 192"},
    {IDS_SERVER_UNREACHABLE, L"업데이트할 서버에 접속할 수 없습니다.", "loaded, row 17"},
    {IDS_DOWNLOAD_INFO, L"설치에 필요한 파일들을 다운로드 받습니다.",
     "loaded, row 18: first row after the gap at 205"},
    {IDS_PREV, L"< 뒤로(&B)", "loaded, row 19"},
    {IDS_DL_HEADER_TITLE, L"설치", "loaded, row 20"},
    {IDS_DL_HEADER_SUBTITLE, L"설치를 진행합니다.", "loaded, row 21"},
    {IDS_FINISH, L"완료", "loaded, row 22"},
    {103, L"Settings to start the installation.", "brand A English follows Korean"},
    {104, L"KestrelVAULT統合設置を開始します。", "brand A Japanese"},
    {165, L"벨모라를 설치합니다.", "brand B Korean with its own product name"},
    {172, L"Install - Velmora Setup", "brand B English with its own product name"},
    {187,
     L"URL must be entered to start the installation.\n\n"
     L"URL means the address of the internal office line KestrelVault. \n"
     L"If you do not know this information, please contact your administrator.",
     "blank kept before the last line feed"},
    {235, L"完了", "last id of the six-column rows"},
    {236, L"보안웹하드 설치를 시작합니다.", "third set starts after the rows, Latin name replaced"},
    {246, L"보안웹하드를 설치합니다.", "third set, Hangul name replaced"},
    {247, L"설치 - 보안웹하드 통합 설치 프로그램", "third set, row 12"},
    {257, L"완료", "last id of the third set, no product name"},
    {IDS_INSTALL_INCOMPLETE, L"설치를 완료하지 못했습니다. (종료 코드 %1)\n로그 파일: %2",
     "loaded, row 23: the first row after the third set"},
    {259, L"The installation did not complete (exit code %1).\nLog file: %2", "row 23, English"},
    {260, L"インストールを完了できませんでした。(終了コード %1)\nログファイル: %2", "row 23, Japanese"},
    {264, L"설치를 완료하지 못했습니다. (종료 코드 %1)\n로그 파일: %2", "row 23 of the third set, after its six columns"},
    {IDS_RETRY_WAIT, L"서버가 응답하지 않아 %u초 후에 다시 시도합니다.", "the wait between attempts, its own row"},
    {291, L"Waiting %u seconds before trying again.", "the wait, English"},
    {292, L"%u秒後に再試行します。", "the wait, Japanese"},
    {294, L"Waiting %u seconds before trying again.", "the wait, brand B English"},
    {296, L"서버가 응답하지 않아 %u초 후에 다시 시도합니다.", "the wait, third set"},
};

TEST(ResourceStrings, TextsByIdentifier) {
    for (const StringCase& c : kStringCases) {
        SCOPED_TRACE(testing::Message() << "id " << c.id << ": " << c.why);
        std::wstring text;
        ASSERT_TRUE(LoadTableString(c.id, &text));
        EXPECT_EQ(std::wstring(c.text), text);
    }
}

TEST(ResourceStrings, BrandBRepeatsBrandAOutsideItsExceptions) {
    struct Pair {
        UINT brand_b;
        UINT brand_a;
    };
    const Pair pairs[] = {
        {123, IDS_DOWNLOAD_ACTIVEX},  // Korean text without a product name
        {135, IDS_ACCESS_GROUP},
        {147, IDS_CANCEL},
        {159, IDS_INSTALL_ACTIVEX},   // its English and Japanese neighbours differ, Korean does not
        {196, IDS_NEXT},
        {233, IDS_FINISH},
        {148, 145},                   // English column
        {149, 146},                   // Japanese column
        {261, IDS_INSTALL_INCOMPLETE},  // no product name in row 23
        {262, 259},
        {263, 260},
    };
    for (const Pair& p : pairs) {
        SCOPED_TRACE(testing::Message() << p.brand_b << " against " << p.brand_a);
        const std::wstring b = TableString(p.brand_b);
        EXPECT_FALSE(b.empty());
        EXPECT_EQ(TableString(p.brand_a), b);
    }
}

// The layout leaves exactly 192 and 205 free between 101 and 264 (the later rows follow the
// third set at once); ids around the table are free.
TEST(ResourceStrings, EveryIdentifierOfTheLayoutHoldsText) {
    for (UINT id = 100; id <= 265; ++id) {
        SCOPED_TRACE(testing::Message() << "id " << id);
        const bool expected = id >= 101 && id <= 264 && id != 192 && id != 205;
        std::wstring text;
        EXPECT_EQ(expected, LoadTableString(id, &text));
        EXPECT_EQ(std::wstring::npos, text.find(L'\r'));
    }
}

// A row added after the table: the same seven texts (six columns and the third set's), at ids
// of its own with free ids around it, so that a neighbour's row cannot run into it.
TEST(ResourceStrings, ProxyRefusedRowHasEveryColumn) {
    const std::wstring korean = L"프록시 서버가 인증을 요구하여 업데이트할 서버에 접속할 수 없습니다.";
    const std::wstring english = L"Cannot connect update server: the proxy server asks for credentials.";
    const std::wstring japanese = L"プロキシサーバーが認証を要求しているため、アップデートサーバーへのアクセスができません。";
    const std::wstring columns[] = {korean, english, japanese, korean, english, japanese, korean};
    for (UINT k = 0; k < 7; ++k) {
        SCOPED_TRACE(testing::Message() << "id " << IDS_PROXY_REFUSED + k);
        std::wstring text;
        ASSERT_TRUE(LoadTableString(IDS_PROXY_REFUSED + k, &text));
        EXPECT_EQ(columns[k], text);
    }
    std::wstring text;
    EXPECT_FALSE(LoadTableString(IDS_PROXY_REFUSED - 1, &text));
    EXPECT_FALSE(LoadTableString(IDS_PROXY_REFUSED + 7, &text));
    // The box the program shows must differ from the plain unreachable one it replaces.
    EXPECT_NE(TableString(IDS_PROXY_REFUSED), TableString(IDS_SERVER_UNREACHABLE));
}

TEST(ResourceStrings, LineBreaksAreSingleLineFeeds) {
    struct Breaks {
        UINT id;
        size_t line_feeds;
    };
    const Breaks cases[] = {
        {126, 1}, {128, 1}, {129, 1}, {IDS_INFO, 3}, {187, 3}, {191, 3}, {240, 1}, {250, 3},
        {IDS_INSTALL_INCOMPLETE, 1}, {259, 1}, {264, 1},
        {IDS_CAPTION, 0},
    };
    for (const Breaks& c : cases) {
        SCOPED_TRACE(testing::Message() << "id " << c.id);
        const std::wstring text = TableString(c.id);
        ASSERT_FALSE(text.empty());
        size_t lf = 0;
        for (wchar_t ch : text) lf += ch == L'\n';
        EXPECT_EQ(c.line_feeds, lf);
        EXPECT_EQ(std::wstring::npos, text.find(L'\r'));
    }
}

// ---------------------------------------------------------------------------------------------
// Dialog templates

#pragma pack(push, 1)
struct DlgTemplateExHeader {
    WORD dlgVer;
    WORD signature;
    DWORD helpID;
    DWORD exStyle;
    DWORD style;
    WORD cDlgItems;
    short x;
    short y;
    short cx;
    short cy;
};
struct DlgItemTemplateExHeader {
    DWORD helpID;
    DWORD exStyle;
    DWORD style;
    short x;
    short y;
    short cx;
    short cy;
    DWORD id;
};
#pragma pack(pop)

struct ParsedDialog {
    DlgTemplateExHeader header{};
    std::wstring caption;
    WORD point_size = 0;
    WORD weight = 0;
    BYTE charset = 0;
    std::wstring face;
    std::vector<int> item_ids;
    std::vector<std::wstring> item_classes;  // ordinal classes as "#128"
};

// Reads a DLGTEMPLATEEX; returns false when the bytes do not hold one completely.
class TemplateReader {
public:
    explicit TemplateReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

    bool Read(ParsedDialog* out) {
        if (!Take(&out->header)) return false;
        if (out->header.dlgVer != 1 || out->header.signature != 0xFFFF) return false;
        std::wstring menu, window_class;
        if (!SzOrOrd(&menu) || !SzOrOrd(&window_class) || !Sz(&out->caption)) return false;
        if (out->header.style & DS_SETFONT) {
            BYTE italic = 0;
            if (!Take(&out->point_size) || !Take(&out->weight) || !Take(&italic) ||
                !Take(&out->charset) || !Sz(&out->face)) {
                return false;
            }
        }
        for (WORD i = 0; i < out->header.cDlgItems; ++i) {
            pos_ = (pos_ + 3) & ~size_t{3};
            DlgItemTemplateExHeader item{};
            std::wstring item_class, title;
            WORD extra = 0;
            if (!Take(&item) || !SzOrOrd(&item_class) || !SzOrOrd(&title) || !Take(&extra)) {
                return false;
            }
            pos_ += extra;
            out->item_ids.push_back(static_cast<int>(item.id));
            out->item_classes.push_back(item_class);
        }
        return pos_ <= bytes_.size();
    }

private:
    template <typename T>
    bool Take(T* value) {
        if (pos_ + sizeof(T) > bytes_.size()) return false;
        std::memcpy(value, bytes_.data() + pos_, sizeof(T));
        pos_ += sizeof(T);
        return true;
    }
    bool Sz(std::wstring* text) {
        text->clear();
        for (;;) {
            WORD ch = 0;
            if (!Take(&ch)) return false;
            if (ch == 0) return true;
            text->push_back(static_cast<wchar_t>(ch));
        }
    }
    bool SzOrOrd(std::wstring* text) {
        WORD first = 0;
        const size_t start = pos_;
        if (!Take(&first)) return false;
        if (first == 0xFFFF) {
            WORD ordinal = 0;
            if (!Take(&ordinal)) return false;
            *text = L"#" + std::to_wstring(ordinal);
            return true;
        }
        pos_ = start;
        return Sz(text);
    }

    const std::vector<uint8_t>& bytes_;
    size_t pos_ = 0;
};

constexpr int kAnyCharset = -1;

struct DialogCase {
    UINT id;
    DWORD style;
    DWORD ex_style;
    short cx;
    short cy;
    const wchar_t* caption;
    int charset;
    std::vector<int> item_ids;  // template order, which the first page's enumeration relies on
};

TEST(ResourceDialogs, TemplatesMatchTheirLayout) {
    const DialogCase cases[] = {
        {IDD_ABOUTBOX, 0x80C800C8, 0, 170, 62, L"About KestrelVault_Setup", 1,
         {-1, -1, -1, IDOK}},
        {IDD_KESTRELVAULT_SETUP_DIALOG, 0x90C800C8, WS_EX_APPWINDOW, 347, 205,
         L"설치 - 케스트렐볼트", 129,
         {IDC_RAD_HTTP, IDC_RAD_HTTPS, IDC_EDT_HOST, IDC_BTN_NEXT, IDCANCEL, IDC_STC_INFO,
          IDC_STC_ACCESSGROUP, IDC_STC_SCHEME, -1}},
        // A caption-less child, so that it can cover the first page's client area.
        {IDD_KVDOWNLOAD, 0x50000448, WS_EX_CONTROLPARENT, 347, 205, L"", kAnyCharset,
         {IDC_BTN_NEXT, -1, IDC_STC_INFO, IDC_PROGRESS, IDC_BTN_PREV}},
    };
    for (const DialogCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "dialog " << c.id);
        const std::vector<uint8_t> bytes = ResourceBytes(kDialog, c.id);
        ASSERT_FALSE(bytes.empty());
        ParsedDialog dialog;
        ASSERT_TRUE(TemplateReader(bytes).Read(&dialog));
        EXPECT_EQ(c.style, dialog.header.style);
        EXPECT_EQ(c.ex_style, dialog.header.exStyle);
        EXPECT_EQ(0, dialog.header.x);
        EXPECT_EQ(0, dialog.header.y);
        EXPECT_EQ(c.cx, dialog.header.cx);
        EXPECT_EQ(c.cy, dialog.header.cy);
        EXPECT_EQ(std::wstring(c.caption), dialog.caption);
        EXPECT_EQ(8, dialog.point_size);
        EXPECT_EQ(400, dialog.weight);
        EXPECT_EQ(std::wstring(L"MS Shell Dlg"), dialog.face);
        if (c.charset != kAnyCharset) {
            EXPECT_EQ(c.charset, dialog.charset);
        }
        EXPECT_EQ(c.item_ids.size(), dialog.header.cDlgItems);
        EXPECT_EQ(c.item_ids, dialog.item_ids);
    }
}

TEST(ResourceDialogs, DownloadPageHasAProgressBar) {
    ParsedDialog dialog;
    const std::vector<uint8_t> bytes = ResourceBytes(kDialog, IDD_KVDOWNLOAD);
    ASSERT_TRUE(TemplateReader(bytes).Read(&dialog));
    ASSERT_EQ(dialog.item_ids.size(), dialog.item_classes.size());
    for (size_t i = 0; i < dialog.item_ids.size(); ++i) {
        if (dialog.item_ids[i] != IDC_PROGRESS) continue;
        // Window classes compare without regard to case.
        EXPECT_EQ(0, lstrcmpiW(dialog.item_classes[i].c_str(), PROGRESS_CLASSW));
        return;
    }
    ADD_FAILURE() << "no control " << IDC_PROGRESS;
}

// ---------------------------------------------------------------------------------------------
// Bitmap, icon, manifest

TEST(ResourceImages, HeaderBitmapIs55By60With24Bits) {
    // The painting code reads the size from the loaded bitmap.
    HBITMAP bitmap = LoadBitmapW(Self(), MAKEINTRESOURCEW(IDB_HEADER));
    ASSERT_NE(nullptr, bitmap);
    BITMAP info{};
    EXPECT_EQ(static_cast<int>(sizeof(info)), GetObjectW(bitmap, sizeof(info), &info));
    DeleteObject(bitmap);
    EXPECT_EQ(55, info.bmWidth);
    EXPECT_EQ(60, info.bmHeight);

    // A loaded bitmap takes the display's depth, so the stored depth is read from the resource.
    const std::vector<uint8_t> bytes = ResourceBytes(kBitmap, IDB_HEADER);
    BITMAPINFOHEADER header{};
    ASSERT_GE(bytes.size(), sizeof(header));
    std::memcpy(&header, bytes.data(), sizeof(header));
    EXPECT_EQ(sizeof(BITMAPINFOHEADER), header.biSize);
    EXPECT_EQ(55, header.biWidth);
    EXPECT_EQ(60, header.biHeight);  // positive: bottom-up rows
    EXPECT_EQ(24, header.biBitCount);
    EXPECT_EQ(static_cast<DWORD>(BI_RGB), header.biCompression);
    const size_t row = (55 * 3 + 3) & ~3;
    EXPECT_EQ(sizeof(header) + row * 60, bytes.size());
}

TEST(ResourceImages, IconHasThreeSizes) {
    const std::vector<uint8_t> group = ResourceBytes(kGroupIcon, IDR_MAINFRAME);
    ASSERT_GE(group.size(), 6u);
    WORD count = 0;
    std::memcpy(&count, group.data() + 4, sizeof(count));
    ASSERT_EQ(6u + 14u * count, group.size());
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) sizes.push_back(group[6 + 14 * i]);  // width byte
    EXPECT_EQ((std::vector<int>{16, 32, 48}), sizes);
    EXPECT_NE(nullptr, LoadIconW(Self(), MAKEINTRESOURCEW(IDR_MAINFRAME)));
}

TEST(ResourceManifest, RequiresAdministratorAndCommonControls6) {
    const std::vector<uint8_t> bytes = ResourceBytes(kManifest, 1);
    ASSERT_FALSE(bytes.empty());
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(std::string::npos,
              text.find("level=\"requireAdministrator\" uiAccess=\"false\""));
    EXPECT_NE(std::string::npos, text.find("name=\"Microsoft.Windows.Common-Controls\""));
    EXPECT_NE(std::string::npos, text.find("version=\"6.0.0.0\""));
    EXPECT_NE(std::string::npos, text.find("publicKeyToken=\"6595b64144ccf1df\""));
}

}  // namespace
