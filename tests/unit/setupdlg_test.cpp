// The first page run modally on the test's main thread, driven from a second thread the way
// the user would: messages to the real window, state read back from the real controls.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "app/KestrelVault_Setup.h"
#include "resource.h"
#include "wizard/KestrelVault_SetupDlg.h"

namespace {

using namespace std::chrono_literals;

// Waits for cond, up to limit; true when it came true.
bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit = 5000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return cond();
}

class SetupPageTest : public ::testing::Test {
protected:
    void TearDown() override { KVApp().InstallBusy = 0; }

    // Runs the page modally; script runs on a second thread once the page is up. Afterwards
    // the page is ended if the script left it open. Returns whether the modal loop ended
    // before the clean-up had to end it.
    bool RunPage(const std::function<void(CKestrelVault_SetupDlg&, HWND)>& script) {
        CKestrelVault_SetupDlg dlg(0, &KVApp().InstallBusy);
        std::atomic<bool> ended{false};
        std::atomic<bool> endedByScript{false};
        std::thread driver([&] {
            HWND hwnd = nullptr;
            WaitFor([&] {
                hwnd = dlg.m_hWnd;
                return hwnd && ::IsWindowVisible(hwnd);
            });
            // The posted click of "http" has been handled once the label shows the prefix.
            WaitFor([&] { return GetText(hwnd, IDC_STC_SCHEME) == L"http://"; });
            if (hwnd) script(dlg, hwnd);
            // The window goes a moment before the modal loop returns: a page the script closed
            // is given that moment, so a loaded machine does not count it as left open.
            if (hwnd && !::IsWindow(hwnd)) WaitFor([&] { return ended.load(); }, 2000ms);
            endedByScript = ended.load();
            if (!ended) {
                KVApp().InstallBusy = 0;
                ::PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            }
            // Under Wine a thread that touched the page's windows and ends while the page
            // is still closing holds the modal loop up for about two seconds.
            WaitFor([&] { return !::IsWindow(hwnd); });
        });
        dlg.DoModal();
        ended = true;
        driver.join();
        return endedByScript;
    }

    static std::wstring GetText(HWND dlg, int id) {
        wchar_t buf[512] = {};
        ::GetWindowTextW(::GetDlgItem(dlg, id), buf, 512);
        return buf;
    }
};

// The three ways a user closes the page.
enum class CloseBy { CancelCommand, Escape, SystemClose };

void RequestClose(HWND dlg, CloseBy how) {
    switch (how) {
    case CloseBy::CancelCommand:
        ::PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(dlg, IDCANCEL)));
        break;
    case CloseBy::Escape: {
        // Through the dialog manager, as a key press on the focused host box.
        HWND edit = ::GetDlgItem(dlg, IDC_EDT_HOST);
        ::PostMessageW(edit, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        ::PostMessageW(edit, WM_KEYUP, VK_ESCAPE, 0xC0010001);
        break;
    }
    case CloseBy::SystemClose:
        ::PostMessageW(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
    }
}

TEST_F(SetupPageTest, ClosingIsRefusedWhileInstallingAndAllowedAfterwards) {
    for (CloseBy how : {CloseBy::CancelCommand, CloseBy::Escape, CloseBy::SystemClose}) {
        SCOPED_TRACE(static_cast<int>(how));
        bool stayedOpen = false;
        bool ended = RunPage([&](CKestrelVault_SetupDlg&, HWND hwnd) {
            KVApp().InstallBusy = 1;
            RequestClose(hwnd, how);
            // Give the page every chance to close wrongly.
            std::this_thread::sleep_for(300ms);
            stayedOpen = ::IsWindow(hwnd) && ::IsWindowVisible(hwnd);
            KVApp().InstallBusy = 0;
            RequestClose(hwnd, how);
            WaitFor([&] { return !::IsWindow(hwnd); });
        });
        EXPECT_TRUE(stayedOpen);
        EXPECT_TRUE(ended);
    }
}

TEST_F(SetupPageTest, HidingLeavesCancelEnabledAndBackShowsEverything) {
    RunPage([&](CKestrelVault_SetupDlg& dlg, HWND hwnd) {
        ASSERT_EQ(9u, dlg.m_vecControls.size());
        // Type a host so that Next is enabled before, and must be again after, the round trip.
        ::SendMessageW(::GetDlgItem(hwnd, IDC_EDT_HOST), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"host"));

        dlg.ShowPageControls(FALSE);
        for (const CWnd& c : dlg.m_vecControls) {
            SCOPED_TRACE(::GetDlgCtrlID(c.m_hWnd));
            EXPECT_FALSE(::IsWindowVisible(c.m_hWnd));
            EXPECT_EQ(::GetDlgCtrlID(c.m_hWnd) == IDCANCEL, ::IsWindowEnabled(c.m_hWnd) != FALSE);
        }

        NMHDR back = {hwnd, 205, 1010};
        ::SendMessageW(hwnd, WM_NOTIFY, 205, reinterpret_cast<LPARAM>(&back));
        for (const CWnd& c : dlg.m_vecControls) {
            SCOPED_TRACE(::GetDlgCtrlID(c.m_hWnd));
            EXPECT_TRUE(::IsWindowVisible(c.m_hWnd));
            EXPECT_TRUE(::IsWindowEnabled(c.m_hWnd));
        }
        EXPECT_EQ(L"host", GetText(hwnd, IDC_EDT_HOST));
        EXPECT_TRUE(::IsWindow(hwnd));
    });
}

TEST_F(SetupPageTest, PageNotificationFinishEndsTheWizardOnlyWhenIdle) {
    struct Case {
        int busy;
        UINT_PTR id;
        UINT code;
        bool ends;
    } cases[] = {
        {0, 205, 2, true},      // finish from the download page
        {1, 205, 2, false},     // finish while installing is refused like Cancel
        {0, 206, 2, false},     // another sender
        {0, 205, 1011, false},  // an unknown code
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.busy << " " << c.id << " " << c.code);
        bool ended = RunPage([&](CKestrelVault_SetupDlg&, HWND hwnd) {
            KVApp().InstallBusy = c.busy;
            NMHDR hdr = {hwnd, c.id, c.code};
            ::SendMessageW(hwnd, WM_NOTIFY, c.id, reinterpret_cast<LPARAM>(&hdr));
            if (c.ends)
                WaitFor([&] { return !::IsWindow(hwnd); });
            else
                std::this_thread::sleep_for(200ms);
        });
        EXPECT_EQ(c.ends, ended);
    }
}

TEST_F(SetupPageTest, InitialStateFollowsThePreset) {
    struct Case {
        const wchar_t* preset;
        bool nextEnabled;
        const wchar_t* host;    // what the box shows
        const wchar_t* scheme;  // the label, and so the checked radio
    } cases[] = {
        {L"", false, L"", L"http://"},
        {L"files.example.com", true, L"files.example.com", L"http://"},
        {L"  ", true, L"  ", L"http://"},
        // A scheme in front selects it and leaves the box; the rest stays as it came.
        {L"https://files.example.com", true, L"files.example.com", L"https://"},
        {L"HTTPS://files.example.com:8443/p ", true, L"files.example.com:8443/p ", L"https://"},
        {L"hTtP://files.example.com", true, L"files.example.com", L"http://"},
        {L" \thttps://files.example.com", true, L"files.example.com", L"https://"},
        {L"https://", false, L"", L"https://"},
        {L"ftp://files.example.com", true, L"ftp://files.example.com", L"http://"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "preset '" << std::string(c.preset, c.preset + wcslen(c.preset)) << "'");
        CKestrelVault_SetupDlg dlg;
        dlg.SetUpdateURL(c.preset);
        bool nextEnabled = false, httpChecked = false, httpsChecked = false;
        std::wstring host, scheme;
        std::thread driver([&] {
            HWND hwnd = nullptr;
            WaitFor([&] { return (hwnd = dlg.m_hWnd) != nullptr && ::IsWindowVisible(hwnd); });
            // The posted radio click sets the label.
            WaitFor([&] { return !GetText(hwnd, IDC_STC_SCHEME).empty(); });
            nextEnabled = ::IsWindowEnabled(::GetDlgItem(hwnd, IDC_BTN_NEXT)) != FALSE;
            host = GetText(hwnd, IDC_EDT_HOST);
            scheme = GetText(hwnd, IDC_STC_SCHEME);
            httpChecked = ::IsDlgButtonChecked(hwnd, IDC_RAD_HTTP) == BST_CHECKED;
            httpsChecked = ::IsDlgButtonChecked(hwnd, IDC_RAD_HTTPS) == BST_CHECKED;
            ::PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            WaitFor([&] { return !::IsWindow(hwnd); });
        });
        dlg.DoModal();
        driver.join();
        EXPECT_EQ(c.nextEnabled, nextEnabled);
        EXPECT_EQ(std::wstring(c.host), host);
        EXPECT_EQ(std::wstring(c.scheme), scheme);
        EXPECT_EQ(scheme == L"http://", httpChecked);
        EXPECT_EQ(scheme == L"https://", httpsChecked);
        EXPECT_EQ(dlg.m_bHttps, scheme == L"https://" ? 1 : 0);
    }
}

}  // namespace
