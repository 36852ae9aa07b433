// The progress callback against a real progress bar: what it answers for each status, what it
// sends to the bar, and what it does to the status window.

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <urlmon.h>

#include <climits>
#include <string>
#include <vector>

#include "../support/ProgressBar.h"
#include "install/URLDownCallBack.h"

namespace {

using Message = TestProgressBar::Message;

Message SetRange(int high) { return {PBM_SETRANGE32, 0, static_cast<LPARAM>(high)}; }
Message SetPos(ULONG pos) { return {PBM_SETPOS, static_cast<WPARAM>(pos), 0}; }

// A static text window standing in for a status line.
class StatusWindow {
public:
    StatusWindow() {
        wnd.m_hWnd = ::CreateWindowExW(0, L"STATIC", L"previous text", WS_POPUP, 0, 0, 200, 20, nullptr, nullptr,
                                       ::GetModuleHandleW(nullptr), nullptr);
    }
    ~StatusWindow() { ::DestroyWindow(wnd.m_hWnd); }
    std::wstring Text() const { return wnd.GetWindowText(); }
    CWnd wnd;
};

// Every status code the moniker download may report, apart from the three of the data phase.
std::vector<ULONG> OtherStatusCodes() {
    std::vector<ULONG> codes = {0};
    for (ULONG code = BINDSTATUS_FINDINGRESOURCE; code <= 80; ++code)
        if (code != BINDSTATUS_BEGINDOWNLOADDATA && code != BINDSTATUS_DOWNLOADINGDATA &&
            code != BINDSTATUS_ENDDOWNLOADDATA)
            codes.push_back(code);
    codes.push_back(0xFFFFFFFFu);
    return codes;
}

TEST(URLDownCallBack, ConstructionSetsTheRangeToTheExpectedSizeAndClearsTheStatusWindow) {
    // The expected size goes to the bar unchanged, -1 of a failed size query included.
    for (int size : {0, 1, 65535, 123456789, INT_MAX, -1}) {
        SCOPED_TRACE(size);
        TestProgressBar bar;
        StatusWindow status;
        URLDownCallBack cb(&bar.Reporter(), &status.wnd, size);
        EXPECT_EQ(bar.Sent(), std::vector<Message>{SetRange(size)});
        EXPECT_EQ(bar.Range().iLow, 0);
        EXPECT_EQ(bar.Range().iHigh, size);
        EXPECT_EQ(status.Text(), L"");
        EXPECT_EQ(cb.m_nExpectedSize, size);
    }
}

TEST(URLDownCallBack, WithoutABarConstructionSendsNothingButStillClearsTheStatusWindow) {
    StatusWindow status;
    URLDownCallBack cb(nullptr, &status.wnd, 100);
    EXPECT_EQ(status.Text(), L"");
}

TEST(URLDownCallBack, PrepareReadiesTheObjectForTheNextFile) {
    TestProgressBar first, second;
    StatusWindow status;
    URLDownCallBack cb(&first.Reporter(), nullptr, 1000);
    ASSERT_EQ(cb.OnProgress(600, 0, BINDSTATUS_DOWNLOADINGDATA, L""), S_OK);
    ::SetWindowTextW(status.wnd.m_hWnd, L"from the last file");
    first.Clear();

    cb.Prepare(&second.Reporter(), &status.wnd, 40);
    EXPECT_TRUE(first.Sent().empty());
    EXPECT_EQ(second.Sent(), std::vector<Message>{SetRange(40)});
    EXPECT_EQ(second.Range().iHigh, 40);
    EXPECT_EQ(status.Text(), L"");
    EXPECT_EQ(cb.OnProgress(30, 0, BINDSTATUS_DOWNLOADINGDATA, L""), S_OK);
    EXPECT_EQ(second.Pos(), 30);
    EXPECT_EQ(first.Pos(), 600);
}

TEST(URLDownCallBack, DataPhaseStatusesMoveTheBar) {
    struct Case {
        const char* what;
        ULONG progress, maximum, status;
        const wchar_t* statusText;
        ULONG expectedPos;
        const wchar_t* expectedStatusWindow;  // null: left as it was
    } cases[] = {
        {"begin: position from progress, file name after the last slash", 0, 500, BINDSTATUS_BEGINDOWNLOADDATA,
         L"http://host:81/app/update/KVUpdate.exe", 0, L"KVUpdate.exe"},
        {"begin: a text without slash is shown whole", 7, 500, BINDSTATUS_BEGINDOWNLOADDATA, L"KVUpdate.exe", 7,
         L"KVUpdate.exe"},
        {"begin: a text ending in a slash shows nothing", 3, 500, BINDSTATUS_BEGINDOWNLOADDATA, L"http://host/app/", 3,
         L""},
        {"begin: no text shows nothing", 2, 500, BINDSTATUS_BEGINDOWNLOADDATA, nullptr, 2, L""},
        {"downloading: position from progress, maximum ignored", 4096, 999, BINDSTATUS_DOWNLOADINGDATA, L"x/y", 4096,
         nullptr},
        {"end: position from maximum, where the https download puts its byte count", 0, 4321,
         BINDSTATUS_ENDDOWNLOADDATA, L"x/y", 4321, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestProgressBar bar;
        StatusWindow status;
        URLDownCallBack cb(&bar.Reporter(), &status.wnd, 10000);
        ::SetWindowTextW(status.wnd.m_hWnd, L"unchanged");
        bar.Clear();
        EXPECT_EQ(cb.OnProgress(c.progress, c.maximum, c.status, c.statusText), S_OK);
        EXPECT_EQ(bar.Sent(), std::vector<Message>{SetPos(c.expectedPos)});
        EXPECT_EQ(bar.Pos(), static_cast<int>(c.expectedPos));
        EXPECT_EQ(status.Text(), c.expectedStatusWindow ? c.expectedStatusWindow : L"unchanged");
    }
}

TEST(URLDownCallBack, PositionsAreSentWhateverTheRange) {
    // A failed size query (-1) or an empty file (0) still lets the byte counts through.
    for (int size : {-1, 0}) {
        SCOPED_TRACE(size);
        TestProgressBar bar;
        URLDownCallBack cb(&bar.Reporter(), nullptr, size);
        bar.Clear();
        EXPECT_EQ(cb.OnProgress(70000, 0, BINDSTATUS_DOWNLOADINGDATA, L""), S_OK);
        EXPECT_EQ(cb.OnProgress(0, 80000, BINDSTATUS_ENDDOWNLOADDATA, L""), S_OK);
        EXPECT_EQ(bar.Sent(), (std::vector<Message>{SetPos(70000), SetPos(80000)}));
    }
}

// A bar that shows `steps` positions over its range gets a position only where it would move:
// the first of a file and the last always, between them one per step moved.
TEST(URLDownCallBack, ABarOfFewStepsGetsOnlyThePositionsItShows) {
    struct Report {
        ULONG progress, maximum, status;
    };
    const ULONG begin = BINDSTATUS_BEGINDOWNLOADDATA, data = BINDSTATUS_DOWNLOADINGDATA, end = BINDSTATUS_ENDDOWNLOADDATA;
    struct Case {
        const char* what;
        int range, steps;
        std::vector<Report> reports;
        std::vector<ULONG> sent;
    } cases[] = {
        {"steps of 100 bytes, the moniker download's reports", 1000, 10,
         {{0, 1000, begin}, {50, 1000, data}, {100, 1000, data}, {120, 1000, data}, {199, 1000, data},
          {200, 1000, data}, {305, 1000, data}, {999, 1000, data}, {1000, 1000, end}},
         {0, 100, 200, 305, 999, 1000}},
        {"steps of 100 bytes, the https download's reports", 1000, 10,
         {{60, 0, data}, {120, 0, data}, {180, 0, data}, {240, 0, data}, {300, 0, data}, {0, 300, end}},
         {60, 180, 300, 300}},
        {"the last position is sent even where it does not move the bar", 1000, 10,
         {{500, 0, data}, {510, 0, data}, {0, 510, end}}, {500, 510}},
        {"more steps than bytes: every change, no repeats", 4, 200,
         {{0, 4, begin}, {1, 4, data}, {1, 4, data}, {3, 4, data}, {4, 4, end}}, {0, 1, 3, 4}},
        {"no steps told: every report", 1000, 0,
         {{0, 1000, begin}, {1, 1000, data}, {1, 1000, data}, {0, 1000, end}}, {0, 1, 1, 1000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestProgressBar bar;
        bar.Reporter().SetProgressSteps(c.steps);
        URLDownCallBack cb(&bar.Reporter(), nullptr, c.range);
        for (const Report& r : c.reports) EXPECT_EQ(cb.OnProgress(r.progress, r.maximum, r.status, L"x/y"), S_OK);
        std::vector<Message> expected = {SetRange(c.range)};
        for (ULONG pos : c.sent) expected.push_back(SetPos(pos));
        EXPECT_EQ(bar.Sent(), expected);
    }
}

// Where the size is unknown (-1, 0) the bar's steps say nothing: positions then come at most
// every few tens of milliseconds, and the first and the last always; the next file starts
// afresh.
TEST(URLDownCallBack, WithoutARangeTheBarStillStartsAndEndsAsEveryReportWouldLeaveIt) {
    for (int size : {-1, 0}) {
        SCOPED_TRACE(size);
        TestProgressBar bar;
        bar.Reporter().SetProgressSteps(200);
        URLDownCallBack cb(&bar.Reporter(), nullptr, size);
        for (ULONG pos = 4096; pos <= 4096 * 500; pos += 4096) cb.OnProgress(pos, 0, BINDSTATUS_DOWNLOADINGDATA, L"");
        cb.OnProgress(0, 4096 * 500, BINDSTATUS_ENDDOWNLOADDATA, L"");
        const std::vector<Message>& sent = bar.Sent();
        ASSERT_GE(sent.size(), 3u);
        EXPECT_EQ(sent[0], SetRange(size));
        EXPECT_EQ(sent[1], SetPos(4096));
        EXPECT_EQ(sent.back(), SetPos(4096 * 500));
        EXPECT_LT(sent.size(), 502u) << "some positions are left out";
        for (size_t i = 2; i < sent.size(); ++i) EXPECT_GT(sent[i].wParam, sent[i - 1].wParam);

        bar.Clear();
        cb.Prepare(&bar.Reporter(), nullptr, 100);
        cb.OnProgress(4096 * 500, 0, BINDSTATUS_DOWNLOADINGDATA, L"");
        EXPECT_EQ(bar.Sent(), (std::vector<Message>{SetRange(100), SetPos(4096 * 500)}));
    }
}

TEST(URLDownCallBack, OtherStatusesAndAMissingBarAnswerNotImplementedAndSendNothing) {
    TestProgressBar bar;
    StatusWindow status;
    URLDownCallBack withBar(&bar.Reporter(), &status.wnd, 100);
    URLDownCallBack withoutBar(nullptr, &status.wnd, 100);
    ::SetWindowTextW(status.wnd.m_hWnd, L"unchanged");
    bar.Clear();

    for (ULONG code : OtherStatusCodes()) {
        SCOPED_TRACE(code);
        EXPECT_EQ(withBar.OnProgress(10, 20, code, L"http://h/app/f.exe"), E_NOTIMPL);
        EXPECT_EQ(withoutBar.OnProgress(10, 20, code, L"http://h/app/f.exe"), E_NOTIMPL);
    }
    for (ULONG code : {BINDSTATUS_BEGINDOWNLOADDATA, BINDSTATUS_DOWNLOADINGDATA, BINDSTATUS_ENDDOWNLOADDATA}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(withoutBar.OnProgress(10, 20, code, L"http://h/app/f.exe"), E_NOTIMPL);
    }
    EXPECT_TRUE(bar.Sent().empty());
    EXPECT_EQ(status.Text(), L"unchanged");
}

TEST(URLDownCallBack, TheRestOfTheInterfaceDeclinesAndWritesNothing) {
    TestProgressBar bar;
    URLDownCallBack cb(&bar.Reporter(), nullptr, 100);
    IBindStatusCallback* itf = &cb;  // called through the interface, as the platform does

    void* out = &cb;
    EXPECT_EQ(itf->QueryInterface(IID_IUnknown, &out), E_NOTIMPL);
    EXPECT_EQ(itf->QueryInterface(IID_IBindStatusCallback, &out), E_NOTIMPL);
    EXPECT_EQ(out, &cb);
    EXPECT_EQ(itf->AddRef(), 0u);
    EXPECT_EQ(itf->Release(), 0u);
    EXPECT_EQ(itf->Release(), 0u);  // never deleted: still usable below

    LONG priority = 12345;
    EXPECT_EQ(itf->GetPriority(&priority), E_NOTIMPL);
    EXPECT_EQ(priority, 12345);
    DWORD flags = 0xABCD;
    BINDINFO info;
    memset(&info, 0x5A, sizeof(info));
    EXPECT_EQ(itf->GetBindInfo(&flags, &info), E_NOTIMPL);
    EXPECT_EQ(flags, 0xABCDu);
    EXPECT_EQ(reinterpret_cast<const BYTE*>(&info)[0], 0x5A);
    EXPECT_EQ(itf->OnStartBinding(0, nullptr), E_NOTIMPL);
    EXPECT_EQ(itf->OnLowResource(0), E_NOTIMPL);
    EXPECT_EQ(itf->OnStopBinding(S_OK, nullptr), E_NOTIMPL);
    EXPECT_EQ(itf->OnDataAvailable(0, 0, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(itf->OnObjectAvailable(IID_IUnknown, nullptr), E_NOTIMPL);
    EXPECT_EQ(itf->OnProgress(5, 0, BINDSTATUS_DOWNLOADINGDATA, L""), S_OK);
    EXPECT_EQ(bar.Pos(), 5);
}

}  // namespace
