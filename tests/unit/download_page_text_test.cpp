// The download page's text for a run that did not complete, made from the string table's own
// pattern: the exit code, and the log file's place only when a log file is written.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "framework/app.h"
#include "resource.h"
#include "wizard/KVDownloadDlg.h"

namespace {

TEST(InstallIncompleteText, NamesTheCodeAndTheLogOnlyWhereOneIsWritten) {
    const std::wstring korean = LoadResString(IDS_INSTALL_INCOMPLETE);
    const std::wstring english = LoadResString(IDS_INSTALL_INCOMPLETE + 1);
    ASSERT_FALSE(korean.empty());
    struct Case {
        const char* what;
        std::wstring pattern;
        int code;
        std::wstring log;
        std::wstring text;
    } const cases[] = {
        {"a log file", english, 20, L"C:\\Logs\\setup.log",
         L"The installation did not complete (exit code 20).\nLog file: C:\\Logs\\setup.log"},
        {"no log file: the log's line is left out", english, 30, L"", L"The installation did not complete (exit code 30)."},
        {"the program's own language", korean, 40, L"", L"설치를 완료하지 못했습니다. (종료 코드 40)"},
        // The path comes from the user's registry: what it holds is shown, never filled in.
        {"a path that holds the placeholders", english, 10, L"C:\\%1\\%2.log",
         L"The installation did not complete (exit code 10).\nLog file: C:\\%1\\%2.log"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(InstallIncompleteText(c.pattern, c.code, c.log), c.text);
    }
}

}  // namespace
