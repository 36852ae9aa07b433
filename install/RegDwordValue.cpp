#include "install/RegDwordValue.h"

const wchar_t kPerSiteLanguageKey[] = L"Software\\KestrelVAULT\\%s\\LANGUAGE";
const wchar_t kPerSiteDesktopShortcutKey[] = L"Software\\KestrelVAULT\\%s\\Update\\DontQuestionDesktopShortcut";
const wchar_t kPerSiteProductKey[] = L"Software\\KestrelVAULT\\%s\\PRODUCT";

namespace {

std::wstring TrimBackslashes(const std::wstring& s, bool leading, bool trailing) {
    size_t start = 0;
    size_t end = s.size();
    if (leading)
        while (start < end && s[start] == L'\\') ++start;
    if (trailing)
        while (end > start && s[end - 1] == L'\\') --end;
    return s.substr(start, end - start);
}

}  // namespace

void SplitRegistryKeyString(const std::wstring& fullKey, std::wstring& keyPath, std::wstring& valueName) {
    const std::wstring key = TrimBackslashes(fullKey, true, false);
    const size_t last = key.rfind(L'\\');
    if (last == std::wstring::npos) {
        keyPath.clear();
        valueName = TrimBackslashes(key, true, true);
        return;
    }
    keyPath = TrimBackslashes(key.substr(0, last), false, true);
    valueName = TrimBackslashes(key.substr(last), true, true);
}

RegDwordValue::RegDwordValue(const std::wstring& fullKey, DWORD defaultValue, bool force, HKEY hive)
    : m_hive(hive), m_default(defaultValue), m_force(force) {
    SplitRegistryKeyString(fullKey, m_keyPath, m_valueName);
    read();
}

DWORD RegDwordValue::read() {
    if (::RegOpenKeyExW(m_hive, m_keyPath.c_str(), 0, KEY_READ, m_key.put()) != ERROR_SUCCESS) {
        m_key.release();
        return m_default;
    }
    // Whatever the value's type: four bytes of it, or a failure when it holds more.
    DWORD data = m_value;
    DWORD size = sizeof(data);
    const LONG status = ::RegQueryValueExW(m_key.get(), m_valueName.c_str(), nullptr, nullptr,
                                           reinterpret_cast<BYTE*>(&data), &size);
    m_key.reset();
    if (status != ERROR_SUCCESS) return m_default;
    m_value = data;
    m_read = true;
    return m_value;
}

RegDwordValue& RegDwordValue::operator=(DWORD data) {
    if (data == m_value && !m_force) return *this;
    m_value = data;
    write();
    return *this;
}

void RegDwordValue::write() {
    DWORD disposition = 0;
    if (::RegCreateKeyExW(m_hive, m_keyPath.c_str(), 0, const_cast<wchar_t*>(L""), REG_OPTION_NON_VOLATILE,
                          KEY_WRITE, nullptr, m_key.put(), &disposition) != ERROR_SUCCESS) {
        m_key.release();
        return;
    }
    if (::RegSetValueExW(m_key.get(), m_valueName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&m_value),
                         sizeof(m_value)) == ERROR_SUCCESS)
        m_read = true;
    m_key.reset();
}

void SetPerSiteValue(const wchar_t* keyFormat, const std::wstring& updateURL) {
    std::wstring key(keyFormat);
    const size_t slot = key.find(L"%s");
    if (slot != std::wstring::npos) key.replace(slot, 2, updateURL);
    RegDwordValue value(key, 0, false, HKEY_CURRENT_USER);
    value = 1;
    value.write();
}
