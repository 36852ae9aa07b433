// One DWORD value of the registry, named by a single key string whose last component is the
// value's name, with the value cached between reads and writes. Registry failures are silent:
// a read that fails gives the default, a write that fails leaves the registry as it was.
#pragma once

#include <windows.h>

#include <string>

#include "framework/handle.h"

// The three per-site values, each set to 1 under the current user's key named after the
// server address; the "%s" stands for UpdateURL.
extern const wchar_t kPerSiteLanguageKey[];         // "Software\KestrelVAULT\%s\LANGUAGE"
extern const wchar_t kPerSiteDesktopShortcutKey[];  // "Software\KestrelVAULT\%s\Update\DontQuestionDesktopShortcut"
extern const wchar_t kPerSiteProductKey[];          // "Software\KestrelVAULT\%s\PRODUCT"

// Splits a full key string: leading backslashes dropped; the key path is what stands before
// the last backslash (empty without one) less its trailing backslashes, the value name what
// follows it.
void SplitRegistryKeyString(const std::wstring& fullKey, std::wstring& keyPath, std::wstring& valueName);

class RegDwordValue {
public:
    // Splits fullKey and reads the current data (see read()).
    RegDwordValue(const std::wstring& fullKey, DWORD defaultValue, bool force, HKEY hive);
    RegDwordValue(const RegDwordValue&) = delete;
    RegDwordValue& operator=(const RegDwordValue&) = delete;

    // The value's data (4 bytes, whatever its type) once the key opens for reading and the
    // value is there; otherwise the default, with the cached value left as it was.
    DWORD read();
    // Writes data unless it equals the cached value and force is off.
    RegDwordValue& operator=(DWORD data);
    // Creates the key path with every missing level and sets the value as REG_DWORD.
    void write();

    const std::wstring& keyPath() const { return m_keyPath; }
    const std::wstring& valueName() const { return m_valueName; }
    DWORD value() const { return m_value; }
    // Set once a read or a write has succeeded.
    bool wasRead() const { return m_read; }

private:
    HKEY m_hive;
    kv::UniqueRegKey m_key;  // open only during a read or a write
    std::wstring m_valueName;
    std::wstring m_keyPath;
    DWORD m_value = 0;
    DWORD m_default;
    bool m_read = false;
    bool m_force;
};

// Sets one per-site value (a key string above, filled with updateURL) to REG_DWORD 1: read,
// assign 1, and write once more whatever the assignment did, so the value ends as REG_DWORD 1
// whatever type or data it had. Nothing is reported.
void SetPerSiteValue(const wchar_t* keyFormat, const std::wstring& updateURL);
