// The check before a fetched program starts, where the platform can make it fail: a program
// that another program (an on-access scanner) has open for a moment, and the state that the
// signature check opens, which must be closed on every way out.

#include <gtest/gtest.h>

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <new>
#include <string>
#include <vector>

#include "../support/TraceCapture.h"
#include "framework/handle.h"
#include "install/ProgramTrust.h"
#include "install/PublisherPins.h"
#include "install_support.h"
#include "tracelog/FuncTrace.h"

namespace {

const char kName[] = "KVUpdate.exe";

// The hold's pauses and what ClearProgramToStart logged and decided, with the hold's opens
// failing with the given errors first (0: the real open).
struct HoldRun {
    std::vector<DWORD> pauses;
    std::vector<std::string> log;
    bool cleared = false;
    bool heldAfter = false;  // the caller got an open handle
    int opens = 0;
};

HoldRun ClearWithFailingOpens(const std::wstring& path, const std::vector<DWORD>& failures,
                              const std::function<void(size_t pause)>& onPause = nullptr) {
    HoldRun run;
    InstallPlatform platform = RealInstallPlatform();
    platform.holdProgramFile = [&run, failures](const std::wstring& p) {
        const size_t n = static_cast<size_t>(run.opens++);
        if (n < failures.size() && failures[n] != 0) {
            ::SetLastError(failures[n]);
            return kv::UniqueFile();
        }
        return HoldProgramFile(p);
    };
    platform.sleep = [&run, onPause](DWORD ms) {
        run.pauses.push_back(ms);
        if (onPause) onPause(run.pauses.size());
    };
    kvtest::ScopedPlatform scoped(platform);
    kv::UniqueFile held;
    run.log = CaptureTrace([&] {
        FuncTrace trace("kvtest::Hold");
        run.cleared = ClearProgramToStart(trace, path, kName, std::vector<Thumbprint>{}, held);
    });
    run.heldAfter = static_cast<bool>(held);
    // The scope's own lines only.
    std::vector<std::string> own;
    for (const std::string& line : run.log)
        if (line.compare(0, 2, "> ") != 0 && line.compare(0, 2, "< ") != 0) own.push_back(line);
    run.log = own;
    return run;
}

std::string Retry(DWORD error, DWORD ms, int n) {
    char text[160];
    wsprintfA(text, "KVUpdate.exe in use by another program (err: %u), held again in %u ms (retry %d of 5)",
              static_cast<unsigned>(error), static_cast<unsigned>(ms), n);
    return text;
}

TEST(ProgramHold, ASharingOrLockViolationIsWaitedOutAFewTimesThenRefused) {
    kvtest::ScratchDir dir(L"hold");
    const std::wstring program = dir / L"KVUpdate.exe";
    const std::string standin = kvtest::StandinBytes(L"KVUpdate.exe");
    const std::string refusedBusy = "KVUpdate.exe could not be held for its check (err: 32), not started___";
    const DWORD Busy = ERROR_SHARING_VIOLATION, Locked = ERROR_LOCK_VIOLATION;
    struct Case {
        const char* what;
        std::vector<DWORD> failures;  // the opens' errors, in order; the rest open for real
        bool cleared;
        std::vector<std::string> log;
        std::vector<DWORD> pauses;
    } const cases[] = {
        {"opens at once: no retry", {}, true, {"Signer: none"}, {}},
        {"a scanner holds it for two opens", {Busy, Busy}, true, {Retry(Busy, 250, 1), Retry(Busy, 500, 2), "Signer: none"},
         {250, 500}},
        {"a byte-range lock, once", {Locked}, true, {Retry(Locked, 250, 1), "Signer: none"}, {250}},
        {"in use at every open: refused after the fifth retry", {Busy, Busy, Busy, Busy, Busy, Busy, Busy},
         false,
         {Retry(Busy, 250, 1), Retry(Busy, 500, 2), Retry(Busy, 1000, 3), Retry(Busy, 1000, 4), Retry(Busy, 1000, 5), refusedBusy},
         {250, 500, 1000, 1000, 1000}},
        {"access denied is no passing state: refused at once", {ERROR_ACCESS_DENIED}, false,
         {"KVUpdate.exe could not be held for its check (err: 5), not started___"}, {}},
        {"gone: refused at once", {ERROR_FILE_NOT_FOUND}, false,
         {"KVUpdate.exe could not be held for its check (err: 2), not started___"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(kvtest::WriteBytes(program, standin));
        const HoldRun run = ClearWithFailingOpens(program, c.failures);
        EXPECT_EQ(run.cleared, c.cleared);
        EXPECT_EQ(run.heldAfter, c.cleared);
        EXPECT_EQ(run.log, c.log);
        EXPECT_EQ(run.pauses, c.pauses);
        DWORD waited = 0;
        for (DWORD ms : run.pauses) waited += ms;
        EXPECT_LE(waited, 5000u) << "a few seconds at most before a refusal";
        ::DeleteFileW(program.c_str());
    }
}

TEST(ProgramHold, AProgramAnotherProcessHasOpenIsHeldOnceItLetsGo) {
    // A real sharing violation: the test has the file open without sharing, as a scanner
    // would, and lets it go during the second pause.
    kvtest::ScratchDir dir(L"holdreal");
    const std::wstring program = dir / L"KVUpdate.exe";
    ASSERT_TRUE(kvtest::WriteBytes(program, kvtest::StandinBytes(L"KVUpdate.exe")));
    kv::UniqueFile scanner(::CreateFileW(program.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(scanner);
    const HoldRun run = ClearWithFailingOpens(program, {}, [&](size_t pause) {
        if (pause == 2) scanner.reset();
    });
    EXPECT_TRUE(run.cleared);
    EXPECT_EQ(run.log, (std::vector<std::string>{Retry(ERROR_SHARING_VIOLATION, 250, 1),
                                                 Retry(ERROR_SHARING_VIOLATION, 500, 2), "Signer: none"}));
    EXPECT_EQ(run.opens, 3);
}

// -- the signature check's state ------------------------------------------------------------

// Every call the check makes to WinVerifyTrust, passed on to the real one.
struct TrustCall {
    DWORD stateAction;
    HANDLE stateBefore;  // hWVTStateData as the call got it
    HANDLE stateAfter;
};

TEST(ProgramTrustState, TheVerifyingCallsStateIsClosedOnEveryWayOut) {
    kvtest::ScratchDir dir(L"truststate");
    const std::wstring standin = dir / L"standin.exe";
    const std::wstring text = dir / L"text.exe";
    ASSERT_TRUE(kvtest::WriteBytes(standin, kvtest::StandinBytes(L"KVUpdate.exe")));
    ASSERT_TRUE(kvtest::WriteBytes(text, "not a program"));
    struct Case {
        const char* what;
        std::wstring file;
        bool throwAfterVerify;  // the check is left by an exception once the state is open
    } const cases[] = {
        {"an unsigned program", standin, false},
        {"a file that is no program", text, false},
        // Memory running out while the signer's chain is read, or any other exception there:
        // the step's guard logs it and goes on, and the state must not stay open behind it.
        {"an exception after the verifying call", standin, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<TrustCall> calls;
        InstallPlatform platform = RealInstallPlatform();
        const auto real = platform.verifyTrust;
        platform.verifyTrust = [&calls, real, &c](HWND window, GUID* action, WINTRUST_DATA* data) {
            TrustCall call = {data->dwStateAction, data->hWVTStateData, nullptr};
            const LONG status = real(window, action, data);
            call.stateAfter = data->hWVTStateData;
            calls.push_back(call);
            if (c.throwAfterVerify && call.stateAction == WTD_STATEACTION_VERIFY) throw std::bad_alloc();
            return status;
        };
        kvtest::ScopedPlatform scoped(platform);
        const kv::UniqueFile file = HoldProgramFile(c.file);
        ASSERT_TRUE(file);
        bool threw = false;
        try {
            CheckProgramSignature(file.get(), c.file);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        EXPECT_EQ(threw, c.throwAfterVerify);
        ASSERT_EQ(calls.size(), 2u) << "one verifying call and one closing call";
        EXPECT_EQ(calls[0].stateAction, static_cast<DWORD>(WTD_STATEACTION_VERIFY));
        EXPECT_EQ(calls[0].stateBefore, nullptr);
        EXPECT_NE(calls[0].stateAfter, nullptr) << "the verifying call opened a state (else nothing here is proven)";
        EXPECT_EQ(calls[1].stateAction, static_cast<DWORD>(WTD_STATEACTION_CLOSE));
        EXPECT_EQ(calls[1].stateBefore, calls[0].stateAfter) << "the state the verifying call opened is closed";
    }
}

// What a gateway or a failing server may hand over under a program's name, and what a program
// looks like at its start: only a file with the "MZ" header and "PE\0\0" at its e_lfanew counts.
TEST(ProgramImage, OnlyAnImageWithItsSignatureWhereTheHeaderPointsIsAProgram) {
    auto image = [](uint32_t lfanew, const std::string& at, size_t size) {
        std::string bytes(size, '\0');
        bytes[0] = 'M';
        bytes[1] = 'Z';
        for (int i = 0; i < 4; ++i) bytes[0x3C + i] = static_cast<char>(lfanew >> (8 * i));
        if (lfanew + at.size() <= bytes.size()) bytes.replace(lfanew, at.size(), at);
        return bytes;
    };
    const std::string pe("PE\0\0", 4);
    struct Case {
        const char* what;
        std::string bytes;
        bool program;
    } const cases[] = {
        {"the stand-in program", kvtest::StandinBytes(L"KVUpdate.exe"), true},
        {"the headers and nothing more", image(0x40, pe, 0x44), true},
        {"the signature far into the file", image(0x1000, pe, 0x1004), true},
        {"a sign-in page", "<!DOCTYPE html>\n<html><head><title>Sign in</title></head></html>\n", false},
        {"an empty file", "", false},
        {"\"MZ\" alone", "MZ", false},
        {"a DOS header cut short of its e_lfanew", image(0x40, pe, 0x3E), false},
        {"e_lfanew past the end", image(0x80, pe, 0x44), false},
        {"the signature cut short", image(0x40, pe, 0x42), false},
        {"another signature there", image(0x40, std::string("NE\0\0", 4), 0x44), false},
        {"a negative e_lfanew", image(0x80000040u, pe, 0x44), false},
        {"the bytes swapped", "ZM" + image(0x40, pe, 0x44).substr(2), false},
    };
    kvtest::ScratchDir dir(L"image");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring path = dir / L"program.exe";
        ASSERT_TRUE(kvtest::WriteBytes(path, c.bytes));
        {
            const kv::UniqueFile file = HoldProgramFile(path);
            ASSERT_TRUE(file);
            EXPECT_EQ(IsProgramImage(file.get()), c.program);
        }
        ::DeleteFileW(path.c_str());
    }
}

TEST(ProgramImage, AFileThatIsNoProgramIsRemovedBeforeItsSignatureIsChecked) {
    kvtest::ScratchDir dir(L"noprogram");
    const std::wstring path = dir / L"KVUpdate.exe";
    ASSERT_TRUE(kvtest::WriteBytes(path, "<html><body>Sign in</body></html>\n"));
    int verifyCalls = 0;
    InstallPlatform platform = RealInstallPlatform();
    const auto real = platform.verifyTrust;
    platform.verifyTrust = [&verifyCalls, real](HWND window, GUID* action, WINTRUST_DATA* data) {
        ++verifyCalls;
        return real(window, action, data);
    };
    kvtest::ScopedPlatform scoped(platform);
    kv::UniqueFile held;
    bool cleared = true;
    const auto log = CaptureTrace([&] {
        FuncTrace trace("kvtest::Image");
        cleared = ClearProgramToStart(trace, path, kName, std::vector<Thumbprint>{}, held);
    });
    EXPECT_FALSE(cleared);
    EXPECT_FALSE(held);
    EXPECT_EQ(verifyCalls, 0);
    EXPECT_EQ(::GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << "the file is removed";
    EXPECT_EQ(log, (std::vector<std::string>{"> kvtest::Image",
                                             "KVUpdate.exe not a program (no PE image), removed, not started___",
                                             "< kvtest::Image"}));
}

}  // namespace
