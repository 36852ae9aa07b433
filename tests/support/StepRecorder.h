// The steps' reporter for tests and benchmarks: keeps every status text, in order, and passes
// the progress range and positions on to a real progress bar when it is given one, as the
// download page does (by SendMessageW, so from a worker thread they cross to the bar's thread).
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "install/StepReporter.h"

class StepRecorder : public StepReporter {
public:
    explicit StepRecorder(HWND bar = nullptr) : m_bar(bar) {}
    void SetBar(HWND bar) { m_bar = bar; }

    void ShowStatus(const std::wstring& text) override { statusTexts.push_back(text); }
    void SetProgressRange(int upper) override {
        if (m_bar) ::SendMessageW(m_bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(upper));
    }
    void SetProgressPos(int pos) override {
        if (m_bar) ::SendMessageW(m_bar, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
    }
    // Every position unless told how many steps the bar shows (as the download page tells its
    // bar's width).
    int ProgressSteps() const override { return m_steps; }
    void SetProgressSteps(int steps) { m_steps = steps; }

    std::vector<std::wstring> statusTexts;

private:
    HWND m_bar;
    int m_steps = 0;
};
