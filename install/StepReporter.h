// What the install steps and their transfers tell whoever shows them: a status text and a
// progress bar's range and position. The download page shows them in its controls; the tools,
// the benchmarks and the tests record them or drive a bar of their own. Called on the thread
// that runs the steps.
#pragma once

#include <string>

class StepReporter {
public:
    // The page's status line.
    virtual void ShowStatus(const std::wstring& text) = 0;
    // The bar's range, 0 .. upper; -1 (a failed size query) is passed on unchanged.
    virtual void SetProgressRange(int upper) = 0;
    virtual void SetProgressPos(int pos) = 0;
    // How many distinct positions the bar can show over its range (a bar's width in pixels);
    // a transfer then moves it only where it would show the move. 0: every position is shown,
    // as for a reporter without a bar of limited resolution.
    virtual int ProgressSteps() const { return 0; }

protected:
    ~StepReporter() = default;
};
