// The Win32 file system under the install engine: what counts as in use, the
// one-step replace, listing by prefix, a running program's file, long paths.
// Windows builds only (run under Wine); the engine's logic is proven in
// install_engine_test.cpp.
#ifdef _WIN32

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "EntryName.h"
#include "InstallEngine.h"
#include "ZipBuilder.h"

namespace {

std::u16string U(const std::wstring& s) { return std::u16string(s.begin(), s.end()); }

bool WriteAll(const std::wstring& path, const std::string& data) {
    return WriteNewFile(PlatformFileSystem(), U(path), data).ok();
}

std::string ReadAll(const std::wstring& path) {
    std::string data;
    return ReadWholeFile(PlatformFileSystem(), U(path), data, 1 << 20) ? data : "<missing>";
}

struct TempFolder {
    std::wstring path;
    TempFolder() {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path = std::wstring(temp) + L"fs-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(GetTickCount());
        CreateDirectoryW(path.c_str(), nullptr);
    }
    ~TempFolder() {
        std::vector<std::u16string> names;
        PlatformFileSystem().ListFolder(U(path), u"", names);
        for (const std::u16string& name : names) {
            const std::wstring p = path + L"\\" + std::wstring(name.begin(), name.end());
            SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(p.c_str());
        }
        RemoveDirectoryW(path.c_str());
    }
};

}  // namespace

// Held open with any sharing, or read-only: in use, and nothing moves.
TEST(Win32FileSystem, InUseMeansUntouched) {
    TempFolder dir;
    FileSystem& fs = PlatformFileSystem();
    const std::wstring file = dir.path + L"\\b.txt", aside = dir.path + L"\\aside";
    ASSERT_TRUE(WriteAll(file, "old"));
    for (DWORD share : {DWORD{0}, DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
                        DWORD{0xFFFF}}) {
        HANDLE held = share == 0xFFFF ? INVALID_HANDLE_VALUE
                                      : CreateFileW(file.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
        if (share == 0xFFFF) SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
        EXPECT_EQ(fs.CheckReplaceable(U(file)).code, FsCode::InUse) << share;
        EXPECT_EQ(fs.MoveAside(U(file), U(aside)).code, FsCode::InUse) << share;
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(ReadAll(file), "old");
        EXPECT_EQ(ReadAll(aside), "<missing>");
    }
    EXPECT_TRUE(fs.CheckReplaceable(U(file)).ok());
    EXPECT_TRUE(fs.CheckReplaceable(U(dir.path + L"\\absent")).ok());
}

TEST(Win32FileSystem, ReplaceAndListByPrefix) {
    TempFolder dir;
    FileSystem& fs = PlatformFileSystem();
    for (const wchar_t* name : {L"new", L"old", L".Update-Old-1", L".update-old-2", L"x.update-old-3"})
        ASSERT_TRUE(WriteAll(dir.path + L"\\" + name, std::string(name, name + 1)));
    ASSERT_TRUE(fs.Replace(U(dir.path + L"\\new"), U(dir.path + L"\\old")).ok());
    EXPECT_EQ(ReadAll(dir.path + L"\\old"), "n");
    EXPECT_EQ(ReadAll(dir.path + L"\\new"), "<missing>");
    ASSERT_TRUE(fs.Replace(U(dir.path + L"\\old"), U(dir.path + L"\\fresh")).ok());  // no file there before
    std::vector<std::u16string> names;
    ASSERT_TRUE(fs.ListFolder(U(dir.path), u".update-old-", names).ok());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::u16string>{u".Update-Old-1", u".update-old-2"}));
}

// Kept running by CreateProcess below: a copy of this test program runs this
// test only.
TEST(Win32FileSystem, DISABLED_StayRunning) { Sleep(60000); }

// A running program's file can be renamed (how the updater replaces itself)
// but neither deleted nor replaced, and it counts as in use.
TEST(Win32FileSystem, RunningProgramIsRenamedNotDeleted) {
    TempFolder dir;
    FileSystem& fs = PlatformFileSystem();
    wchar_t self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    const std::wstring exe = dir.path + L"\\prog.exe", aside = dir.path + L"\\.update-old-prog";
    ASSERT_TRUE(CopyFileW(self, exe.c_str(), TRUE));
    std::wstring command = L"\"" + exe + L"\" --gtest_also_run_disabled_tests --gtest_filter=*StayRunning";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &si, &pi));
    Sleep(500);
    EXPECT_EQ(fs.CheckReplaceable(U(exe)).code, FsCode::InUse);
    EXPECT_FALSE(fs.RemoveFile(U(exe)).ok());
    EXPECT_TRUE(fs.Rename(U(exe), U(aside)).ok());
    ASSERT_TRUE(WriteAll(exe, "new program"));
    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_TRUE(fs.RemoveFile(U(aside)).ok());
    EXPECT_EQ(ReadAll(exe), "new program");
}

TEST(Win32FileSystem, PathsLongerThanMaxPath) {
    TempFolder dir;
    ziptest::Archive a;
    std::string name;
    for (int i = 0; i < 6; ++i) name += std::string(60, static_cast<char>('a' + i)) + "/";
    a.entries.push_back(ziptest::Entry::File(name + "file.txt", "deep", 8));
    const std::wstring package = dir.path + L"\\pkg.zip";
    ASSERT_TRUE(WriteAll(package, a.Build()));
    InstallResult r = InstallPackage(PlatformFileSystem(), U(package), U(dir.path));
    EXPECT_EQ(r.status, InstallStatus::Installed) << Utf16ToUtf8(r.reason);
    std::wstring path = L"\\\\?\\" + dir.path;
    std::vector<std::wstring> folders;
    for (int i = 0; i < 6; ++i) folders.push_back(path += L"\\" + std::wstring(60, static_cast<wchar_t>(L'a' + i)));
    EXPECT_EQ(ReadAll(path + L"\\file.txt"), "deep");
    DeleteFileW((path + L"\\file.txt").c_str());
    for (auto f = folders.rbegin(); f != folders.rend(); ++f) RemoveDirectoryW(f->c_str());
}

// Windows gives a long name a short (8.3) alias that opens the same file. The
// alias of one of the engine's own folders must not pass the one name rule, and
// a package entry under it must not write into that folder.
TEST(Win32FileSystem, TheShortAliasOfTheEnginesFolderIsRefused) {
    TempFolder dir;
    std::u16string folder;
    ASSERT_TRUE(MakeDownloadFolder(PlatformFileSystem(), U(dir.path), folder).ok());
    const std::wstring wfolder(folder.begin(), folder.end());
    ASSERT_TRUE(WriteAll(wfolder + L"\\kept.txt", "the download folder's own"));
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_GT(GetShortPathNameW(wfolder.c_str(), shortPath, MAX_PATH), 0u);
    const std::wstring alias = std::wstring(shortPath).substr(std::wstring(shortPath).rfind(L'\\') + 1);
    ASSERT_NE(alias, wfolder.substr(wfolder.rfind(L'\\') + 1)) << "no 8.3 alias on this volume";
    std::u16string why;
    EXPECT_FALSE(CheckFileName(U(alias), why)) << "the alias " << Utf16ToUtf8(U(alias)) << " passes the name rule";

    ziptest::Archive a;
    a.entries.push_back(ziptest::Entry::File(Utf16ToUtf8(U(alias)) + "/kept.txt", "written by the package", 8));
    const std::wstring package = dir.path + L"\\pkg.zip";
    ASSERT_TRUE(WriteAll(package, a.Build()));
    const InstallResult r = InstallPackage(PlatformFileSystem(), U(package), U(dir.path));
    EXPECT_EQ(ReadAll(wfolder + L"\\kept.txt"), "the download folder's own")
        << "installed through the alias: " << static_cast<int>(r.status) << " " << Utf16ToUtf8(r.reason);
    RemoveDownloadFolder(PlatformFileSystem(), folder);
}

#endif  // _WIN32
