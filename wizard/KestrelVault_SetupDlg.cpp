#include "wizard/KestrelVault_SetupDlg.h"

#include <windows.h>
#include <wininet.h>

#include <memory>
#include <system_error>
#include <thread>

#include "framework/app.h"
#include "framework/handle.h"
#include "framework/strutil.h"
#include "install/AccessCheck.h"
#include "install/ServerAddress.h"
#include "tracelog/FuncTrace.h"
#include "wizard/AboutDlg.h"
#include "wizard/HeaderPaint.h"

namespace {
const UINT_PTR kAutoNextTimer = 1;
const UINT kAutoNextDelayMs = 100;
// How long the unreachable-server box waits for an answer in AutoMode: long enough for someone
// watching to read it, short enough for a deployment tool that waits for the process.
const UINT_PTR kUnreachableBoxTimer = 4;
const UINT kUnreachableBoxMs = 30000;

// The message box the thread creates next, caught as it is created: it is the only window of
// the box's that the page can know for sure (the active window depends on the desktop).
thread_local HWND t_boxWindow = nullptr;
thread_local HHOOK t_boxHook = nullptr;

LRESULT CALLBACK CatchBoxWindow(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND && !t_boxWindow) {
        wchar_t cls[16] = {};
        HWND hwnd = reinterpret_cast<HWND>(wParam);
        if (::GetClassNameW(hwnd, cls, 16) && ::lstrcmpW(cls, L"#32770") == 0) t_boxWindow = hwnd;
    }
    return ::CallNextHookEx(t_boxHook, code, wParam, lParam);
}
}  // namespace

CKestrelVault_SetupDlg::CKestrelVault_SetupDlg(int autoMode, std::atomic<int>* installBusy)
    : CDialog(IDD),
      m_hIcon(::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      m_autoMode(autoMode),
      m_pInstallBusy(installBusy ? installBusy : &m_ownInstallBusy) {
    m_dlgDownload.SetWizardFlags(m_autoMode, m_pInstallBusy);
}

CKestrelVault_SetupDlg::~CKestrelVault_SetupDlg() = default;

void CKestrelVault_SetupDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_STC_INFO, m_stcInfo);
    DDX_Control(pDX, IDC_STC_ACCESSGROUP, m_stcAccessGroup);
    DDX_Control(pDX, IDC_EDT_HOST, m_edtHost);
    DDX_Control(pDX, IDC_BTN_NEXT, m_btnNext);
    DDX_Control(pDX, IDCANCEL, m_btnCancel);
    DDX_Control(pDX, IDC_STC_SCHEME, m_stcScheme);
}

BOOL CKestrelVault_SetupDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
    static const CommandMapEntry<CKestrelVault_SetupDlg> kCommands[] = {
        {EN_CHANGE, IDC_EDT_HOST, IDC_EDT_HOST, &CKestrelVault_SetupDlg::OnEnChangeHost, nullptr},
        {BN_CLICKED, IDC_BTN_NEXT, IDC_BTN_NEXT, &CKestrelVault_SetupDlg::OnBnClickedNext, nullptr},
        {BN_CLICKED, IDC_RAD_HTTP, IDC_RAD_HTTPS, nullptr, &CKestrelVault_SetupDlg::OnBnClickedScheme},
    };
    return DispatchCommand(this, kCommands, wParam) || CDialog::OnCommand(wParam, lParam);
}

BOOL CKestrelVault_SetupDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    if (HMENU sysMenu = GetSystemMenu(FALSE)) {
        std::wstring about = LoadResString(IDS_ABOUTBOX);
        if (!about.empty()) {
            ::AppendMenuW(sysMenu, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuW(sysMenu, MF_STRING, IDM_ABOUTBOX, about.c_str());
        }
    }

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    InitPageControls();

    if (m_autoMode == 1) {
        m_btnNext.EnableWindow(FALSE);
        m_btnCancel.EnableWindow(FALSE);
        SetTimer(kAutoNextTimer, kAutoNextDelayMs);
    }
    return TRUE;
}

void CKestrelVault_SetupDlg::InitPageControls() {
    SetWindowText(LoadResString(IDS_CAPTION));
    m_stcInfo.SetWindowText(LoadResString(IDS_INFO));
    m_stcAccessGroup.SetWindowText(LoadResString(IDS_ACCESS_GROUP));

    // A preset that names its scheme ("https://vault.example.com") selects it and shows the
    // host alone; any other preset leaves "http" selected.
    const SchemeAndHost preset = SplitSchemePrefix(TrimLeft(m_strUpdateURL));
    const int radioId = preset.named && preset.useHttps == 1 ? IDC_RAD_HTTPS : IDC_RAD_HTTP;

    // Posted, not sent: the click handler then runs from the message loop after
    // initialisation, and always before the automatic Next's timer.
    CWnd radio = GetDlgItem(radioId);
    if (radio.m_hWnd) {
        radio.SendMessage(BM_SETCHECK, BST_CHECKED);
        PostMessage(WM_COMMAND, MAKEWPARAM(radioId, BN_CLICKED), reinterpret_cast<LPARAM>(radio.m_hWnd));
    }

    const std::wstring hostText = preset.named ? preset.host : m_strUpdateURL;
    if (!hostText.empty()) m_edtHost.SetWindowText(hostText);

    m_btnNext.SetWindowText(LoadResString(IDS_NEXT));
    m_btnNext.EnableWindow(!m_edtHost.GetWindowText().empty());
    m_btnCancel.SetWindowText(LoadResString(IDS_CANCEL));

    m_vecControls.clear();
    for (HWND child = ::FindWindowExW(m_hWnd, nullptr, nullptr, nullptr); child;
         child = ::FindWindowExW(m_hWnd, child, nullptr, nullptr)) {
        m_vecControls.push_back(CWnd(child));
    }

    m_bmpHeader.LoadBitmap(IDB_HEADER);
}

void CKestrelVault_SetupDlg::OnSysCommand(UINT id, LPARAM lParam) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
    } else if (id == SC_CLOSE && *m_pInstallBusy != 0) {
        // Closing now would pull the windows out from under the running install steps.
    } else {
        Default();
    }
}

void CKestrelVault_SetupDlg::OnPaint() {
    PagePaint paint(m_hWnd);
    if (IsIconic()) {
        PaintMinimizedIcon(m_hWnd, paint.GetDC(), m_hIcon);
        return;
    }
    RECT client = {};
    GetClientRect(&client);
    PaintWizardHeader(paint.GetDC(), client, IDS_HEADER_TITLE, IDS_HEADER_SUBTITLE, m_bmpHeader.GetSafeHandle());
}

HCURSOR CKestrelVault_SetupDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

void CKestrelVault_SetupDlg::OnTimer(UINT_PTR id) {
    if (id == kAutoNextTimer) {
        KillTimer(kAutoNextTimer);
        OnBnClickedNext();
    } else if (id == kUnreachableBoxTimer) {
        // Runs inside the box's own message loop.
        KillTimer(kUnreachableBoxTimer);
        if (t_boxWindow && ::IsWindow(t_boxWindow)) {
            m_boxTimedOut = true;
            ::PostMessageW(t_boxWindow, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        }
    }
}

void CKestrelVault_SetupDlg::OnBnClickedScheme(UINT id) {
    if (id == IDC_RAD_HTTP) {
        m_stcScheme.SetWindowText(SchemePrefix(0));
        m_bHttps = 0;
    } else if (id == IDC_RAD_HTTPS) {
        m_stcScheme.SetWindowText(SchemePrefix(1));
        m_bHttps = 1;
    }
}

void CKestrelVault_SetupDlg::SelectScheme(int useHttps) {
    const int id = useHttps == 1 ? IDC_RAD_HTTPS : IDC_RAD_HTTP;
    ::CheckRadioButton(m_hWnd, IDC_RAD_HTTP, IDC_RAD_HTTPS, id);
    OnBnClickedScheme(id);
}

void CKestrelVault_SetupDlg::OnEnChangeHost() {
    // Blanks count as text here; Next trims them later.
    m_btnNext.EnableWindow(!m_edtHost.GetWindowText().empty());
}

void CKestrelVault_SetupDlg::OnBnClickedNext() {
    // A press while the check runs (the page keeps its messages flowing meanwhile).
    if (m_checking) return;
    FuncTrace trace("CKestrelVault_SetupDlg::OnBnClickedNext");

    // In AutoMode Next is disabled on purpose while the timer presses it.
    if (m_autoMode == 0 && !m_btnNext.IsWindowEnabled()) return;
    // The download page is up, maybe with its worker running: a second press (the command
    // posted again, AutoMode's disabled Next) must not create it over itself.
    if (m_dlgDownload.m_hWnd && ::IsWindow(m_dlgDownload.m_hWnd)) return;

    std::wstring host = Trim(m_edtHost.GetWindowText());
    const SchemeAndHost typed = SplitSchemePrefix(host);
    if (typed.named) {
        // The scheme in the text wins over the radios; the page then shows what it checks.
        SelectScheme(typed.useHttps);
        host = Trim(typed.host);
        const BOOL nextEnabled = m_btnNext.IsWindowEnabled();
        m_edtHost.SetWindowText(host);
        // The edit's change handler must not enable Next in AutoMode.
        m_btnNext.EnableWindow(nextEnabled);
    }
    trace.Log("ServerURL: %S", host.c_str());
    std::wstring url = SchemePrefix(m_bHttps) + host;
    trace.Log("ConnectionURL: %S", url.c_str());

    const int useHttps = m_bHttps;
    const AccessAnswer answer = CheckAccessKeepingPage(url, useHttps);
    // The user left while the check ran: the page is ending, nothing more to do or show.
    if (m_leftDuringCheck) return;

    if (answer.verdict == AccessAnswer::Verdict::Unreachable || answer.verdict == AccessAnswer::Verdict::ProxyRefused) {
        const bool proxyRefused = answer.verdict == AccessAnswer::Verdict::ProxyRefused;
        if (proxyRefused) trace.Log("Proxy asks for credentials (407)");
        trace.Log("Server web connect fail___");
        m_checkFailed = true;
        m_proxyRefused = proxyRefused;
        const UINT text = proxyRefused ? IDS_PROXY_REFUSED : IDS_SERVER_UNREACHABLE;
        if (m_autoMode != 1) {
            AfxMessageBox(LoadResString(text), MB_OK);
            return;
        }
        // Unattended, maybe nobody is there to answer: the box closes itself after a while and
        // the run ends, instead of leaving a page with Next and Cancel disabled.
        if (ShowUnreachableBoxWithTimeOut(text)) {
            trace.Log("Server web connect box not answered; the unattended run ends___");
            CDialog::OnCancel();
        }
        return;
    }

    m_dlgDownload.SetUpdateURL(host);
    m_dlgDownload.Create(KVDownloadDlg::IDD, this);
    m_dlgDownload.UseHttps = useHttps;
    ShowPageControls(FALSE);
}

AccessAnswer CKestrelVault_SetupDlg::CheckAccessKeepingPage(const std::wstring& url, int useHttps) {
    // The request may take up to the stall limit; the page keeps answering meanwhile. The
    // thread owns what it touches: a page that is left does not wait for it.
    struct Job {
        AccessAnswer answer;
        kv::UniqueKernelHandle done{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    };
    auto job = std::make_shared<Job>();
    if (!job->done) return CheckServerAccess(url, useHttps);
    try {
        std::thread([job, url, useHttps] {
            job->answer = CheckServerAccess(url, useHttps);
            ::SetEvent(job->done.get());
        }).detach();
    } catch (const std::system_error&) {
        return CheckServerAccess(url, useHttps);
    }

    m_checking = true;
    const BOOL nextEnabled = m_btnNext.IsWindowEnabled();
    m_btnNext.EnableWindow(FALSE);
    ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    const HANDLE done = job->done.get();
    bool quit = false;
    int quitCode = 0;
    while (!m_leftDuringCheck && !quit &&
           ::MsgWaitForMultipleObjects(1, &done, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG msg;
        while (!m_leftDuringCheck && ::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                quitCode = static_cast<int>(msg.wParam);
                break;
            }
            if (!::IsDialogMessageW(m_hWnd, &msg)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageW(&msg);
            }
        }
    }
    m_checking = false;
    // The loop that runs the page must see the quit too.
    if (quit) ::PostQuitMessage(quitCode);
    if (m_leftDuringCheck || quit) {
        m_leftDuringCheck = true;
        return AccessAnswer();
    }
    if (m_hWnd) {
        m_btnNext.EnableWindow(nextEnabled);
        POINT at = {};
        ::GetCursorPos(&at);
        ::SetCursorPos(at.x, at.y);  // the cursor shape follows the window under it again
    }
    return job->answer;
}

INT_PTR CKestrelVault_SetupDlg::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_SETCURSOR && m_checking) {
        ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
        ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, TRUE);
        return TRUE;
    }
    return CDialog::WindowProc(msg, wParam, lParam);
}

bool CKestrelVault_SetupDlg::ShowUnreachableBoxWithTimeOut(UINT text) {
    t_boxWindow = nullptr;
    t_boxHook = ::SetWindowsHookExW(WH_CBT, CatchBoxWindow, nullptr, ::GetCurrentThreadId());
    m_boxTimedOut = false;
    SetTimer(kUnreachableBoxTimer, kUnreachableBoxMs);
    AfxMessageBox(LoadResString(text), MB_OK);
    KillTimer(kUnreachableBoxTimer);
    if (t_boxHook) ::UnhookWindowsHookEx(t_boxHook);
    t_boxHook = nullptr;
    t_boxWindow = nullptr;
    return m_boxTimedOut;
}

void CKestrelVault_SetupDlg::ShowPageControls(BOOL show) {
    for (CWnd& control : m_vecControls) {
        control.EnableWindow(show);
        control.ShowWindow(show ? SW_SHOW : SW_HIDE);
        if (control == m_btnCancel) control.EnableWindow(TRUE);
    }
}

BOOL CKestrelVault_SetupDlg::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    const NMHDR* hdr = reinterpret_cast<const NMHDR*>(lParam);
    if (hdr && hdr->idFrom == KVDownloadDlg::IDD) {
        if (hdr->code == KVDownloadDlg::NotifyBack)
            ShowPageControls(TRUE);
        else if (hdr->code == KVDownloadDlg::NotifyFinish)
            OnCancel();
    }
    return CDialog::OnNotify(wParam, lParam, pResult);
}

void CKestrelVault_SetupDlg::OnOK() {
    // Enter arrives as IDOK whenever the default button (Next) is disabled or hidden, as it is
    // behind the download page: the same as Cancel, refused while the steps run. During the
    // access check Next is disabled only for the wait: an impatient Enter must not end the page.
    if (m_checking) return;
    OnCancel();
}

void CKestrelVault_SetupDlg::OnCancel() {
    if (*m_pInstallBusy != 0) return;
    if (m_checking) m_leftDuringCheck = true;
    CDialog::OnCancel();
}

kv::InstallOutcome CKestrelVault_SetupDlg::Outcome() const {
    kv::InstallOutcome steps;
    if (m_dlgDownload.LastOutcome(steps)) return steps;
    if (!m_checkFailed) return kv::InstallOutcome::UserLeft;
    return m_proxyRefused ? kv::InstallOutcome::ProxyRefused : kv::InstallOutcome::ServerUnreachable;
}
