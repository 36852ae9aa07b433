#include "install/URLDownCallBack.h"

#include <algorithm>

#include <string>

namespace {
// Where the bar's steps are not known, a position at most this often: the eye sees no more.
const ULONGLONG kQuietMs = 50;
}  // namespace

URLDownCallBack::URLDownCallBack(StepReporter* progress, CWnd* statusText, int expectedSize) {
    Prepare(progress, statusText, expectedSize);
}

URLDownCallBack::~URLDownCallBack() = default;

void URLDownCallBack::Prepare(StepReporter* progress, CWnd* statusText, int expectedSize) {
    m_pProgress = progress;
    m_pStatusText = statusText;
    m_nExpectedSize = expectedSize;
    m_moved = false;
    m_step = 0;
    if (m_pProgress) {
        m_pProgress->SetProgressRange(m_nExpectedSize);
        const int steps = m_pProgress->ProgressSteps();
        // 0 with steps 0: every position is sent.
        if (steps > 0 && m_nExpectedSize > 0) m_step = std::max<ULONG>(1, static_cast<ULONG>(m_nExpectedSize) / static_cast<ULONG>(steps));
    }
    if (m_pStatusText) ::SetWindowTextW(m_pStatusText->m_hWnd, L"");
}

STDMETHODIMP URLDownCallBack::QueryInterface(REFIID, void**) { return E_NOTIMPL; }
STDMETHODIMP_(ULONG) URLDownCallBack::AddRef() { return 0; }
STDMETHODIMP_(ULONG) URLDownCallBack::Release() { return 0; }
STDMETHODIMP URLDownCallBack::OnStartBinding(DWORD, IBinding*) { return E_NOTIMPL; }
STDMETHODIMP URLDownCallBack::GetPriority(LONG*) { return E_NOTIMPL; }
STDMETHODIMP URLDownCallBack::OnLowResource(DWORD) { return E_NOTIMPL; }
STDMETHODIMP URLDownCallBack::OnStopBinding(HRESULT, LPCWSTR) { return E_NOTIMPL; }
STDMETHODIMP URLDownCallBack::GetBindInfo(DWORD*, BINDINFO*) { return E_NOTIMPL; }
STDMETHODIMP URLDownCallBack::OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }
STDMETHODIMP URLDownCallBack::OnObjectAvailable(REFIID, IUnknown*) { return E_NOTIMPL; }

STDMETHODIMP URLDownCallBack::OnProgress(ULONG progress, ULONG maximum, ULONG statusCode, LPCWSTR statusText) {
    if (statusCode != BINDSTATUS_BEGINDOWNLOADDATA && statusCode != BINDSTATUS_DOWNLOADINGDATA &&
        statusCode != BINDSTATUS_ENDDOWNLOADDATA)
        return E_NOTIMPL;
    if (!m_pProgress) return E_NOTIMPL;

    switch (statusCode) {
    case BINDSTATUS_BEGINDOWNLOADDATA:
        if (m_pStatusText) {
            // The moniker download reports the address here: the window shows the file's name.
            std::wstring text = statusText ? statusText : L"";
            const size_t slash = text.rfind(L'/');
            if (slash != std::wstring::npos) text.erase(0, slash + 1);
            ::SetWindowTextW(m_pStatusText->m_hWnd, text.c_str());
        }
        MoveBar(progress, false);
        break;
    case BINDSTATUS_DOWNLOADINGDATA:
        MoveBar(progress, false);
        break;
    case BINDSTATUS_ENDDOWNLOADDATA:
        MoveBar(maximum, true);
        break;
    }
    return S_OK;
}

void URLDownCallBack::MoveBar(ULONG pos, bool final) {
    const ULONGLONG now = ::GetTickCount64();
    if (m_moved && !final) {
        const ULONG moved = pos > m_shownPos ? pos - m_shownPos : m_shownPos - pos;
        if (m_pProgress->ProgressSteps() > 0) {
            if (m_step ? moved < m_step : (moved == 0 || now - m_shownAt < kQuietMs)) return;
        }
    }
    m_moved = true;
    m_shownPos = pos;
    m_shownAt = now;
    m_pProgress->SetProgressPos(static_cast<int>(pos));
}
