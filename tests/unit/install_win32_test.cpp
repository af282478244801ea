// The install engine over the Win32 file system: files held open by another
// handle, read-only attributes and long paths. Windows builds only (run under
// Wine); the portable behaviour is covered by install_engine_test.cpp.
#ifdef _WIN32

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "InstallEngine.h"
#include "ZipBuilder.h"

using namespace ziptest;

namespace {

std::wstring W(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }
std::u16string U(const std::wstring& s) { return std::u16string(s.begin(), s.end()); }

bool WriteAll(const std::wstring& path, const std::string& data) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD put = 0;
    const BOOL ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &put, nullptr);
    CloseHandle(h);
    return ok && put == data.size();
}

std::string ReadAll(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<missing>";
    std::string data;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got != 0) data.append(buffer, got);
    CloseHandle(h);
    return data;
}

class Win32Install : public testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
        root = std::wstring(temp) + L"zip-win32-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(GetTickCount());
        ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
        dest = root + L"\\app";
        ASSERT_TRUE(CreateDirectoryW(dest.c_str(), nullptr));
        ASSERT_TRUE(WriteAll(dest + L"\\a.txt", "old a"));
        ASSERT_TRUE(WriteAll(dest + L"\\b.txt", "old b"));
        Archive a;
        a.entries.push_back(Entry::File("a.txt", "new a", 8));
        a.entries.push_back(Entry::File("b.txt", "new b", 8));
        a.entries.push_back(Entry::File("dir/c.txt", "new c", 0));
        package = root + L"\\pkg.zip";
        ASSERT_TRUE(WriteAll(package, a.Build()));
    }
    void TearDown() override {
        SetFileAttributesW((dest + L"\\b.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
        for (const wchar_t* f : {L"\\app\\a.txt", L"\\app\\b.txt", L"\\app\\dir\\c.txt", L"\\pkg.zip"})
            DeleteFileW((root + f).c_str());
        RemoveDirectoryW((root + L"\\app\\dir").c_str());
        RemoveDirectoryW(dest.c_str());
        RemoveDirectoryW(root.c_str());
    }
    InstallResult Install() { return InstallPackage(PlatformFileSystem(), U(package), U(dest)); }
    void ExpectOld() {
        EXPECT_EQ(ReadAll(dest + L"\\a.txt"), "old a");
        EXPECT_EQ(ReadAll(dest + L"\\b.txt"), "old b");
        EXPECT_EQ(GetFileAttributesW((dest + L"\\dir").c_str()), INVALID_FILE_ATTRIBUTES);
        WIN32_FIND_DATAW found;
        HANDLE h = FindFirstFileW((dest + L"\\.update-staging-*").c_str(), &found);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE) << "work folder left behind";
        if (h != INVALID_HANDLE_VALUE) FindClose(h);
    }

    std::wstring root, dest, package;
};

}  // namespace

TEST_F(Win32Install, Installs) {
    InstallResult r = Install();
    ASSERT_EQ(r.status, InstallStatus::Installed) << Utf16ToUtf8(r.reason);
    EXPECT_EQ(ReadAll(dest + L"\\a.txt"), "new a");
    EXPECT_EQ(ReadAll(dest + L"\\b.txt"), "new b");
    EXPECT_EQ(ReadAll(dest + L"\\dir\\c.txt"), "new c");
}

// Share modes: no sharing at all, and the most permissive sharing; a file that
// any process holds open counts as in use.
TEST_F(Win32Install, FileHeldOpenIsInUseAndNothingChanges) {
    for (DWORD share : {DWORD{0}, DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}}) {
        HANDLE held = CreateFileW((dest + L"\\b.txt").c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        InstallResult r = Install();
        CloseHandle(held);
        EXPECT_EQ(r.status, InstallStatus::InUse) << "share " << share << ": " << Utf16ToUtf8(r.reason);
        EXPECT_EQ(W(r.path), dest + L"\\b.txt");
        ExpectOld();
    }
    // Closed: the retry installs.
    InstallResult r = Install();
    EXPECT_EQ(r.status, InstallStatus::Installed) << Utf16ToUtf8(r.reason);
    EXPECT_EQ(ReadAll(dest + L"\\b.txt"), "new b");
}

TEST_F(Win32Install, ReadOnlyAttributeIsInUse) {
    ASSERT_TRUE(SetFileAttributesW((dest + L"\\b.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    InstallResult r = Install();
    EXPECT_EQ(r.status, InstallStatus::InUse);
    EXPECT_EQ(W(r.path), dest + L"\\b.txt");
    ExpectOld();
}

TEST_F(Win32Install, PackageHeldOpenByTheDownloaderStillReads) {
    HANDLE held = CreateFileW(package.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    InstallResult r = Install();
    CloseHandle(held);
    EXPECT_EQ(r.status, InstallStatus::Installed) << Utf16ToUtf8(r.reason);
}

TEST(Win32FileSystem, PathsLongerThanMaxPath) {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring root = std::wstring(temp) + L"zip-long-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    Archive a;
    std::string name;
    for (int i = 0; i < 6; ++i) name += std::string(60, static_cast<char>('a' + i)) + "/";
    name += "file.txt";
    a.entries.push_back(Entry::File(name, "deep", 8));
    const std::wstring package = root + L"\\pkg.zip";
    ASSERT_TRUE(WriteAll(package, a.Build()));
    InstallResult r = InstallPackage(PlatformFileSystem(), U(package), U(root));
    EXPECT_EQ(r.status, InstallStatus::Installed) << Utf16ToUtf8(r.reason);

    std::wstring path = L"\\\\?\\" + root;
    std::vector<std::wstring> folders;
    for (int i = 0; i < 6; ++i) {
        path += L"\\" + std::wstring(60, static_cast<wchar_t>(L'a' + i));
        folders.push_back(path);
    }
    EXPECT_EQ(ReadAll(path + L"\\file.txt"), "deep");
    DeleteFileW((path + L"\\file.txt").c_str());
    for (auto f = folders.rbegin(); f != folders.rend(); ++f) RemoveDirectoryW(f->c_str());
    DeleteFileW(package.c_str());
    RemoveDirectoryW(root.c_str());
}

#endif  // _WIN32
