// The per-site registry values: how a full key string splits, and what the current user's
// registry holds after a value is set, whatever it held before.

#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <string>

#include "install/RegDwordValue.h"
#include "install_support.h"

namespace {

using kvtest::Narrow;

TEST(SplitRegistryKeyString, Table) {
    struct Case {
        const wchar_t* full;
        const wchar_t* keyPath;
        const wchar_t* valueName;
    } const cases[] = {
        {L"Software\\KestrelVAULT\\kv.example\\LANGUAGE", L"Software\\KestrelVAULT\\kv.example", L"LANGUAGE"},
        {L"Software\\KestrelVAULT\\kv.example\\Update\\DontQuestionDesktopShortcut",
         L"Software\\KestrelVAULT\\kv.example\\Update", L"DontQuestionDesktopShortcut"},
        // Slashes and colons are characters of a key name like any other.
        {L"Software\\KestrelVAULT\\127.0.0.1:8080/site\\PRODUCT", L"Software\\KestrelVAULT\\127.0.0.1:8080/site",
         L"PRODUCT"},
        {L"\\\\Software\\X\\V", L"Software\\X", L"V"},    // leading backslashes go
        {L"Software\\X\\\\\\V", L"Software\\X", L"V"},   // the key path loses its trailing ones
        {L"Software\\X\\", L"Software\\X", L""},         // a final backslash leaves no name
        {L"V", L"", L"V"},                               // no backslash: no key path
        {L"\\V", L"", L"V"},
        {L"", L"", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.full));
        std::wstring keyPath = L"?", valueName = L"?";
        SplitRegistryKeyString(c.full, keyPath, valueName);
        EXPECT_EQ(Narrow(keyPath), Narrow(c.keyPath));
        EXPECT_EQ(Narrow(valueName), Narrow(c.valueName));
    }
}

// A key of this test's own under Software\KestrelVAULT, removed with everything below it.
class SiteKey {
public:
    explicit SiteKey(const std::wstring& updateURL) : m_url(updateURL), m_path(L"Software\\KestrelVAULT\\" + updateURL) {
        Remove();
    }
    ~SiteKey() { Remove(); }
    const std::wstring& Url() const { return m_url; }
    const std::wstring& Path() const { return m_path; }

    // "absent", "REG_DWORD n" or "type t" for a value at subkey (relative to the site key).
    std::string Value(const wchar_t* subkey, const wchar_t* name) const {
        const std::wstring key = subkey ? m_path + L"\\" + subkey : m_path;
        DWORD type = 0, data = 0, size = sizeof(data);
        if (::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_ANY, &type, nullptr, nullptr) != ERROR_SUCCESS)
            return "absent";
        if (type != REG_DWORD) return "type " + std::to_string(type);
        ::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &data, &size);
        return "REG_DWORD " + std::to_string(data);
    }

    void Set(const wchar_t* name, DWORD type, const void* data, DWORD size) const {
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
        ::RegCloseKey(key);
    }

private:
    void Remove() const {
        // The first level below Software\KestrelVAULT: a URL with a backslash made more levels.
        const std::wstring first = L"Software\\KestrelVAULT\\" + m_url.substr(0, m_url.find(L'\\'));
        ::RegDeleteTreeW(HKEY_CURRENT_USER, first.c_str());
        ::RegDeleteKeyW(HKEY_CURRENT_USER, first.c_str());
    }
    std::wstring m_url;
    std::wstring m_path;
};

std::wstring TestHost(const wchar_t* tag) {
    return L"kvunit-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + tag + L".test";
}

TEST(SetPerSiteValue, EveryRowEndsAsDword1WhateverWasThere) {
    const wchar_t text[] = L"1";
    const DWORD seven = 7;
    const BYTE eightBytes[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    struct Case {
        const char* what;
        DWORD type;  // 0: nothing there before
        const void* data;
        DWORD size;
    } const cases[] = {
        {"nothing there, no key", 0, nullptr, 0},
        {"REG_SZ \"1\"", REG_SZ, text, sizeof(text)},
        {"REG_DWORD 7", REG_DWORD, &seven, sizeof(seven)},
        {"REG_BINARY of eight bytes", REG_BINARY, eightBytes, sizeof(eightBytes)},
    };
    struct Row {
        const wchar_t* format;
        const wchar_t* subkey;
        const wchar_t* name;
    } const rows[] = {
        {kPerSiteLanguageKey, nullptr, L"LANGUAGE"},
        {kPerSiteDesktopShortcutKey, L"Update", L"DontQuestionDesktopShortcut"},
        {kPerSiteProductKey, nullptr, L"PRODUCT"},
    };
    for (const Row& row : rows) {
        for (const Case& c : cases) {
            SCOPED_TRACE(Narrow(row.name) + ": " + c.what);
            SiteKey site(TestHost(L"rows"));
            if (c.type) {
                const std::wstring keyPath = row.subkey ? site.Path() + L"\\" + row.subkey : site.Path();
                HKEY key = nullptr;
                ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                            nullptr),
                          ERROR_SUCCESS);
                ::RegSetValueExW(key, row.name, 0, c.type, static_cast<const BYTE*>(c.data), c.size);
                ::RegCloseKey(key);
            }
            SetPerSiteValue(row.format, site.Url());
            EXPECT_EQ(site.Value(row.subkey, row.name), "REG_DWORD 1");
        }
    }
}

TEST(SetPerSiteValue, KeyNamesFromTheUpdateURL) {
    // Slash and colon stay inside one key name; a backslash makes further levels.
    const std::wstring host = TestHost(L"names");
    SiteKey plain(host + L":8080/sub/dir");
    SetPerSiteValue(kPerSiteLanguageKey, plain.Url());
    EXPECT_EQ(plain.Value(nullptr, L"LANGUAGE"), "REG_DWORD 1");

    std::set<std::wstring> names;
    HKEY root = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\KestrelVAULT", 0, KEY_READ, &root), ERROR_SUCCESS);
    wchar_t name[256];
    for (DWORD i = 0, n = 256; ::RegEnumKeyExW(root, i, name, &n, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, n = 256)
        names.insert(name);
    ::RegCloseKey(root);
    EXPECT_EQ(names.count(host + L":8080/sub/dir"), 1u);
    EXPECT_EQ(names.count(host + L":8080"), 0u);

    SiteKey nested(host + L"\\deeper");
    SetPerSiteValue(kPerSiteProductKey, nested.Url());
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, (L"Software\\KestrelVAULT\\" + host).c_str(), 0, KEY_READ, &key),
              ERROR_SUCCESS);
    DWORD data = 0, size = sizeof(data);
    EXPECT_EQ(::RegGetValueW(key, L"deeper", L"PRODUCT", RRF_RT_REG_DWORD, nullptr, &data, &size), ERROR_SUCCESS);
    EXPECT_EQ(data, 1u);
    ::RegCloseKey(key);
}

TEST(SetPerSiteValue, TwoServersLeaveTwoSiblingKeys) {
    SiteKey first(TestHost(L"first")), second(TestHost(L"second"));
    for (const SiteKey* site : {&first, &second}) {
        SetPerSiteValue(kPerSiteLanguageKey, site->Url());
        SetPerSiteValue(kPerSiteDesktopShortcutKey, site->Url());
        SetPerSiteValue(kPerSiteProductKey, site->Url());
    }
    for (const SiteKey* site : {&first, &second}) {
        EXPECT_EQ(site->Value(nullptr, L"LANGUAGE"), "REG_DWORD 1");
        EXPECT_EQ(site->Value(L"Update", L"DontQuestionDesktopShortcut"), "REG_DWORD 1");
        EXPECT_EQ(site->Value(nullptr, L"PRODUCT"), "REG_DWORD 1");
    }
}

TEST(RegDwordValue, ReadAssignAndWrite) {
    SiteKey site(TestHost(L"class"));
    const std::wstring full = site.Path() + L"\\Count";

    // Nothing there: the default, nothing cached, not marked read.
    RegDwordValue missing(full, 42, false, HKEY_CURRENT_USER);
    EXPECT_EQ(missing.read(), 42u);
    EXPECT_EQ(missing.value(), 0u);
    EXPECT_FALSE(missing.wasRead());
    // Assigning the cached value writes nothing; another value writes.
    missing = 0;
    EXPECT_EQ(site.Value(nullptr, L"Count"), "absent");
    missing = 5;
    EXPECT_EQ(site.Value(nullptr, L"Count"), "REG_DWORD 5");
    EXPECT_TRUE(missing.wasRead());

    RegDwordValue present(full, 42, false, HKEY_CURRENT_USER);
    EXPECT_EQ(present.value(), 5u);
    EXPECT_TRUE(present.wasRead());
    // Removed behind its back: the same value is not written again, unless forced.
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, site.Path().c_str(), L"Count");
    present = 5;
    EXPECT_EQ(site.Value(nullptr, L"Count"), "absent");
    EXPECT_EQ(present.read(), 42u) << "a failed read gives the default";
    EXPECT_EQ(present.value(), 5u) << "and keeps what was cached";
    RegDwordValue forced(full, 0, true, HKEY_CURRENT_USER);
    forced = 0;
    EXPECT_EQ(site.Value(nullptr, L"Count"), "REG_DWORD 0");

    // A string too long for four bytes does not read; a short one gives its first four bytes.
    const wchar_t longText[] = L"longer text";
    site.Set(L"Count", REG_SZ, longText, sizeof(longText));
    EXPECT_EQ(RegDwordValue(full, 9, false, HKEY_CURRENT_USER).read(), 9u);
    const wchar_t shortText[] = L"1";
    site.Set(L"Count", REG_SZ, shortText, sizeof(shortText));
    EXPECT_EQ(RegDwordValue(full, 9, false, HKEY_CURRENT_USER).read(), static_cast<DWORD>(L'1'));
}

}  // namespace
