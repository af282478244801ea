// The log under Wine: written in folders the updater makes, turned over at 1 MiB. (A folder others may change, or a
// link, planted where the log goes, is the end-to-end scenarios': only Linux can plant them in a Wine prefix.)
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "UpdateLog.h"

namespace {

std::string ReadAll(const std::wstring& path) {
    std::ostringstream content;
    content << std::ifstream(path.c_str(), std::ios::binary).rdbuf();
    return content.str();
}

std::wstring FreshBase(const wchar_t* name) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring base = std::wstring(temp) + name + std::to_wstring(::GetTickCount());
    ::CreateDirectoryW(base.c_str(), nullptr);
    return base;
}

TEST(UpdateLog, AppendsInItsOwnFoldersAndTurnsOverAt1MiB) {
    const std::wstring base = FreshBase(L"QeldaLog");
    const std::wstring folder = UpdateLog::Folder(CString(base.c_str())).GetString(), log = folder + L"\\Update.log";
    ASSERT_TRUE(UpdateLog::Open(CString(base.c_str())));
    UpdateLog::Write("start", {{"cmdline", "Qelda.exe"}});
    UpdateLog::Write("exit", {{"code", "0"}});
    UpdateLog::Close();
    const std::string lines = ReadAll(log);
    EXPECT_NE(lines.find(" start cmdline=Qelda.exe\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find(" exit code=0\n"), std::string::npos) << lines;
    EXPECT_EQ(lines.substr(4, 1) + lines.substr(10, 1) + lines.substr(23, 2), "-TZ ") << lines;  // 2026-12-07T...Z

    std::ofstream(log.c_str(), std::ios::binary | std::ios::app) << std::string(kLogRotateBytes - lines.size(), 'x');
    ASSERT_TRUE(UpdateLog::Open(CString(base.c_str())));
    UpdateLog::Write("start", {});
    UpdateLog::Close();
    EXPECT_EQ(ReadAll(folder + L"\\Update.old.log").size(), kLogRotateBytes);
    EXPECT_NE(ReadAll(log).find(" start\n"), std::string::npos);
}

}  // namespace
