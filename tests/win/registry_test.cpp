// The installed-version registry routines against a scratch key under
// HKLM\SOFTWARE\Brenvik, created and removed by each test, with the message
// boxes recorded instead of shown.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "Registry.h"
#include "WinApp.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Boxes = std::vector<CString>;
const Boxes kNone, kNoKey{CString(u"获取HKEY失败")}, kNoValue{CString(u"获取注册表信息失败")};

// UTF-16 code units low byte first, with or without a zero unit.
Bytes Units(const std::u16string& text, bool terminator) {
    Bytes bytes;
    for (char16_t c : text)
        bytes.insert(bytes.end(), {static_cast<unsigned char>(c), static_cast<unsigned char>(c >> 8)});
    if (terminator) bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                   nullptr, &key, nullptr));
        ::RegCloseKey(key);
        m_hook = AfxSetMessageBoxHook([this](const MessageBoxRequest& box) {
            m_boxes.push_back(box.text);
            return IDOK;
        });
    }
    void TearDown() override {
        AfxSetMessageBoxHook(std::move(m_hook));
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_key.c_str());
    }

    // Stores exactly these bytes. Wine's RegSetValue stores an extra zero unit
    // when the unit just past string data is zero: a non-zero guard there.
    void StoreRaw(DWORD type, Bytes bytes) {
        const DWORD size = static_cast<DWORD>(bytes.size());
        bytes.insert(bytes.end(), {'X', 'X', 0, 0});
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, m_key.c_str(), L"version", type, bytes.data(), size));
    }
    // The key path as the program spells it, with a trailing backslash.
    CString Path(const wchar_t* below = L"") const { return CString((m_key + L"\\" + below).c_str()); }

    const std::wstring m_key = L"SOFTWARE\\Brenvik\\WinTestsScratch" + std::to_wstring(::GetCurrentProcessId());
    Boxes m_boxes;
    MessageBoxHook m_hook;
};

// A read takes the stored units up to the first zero unit or the end of the
// data, whatever the type; a value missing or longer than 80 bytes fails.
TEST_F(RegistryTest, ReadTakesTheStoredUnitsUpToAZeroUnitOrTheEnd) {
    struct Case {
        const char* name;
        DWORD type;
        Bytes stored;
        std::u16string text;
        const Boxes& boxes;
    };
    const std::u16string forty = u"1234567890.234567890.234567890.234567890";
    const Case cases[] = {
        {"no zero unit", REG_SZ, Units(u"1.2", false), u"1.2", kNone},
        {"odd trailing byte", REG_SZ, {'1', 0, '.', 0, '2', 0, '9'}, u"1.2", kNone},
        {"one byte", REG_SZ, {'5'}, u"", kNone},
        {"zero unit inside", REG_SZ, {'1', 0, 0, 0, '9', 0}, u"1", kNone},
        {"no data", REG_SZ, {}, u"", kNone},
        {"another type", REG_BINARY, Units(u"3.1", true), u"3.1", kNone},
        {"40 units in 80 bytes", REG_SZ, Units(forty, false), forty, kNone},
        {"40 units and a zero unit", REG_SZ, Units(forty, true), u"", kNoValue},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StoreRaw(c.type, c.stored);
        EXPECT_EQ(CString(c.text), ReadRegString(Path(), L"version"));
        EXPECT_EQ(c.boxes, std::exchange(m_boxes, {}));
    }
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, m_key.c_str(), L"version");
    EXPECT_EQ(CString(), ReadRegString(Path(), L"version"));
    EXPECT_EQ(kNoValue, m_boxes);
}

// Reading and writing alike open the key and never create it.
TEST_F(RegistryTest, AMissingKeyGivesItsMessageAndIsNotCreated) {
    EXPECT_EQ(CString(), ReadRegString(Path(L"Missing\\"), L"version"));
    WriteRegString(Path(L"Missing\\"), L"version", L"2.0");
    EXPECT_EQ((Boxes{kNoKey[0], kNoKey[0]}), m_boxes);
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Path(L"Missing").GetString(), 0, KEY_READ, &key));
}

}  // namespace
