// One value under the setup's policy key, as it stood before a test, put back afterwards: the
// prefix's registry is shared with the other tests.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

namespace kvtest {

class SavedPolicyValue {
public:
    explicit SavedPolicyValue(const wchar_t* name) : m_name(name) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
            DWORD size = 0;
            if (RegQueryValueExW(key, m_name, nullptr, &m_type, nullptr, &size) == ERROR_SUCCESS) {
                m_saved.resize(size);
                m_had = RegQueryValueExW(key, m_name, nullptr, &m_type, m_saved.data(), &size) == ERROR_SUCCESS;
            }
            RegCloseKey(key);
        }
    }
    ~SavedPolicyValue() {
        if (m_had)
            Set(m_type, m_saved.data(), static_cast<DWORD>(m_saved.size()));
        else
            Remove();
    }
    SavedPolicyValue(const SavedPolicyValue&) = delete;
    SavedPolicyValue& operator=(const SavedPolicyValue&) = delete;

    void Set(DWORD type, const void* data, DWORD size) const {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key, m_name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void Remove() const {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return;
        RegDeleteValueW(key, m_name);
        RegCloseKey(key);
    }

private:
    static constexpr const wchar_t* kKey = L"SOFTWARE\\Policies\\KestrelVAULT\\Setup";
    const wchar_t* m_name;
    bool m_had = false;
    DWORD m_type = 0;
    std::vector<BYTE> m_saved;
};

}  // namespace kvtest
