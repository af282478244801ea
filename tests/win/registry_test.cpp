// The installed-version registry routines against a scratch key under
// HKLM\SOFTWARE\Brenvik, created and removed by each test.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MessageBoxRecorder.h"
#include "Registry.h"

namespace {

const wchar_t kCaption[] = L"Qelda升级程序";

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_name = L"WinTestsScratch" + std::to_wstring(::GetCurrentProcessId());
        m_subKey = L"SOFTWARE\\Brenvik\\" + m_name;
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_subKey.c_str(), 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, &key, nullptr));
        ::RegCloseKey(key);
    }
    void TearDown() override { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_subKey.c_str()); ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_subKey.c_str()); }

    // The key path as start-up reads it and as the installation writes it.
    CString ReadPath() const { return CString((L"SOFTWARE\\Brenvik\\" + m_name + L"\\").c_str()); }
    CString WritePath() const { return CString((L"Software\\Brenvik\\" + m_name + L"\\").c_str()); }

    void StoreRaw(const wchar_t* value, DWORD type, const std::vector<unsigned char>& bytes) {
        // Wine's RegSetValue looks at the unit just past string data and stores
        // an extra terminator when it is zero; a non-zero guard after the
        // counted bytes keeps the stored data exactly the bytes given.
        std::vector<unsigned char> guarded(bytes);
        guarded.insert(guarded.end(), {'X', 'X', 0, 0});
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, m_subKey.c_str(), value, type, guarded.data(),
                                                   static_cast<DWORD>(bytes.size())));
        ASSERT_EQ(bytes, LoadRaw(value));
    }
    std::vector<unsigned char> LoadRaw(const wchar_t* value, DWORD* type = nullptr) {
        BYTE buffer[1024];
        DWORD size = sizeof(buffer);
        DWORD t = 0;
        if (::RegGetValueW(HKEY_LOCAL_MACHINE, m_subKey.c_str(), value, RRF_RT_ANY | RRF_NOEXPAND, &t, buffer, &size) !=
            ERROR_SUCCESS)
            return {};
        if (type != nullptr) *type = t;
        return std::vector<unsigned char>(buffer, buffer + size);
    }
    static std::vector<unsigned char> Utf16Bytes(const std::u16string& text, bool terminator) {
        std::vector<unsigned char> bytes;
        for (char16_t c : text) {
            bytes.push_back(static_cast<unsigned char>(c & 0xFF));
            bytes.push_back(static_cast<unsigned char>(c >> 8));
        }
        if (terminator) bytes.insert(bytes.end(), {0, 0});
        return bytes;
    }
    static void ExpectOneBox(const MessageBoxRecorder& boxes, const wchar_t* text) {
        ASSERT_EQ(1u, boxes.Boxes().size());
        EXPECT_EQ(CString(text), boxes.Boxes()[0].text);
        EXPECT_EQ(CString(kCaption), boxes.Boxes()[0].caption);
        EXPECT_EQ(static_cast<UINT>(MB_OK), boxes.Boxes()[0].type);
    }

    std::wstring m_name;
    std::wstring m_subKey;
};

TEST_F(RegistryTest, VersionRoundTripStoresSixteenBytes) {
    MessageBoxRecorder boxes;
    WriteRegString(WritePath(), L"version", L"2.1.0.9");
    DWORD type = 0;
    const std::vector<unsigned char> raw = LoadRaw(L"version", &type);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(Utf16Bytes(u"2.1.0.9", true), raw);
    ASSERT_EQ(16u, raw.size());
    EXPECT_EQ(0, raw[14]);
    EXPECT_EQ(0, raw[15]);
    EXPECT_EQ(CString(u"2.1.0.9"), ReadRegString(ReadPath(), L"version"));
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(RegistryTest, EmptyTextStoresTwoZeroBytesAndReadsEmptyWithoutMessage) {
    MessageBoxRecorder boxes;
    WriteRegString(WritePath(), L"version", L"");
    EXPECT_EQ((std::vector<unsigned char>{0, 0}), LoadRaw(L"version"));
    EXPECT_EQ(CString(), ReadRegString(ReadPath(), L"version"));
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(RegistryTest, ThirtyNineCharactersFillTheBufferAndReadWhole) {
    MessageBoxRecorder boxes;
    const std::u16string text(39, u'7');
    WriteRegString(WritePath(), L"version", CString(text));
    EXPECT_EQ(80u, LoadRaw(L"version").size());
    EXPECT_EQ(CString(text), ReadRegString(ReadPath(), L"version"));
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(RegistryTest, FortyCharactersWithTerminatorCannotBeRead) {
    MessageBoxRecorder boxes;
    WriteRegString(WritePath(), L"version", CString(std::u16string(40, u'8')));
    EXPECT_EQ(82u, LoadRaw(L"version").size());
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_EQ(CString(), ReadRegString(ReadPath(), L"version"));
    ExpectOneBox(boxes, L"获取注册表信息失败");
}

TEST_F(RegistryTest, FortyCharactersWithoutTerminatorReadWhole) {
    const std::u16string text = u"1234567890.234567890.234567890.234567890";
    ASSERT_EQ(40u, text.size());
    StoreRaw(L"version", REG_SZ, Utf16Bytes(text, false));
    MessageBoxRecorder boxes;
    EXPECT_EQ(CString(text), ReadRegString(ReadPath(), L"version"));
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(RegistryTest, UnterminatedDataEndsWhereTheDataEnds) {
    struct Case {
        const char* name;
        std::vector<unsigned char> bytes;
        std::u16string expected;
    };
    const std::vector<Case> cases = {
        {"three units, no terminator", Utf16Bytes(u"1.2", false), u"1.2"},
        {"odd trailing byte dropped", {'1', 0, '.', 0, '2', 0, '9'}, u"1.2"},
        {"single byte", {'5'}, u""},
        {"zero unit in the middle", {'1', 0, 0, 0, '9', 0}, u"1"},
        {"no data", {}, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StoreRaw(L"version", REG_SZ, c.bytes);
        MessageBoxRecorder boxes;
        EXPECT_EQ(CString(c.expected), ReadRegString(ReadPath(), L"version"));
        EXPECT_TRUE(boxes.Boxes().empty());
    }
}

TEST_F(RegistryTest, TextOutsideLatin1ReadsBackIntact) {
    const std::vector<std::u16string> texts = {u"版本二", u"2.0-测试", u"\u0100\u4E2D", u"\U0001F600"};
    for (const std::u16string& text : texts) {
        MessageBoxRecorder boxes;
        WriteRegString(WritePath(), L"version", CString(text));
        EXPECT_EQ(CString(text), ReadRegString(ReadPath(), L"version"));
        EXPECT_TRUE(boxes.Boxes().empty());
    }
}

TEST_F(RegistryTest, DataOfAnotherTypeIsReadAsText) {
    StoreRaw(L"version", REG_BINARY, Utf16Bytes(u"3.1", true));
    MessageBoxRecorder boxes;
    EXPECT_EQ(CString(u"3.1"), ReadRegString(ReadPath(), L"version"));
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(RegistryTest, MissingValueShowsOneMessage) {
    MessageBoxRecorder boxes;
    EXPECT_EQ(CString(), ReadRegString(ReadPath(), L"version"));
    ExpectOneBox(boxes, L"获取注册表信息失败");
}

TEST_F(RegistryTest, MissingKeyOnReadShowsMessageAndCreatesNothing) {
    const CString missing = ReadPath() + u"Missing\\";
    MessageBoxRecorder boxes;
    EXPECT_EQ(CString(), ReadRegString(missing, L"version"));
    ExpectOneBox(boxes, L"获取HKEY失败");
    HKEY key = nullptr;
    EXPECT_NE(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, missing.GetString(), 0, KEY_READ, &key));
}

TEST_F(RegistryTest, MissingKeyOnWriteShowsMessageAndCreatesNothing) {
    const CString missing = WritePath() + u"Missing\\";
    MessageBoxRecorder boxes;
    WriteRegString(missing, L"version", L"2.0");
    ExpectOneBox(boxes, L"获取HKEY失败");
    HKEY key = nullptr;
    EXPECT_NE(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, missing.GetString(), 0, KEY_READ, &key));
}

TEST_F(RegistryTest, ReadAndWritePathsDifferingInCaseReachTheSameValue) {
    MessageBoxRecorder boxes;
    WriteRegString(WritePath(), L"version", L"1.5");
    EXPECT_EQ(CString(u"1.5"), ReadRegString(ReadPath(), L"version"));
    WriteRegString(ReadPath(), L"VERSION", L"1.6");
    EXPECT_EQ(CString(u"1.6"), ReadRegString(WritePath(), L"version"));
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST(RegistryBytes, StoredFormIsLowByteFirstWithZeroUnit) {
    EXPECT_EQ((std::vector<unsigned char>{'1', 0, '.', 0, '0', 0, 0, 0}), RegStringBytes(CString(u"1.0")));
    EXPECT_EQ((std::vector<unsigned char>{0x2D, 0x4E, 0, 0}), RegStringBytes(CString(u"\u4E2D")));
    EXPECT_EQ((std::vector<unsigned char>{0, 0}), RegStringBytes(CString()));
}

TEST(RegistryBytes, DecodingStopsAtZeroUnitOrEnd) {
    const unsigned char data[] = {'a', 0, 0x2D, 0x4E, 0, 0, 'b', 0};
    EXPECT_EQ(CString(u"a\u4E2D"), RegStringFromBytes(data, sizeof(data)));
    EXPECT_EQ(CString(u"a"), RegStringFromBytes(data, 3));
    EXPECT_EQ(CString(), RegStringFromBytes(data, 0));
}

}  // namespace
