// The installation in the update dialog's WM_DOWNLOAD_FINISHED handler, from
// a package on disk into the folder it was saved in: the complete update, the
// quiet end after a failed transfer, refused packages, and the file-in-use
// question with Cancel and with OK. Every refusal must leave each installed
// file and the recorded version exactly as they were.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "UpdateDlg.h"
#include "WinApp.h"
#include "ZipBuilder.h"

namespace {

using Files = std::map<std::wstring, std::string>;

const wchar_t kKey[] = L"Software\\Brenvik\\Qelda";
const wchar_t kExeName[] = L"QeldaInstNoSuchProduct.exe";

UINT __cdecl Idle(LPVOID) {
    return 0;
}

// The dialog with the finish handler in reach, run modally; the first timer
// tick hands it a finished worker and the package, then posts the finish.
class FinishDlg : public CUpdateDlg {
public:
    FinishDlg(CString package, bool relaunch) : m_package(std::move(package)), m_relaunch(relaunch) {}

    INT_PTR Run() {
        UPDATE_INFO info;
        info.OldVer = u"1.0";
        info.NewVer = u"2.0";
        info.NetUrl = u"http://127.0.0.1:1/pkg.zip";
        SetUpdateInfo(info, CString(u"1.0"), CString(kExeName));
        AfxGetApp()->m_pMainWnd = this;
        const INT_PTR result = DoModal();
        AfxGetApp()->m_pMainWnd = nullptr;
        return result;
    }

    BOOL OnInitDialog() override {
        const BOOL result = CUpdateDlg::OnInitDialog();
        ::SetTimer(m_hWnd, 1, 20, nullptr);
        return result;
    }
    void OnTimer(UINT_PTR) {
        ::KillTimer(m_hWnd, 1);
        ShowWindow(SW_HIDE);
        if (!m_relaunch) SendDlgItemMessage(1007, BM_SETCHECK, 0);
        m_dlgProgress.ShowWindow(SW_SHOW);
        m_pDownloadThread = AfxBeginThread(Idle, nullptr, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
        m_pDownloadThread->m_bAutoDelete = FALSE;
        m_pDownloadThread->ResumeThread();
        m_job.strLocalFile = m_package;
        PostMessage(WM_DOWNLOAD_FINISHED, 0, 0);
    }

    bool ThreadCleared() const { return m_pDownloadThread == nullptr; }
    bool ProgressVisible() const { return m_dlgProgress.IsWindowVisible() != FALSE; }

private:
    CString m_package;
    bool m_relaunch;
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(FinishDlg, CUpdateDlg)
    ON_WM_TIMER()
END_MESSAGE_MAP()

// Answers each box with the result of a script step; records every box.
class BoxScript {
public:
    using Step = std::function<int(const MessageBoxRequest&)>;
    explicit BoxScript(std::vector<Step> steps = {})
        : m_steps(std::move(steps)),
          m_previous(AfxSetMessageBoxHook([this](const MessageBoxRequest& r) {
              m_boxes.push_back(r);
              const std::size_t i = m_boxes.size() - 1;
              return i < m_steps.size() ? m_steps[i](r) : IDOK;
          })) {}
    ~BoxScript() { AfxSetMessageBoxHook(std::move(m_previous)); }
    BoxScript(const BoxScript&) = delete;
    BoxScript& operator=(const BoxScript&) = delete;
    const std::vector<MessageBoxRequest>& Boxes() const { return m_boxes; }

private:
    std::vector<Step> m_steps;
    std::vector<MessageBoxRequest> m_boxes;
    MessageBoxHook m_previous;
};

std::wstring W(const CString& s) { return std::wstring(s.GetString()); }

bool ReadVersion(std::wstring& value) {
    wchar_t buffer[256] = {};
    DWORD size = sizeof(buffer);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"version", RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return false;
    value = buffer;
    return true;
}

void WriteVersion(const std::wstring& value) {
    HKEY key = nullptr;
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    ::RegSetValueExW(key, L"version", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);
}

void WriteFile(const std::wstring& path, const std::string& data) {
    for (std::size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        ::CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    std::ofstream out(path.c_str(), std::ios::binary);
    out << data;
}

// Every file below a folder: relative path -> bytes.
void ReadTree(const std::wstring& root, const std::wstring& rel, Files& out) {
    WIN32_FIND_DATAW fd;
    HANDLE find = ::FindFirstFileW((root + L"\\" + rel + L"*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ReadTree(root, rel + name + L"\\", out);
        } else {
            std::ifstream in((root + L"\\" + rel + name).c_str(), std::ios::binary);
            std::ostringstream s;
            s << in.rdbuf();
            out[rel + name] = s.str();
        }
    } while (::FindNextFileW(find, &fd));
    ::FindClose(find);
}

void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE find = ::FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = dir + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(path.c_str());
            }
        } while (::FindNextFileW(find, &fd));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(dir.c_str());
}

const Files kOld = {
    {L"Qelda.exe", "old program"},
    {L"readme.txt", "Qelda 1.0"},
    {L"data\\config.ini", "version=1.0"},
    {L"data\\sub\\old.dat", std::string(3000, 'o')},
    {L"keep.txt", "not in the package"},
};

std::vector<ziptest::Entry> NewEntries() {
    return {
        ziptest::Entry::File("Qelda.exe", "new program"),
        ziptest::Entry::File("readme.txt", "Qelda 2.0"),
        ziptest::Entry::Folder("data/"),
        ziptest::Entry::File("data/config.ini", "version=2.0"),
        ziptest::Entry::File("data/sub/old.dat", std::string(9000, 'n')),
        ziptest::Entry::File("data/sub/added.txt", "added in 2.0", 0),
        ziptest::Entry::File("plugins/extra/new.txt", "a new folder"),
    };
}

std::string Pack(std::vector<ziptest::Entry> entries) {
    ziptest::Archive a;
    a.entries = std::move(entries);
    return a.Build();
}

Files Installed(const Files& old) {
    Files files = old;
    files[L"Qelda.exe"] = "new program";
    files[L"readme.txt"] = "Qelda 2.0";
    files[L"data\\config.ini"] = "version=2.0";
    files[L"data\\sub\\old.dat"] = std::string(9000, 'n');
    files[L"data\\sub\\added.txt"] = "added in 2.0";
    files[L"plugins\\extra\\new.txt"] = "a new folder";
    return files;
}

class InstallFinishTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::GetCurrentDirectoryW(MAX_PATH, m_savedDirectory);
        m_hadVersion = ReadVersion(m_savedVersion);
        WriteVersion(L"1.0");
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        m_dir = std::wstring(temp) + L"qelda-inst-" + std::to_wstring(::GetCurrentProcessId());
        RemoveTree(m_dir);
        ::CreateDirectoryW(m_dir.c_str(), nullptr);
        for (const auto& f : kOld) WriteFile(m_dir + L"\\" + f.first, f.second);
        m_package = m_dir + L"\\Qelda-2.0.zip";
    }
    void TearDown() override {
        // The installation makes the folder the current directory, which
        // could not be removed while it is.
        ::SetCurrentDirectoryW(m_savedDirectory);
        RemoveTree(m_dir);
        if (m_hadVersion) WriteVersion(m_savedVersion);
    }

    void PutPackage(const std::string& bytes) { WriteFile(m_package, bytes); }
    Files Tree() const {
        Files files;
        ReadTree(m_dir, L"", files);
        return files;
    }
    Files TreeWithoutPackage() const {
        Files files = Tree();
        files.erase(L"Qelda-2.0.zip");
        return files;
    }
    std::wstring Version() const {
        std::wstring v;
        ReadVersion(v);
        return v;
    }
    bool PackageExists() const { return ::GetFileAttributesW(m_package.c_str()) != INVALID_FILE_ATTRIBUTES; }

    std::wstring m_dir;
    std::wstring m_package;
    bool m_hadVersion = false;
    std::wstring m_savedVersion;
    wchar_t m_savedDirectory[MAX_PATH] = {};
};

TEST_F(InstallFinishTest, CompleteUpdate) {
    PutPackage(Pack(NewEntries()));
    BoxScript boxes;
    FinishDlg dlg(CString(m_package.c_str()), false);
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(IDOK, dlg.Run());
    EXPECT_GE(::GetTickCount() - start, 2000u);  // the pause after stopping the product
    EXPECT_TRUE(dlg.ThreadCleared());
    EXPECT_FALSE(dlg.ProgressVisible());
    EXPECT_EQ(Installed(kOld), Tree());  // package removed, no work folder left
    EXPECT_EQ(L"2.0", Version());
    ASSERT_EQ(1u, boxes.Boxes().size());
    EXPECT_EQ(L"Qelda软件已升级到2.0版本!", W(boxes.Boxes()[0].text));
    EXPECT_EQ(L"Qelda升级程序", W(boxes.Boxes()[0].caption));
    EXPECT_EQ(0u, boxes.Boxes()[0].type);
}

// The installation folder becomes the current directory, so that the
// product started again afterwards works in its own folder.
TEST_F(InstallFinishTest, InstallationFolderBecomesTheCurrentDirectory) {
    PutPackage(Pack(NewEntries()));
    BoxScript boxes;
    FinishDlg dlg(CString(m_package.c_str()), false);
    EXPECT_EQ(IDOK, dlg.Run());
    wchar_t current[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, current);
    EXPECT_EQ(0, _wcsicmp(m_dir.c_str(), current)) << current;
    EXPECT_EQ(L"2.0", Version());
}

TEST_F(InstallFinishTest, NothingDownloadedEndsQuietly) {
    BoxScript boxes;
    FinishDlg dlg(CString(), true);
    EXPECT_EQ(IDCANCEL, dlg.Run());
    EXPECT_TRUE(dlg.ThreadCleared());
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_EQ(kOld, Tree());
    EXPECT_EQ(L"1.0", Version());
}

std::string WithFlippedCrc() {
    ziptest::Archive a;
    a.entries = NewEntries();
    a.entries[1].data = "Qelda 2.1";  // same length, other bytes than the CRC says
    a.entries[1].centralCrc = a.entries[1].localCrc = ziptest::Crc("Qelda 2.0");
    return a.Build();
}

std::string WithEntry(const std::string& name) {
    ziptest::Archive a;
    a.entries = NewEntries();
    a.entries.push_back(ziptest::Entry::File(name, "hostile"));
    return a.Build();
}

std::string WithFlags(std::uint16_t flags) {
    ziptest::Archive a;
    a.entries = NewEntries();
    a.entries.back().flags = flags;
    return a.Build();
}

TEST_F(InstallFinishTest, RefusedPackagesChangeNothing) {
    // One case of each kind of refusal; every malformed archive the engine
    // refuses has its own tests with the archive component.
    const struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"an HTML error page", "<!DOCTYPE html>\n<html><body><h1>Not Found</h1></body></html>\n"},
        {"CRC mismatch", WithFlippedCrc()},
        {"parent folder", WithEntry("../evil.txt")},
        {"encrypted", WithFlags(1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PutPackage(c.bytes);
        BoxScript boxes;
        FinishDlg dlg(CString(m_package.c_str()), true);
        EXPECT_EQ(IDCANCEL, dlg.Run());
        EXPECT_EQ(kOld, Tree());  // the package is gone too
        EXPECT_EQ(L"1.0", Version());
        ASSERT_EQ(1u, boxes.Boxes().size());
        EXPECT_EQ(L"升级包已损坏，无法安装Qelda。", W(boxes.Boxes()[0].text));
        EXPECT_EQ(L"Qelda升级程序", W(boxes.Boxes()[0].caption));
        EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONERROR), boxes.Boxes()[0].type);
        WIN32_FIND_DATAW fd;
        HANDLE outside = ::FindFirstFileW((m_dir + L"\\..\\evil.txt").c_str(), &fd);
        EXPECT_EQ(INVALID_HANDLE_VALUE, outside);
        if (outside != INVALID_HANDLE_VALUE) ::FindClose(outside);
    }
}

TEST_F(InstallFinishTest, UnwritableTargetChangesNothing) {
    // The package wants a folder where the installation has a file.
    std::vector<ziptest::Entry> entries = NewEntries();
    entries.push_back(ziptest::Entry::File("keep.txt/inner.txt", "cannot be placed"));
    PutPackage(Pack(entries));
    BoxScript boxes;
    FinishDlg dlg(CString(m_package.c_str()), true);
    EXPECT_EQ(IDCANCEL, dlg.Run());
    EXPECT_EQ(kOld, Tree());
    EXPECT_EQ(L"1.0", Version());
    ASSERT_EQ(1u, boxes.Boxes().size());
    EXPECT_EQ(L"无法写入Qelda的安装目录，升级未完成。", W(boxes.Boxes()[0].text));
    EXPECT_EQ(L"Qelda升级程序", W(boxes.Boxes()[0].caption));
    EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONERROR), boxes.Boxes()[0].type);
}

class HeldFile {
public:
    explicit HeldFile(const std::wstring& path)
        : m_h(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~HeldFile() { Release(); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    bool Held() const { return m_h != INVALID_HANDLE_VALUE; }
    void Release() {
        if (m_h != INVALID_HANDLE_VALUE) ::CloseHandle(m_h);
        m_h = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE m_h;
};

std::wstring InUseText(const std::wstring& path) {
    return L"“" + path + L"” 文件正在被使用\r\n\r\n请关闭正在运行的Qelda程序，然后点击 “确定” 重新升级程序";
}

TEST_F(InstallFinishTest, FileInUseThenCancelLeavesEverything) {
    PutPackage(Pack(NewEntries()));
    const std::wstring held = m_dir + L"\\data\\sub\\old.dat";
    HeldFile file(held);
    ASSERT_TRUE(file.Held());
    Files whileAsked;
    BoxScript boxes({[&](const MessageBoxRequest&) {
        whileAsked = TreeWithoutPackage();
        return IDCANCEL;
    }});
    FinishDlg dlg(CString(m_package.c_str()), true);
    EXPECT_EQ(IDCANCEL, dlg.Run());
    file.Release();
    // Asked before anything changed (the held file itself cannot be read then).
    Files expectedWhileAsked = kOld;
    expectedWhileAsked[L"data\\sub\\old.dat"] = "";
    EXPECT_EQ(expectedWhileAsked, whileAsked);
    EXPECT_EQ(kOld, TreeWithoutPackage());
    EXPECT_TRUE(PackageExists());  // kept after Cancel
    EXPECT_EQ(L"1.0", Version());
    ASSERT_EQ(1u, boxes.Boxes().size());
    EXPECT_EQ(InUseText(held), W(boxes.Boxes()[0].text));
    EXPECT_EQ(L"Qelda升级程序", W(boxes.Boxes()[0].caption));
    EXPECT_EQ(0x31u, boxes.Boxes()[0].type);
}

TEST_F(InstallFinishTest, FileInUseThenOkRetriesUntilFree) {
    PutPackage(Pack(NewEntries()));
    const std::wstring held = m_dir + L"\\readme.txt";
    HeldFile file(held);
    ASSERT_TRUE(file.Held());
    BoxScript boxes({
        [](const MessageBoxRequest&) { return IDOK; },  // still held: asked again
        [&](const MessageBoxRequest&) {
            file.Release();
            return IDOK;
        },
    });
    FinishDlg dlg(CString(m_package.c_str()), false);
    EXPECT_EQ(IDOK, dlg.Run());
    EXPECT_EQ(Installed(kOld), Tree());
    EXPECT_EQ(L"2.0", Version());
    ASSERT_EQ(3u, boxes.Boxes().size());
    EXPECT_EQ(InUseText(held), W(boxes.Boxes()[0].text));
    EXPECT_EQ(InUseText(held), W(boxes.Boxes()[1].text));
    EXPECT_EQ(L"Qelda软件已升级到2.0版本!", W(boxes.Boxes()[2].text));
}

TEST_F(InstallFinishTest, ReadOnlyFileIsReportedAsInUse) {
    PutPackage(Pack(NewEntries()));
    const std::wstring locked = m_dir + L"\\data\\config.ini";
    ::SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_READONLY);
    BoxScript boxes({[](const MessageBoxRequest&) { return IDCANCEL; }});
    FinishDlg dlg(CString(m_package.c_str()), false);
    EXPECT_EQ(IDCANCEL, dlg.Run());
    ::SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(kOld, TreeWithoutPackage());
    ASSERT_EQ(1u, boxes.Boxes().size());
    EXPECT_EQ(InUseText(locked), W(boxes.Boxes()[0].text));
}

}  // namespace
