// The bind-status callback every file transfer carries: it turns the data-phase reports of a
// transfer into positions of the reporter's progress bar, counted in bytes. The transfer of
// both schemes calls its OnProgress with the bind-status codes of the data phase; it stays an
// IBindStatusCallback, the type the transfers take for their progress.
#pragma once

#include <windows.h>
#include <urlmon.h>

#include "framework/wnd.h"
#include "install/StepReporter.h"

class URLDownCallBack : public IBindStatusCallback {
public:
    // Binds the reporter's bar (may be null) and the status window (may be null; cleared at
    // once) and sets the bar's range to 0 .. expectedSize; -1, a failed size query, is sent
    // unchanged.
    URLDownCallBack(StepReporter* progress, CWnd* statusText, int expectedSize);
    virtual ~URLDownCallBack();
    URLDownCallBack(const URLDownCallBack&) = delete;
    URLDownCallBack& operator=(const URLDownCallBack&) = delete;

    // Makes the object ready for another file, exactly as the constructor does: the three
    // values replaced, the range set again, the status window cleared.
    //
    // Positions go to a bar that crosses threads (the page's, from its worker) one message
    // each: they are sent only where the bar would move (StepReporter::ProgressSteps), and the
    // first and the last position of a file always, so that the bar starts and ends as every
    // report would leave it.
    void Prepare(StepReporter* progress, CWnd* statusText, int expectedSize);

    // There is no reference count: the object lives on its caller's stack for the span of
    // synchronous transfers, so AddRef and Release answer 0 and never delete it, and
    // QueryInterface hands out nothing (E_NOTIMPL, the out pointer untouched).
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // E_NOTIMPL; out values are not written.
    STDMETHODIMP OnStartBinding(DWORD reserved, IBinding* binding) override;
    STDMETHODIMP GetPriority(LONG* priority) override;
    STDMETHODIMP OnLowResource(DWORD reserved) override;
    // Moves the bar for BINDSTATUS_BEGINDOWNLOADDATA and BINDSTATUS_DOWNLOADINGDATA (to
    // progress) and BINDSTATUS_ENDDOWNLOADDATA (to maximum, where the WinINet download puts its
    // byte count) and answers S_OK; every other status, and any status without a bar, answers
    // E_NOTIMPL and sends nothing.
    STDMETHODIMP OnProgress(ULONG progress, ULONG maximum, ULONG statusCode, LPCWSTR statusText) override;
    STDMETHODIMP OnStopBinding(HRESULT result, LPCWSTR error) override;
    STDMETHODIMP GetBindInfo(DWORD* bindFlags, BINDINFO* bindInfo) override;
    STDMETHODIMP OnDataAvailable(DWORD flags, DWORD size, FORMATETC* format, STGMEDIUM* medium) override;
    STDMETHODIMP OnObjectAvailable(REFIID riid, IUnknown* object) override;

    StepReporter* m_pProgress = nullptr;  // not owned
    CWnd* m_pStatusText = nullptr;        // not owned
    int m_nExpectedSize = 0;

private:
    // Sends pos to the bar where the bar would show it: always the first position of a file
    // and its last (final), otherwise once it has moved by one of the bar's steps, or, where
    // the bar's steps or the range are unknown, at most every kQuietMs.
    void MoveBar(ULONG pos, bool final);

    ULONG m_step = 0;      // bytes per step of the bar; 0: unknown
    bool m_moved = false;  // a position has been sent since Prepare
    ULONG m_shownPos = 0;
    ULONGLONG m_shownAt = 0;
};
