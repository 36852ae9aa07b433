#include "install/URLDownCallBack.h"

#include <string>

URLDownCallBack::URLDownCallBack(StepReporter* progress, CWnd* statusText, int expectedSize) {
    Prepare(progress, statusText, expectedSize);
}

URLDownCallBack::~URLDownCallBack() = default;

void URLDownCallBack::Prepare(StepReporter* progress, CWnd* statusText, int expectedSize) {
    m_pProgress = progress;
    m_pStatusText = statusText;
    m_nExpectedSize = expectedSize;
    if (m_pProgress) m_pProgress->SetProgressRange(m_nExpectedSize);
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
        m_pProgress->SetProgressPos(static_cast<int>(progress));
        break;
    case BINDSTATUS_DOWNLOADINGDATA:
        m_pProgress->SetProgressPos(static_cast<int>(progress));
        break;
    case BINDSTATUS_ENDDOWNLOADDATA:
        m_pProgress->SetProgressPos(static_cast<int>(maximum));
        break;
    }
    return S_OK;
}
