// The steps before the files are replaced: terminating the product's
// processes by their exact executable name, and the pause that keeps
// dispatching messages without keeping a core busy.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "InstallSteps.h"

namespace {

// What the copies of this program started below run.
TEST(DummyProduct, DISABLED_IdleUntilTerminated) {
    ::Sleep(30000);
}

// Only the whole executable name, case-sensitive and without a path,
// matches; every process of that name then ends with code 0, and is waited
// for until it has ended.
TEST(KillProcessesByName, EndsEveryProcessOfExactlyThatName) {
    wchar_t self[MAX_PATH] = {}, temp[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"QeldaKillDummy.exe";
    ASSERT_TRUE(::CopyFileW(self, path.c_str(), FALSE));
    std::vector<HANDLE> processes;
    for (int i = 0; i < 2; ++i) {
        std::wstring command = L"\"" + path + L"\" --gtest_filter=*IdleUntilTerminated --gtest_also_run_disabled_tests";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION started{};
        ASSERT_TRUE(::CreateProcessW(path.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                     &started));
        ::CloseHandle(started.hThread);
        processes.push_back(started.hProcess);
    }
    // Each process's exit code once it has ended within `ms`, else STILL_ACTIVE.
    auto exitCodes = [&processes](DWORD ms) {
        std::vector<DWORD> codes(processes.size(), STILL_ACTIVE);
        for (std::size_t i = 0; i < processes.size(); ++i)
            if (::WaitForSingleObject(processes[i], ms) == WAIT_OBJECT_0) ::GetExitCodeProcess(processes[i], &codes[i]);
        return codes;
    };
    for (const wchar_t* name : {L"qeldakilldummy.exe", L"QELDAKILLDUMMY.EXE", L"QeldaKillDummy", L"QeldaKillDummy.exe ",
                                L"QeldaKill", L"", path.c_str()})
        EXPECT_TRUE(KillProcessesByName(CString(name)).empty());
    EXPECT_EQ((std::vector<DWORD>{STILL_ACTIVE, STILL_ACTIVE}), exitCodes(300));
    // The wait ends as soon as the stopped ones have ended; for one that does
    // not end (here: not stopped), it gives up after two seconds.
    std::vector<ScopedHandle> running;
    running.emplace_back(::OpenProcess(SYNCHRONIZE, FALSE, ::GetProcessId(processes[0])));
    EXPECT_GE(WaitDispatchingMessages(running), 2000u);
    std::vector<ScopedHandle> stopped = KillProcessesByName(CString(L"QeldaKillDummy.exe"));
    EXPECT_EQ(2u, stopped.size());
    EXPECT_LT(WaitDispatchingMessages(stopped), 2000u);
    EXPECT_EQ((std::vector<DWORD>{0, 0}), exitCodes(0));
    for (HANDLE process : processes) {
        ::TerminateProcess(process, 99);  // still running when the test failed
        ::WaitForSingleObject(process, 10000);
        ::CloseHandle(process);
    }
    ::DeleteFileW(path.c_str());
}

int g_ticks = 0;
void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    ++g_ticks;
}

ULONGLONG CpuMilliseconds() {
    FILETIME created, exited, kernel, user;
    ::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& t) { return ((ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000; };
    return ms(kernel) + ms(user);
}

// The pause lasts longer than its period, takes what was queued before it,
// dispatches what arrives during it, and sleeps meanwhile.
TEST(WaitDispatchingMessages, DispatchesForThePeriodWithoutBusyPolling) {
    for (int i = 0; i < 5; ++i) ::PostThreadMessageW(::GetCurrentThreadId(), WM_APP, 0, 0);
    g_ticks = 0;
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 50, Tick);
    const ULONGLONG cpuBefore = CpuMilliseconds();
    const DWORD start = ::GetTickCount();
    WaitDispatchingMessagesFor(400);
    const DWORD elapsed = ::GetTickCount() - start;
    const ULONGLONG cpu = CpuMilliseconds() - cpuBefore;
    ::KillTimer(nullptr, timer);
    MSG left;
    EXPECT_FALSE(::PeekMessageW(&left, nullptr, WM_APP, WM_APP, PM_REMOVE));
    EXPECT_GT(elapsed, 400u);
    EXPECT_LT(elapsed, 1000u);
    EXPECT_GE(g_ticks, 4);
    EXPECT_LT(cpu, 200u) << "the pause kept the processor busy";
}

}  // namespace
