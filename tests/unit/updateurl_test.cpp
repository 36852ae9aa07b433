// The three sources of the preset access address: the command-line cleaning as a table, the
// precedence through fake readers, the INI reader on real files and the embedded slot in this
// executable's own image (the test program links the same slot as the setup program); and the
// publisher pin slot beside it, which kvstamp fills the same way.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/ModuleInfo.h"
#include "app/UpdateURL.h"
#include "install/EmbeddedSlot.h"
#include "install/PublisherPins.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Command line

const wchar_t kPath[] = L"C:\\Program Files (x86)\\KV\\KestrelVault_Setup.exe";
const wchar_t kName[] = L"KestrelVault_Setup.exe";

struct CommandLineCase {
    const wchar_t* commandLine;
    const wchar_t* expected;
    const char* why;
};

const CommandLineCase kCommandLineCases[] = {
    {L"\"C:\\Program Files (x86)\\KV\\KestrelVault_Setup.exe\" kv.example.com", L"kv.example.com",
     "quoted path, blank, bare host"},
    {L"\"C:\\Program Files (x86)\\KV\\KestrelVault_Setup.exe\"", L"", "quoted path alone: both quotes go"},
    {L"\"C:\\Program Files (x86)\\KV\\KestrelVault_Setup.exe\" ", L"", "quoted path and a trailing blank"},
    {L"\"C:\\Program Files (x86)\\KV\\KestrelVault_Setup.exe\" \"kv.example.com\"", L"\"kv.example.com",
     "quoted argument keeps its opening quote: the blank stops the leading run"},
    {L"\"C:\\Program Files (x86)\\KV\\KestrelVault_Setup.exe\" kv.example.com  8080\tx", L"kv.example.com  8080\tx",
     "several arguments stay one text, inner blanks included"},
    {L"\"C:\\Program Files (x86)\\KV\\KestrelVault_Setup.exe\" kv.example.com/KestrelVault_Setup.exe/app",
     L"kv.example.com//app", "the file name goes inside the argument too"},
    {L"KestrelVault_Setup.exe kv.example.com", L"kv.example.com", "started by its bare file name"},
    {L"C:\\Program Files (x86)\\KV\\KestrelVault_Setup.exe kv.example.com", L"kv.example.com", "unquoted full path"},
    {L"\"C:\\Program Files (x86)\\KV\\kestrelvault_setup.EXE\" kv.example.com", L"kv.example.com",
     "program part in other letter case goes by its position"},
    // The first argument goes by the runtime's rule, whatever it says.
    {L"KestrelVault_Setup kv.example.com", L"kv.example.com", "bare name without extension"},
    {L".\\KestrelVault_Setup.exe kv.example.com", L"kv.example.com", "relative path"},
    {L"KESTRELVAULT_SETUP.EXE kv.example.com", L"kv.example.com", "name in other letter case"},
    {L"\"kestrelvault_setup\" kv.example.com", L"kv.example.com", "quoted name without extension"},
    {L"\"..\\KV\\KestrelVault_Setup.exe\"kv.example.com", L"kv.example.com", "no blank after the closing quote"},
    {L"KestrelVault_Setup\tkv.example.com", L"kv.example.com", "a tab ends the program part"},
    {L"KestrelVault_Setup\nkv.example.com", L"", "a line feed does not: all of it is the program part"},
    {L"\"C:\\KV\\KestrelVault_Setup.exe kv.example.com", L"", "a quote never closed: all of it is the program part"},
    {L" kv.example.com", L"kv.example.com", "a leading blank: the program part is empty"},
    {L"c:\\program files (x86)\\kv\\KESTRELVAULT_SETUP.exe kv.example.com", L"kv.example.com",
     "the module's own path unquoted, blanks inside and other letter case, goes whole"},
    {L"C:\\Program Files (x86)\\KV\\KestrelVault_Setup.exex kv.example.com",
     L"Files (x86)\\KV\\x kv.example.com", "not the module's path: the rule cuts at the first blank"},
    {L"setup.exe KestrelVault_Setup.exe kv.example.com", L"kv.example.com",
     "the rest is cleaned as before: the file name goes there too"},
    {L"\"C:\\Program Files (x86)\\KV\\KestrelVault_Setup.exe\" http://kv.example.com:8080/app",
     L"http://kv.example.com:8080/app", "a scheme is kept as it is"},
    {L"\"C:\\Program Files (x86)\\KV\\KestrelVault_Setup.exe\" C:\\Program Files (x86)\\KV\\KestrelVault_Setup.exe",
     L"", "every occurrence of the path goes"},
    {L"\"C:\\Program Files (x86)\\KV\\KestrelVault_Setup.exe\"\t kv.example.com \r\n\v\f", L"kv.example.com",
     "all iswspace characters are trimmed at both ends"},
    {L"\"C:\\Program Files (x86)\\KV\\KestrelVault_Setup.exe\" \"\"kv\"\"", L"\"\"kv",
     "only the quotes at the two ends go, as runs"},
    {L"", L"", "empty command line"},
};

TEST(CleanCommandLineURL, Cases) {
    for (const CommandLineCase& c : kCommandLineCases) {
        EXPECT_EQ(CleanCommandLineURL(c.commandLine, kPath, kName), c.expected) << c.why;
    }
}

// ---------------------------------------------------------------------------------------------
// Precedence, through fake readers that count how often they were asked

struct FakeSources {
    std::wstring commandLine = std::wstring(L"\"") + kPath + L"\"";
    std::wstring slot;
    std::wstring ini;
    int slotReads = 0;
    int iniReads = 0;
    std::wstring iniPathAsked;

    UpdateURLSources Make() {
        UpdateURLSources s;
        s.commandLine = [this] { return commandLine; };
        s.modulePath = [] { return std::wstring(kPath); };
        s.moduleName = [] { return std::wstring(kName); };
        s.moduleDirectory = [] { return std::wstring(L"C:\\Program Files (x86)\\KV"); };
        s.slot = [this] {
            ++slotReads;
            return slot;
        };
        s.iniFile = [this](const std::wstring& path) {
            ++iniReads;
            iniPathAsked = path;
            return ini;
        };
        return s;
    }
};

// The text, with autoMode set the way start-up sets the application's flag from the source.
std::wstring ResolveWithAutoMode(const UpdateURLSources& sources, int& autoMode) {
    const ResolvedUpdateURL resolved = ResolveUpdateURL(sources);
    if (resolved.source == UpdateURLSource::EmbeddedSlot) autoMode = 1;
    return resolved.url;
}

struct PrecedenceCase {
    const wchar_t* argument;  // after the quoted program path; empty for none
    const wchar_t* slot;
    const wchar_t* ini;
    const wchar_t* expected;
    int autoMode;
    int slotReads;
    int iniReads;
    const char* why;
};

const PrecedenceCase kPrecedenceCases[] = {
    {L"cmd.example.com", L"slot.example.com", L"ini.example.com", L"cmd.example.com", 0, 0, 0,
     "command line wins; slot and INI are not read"},
    {L"", L"slot.example.com", L"ini.example.com", L"slot.example.com", 1, 1, 0,
     "slot wins over the INI, which is not opened, and sets AutoMode"},
    {L"", L"", L"ini.example.com", L"ini.example.com", 0, 1, 1, "INI last, without AutoMode"},
    {L"", L"", L"  ini.example.com ", L"  ini.example.com ", 0, 1, 1, "the INI text is not trimmed"},
    {L"", L"", L"", L"", 0, 1, 1, "all empty: empty URL, no AutoMode"},
    {L"   ", L"", L"ini.example.com", L"ini.example.com", 0, 1, 1, "blanks only on the command line count as empty"},
};

TEST(ResolveUpdateURL, PrecedenceAndAutoMode) {
    for (const PrecedenceCase& c : kPrecedenceCases) {
        FakeSources fake;
        if (*c.argument) fake.commandLine += std::wstring(L" ") + c.argument;
        fake.slot = c.slot;
        fake.ini = c.ini;
        int autoMode = 0;
        EXPECT_EQ(ResolveWithAutoMode(fake.Make(), autoMode), c.expected) << c.why;
        EXPECT_EQ(autoMode, c.autoMode) << c.why;
        EXPECT_EQ(fake.slotReads, c.slotReads) << c.why;
        EXPECT_EQ(fake.iniReads, c.iniReads) << c.why;
    }
}

TEST(ResolveUpdateURL, NamesTheSourceThatGaveTheText) {
    struct Case {
        const wchar_t* argument;
        const wchar_t* slot;
        const wchar_t* ini;
        UpdateURLSource source;
    } const cases[] = {
        {L"cmd.example.com", L"slot.example.com", L"ini.example.com", UpdateURLSource::CommandLine},
        {L"", L"slot.example.com", L"ini.example.com", UpdateURLSource::EmbeddedSlot},
        {L"", L"", L"ini.example.com", UpdateURLSource::IniFile},
        {L"", L"", L"", UpdateURLSource::None},
    };
    for (const Case& c : cases) {
        FakeSources fake;
        if (*c.argument) fake.commandLine += std::wstring(L" ") + c.argument;
        fake.slot = c.slot;
        fake.ini = c.ini;
        EXPECT_EQ(static_cast<int>(ResolveUpdateURL(fake.Make()).source), static_cast<int>(c.source));
    }
}

TEST(ResolveUpdateURL, IniBesideTheExecutable) {
    FakeSources fake;
    fake.ini = L"ini.example.com";
    int autoMode = 0;
    ResolveWithAutoMode(fake.Make(), autoMode);
    EXPECT_EQ(fake.iniPathAsked, L"C:\\Program Files (x86)\\KV\\KestrelVault_Setup.ini");
}

// ---------------------------------------------------------------------------------------------
// The slot's text through the thread's ANSI code page

UINT ThreadCodePage() {
    wchar_t buf[8] = {};
    ::GetLocaleInfoW(::GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, buf, 8);
    return static_cast<UINT>(_wtoi(buf));
}

TEST(ThroughThreadCodePage, KeepsWhatTheCodePageHolds) {
    EXPECT_EQ(ThroughThreadCodePage(L"kv.example.com:8080/app"), L"kv.example.com:8080/app");
    EXPECT_EQ(ThroughThreadCodePage(L""), L"");
    // Tamil is in no ANSI code page: it comes back as the code page's default character.
    const std::wstring back = ThroughThreadCodePage(L"kv\x0B95.com");
    EXPECT_EQ(back.find(L'\x0B95'), std::wstring::npos);
    EXPECT_EQ(back, L"kv?.com");
    if (ThreadCodePage() == 949) {
        EXPECT_EQ(ThroughThreadCodePage(L"\xD55C\xAD6D.kr"), L"\xD55C\xAD6D.kr") << "Hangul survives code page 949";
    }
}

TEST(ResolveUpdateURL, SlotTextGoesThroughTheCodePage) {
    FakeSources fake;
    fake.slot = L"kv\x0B95.com";
    int autoMode = 0;
    EXPECT_EQ(ResolveWithAutoMode(fake.Make(), autoMode), L"kv?.com");
    EXPECT_EQ(autoMode, 1);
}

// ---------------------------------------------------------------------------------------------
// The INI file, read for real

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        wchar_t name[MAX_PATH];
        ::GetTempFileNameW(temp, L"kvi", 0, name);
        path_ = name;
    }
    void TearDown() override { ::DeleteFileW(path_.c_str()); }

    void WriteIni(const std::string& content) {
        std::ofstream out(path_.c_str(), std::ios::binary | std::ios::trunc);
        out << content;
    }

    std::wstring path_;
};

TEST_F(IniFileTest, ReadsUrlOfSectionUpdateurl) {
    struct Case {
        std::string content;
        std::wstring expected;
        const char* why;
    } cases[] = {
        {"[updateurl]\r\nurl=kv.example.com:8080\r\n", L"kv.example.com:8080", "section and key present"},
        {"[other]\r\nurl=kv.example.com\r\n", L"", "section missing"},
        {"[updateurl]\r\nhost=kv.example.com\r\n", L"", "key missing"},
        {"[updateurl]\r\nurl=" + std::string(300, 'a') + "\r\n", std::wstring(259, L'a'), "cut at 259 characters"},
        {"[updateurl]\r\nurl=" + std::string(259, 'b') + "\r\n", std::wstring(259, L'b'), "259 characters fit"},
    };
    for (const Case& c : cases) {
        WriteIni(c.content);
        EXPECT_EQ(ReadIniURL(path_), c.expected) << c.why;
    }
    ::DeleteFileW(path_.c_str());
    EXPECT_EQ(ReadIniURL(path_), L"") << "file missing";
}

// ---------------------------------------------------------------------------------------------
// The embedded slot of this executable

// Puts text (NUL-terminated) at the start of the slot in memory, as kvstamp does in the file,
// and gives the slot back as it was when it ends.
class SlotStamp {
public:
    explicit SlotStamp(const std::wstring& text, bool terminate = true) {
        volatile wchar_t* slot = EmbeddedSlotForTesting();
        for (size_t i = 0; i < kEmbeddedSlotUnits; ++i) saved_[i] = slot[i];
        for (size_t i = 0; i < text.size(); ++i) slot[i] = text[i];
        if (terminate) slot[text.size()] = L'\0';
    }
    ~SlotStamp() {
        volatile wchar_t* slot = EmbeddedSlotForTesting();
        for (size_t i = 0; i < kEmbeddedSlotUnits; ++i) slot[i] = saved_[i];
    }

private:
    wchar_t saved_[kEmbeddedSlotUnits];
};

// The slot's units compared with a narrow text, so that this test carries no wide copy of the
// markers that a search of the file could mistake for a second slot.
bool UnitsEqual(const volatile wchar_t* units, const char* text) {
    for (size_t i = 0; text[i]; ++i)
        if (units[i] != static_cast<wchar_t>(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

TEST(EmbeddedSlot, AsBuilt) {
    const volatile wchar_t* slot = EmbeddedSlotForTesting();
    EXPECT_EQ(slot[0], L'\0');
    EXPECT_TRUE(UnitsEqual(slot + 1, KV_SLOT_MARKER_TEXT));
    const size_t markerEnd = 1 + std::strlen(KV_SLOT_MARKER_TEXT);
    EXPECT_EQ(markerEnd, 87u);
    for (size_t i = markerEnd; i < kEmbeddedSlotUnits; ++i) ASSERT_EQ(slot[i], L'\0') << "code unit " << i;
    EXPECT_TRUE(UnitsEqual(slot + kEmbeddedSlotUnits, KV_SLOT_END_MARKER_TEXT)) << "end marker directly after";
    EXPECT_EQ(ReadEmbeddedSlot(), L"");
}

// That bytes (with the end marker behind them) lie in memory that may be written and, in the
// image file, within the raw data of a writable initialised data section: their values come
// from the file, where kvstamp changes them.
void ExpectInWritableInitialisedData(const volatile void* bytes, size_t size) {
    const BYTE* start = static_cast<const BYTE*>(const_cast<const void*>(bytes));
    MEMORY_BASIC_INFORMATION info = {};
    ASSERT_NE(::VirtualQuery(start, &info, sizeof(info)), 0u);
    EXPECT_TRUE(info.Protect == PAGE_READWRITE || info.Protect == PAGE_WRITECOPY) << std::hex << info.Protect;

    const auto* base = reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const DWORD rva = static_cast<DWORD>(start - base);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    const IMAGE_SECTION_HEADER* holder = nullptr;
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (rva >= section->VirtualAddress && rva + size <= section->VirtualAddress + section->SizeOfRawData)
            holder = section;
    }
    ASSERT_NE(holder, nullptr) << "slot not within the raw data of a section";
    EXPECT_NE(holder->Characteristics & IMAGE_SCN_MEM_WRITE, 0u);
    EXPECT_NE(holder->Characteristics & IMAGE_SCN_CNT_INITIALIZED_DATA, 0u);
}

TEST(EmbeddedSlot, SitsInWritableInitialisedDataOfTheImage) {
    ExpectInWritableInitialisedData(EmbeddedSlotForTesting(), 2 * kEmbeddedSlotUnits);
}

TEST(EmbeddedSlot, ReadsWhatAStampPutThere) {
    {
        SlotStamp stamp(L"kv.example.com:8080");
        EXPECT_EQ(ReadEmbeddedSlot(), L"kv.example.com:8080");
    }
    EXPECT_EQ(ReadEmbeddedSlot(), L"");
    {
        // A stamp without NUL is read to the slot's end, never into the end marker.
        SlotStamp stamp(std::wstring(kEmbeddedSlotUnits, L'x'), false);
        EXPECT_EQ(ReadEmbeddedSlot(), std::wstring(kEmbeddedSlotUnits, L'x'));
    }
}

// ---------------------------------------------------------------------------------------------
// The publisher pin slot of this executable

// Writes a count and thumbprints into the pin slot in memory, zeros behind them, as kvstamp
// does in the file, and gives the slot back as it was when it ends.
class PinSlotStamp {
public:
    PinSlotStamp(uint32_t count, const std::vector<Thumbprint>& pins) {
        volatile unsigned char* slot = PublisherPinSlotForTesting();
        for (size_t i = 0; i < kPinSlotBytes; ++i) saved_[i] = slot[i];
        for (size_t i = 0; i < kPinSlotBytes; ++i) slot[i] = 0;
        for (size_t i = 0; i < 4; ++i) slot[i] = static_cast<unsigned char>(count >> (8 * i));
        for (size_t p = 0; p < pins.size(); ++p)
            for (size_t k = 0; k < 32; ++k) slot[4 + 32 * p + k] = pins[p][k];
    }
    ~PinSlotStamp() {
        volatile unsigned char* slot = PublisherPinSlotForTesting();
        for (size_t i = 0; i < kPinSlotBytes; ++i) slot[i] = saved_[i];
    }

private:
    unsigned char saved_[kPinSlotBytes];
};

// A thumbprint whose every byte differs from every other pin's, so that a pin read from the
// wrong place or in the wrong order shows.
Thumbprint Pin(unsigned char seed) {
    Thumbprint t;
    for (size_t k = 0; k < t.size(); ++k) t[k] = static_cast<unsigned char>(seed * 37 + k);
    return t;
}

std::vector<Thumbprint> Pins(size_t n) {
    std::vector<Thumbprint> pins;
    for (size_t i = 0; i < n; ++i) pins.push_back(Pin(static_cast<unsigned char>(i + 1)));
    return pins;
}

TEST(PublisherPins, AsBuilt) {
    const volatile unsigned char* slot = PublisherPinSlotForTesting();
    for (size_t i = 0; i < kPinSlotBytes; ++i) ASSERT_EQ(slot[i], 0) << "byte " << i;
    const volatile wchar_t* end = reinterpret_cast<const volatile wchar_t*>(slot + kPinSlotBytes);
    EXPECT_TRUE(UnitsEqual(end, KV_PIN_SLOT_END_MARKER_TEXT)) << "end marker directly after";
    EXPECT_EQ(end[std::strlen(KV_PIN_SLOT_END_MARKER_TEXT)], L'\0') << "and its NUL";
    const auto pins = ReadPublisherPins();
    ASSERT_TRUE(pins.has_value());
    EXPECT_TRUE(pins->empty());
}

TEST(PublisherPins, SitInWritableInitialisedDataOfTheImage) {
    ExpectInWritableInitialisedData(PublisherPinSlotForTesting(), kPinSlotBytes);
}

TEST(PublisherPins, ReadsWhatAStampPutThere) {
    struct Case {
        uint32_t count;
        size_t written;  // thumbprints written behind the count
        bool readable;
        const char* why;
    } cases[] = {
        {0, 0, true, "none"},
        {1, 1, true, "one"},
        {2, 2, true, "two, in the order stamped"},
        {16, 16, true, "the slot full"},
        {2, 3, true, "only as many as the count says"},
        {17, 16, false, "count 17: more than the slot holds"},
        {0x01000002, 2, false, "a count whose low byte alone looks right"},
        {0xFFFFFFFF, 16, false, "count all ones"},
    };
    for (const Case& c : cases) {
        {
            PinSlotStamp stamp(c.count, Pins(c.written));
            const auto pins = ReadPublisherPins();
            ASSERT_EQ(pins.has_value(), c.readable) << c.why;
            if (c.readable) {
                EXPECT_EQ(*pins, Pins(c.count)) << c.why;
            }
        }
        const auto restored = ReadPublisherPins();
        ASSERT_TRUE(restored.has_value()) << c.why;
        EXPECT_TRUE(restored->empty()) << "slot given back after: " << c.why;
    }
}

TEST(ResolveUpdateURL, PlatformSourcesOfThisProcess) {
    // This test program's own command line carries test options, so it is replaced; path, name,
    // slot and INI reader are the real ones. The INI is looked for in an empty directory.
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring dir = std::wstring(temp) + L"kv_updateurl_noini";
    ::CreateDirectoryW(dir.c_str(), nullptr);

    UpdateURLSources sources = PlatformUpdateURLSources();
    std::wstring commandLine;
    sources.commandLine = [&] { return commandLine; };
    sources.moduleDirectory = [&] { return dir; };

    struct Case {
        std::wstring commandLine;
        const wchar_t* slot;  // null: the slot as built
        const wchar_t* expected;
        int autoMode;
        const char* why;
    } cases[] = {
        {L"\"" + GetModulePath() + L"\" cmd.example.com", nullptr, L"cmd.example.com", 0, "own path removed"},
        {L"\"" + GetModulePath() + L"\"", L"slot.example.com", L"slot.example.com", 1, "stamped slot"},
        {L"\"" + GetModulePath() + L"\" cmd.example.com", L"slot.example.com", L"cmd.example.com", 0,
         "command line over the stamped slot"},
        {GetModuleName() + L" cmd.example.com", nullptr, L"cmd.example.com", 0, "own name removed"},
        {L"\"" + GetModulePath() + L"\"", nullptr, L"", 0, "nothing anywhere"},
    };
    for (const Case& c : cases) {
        commandLine = c.commandLine;
        int autoMode = 0;
        std::wstring url;
        if (c.slot) {
            SlotStamp stamp(c.slot);
            url = ResolveWithAutoMode(sources, autoMode);
        } else {
            url = ResolveWithAutoMode(sources, autoMode);
        }
        EXPECT_EQ(url, c.expected) << c.why;
        EXPECT_EQ(autoMode, c.autoMode) << c.why;
    }
    ::RemoveDirectoryW(dir.c_str());
}

}  // namespace
