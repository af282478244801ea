// The steps before the files are replaced: terminating the product's
// processes by their exact executable name, and the two-second pause that
// keeps dispatching messages without keeping a core busy.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "InstallSteps.h"

namespace {

// A copy of this test program under another name, idling in a test that
// runs only when asked for by name.
class DummyProduct {
public:
    // copy false: start the copy an earlier DummyProduct made.
    explicit DummyProduct(const std::wstring& exeName, bool copy = true) : m_owner(copy) {
        wchar_t self[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        m_path = std::wstring(temp) + exeName;
        if (copy && !::CopyFileW(self, m_path.c_str(), FALSE)) return;
        std::wstring cmd = L"\"" + m_path +
                           L"\" --gtest_filter=InstDummyProduct.DISABLED_IdleUntilTerminated"
                           L" --gtest_also_run_disabled_tests";
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        if (::CreateProcessW(m_path.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            ::CloseHandle(pi.hThread);
            m_process = pi.hProcess;
        }
    }
    ~DummyProduct() {
        if (m_process) {
            ::TerminateProcess(m_process, 99);
            ::WaitForSingleObject(m_process, 10000);
            ::CloseHandle(m_process);
        }
        if (m_owner) ::DeleteFileW(m_path.c_str());
    }
    DummyProduct(const DummyProduct&) = delete;
    DummyProduct& operator=(const DummyProduct&) = delete;

    bool Running() const { return m_process && ::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT; }
    // True when the process ended within `ms`; its exit code in `code`.
    bool EndsWithin(DWORD ms, DWORD& code) const {
        if (!m_process || ::WaitForSingleObject(m_process, ms) != WAIT_OBJECT_0) return false;
        ::GetExitCodeProcess(m_process, &code);
        return true;
    }
    const std::wstring& Path() const { return m_path; }

private:
    bool m_owner;
    std::wstring m_path;
    HANDLE m_process = nullptr;
};

TEST(InstDummyProduct, DISABLED_IdleUntilTerminated) {
    ::Sleep(120000);
    SUCCEED();
}

TEST(KillProcessesByName, TerminatesEveryCopyWithTheExactName) {
    DummyProduct first(L"QeldaInstDummy.exe");
    DummyProduct second(L"QeldaInstDummy.exe", false);  // the same file, started twice
    ASSERT_TRUE(first.Running());
    ASSERT_TRUE(second.Running());
    KillProcessesByName(CString(L"QeldaInstDummy.exe"));
    DWORD code = 99;
    EXPECT_TRUE(first.EndsWithin(10000, code));
    EXPECT_EQ(0u, code);
    code = 99;
    EXPECT_TRUE(second.EndsWithin(10000, code));
    EXPECT_EQ(0u, code);
}

TEST(KillProcessesByName, OtherNamesAreLeftRunning) {
    DummyProduct product(L"QeldaInstCase.exe");
    ASSERT_TRUE(product.Running());
    const wchar_t* names[] = {
        L"qeldainstcase.exe",   // letter case differs
        L"QELDAINSTCASE.EXE",
        L"QeldaInstCase",       // no extension
        L"QeldaInstCase.exe ",  // trailing blank
        L"QeldaInst",           // a prefix
        L"",
    };
    for (const wchar_t* name : names) KillProcessesByName(CString(name));
    // A name with a directory part matches no process entry either.
    KillProcessesByName(CString(product.Path().c_str()));
    DWORD code = 0;
    EXPECT_FALSE(product.EndsWithin(1500, code));
    EXPECT_TRUE(product.Running());
}

TEST(KillProcessesByName, NoProcessOfThatNameIsNoError) {
    KillProcessesByName(CString(L"NoSuchQeldaProcess.exe"));
    SUCCEED();
}

// Counts the messages a window receives during the pause.
struct Counter {
    static LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
        if (m == WM_APP + 1) ++posted;
        if (m == WM_TIMER) ++timer;
        return ::DefWindowProcW(h, m, w, l);
    }
    static int posted;
    static int timer;
};
int Counter::posted = 0;
int Counter::timer = 0;

ULONGLONG CpuTimeMs() {
    FILETIME created, exited, kernel, user;
    ::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& t) { return ((ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000; };
    return ms(kernel) + ms(user);
}

TEST(WaitDispatchingMessages, TwoSecondsOfDispatchWithoutBusyPolling) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = Counter::Proc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"InstPauseCounter";
    ::RegisterClassW(&wc);
    HWND window = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                    nullptr);
    ASSERT_NE(nullptr, window);
    Counter::posted = 0;
    Counter::timer = 0;
    for (int i = 0; i < 5; ++i) ::PostMessageW(window, WM_APP + 1, 0, 0);
    ::SetTimer(window, 1, 100, nullptr);

    const ULONGLONG cpuBefore = CpuTimeMs();
    const DWORD start = ::GetTickCount();
    WaitDispatchingMessages();
    const DWORD elapsed = ::GetTickCount() - start;
    const ULONGLONG cpu = CpuTimeMs() - cpuBefore;
    ::KillTimer(window, 1);
    ::DestroyWindow(window);

    EXPECT_GT(elapsed, 2000u);  // stops once more than the period has passed
    EXPECT_LT(elapsed, 2600u);
    EXPECT_EQ(5, Counter::posted);  // queued before the pause
    EXPECT_GE(Counter::timer, 10);  // arriving during it
    EXPECT_LT(cpu, 1000u) << "the pause kept the processor busy";
}

TEST(WaitDispatchingMessages, ShortPauseForAnyPeriod) {
    const DWORD start = ::GetTickCount();
    WaitDispatchingMessagesFor(150);
    const DWORD elapsed = ::GetTickCount() - start;
    EXPECT_GT(elapsed, 150u);
    EXPECT_LT(elapsed, 700u);
}

}  // namespace
