#include "Registry.h"

#include <windows.h>

#include "Handles.h"
#include "WinApp.h"

namespace {

// The read buffer: a value whose data is longer cannot be read.
constexpr DWORD kReadBufferBytes = 80;

}  // namespace

std::vector<unsigned char> RegStringBytes(const CString& text) {
    std::vector<unsigned char> bytes;
    bytes.reserve(2 * (text.size() + 1));
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

CString RegStringFromBytes(const unsigned char* data, std::size_t size) {
    CString text;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0) break;
        text += unit;
    }
    return text;
}

CString ReadRegString(const CString& keyPath, const CString& valueName) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.GetString(), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
        AfxMessageBox(L"获取HKEY失败", MB_OK);
        return CString();
    }
    const ScopedKey key(opened);

    unsigned char buffer[kReadBufferBytes] = {};
    DWORD size = kReadBufferBytes;
    DWORD type = REG_SZ;
    if (::RegQueryValueExW(key.get(), valueName.GetString(), nullptr, &type, buffer, &size) != ERROR_SUCCESS) {
        AfxMessageBox(L"获取注册表信息失败", MB_OK);
        return CString();
    }
    // Any type is read as text; the query reports how many bytes it wrote.
    return RegStringFromBytes(buffer, size < kReadBufferBytes ? size : kReadBufferBytes);
}

void WriteRegString(const CString& keyPath, const CString& valueName, const CString& data) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.GetString(), 0, KEY_WRITE, &opened) != ERROR_SUCCESS) {
        AfxMessageBox(L"获取HKEY失败", MB_OK);
        return;
    }
    const ScopedKey key(opened);

    const std::vector<unsigned char> bytes = RegStringBytes(data);
    if (::RegSetValueExW(key.get(), valueName.GetString(), 0, REG_SZ, bytes.data(), static_cast<DWORD>(bytes.size())) !=
        ERROR_SUCCESS) {
        AfxMessageBox(L"设置注册表信息失败", MB_OK);
    }
}

namespace {

bool QueryValue(const CString& keyPath, const CString& valueName, DWORD type, void* data, DWORD& size) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.GetString(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
        return false;
    const ScopedKey key(opened);
    DWORD stored = 0;
    return ::RegQueryValueExW(key.get(), valueName.GetString(), nullptr, &stored, static_cast<BYTE*>(data), &size) ==
               ERROR_SUCCESS &&
           stored == type;
}

}  // namespace

bool ReadRegDword(const CString& keyPath, const CString& valueName, DWORD& value) {
    DWORD size = sizeof(value);
    return QueryValue(keyPath, valueName, REG_DWORD, &value, size) && size == sizeof(value);
}

bool ReadRegQword(const CString& keyPath, const CString& valueName, unsigned long long& value) {
    DWORD size = sizeof(value);
    return QueryValue(keyPath, valueName, REG_QWORD, &value, size) && size == sizeof(value);
}

bool ReadRegText(const CString& keyPath, const CString& valueName, CString& value) {
    unsigned char buffer[4096] = {};
    DWORD size = sizeof(buffer);
    if (!QueryValue(keyPath, valueName, REG_SZ, buffer, size)) return false;
    value = RegStringFromBytes(buffer, size);
    return true;
}

bool WriteRegQword(const CString& keyPath, const CString& valueName, unsigned long long value) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.GetString(), 0, KEY_SET_VALUE, &opened) != ERROR_SUCCESS)
        return false;
    const ScopedKey key(opened);
    return ::RegSetValueExW(key.get(), valueName.GetString(), 0, REG_QWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof(value)) == ERROR_SUCCESS;
}
