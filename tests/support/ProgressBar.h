// A real progress bar for tests, in a hidden top-level window of the calling thread, that
// also records every range and position message it is sent, so a test can tell "nothing was
// sent" from "the same value was sent again".
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <vector>

#include "StepRecorder.h"
#include "framework/wnd.h"

class TestProgressBar {
public:
    struct Message {
        UINT msg;
        WPARAM wParam;
        LPARAM lParam;
        bool operator==(const Message& o) const { return msg == o.msg && wParam == o.wParam && lParam == o.lParam; }
    };

    TestProgressBar() {
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_PROGRESS_CLASS};
        ::InitCommonControlsEx(&icc);
        m_ctrl.m_hWnd = ::CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_POPUP, 0, 0, 200, 20, nullptr, nullptr,
                                          ::GetModuleHandleW(nullptr), nullptr);
        ::SetWindowLongPtrW(m_ctrl.m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        m_next = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(m_ctrl.m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Proc)));
        m_reporter.SetBar(m_ctrl.m_hWnd);
    }
    ~TestProgressBar() { ::DestroyWindow(m_ctrl.m_hWnd); }
    TestProgressBar(const TestProgressBar&) = delete;
    TestProgressBar& operator=(const TestProgressBar&) = delete;

    CProgressCtrl& Ctrl() { return m_ctrl; }
    // A reporter that drives this bar, as the download page drives its own.
    StepRecorder& Reporter() { return m_reporter; }
    HWND Hwnd() const { return m_ctrl.m_hWnd; }
    bool IsValid() const { return m_ctrl.m_hWnd != nullptr; }

    // What the control itself holds now.
    PBRANGE Range() const {
        PBRANGE r = {};
        ::SendMessageW(m_ctrl.m_hWnd, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&r));
        return r;
    }
    int Pos() const { return static_cast<int>(::SendMessageW(m_ctrl.m_hWnd, PBM_GETPOS, 0, 0)); }

    // Range and position messages received since the last Clear, in order.
    const std::vector<Message>& Sent() const { return m_sent; }
    void Clear() { m_sent.clear(); }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
        auto* self = reinterpret_cast<TestProgressBar*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (msg == PBM_SETRANGE || msg == PBM_SETRANGE32 || msg == PBM_SETPOS || msg == PBM_DELTAPOS ||
            msg == PBM_STEPIT)
            self->m_sent.push_back({msg, w, l});
        return ::CallWindowProcW(self->m_next, hwnd, msg, w, l);
    }

    CProgressCtrl m_ctrl;
    StepRecorder m_reporter;
    WNDPROC m_next = nullptr;
    std::vector<Message> m_sent;
};
