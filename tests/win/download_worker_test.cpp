// The download worker against a loopback server: where the package goes and
// under which name, what is left when the transfer fails or is cancelled,
// and the finish message that is always its last act.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "DownloadWorker.h"
#include "LoopbackServer.h"
#include "UpdateMessages.h"

namespace {

// Receives the worker's messages on this thread while the worker runs.
class WorkerSink {
public:
    WorkerSink() {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"InstWorkerSink";
        ::RegisterClassW(&wc);
        m_hWnd = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                   nullptr);
        ::SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~WorkerSink() { ::DestroyWindow(m_hWnd); }
    WorkerSink(const WorkerSink&) = delete;
    WorkerSink& operator=(const WorkerSink&) = delete;

    HWND Handle() const { return m_hWnd; }
    int reports = 0;
    int notices = 0;
    int finished = 0;
    int reportsAfterFinish = 0;

private:
    static LRESULT CALLBACK Proc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<WorkerSink*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
        if (message == WM_DOWNLOAD_PROGRESS) {
            (lParam == 0 ? self->notices : self->reports)++;
            if (self->finished) self->reportsAfterFinish++;
            return 0;
        }
        if (message == WM_DOWNLOAD_FINISHED) {
            self->finished++;
            return 0;
        }
        return ::DefWindowProcW(hWnd, message, wParam, lParam);
    }
    HWND m_hWnd = nullptr;
};

DWORD WINAPI RunWorker(LPVOID job) {
    return DownloadThreadProc(job);
}

// Runs the worker on its own thread, pumping this thread's messages (its
// progress sends) until the thread has ended; returns its exit code.
DWORD Download(DownloadJob& job) {
    HANDLE thread = ::CreateThread(nullptr, 0, RunWorker, &job, 0, nullptr);
    if (thread == nullptr) return 0xFFFFFFFF;
    for (;;) {
        const DWORD wait = ::MsgWaitForMultipleObjects(1, &thread, FALSE, 60000, QS_ALLINPUT);
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
        if (wait != WAIT_OBJECT_0 + 1) break;
    }
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    DWORD code = 0xFFFFFFFF;
    ::GetExitCodeThread(thread, &code);
    ::CloseHandle(thread);
    return code;
}

std::string ReadAll(const CString& path) {
    std::ifstream in(path.GetString(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool Exists(const CString& path) {
    return ::GetFileAttributesW(path.GetString()) != INVALID_FILE_ATTRIBUTES;
}

CString SystemDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    ::GetSystemDirectoryW(buffer, MAX_PATH);
    return CString(buffer);
}

std::string Package() {
    std::string body = "PK\x03\x04";
    for (int i = 0; i < 20000; ++i) body += static_cast<char>('a' + i % 26);
    return body;
}

class DownloadWorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.Listening());
        m_saved = g_strLocalPath;
        g_strLocalPath = CString();
        m_cancel = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    void TearDown() override {
        g_strLocalPath = m_saved;
        ::CloseHandle(m_cancel);
        for (const CString& path : m_cleanup) ::DeleteFileW(path.GetString());
    }

    DownloadJob Job(const std::wstring& url) {
        DownloadJob job;
        job.hNotifyWnd = m_sink.Handle();
        job.hCancelEvent = m_cancel;
        job.strUrl = CString(url.c_str());
        return job;
    }
    void RemoveAfterwards(const CString& path) {
        ::DeleteFileW(path.GetString());
        m_cleanup.push_back(path);
    }

    LoopbackServer m_server;
    WorkerSink m_sink;
    HANDLE m_cancel = nullptr;
    CString m_saved;
    std::vector<CString> m_cleanup;
};

TEST_F(DownloadWorkerTest, SavesThePackageBesideTheUpdater) {
    m_server.Answer("/pkg/pkg_2_1.zip", 200, "application/zip", Package());
    const CString expected = GetModuleDirectory() + CString(L"\\pkg_2_1.zip");
    RemoveAfterwards(expected);
    DownloadJob job = Job(m_server.Url(L"/pkg/pkg_2_1.zip"));
    EXPECT_EQ(0u, Download(job));
    EXPECT_EQ(expected, job.strLocalFile);
    EXPECT_EQ(Package(), ReadAll(expected));
    EXPECT_GE(m_sink.reports, 1);
    EXPECT_EQ(0, m_sink.notices);
    EXPECT_EQ(1, m_sink.finished);
    EXPECT_EQ(0, m_sink.reportsAfterFinish);  // the post is the worker's last act
}

TEST_F(DownloadWorkerTest, QueryAndFragmentAreNotPartOfTheName) {
    m_server.Answer("/pkg/q.zip", 200, "application/zip", Package());
    const CString expected = GetModuleDirectory() + CString(L"\\q.zip");
    RemoveAfterwards(expected);
    DownloadJob job = Job(m_server.Url(L"/pkg/q.zip?v=2&x=a/b"));
    Download(job);
    EXPECT_EQ(expected, job.strLocalFile);
    EXPECT_EQ(Package(), ReadAll(expected));
}

TEST_F(DownloadWorkerTest, UnsafeNamesGetTheFixedName) {
    m_server.Answer("/pkg/CON", 200, "application/zip", Package());
    const CString expected = GetModuleDirectory() + CString(L"\\update-package.zip");
    RemoveAfterwards(expected);
    DownloadJob job = Job(m_server.Url(L"/pkg/CON"));
    Download(job);
    EXPECT_EQ(expected, job.strLocalFile);
    EXPECT_EQ(Package(), ReadAll(expected));
}

TEST_F(DownloadWorkerTest, LocalPathSystemSelectsTheSystemDirectory) {
    m_server.Answer("/pkg/inst_sys_pkg.zip", 200, "application/zip", Package());
    g_strLocalPath = CString(L"System");
    const CString expected = SystemDirectory() + CString(L"\\inst_sys_pkg.zip");
    RemoveAfterwards(expected);
    DownloadJob job = Job(m_server.Url(L"/pkg/inst_sys_pkg.zip"));
    Download(job);
    EXPECT_EQ(expected, job.strLocalFile);
    EXPECT_EQ(Package(), ReadAll(expected));
}

TEST_F(DownloadWorkerTest, OtherLocalPathsSelectTheUpdatersDirectory) {
    const wchar_t* values[] = {L"", L"system", L"SYSTEM", L"System ", L"C:\\Windows\\System32"};
    for (const wchar_t* value : values) {
        g_strLocalPath = CString(value);
        EXPECT_EQ(GetModuleDirectory(), PackageDirectory(g_strLocalPath)) << value;
    }
    EXPECT_EQ(SystemDirectory(), PackageDirectory(CString(L"System")));
}

TEST_F(DownloadWorkerTest, AnErrorPageIsSavedAsThePackage) {
    // The transfer reports success for a 404: the installation must check.
    const CString expected = GetModuleDirectory() + CString(L"\\missing.zip");
    RemoveAfterwards(expected);
    DownloadJob job = Job(m_server.Url(L"/pkg/missing.zip"));
    Download(job);
    EXPECT_EQ(expected, job.strLocalFile);
    EXPECT_EQ(LoopbackServer::kNotFoundPage, ReadAll(expected));
}

TEST_F(DownloadWorkerTest, AFailedTransferLeavesNoFileAndNoPath) {
    const CString target = GetModuleDirectory() + CString(L"\\unreachable.zip");
    RemoveAfterwards(target);
    {
        std::ofstream stale(target.GetString(), std::ios::binary);
        stale << "an older attempt";
    }
    std::wstring url = L"http://127.0.0.1:" + std::to_wstring(UnusedLoopbackPort()) + L"/pkg/unreachable.zip";
    DownloadJob job = Job(url);
    EXPECT_EQ(0u, Download(job));
    EXPECT_TRUE(job.strLocalFile.IsEmpty());
    EXPECT_FALSE(Exists(target));
    EXPECT_EQ(1, m_sink.finished);
}

TEST_F(DownloadWorkerTest, ACancelledTransferLeavesNoFileAndNoPath) {
    m_server.Answer("/pkg/cancelled.zip", 200, "application/zip", Package());
    const CString target = GetModuleDirectory() + CString(L"\\cancelled.zip");
    RemoveAfterwards(target);
    ::SetEvent(m_cancel);  // seen at the first progress step
    DownloadJob job = Job(m_server.Url(L"/pkg/cancelled.zip"));
    EXPECT_EQ(0u, Download(job));
    EXPECT_TRUE(job.strLocalFile.IsEmpty());
    EXPECT_FALSE(Exists(target));
    EXPECT_EQ(1, m_sink.notices);
    EXPECT_EQ(1, m_sink.finished);
    EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(m_cancel, 0));
}

}  // namespace
