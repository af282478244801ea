// The package download: the transfer's IBindStatusCallback on its own, and
// the download worker against a loopback server.
#include <windows.h>

#include <gtest/gtest.h>
#include <urlmon.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "BindStatusCallback.h"
#include "DownloadWorker.h"
#include "LoopbackServer.h"
#include "Sync.h"
#include "UpdateMessages.h"

namespace {

// One WM_DOWNLOAD_PROGRESS: notice (lParam 0), progress, maximum, status code.
using Report = std::tuple<bool, ULONG, ULONG, ULONG>;
const Report kNotice{true, 0, 0, 0};

// What a message-only window of this thread, in the update dialog's place,
// has received since Sink() handed it out (with the procedure below).
std::vector<Report> g_reports;
int g_finished = 0, g_reportsAfterFinish = 0;

LRESULT CALLBACK SinkProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    const auto* p = reinterpret_cast<const DownloadProgress*>(lParam);  // valid during the send only
    if (message == WM_DOWNLOAD_PROGRESS) {
        g_reports.push_back(p ? Report{false, p->ulProgress, p->ulProgressMax, p->ulStatusCode} : kNotice);
        g_reportsAfterFinish += g_finished;
    }
    if (message == WM_DOWNLOAD_FINISHED) ++g_finished;
    return ::DefWindowProcW(hWnd, message, wParam, lParam);
}

HWND Sink() {
    static const HWND window =
        ::CreateWindowExW(0, L"Static", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SinkProc));
    g_reports.clear();
    g_finished = g_reportsAfterFinish = 0;
    return window;
}

// It answers for IUnknown and IBindStatusCallback only, counts references
// from one, and Release never frees it (it lives on the worker's stack).
TEST(TransferCallback, AnswersForItsTwoInterfacesAndNeverFreesItself) {
    const std::pair<const IID*, HRESULT> cases[] = {{&IID_IUnknown, S_OK},
                                                    {&IID_IBindStatusCallback, S_OK},
                                                    {&IID_IHttpNegotiate, E_NOINTERFACE},
                                                    {&IID_IAuthenticate, E_NOINTERFACE},
                                                    {&GUID_NULL, E_NOINTERFACE}};
    CBSCallbackImpl callback(nullptr, nullptr);
    LONG refs = 1;
    for (const auto& [iid, result] : cases) {
        void* out = &refs;  // cleared whatever the answer
        EXPECT_EQ(result, callback.QueryInterface(*iid, &out));
        EXPECT_EQ(result == S_OK ? static_cast<IBindStatusCallback*>(&callback) : nullptr, out);
        if (result == S_OK) ++refs;
        EXPECT_EQ(refs, callback.RefCount());
    }
    EXPECT_EQ(E_POINTER, callback.QueryInterface(IID_IUnknown, nullptr));
    while (refs > 0) EXPECT_EQ(static_cast<ULONG>(--refs), callback.Release());
    EXPECT_EQ(1u, callback.AddRef());  // still there at zero
}

// The bind flags it is given stay, and ask for the server's copy on top: a
// cache (the system's, or a proxy's) must not hand back an earlier attempt's
// package. Wine's transfer ignores these flags, so only the contract shows.
TEST(TransferCallback, AsksForTheServersCopy) {
    CBSCallbackImpl callback(nullptr, nullptr);
    DWORD flags = BINDF_ASYNCHRONOUS;
    BINDINFO info{};
    info.cbSize = sizeof info;
    EXPECT_EQ(S_OK, callback.GetBindInfo(&flags, &info));
    EXPECT_EQ(DWORD{BINDF_ASYNCHRONOUS | BINDF_GETNEWESTVERSION | BINDF_RESYNCHRONIZE | BINDF_PRAGMA_NO_CACHE}, flags);
}

// Each step is sent at once with its values; a status code outside 1..25
// arrives as 26.
TEST(TransferCallback, SendsEachStepWithItsValues) {
    // progress, maximum, status code, status code sent
    const ULONG cases[][4] = {{0, 0, 1, 1},  {500, 1000, 5, 5}, {0xFFFFFFFF, 0x80000000, 25, 25},
                              {1, 2, 0, 26}, {1, 2, 26, 26},    {1, 2, 0xFFFFFFFF, 26}};
    CBSCallbackImpl callback(Sink(), nullptr);
    for (const auto& c : cases) {
        EXPECT_EQ(S_OK, callback.OnProgress(c[0], c[1], c[2], L"text"));
        EXPECT_EQ(std::vector<Report>{Report(false, c[0], c[1], c[3])}, std::exchange(g_reports, {}));
    }
}

// A set cancel event aborts the next step after its report, with one notice;
// the wait consumes the (auto-reset) event, so two requests are one.
TEST(TransferCallback, ACancelAbortsOneStepWithOneNotice) {
    CEvent cancel;
    CBSCallbackImpl callback(Sink(), cancel);
    EXPECT_EQ(S_OK, callback.OnProgress(10, 100, 5, nullptr));
    cancel.SetEvent();
    cancel.SetEvent();
    EXPECT_EQ(E_ABORT, callback.OnProgress(20, 100, 5, nullptr));
    EXPECT_EQ(S_OK, callback.OnProgress(30, 100, 5, nullptr));
    const std::vector<Report> expected = {{false, 10, 100, 5}, {false, 20, 100, 5}, kNotice, {false, 30, 100, 5}};
    EXPECT_EQ(expected, g_reports);
}

// Runs the worker as the update dialog does, dispatching this thread's
// messages (the worker's progress sends) until the thread has ended.
void Download(const std::shared_ptr<DownloadJob>& job) {
    CWinThread* worker = AfxBeginThread(DownloadThreadProc, new std::shared_ptr<DownloadJob>(job),
                                        THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    ASSERT_NE(nullptr, worker);
    worker->m_bAutoDelete = FALSE;
    worker->ResumeThread();
    AfxWaitDispatching(60000, &worker->m_hThread, 1);
    AfxPumpMessages();
    delete worker;
}

// The download folders in `folder`.
std::vector<std::wstring> DownloadFolders(const std::wstring& folder) {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileW((folder + L".update-download-*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return found;
    do found.push_back(folder + data.cFileName); while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return found;
}

// One row per server behaviour. The package is saved in a new download
// folder in the updater's folder, or in the system folder for LocalPath
// "System" exactly, under its own name: no file of the product or the system
// can be overwritten. The transfer saves an error page too. Only http(s)
// addresses are fetched. A failed, cancelled or oversized transfer leaves no
// folder and no path. One finish message ends every run, and nothing is sent
// after it.
TEST(DownloadWorker, SavesThePackageInAFolderOfItsOwnOrLeavesNothing) {
    struct Case {
        const char* name;
        int status;  // 0: nothing listens
        std::wstring url;  // "": the server's /pkg/ + file
        const char16_t* localPath;
        bool system, cancel;
        unsigned long long limit;
        std::string saved;  // empty: nothing
    };
    const std::string package = "PK\x03\x04" + std::string(20000, 'q');
    const Case cases[] = {
        {"the package", 200, L"", u"", false, false, kMaxPackageBytes, package},
        {"LocalPath System", 200, L"", u"System", true, false, kMaxPackageBytes, package},
        {"LocalPath is compared exactly", 200, L"", u"system", false, false, kMaxPackageBytes, package},
        {"an error page", 404, L"", u"", false, false, kMaxPackageBytes, LoopbackServer::kNotFoundPage},
        {"nothing listens", 0, L"", u"", false, false, kMaxPackageBytes, ""},
        {"cancelled", 200, L"", u"", false, true, kMaxPackageBytes, ""},
        {"larger than the limit", 200, L"", u"", false, false, 10000, ""},
        {"a file: address", 200, L"file:///C:/windows/win.ini", u"", false, false, kMaxPackageBytes, ""},
    };
    LoopbackServer server;
    ASSERT_TRUE(server.Listening());
    const CString savedLocalPath = g_strLocalPath;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.Answer(c.status, c.status == 200 ? package : LoopbackServer::kNotFoundPage);
        wchar_t system[MAX_PATH] = {};
        ::GetSystemDirectoryW(system, MAX_PATH);
        const std::wstring folder = (c.system ? system : GetModuleDirectory().GetString()) + std::wstring(L"\\");
        const std::wstring same = folder + L"pkg_2_1.zip";  // a file of the package's name is left alone
        std::ofstream(same.c_str(), std::ios::binary) << "a file of that name";
        g_strLocalPath = CString(c.localPath);
        CEvent cancel;
        if (c.cancel) cancel.SetEvent();
        auto job = std::make_shared<DownloadJob>();
        job->hNotifyWnd = Sink();
        job->hCancelEvent = cancel;
        job->meter.limit = c.limit;
        job->strUrl = !c.url.empty() ? CString(c.url.c_str())
                      : c.status   ? CString(server.Url(L"/pkg/pkg_2_1.zip").c_str())
                                   : CString(LoopbackServer::Unreachable(L"/pkg/pkg_2_1.zip").c_str());
        const std::vector<std::wstring> before = DownloadFolders(folder);
        Download(job);

        std::vector<std::wstring> made;  // by this row
        for (const std::wstring& f : DownloadFolders(folder))
            if (std::find(before.begin(), before.end(), f) == before.end()) made.push_back(f);
        ASSERT_EQ(c.saved.empty() ? 0u : 1u, made.size());
        EXPECT_EQ(c.saved.empty() ? CString() : CString(made[0].c_str()), job->strFolder);
        EXPECT_EQ(c.saved.empty() ? CString() : CString((made[0] + L"\\pkg_2_1.zip").c_str()), job->strLocalFile);
        std::ostringstream content;
        if (!c.saved.empty()) content << std::ifstream(job->strLocalFile.GetString(), std::ios::binary).rdbuf();
        EXPECT_EQ(c.saved, content.str());
        EXPECT_EQ(1, g_finished);
        EXPECT_TRUE(job->finished.load());
        EXPECT_EQ(0, g_reportsAfterFinish);
        EXPECT_EQ(c.cancel || c.limit < package.size() ? 1 : 0, std::count(g_reports.begin(), g_reports.end(), kNotice));
        EXPECT_EQ(c.url.empty() && c.status ? 1u : 0u, server.TakeTargets().size());
        std::ostringstream kept;
        kept << std::ifstream(same.c_str(), std::ios::binary).rdbuf();
        EXPECT_EQ("a file of that name", kept.str());
        for (const std::wstring& f : made) {
            ::DeleteFileW((f + L"\\pkg_2_1.zip").c_str());
            ::RemoveDirectoryW(f.c_str());
        }
        ::DeleteFileW(same.c_str());
    }
    g_strLocalPath = savedLocalPath;
}

}  // namespace
