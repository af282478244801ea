// CUpdateApp::InitInstance, the whole start-up decision, run in this process
// against the loopback manifest server this test program is built for. The
// installed version is the product's real value, saved and restored around
// each test. A watcher thread reads the update dialog when it appears and
// clicks its Exit button.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackServer.h"
#include "MessageBoxRecorder.h"
#include "UpdateApp.h"

namespace {

const wchar_t kProductKey[] = L"SOFTWARE\\Brenvik\\Qelda";
const wchar_t kCaption[] = L"Qelda升级程序";

TEST(CommandLine, OnlyATextEndingInDotExeNamesTheProduct) {
    struct Case {
        const char16_t* commandLine;
        bool accepted;
    };
    const Case cases[] = {
        {u"Qelda.exe", true},
        {u"QELDA.EXE", true},
        {u"Qelda.ExE", true},
        {u".exe", true},
        {u"C:\\Program Files\\Qelda\\Qelda.exe", true},
        {u"Qelda.exe ", false},
        {u"\"Qelda.exe\"", false},
        {u"Qelda.exe\"", false},
        {u"Qelda.ex", false},
        {u"exe", false},
        {u"", false},
        {u"Qelda.exe.bak", false},
        {u"Qelda.\u0130XE", false},  // only A-Z are lowered
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.accepted, CommandLineNamesExecutable(CString(c.commandLine)))
            << Utf16ToUtf8(c.commandLine);
    }
}

// What the watcher saw of the update dialog.
struct DialogSeen {
    std::wstring caption;
    std::wstring installedLine;  // control 1001
    std::wstring releaseNotes;   // control 1002
    std::wstring relaunchText;   // control 1007
    bool relaunchChecked = false;
    std::vector<int> controls;
};

std::wstring ItemText(HWND dialog, int id) {
    wchar_t buffer[1024] = {};
    ::GetDlgItemTextW(dialog, id, buffer, 1024);
    return buffer;
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.Listening()) << "port " << WIN_TESTS_MANIFEST_PORT << " is taken";
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
            m_keyExisted = true;
            wchar_t buffer[256];
            DWORD size = sizeof(buffer);
            if (::RegQueryValueExW(key, L"version", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) ==
                ERROR_SUCCESS)
                m_savedVersion = std::wstring(buffer, size / 2 > 0 ? size / 2 - 1 : 0);
            ::RegCloseKey(key);
        }
    }
    void TearDown() override {
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey);
        if (m_keyExisted) {
            HKEY key = nullptr;
            ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
            if (m_savedVersion)
                ::RegSetValueExW(key, L"version", 0, REG_SZ, reinterpret_cast<const BYTE*>(m_savedVersion->c_str()),
                                 static_cast<DWORD>((m_savedVersion->size() + 1) * 2));
            ::RegCloseKey(key);
        }
    }

    void SetInstalledVersion(const wchar_t* version) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                   nullptr, &key, nullptr));
        if (version != nullptr)
            ::RegSetValueExW(key, L"version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                             static_cast<DWORD>((wcslen(version) + 1) * 2));
        else
            ::RegDeleteValueW(key, L"version");
        ::RegCloseKey(key);
    }
    void RemoveProductKey() { ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey); }

    void ServeManifest(const std::string& utf8) {
        m_server.Answer("/client/updateqelda.xml", 200, "text/xml; charset=utf-8", utf8);
    }
    static std::string Manifest(const std::string& oldVer, const std::string& newVer) {
        return "<?xml version=\"1.0\" encoding=\"utf-8\"?><UpdateList><Update><OldVer>" + oldVer +
               "</OldVer><NewVer>" + newVer +
               "</NewVer><NetUrl>http://127.0.0.1:1/pkg.zip</NetUrl><LocalPath></LocalPath>"
               "<UpdateInfo>修复了若干问题</UpdateInfo><InfoUrl>http://127.0.0.1:1/log.html</InfoUrl>"
               "<IsUpdate>1</IsUpdate></Update></UpdateList>";
    }

    // Runs InitInstance with the command line; returns its result. The
    // dialog, if it appears, is read and closed with its Exit button.
    BOOL Run(const wchar_t* commandLine) {
        m_seen.reset();
        theApp.m_lpCmdLine = commandLine;
        std::atomic<bool> done{false};
        const DWORD uiThread = ::GetCurrentThreadId();
        std::thread watcher([&] {
            while (!done) {
                HWND found = nullptr;
                ::EnumThreadWindows(
                    uiThread,
                    [](HWND h, LPARAM param) -> BOOL {
                        wchar_t cls[16] = {};
                        ::GetClassNameW(h, cls, 16);
                        if (wcscmp(cls, L"#32770") == 0 && ::IsWindowVisible(h) && ::GetDlgItem(h, 1004) != nullptr) {
                            *reinterpret_cast<HWND*>(param) = h;
                            return FALSE;
                        }
                        return TRUE;
                    },
                    reinterpret_cast<LPARAM>(&found));
                if (found != nullptr) {
                    DialogSeen seen;
                    wchar_t caption[256] = {};
                    ::GetWindowTextW(found, caption, 256);
                    seen.caption = caption;
                    seen.installedLine = ItemText(found, 1001);
                    seen.releaseNotes = ItemText(found, 1002);
                    seen.relaunchText = ItemText(found, 1007);
                    seen.relaunchChecked = ::SendDlgItemMessageW(found, 1007, BM_GETCHECK, 0, 0) == BST_CHECKED;
                    for (int id : {1001, 1002, 1003, 1004, 1006, 1007})
                        if (::GetDlgItem(found, id) != nullptr) seen.controls.push_back(id);
                    m_seen = seen;
                    ::PostMessageW(found, WM_COMMAND, MAKEWPARAM(1004, BN_CLICKED),
                                   reinterpret_cast<LPARAM>(::GetDlgItem(found, 1004)));
                    return;
                }
                ::Sleep(20);
            }
        });
        const BOOL result = theApp.InitInstance();
        done = true;
        watcher.join();
        return result;
    }

    LoopbackServer m_server{WIN_TESTS_MANIFEST_PORT};
    std::optional<DialogSeen> m_seen;
    bool m_keyExisted = false;
    std::optional<std::wstring> m_savedVersion;
};

TEST_F(StartupTest, NewerVersionIsOfferedInTheUpdateDialog) {
    SetInstalledVersion(L"1.0");
    ServeManifest(Manifest("1.0", "2.0"));
    MessageBoxRecorder boxes;
    EXPECT_FALSE(Run(L"Qelda.exe"));
    ASSERT_TRUE(m_seen.has_value());
    EXPECT_EQ(kCaption, m_seen->caption);
    EXPECT_EQ(L"当前程序版本：1.0", m_seen->installedLine);
    EXPECT_EQ(L"修复了若干问题", m_seen->releaseNotes);
    EXPECT_EQ(L"升级完成后运行Qelda", m_seen->relaunchText);
    EXPECT_TRUE(m_seen->relaunchChecked);
    EXPECT_EQ((std::vector<int>{1001, 1002, 1003, 1004, 1006, 1007}), m_seen->controls);
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_EQ(CString(kCaption), CString(theApp.GetAppName()));
    EXPECT_EQ(CString(u"Brenvik"), theApp.GetRegistryKey());
    EXPECT_EQ(nullptr, theApp.m_pMainWnd);

    const auto targets = m_server.Targets();
    ASSERT_EQ(1u, targets.size());
    EXPECT_TRUE(std::regex_match(targets[0], std::regex(R"(/client/updateqelda\.xml\?(0|[1-9][0-9]{0,2}))")))
        << targets[0];
}

TEST_F(StartupTest, NothingIsOfferedUnlessTheNewVersionSortsAfterTheInstalledOne) {
    struct Case {
        const wchar_t* installed;
        const char* newVer;
        bool offered;
    };
    const Case cases[] = {
        {L"2.0", "2.0", false},
        {L"1.9", "1.10", false},  // text order, not numbers
        {L"2.1", "2.0", false},
        {L"1.10", "1.9", true},
        {L"1.0b", "1.0c", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.newVer);
        SetInstalledVersion(c.installed);
        ServeManifest(Manifest(Utf16ToUtf8(CString(c.installed)), c.newVer));
        MessageBoxRecorder boxes;
        EXPECT_FALSE(Run(L"Qelda.exe"));
        EXPECT_EQ(c.offered, m_seen.has_value());
        EXPECT_TRUE(boxes.Boxes().empty());
    }
}

TEST_F(StartupTest, MissingValueShowsOneMessageThenOffersWithEmptyVersion) {
    SetInstalledVersion(nullptr);
    ServeManifest(Manifest("0.9", "2.0"));
    MessageBoxRecorder boxes;
    EXPECT_FALSE(Run(L"Qelda.exe"));
    ASSERT_EQ(1u, boxes.Boxes().size());
    EXPECT_EQ(CString(u"获取注册表信息失败"), boxes.Boxes()[0].text);
    EXPECT_EQ(CString(kCaption), boxes.Boxes()[0].caption);
    ASSERT_TRUE(m_seen.has_value());
    EXPECT_EQ(L"当前程序版本：", m_seen->installedLine);
}

TEST_F(StartupTest, MissingKeyShowsOneMessageThenOffers) {
    RemoveProductKey();
    ServeManifest(Manifest("", "2.0"));
    MessageBoxRecorder boxes;
    EXPECT_FALSE(Run(L"QELDA.EXE"));
    ASSERT_EQ(1u, boxes.Boxes().size());
    EXPECT_EQ(CString(u"获取HKEY失败"), boxes.Boxes()[0].text);
    EXPECT_TRUE(m_seen.has_value());
    HKEY key = nullptr;
    EXPECT_NE(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &key));
}

TEST_F(StartupTest, NoUsableManifestEndsSilently) {
    SetInstalledVersion(L"1.0");
    struct Case {
        const char* name;
        int status;
        std::string body;
    };
    const Case cases[] = {
        {"empty manifest", 200, ""},
        {"error page", 404, LoopbackServer::kNotFoundPage},
        {"no Update elements", 200, "<UpdateList></UpdateList>"},
        {"not markup", 200, "garbage"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_server.Answer("/client/updateqelda.xml", c.status, "text/xml", c.body);
        MessageBoxRecorder boxes;
        EXPECT_FALSE(Run(L"Qelda.exe"));
        EXPECT_FALSE(m_seen.has_value());
        EXPECT_TRUE(boxes.Boxes().empty());
    }
}

TEST_F(StartupTest, CommandLineNotEndingInExeEndsBeforeAnyWork) {
    SetInstalledVersion(L"1.0");
    ServeManifest(Manifest("1.0", "2.0"));
    for (const wchar_t* commandLine : {L"", L"Qelda.exe ", L"\"Qelda.exe\"", L"Qelda"}) {
        MessageBoxRecorder boxes;
        EXPECT_FALSE(Run(commandLine));
        EXPECT_FALSE(m_seen.has_value());
        EXPECT_TRUE(boxes.Boxes().empty());
    }
    EXPECT_TRUE(m_server.Targets().empty());
}

TEST_F(StartupTest, SecondUpdaterEndsSilently) {
    SetInstalledVersion(L"1.0");
    ServeManifest(Manifest("1.0", "2.0"));
    HANDLE running = ::CreateMutexW(nullptr, FALSE, kSingleUpdaterMutexName);
    ASSERT_NE(nullptr, running);
    MessageBoxRecorder boxes;
    EXPECT_FALSE(Run(L"Qelda.exe"));
    ::CloseHandle(running);
    EXPECT_FALSE(m_seen.has_value());
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_TRUE(m_server.Targets().empty());
    // Released with the run: the next start works.
    EXPECT_FALSE(Run(L"Qelda.exe"));
    EXPECT_TRUE(m_seen.has_value());
}

}  // namespace
