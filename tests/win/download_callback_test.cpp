// CBSCallbackImpl, the transfer's IBindStatusCallback: its COM identity and
// reference count, the reports it sends for each progress step, and the
// cancel event it consumes to abort the transfer.
#include <windows.h>

#include <gtest/gtest.h>
#include <urlmon.h>

#include <string>
#include <vector>

#include "BindStatusCallback.h"
#include "DownloadWorker.h"
#include "UpdateMessages.h"

namespace {

// A message-only window that records every WM_DOWNLOAD_PROGRESS it gets.
class ProgressSink {
public:
    struct Report {
        bool notice;  // lParam 0
        DownloadProgress progress;
        std::wstring text;
    };

    ProgressSink() {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"InstProgressSink";
        ::RegisterClassW(&wc);
        m_hWnd = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                   nullptr);
        ::SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~ProgressSink() { ::DestroyWindow(m_hWnd); }
    ProgressSink(const ProgressSink&) = delete;
    ProgressSink& operator=(const ProgressSink&) = delete;

    HWND Handle() const { return m_hWnd; }
    const std::vector<Report>& Reports() const { return m_reports; }

private:
    static LRESULT CALLBACK Proc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_DOWNLOAD_PROGRESS) {
            auto* self = reinterpret_cast<ProgressSink*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
            Report report = {lParam == 0, {}, {}};
            if (lParam != 0) {
                report.progress = *reinterpret_cast<const DownloadProgress*>(lParam);
                if (report.progress.szStatusText) report.text = report.progress.szStatusText;
                report.progress.szStatusText = nullptr;  // valid only during the send
            }
            self->m_reports.push_back(report);
            return 0;
        }
        return ::DefWindowProcW(hWnd, message, wParam, lParam);
    }

    HWND m_hWnd = nullptr;
    std::vector<Report> m_reports;
};

struct Event {
    Event() : handle(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~Event() { ::CloseHandle(handle); }
    HANDLE handle;
};

TEST(TransferCallbackIdentity, AnswersForIUnknownAndIBindStatusCallbackOnly) {
    CBSCallbackImpl callback(nullptr, nullptr);
    struct Case {
        const IID* iid;
        HRESULT expected;
    };
    const Case cases[] = {
        {&IID_IUnknown, S_OK},
        {&IID_IBindStatusCallback, S_OK},
        {&IID_IBinding, E_NOINTERFACE},
        {&IID_IHttpNegotiate, E_NOINTERFACE},
        {&IID_IAuthenticate, E_NOINTERFACE},
        {&IID_IDispatch, E_NOINTERFACE},
        {&IID_IMoniker, E_NOINTERFACE},
        {&GUID_NULL, E_NOINTERFACE},
    };
    LONG count = callback.RefCount();
    for (const Case& c : cases) {
        void* out = reinterpret_cast<void*>(0x1234);  // cleared first, whatever the answer
        EXPECT_EQ(c.expected, callback.QueryInterface(*c.iid, &out));
        if (c.expected == S_OK) {
            EXPECT_EQ(static_cast<IBindStatusCallback*>(&callback), out);
            EXPECT_EQ(++count, callback.RefCount());
        } else {
            EXPECT_EQ(nullptr, out);
            EXPECT_EQ(count, callback.RefCount());
        }
    }
    EXPECT_EQ(E_POINTER, callback.QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(count, callback.RefCount());
}

TEST(TransferCallbackIdentity, CountStartsAtOneAndReleaseNeverFrees) {
    CBSCallbackImpl callback(nullptr, nullptr);
    EXPECT_EQ(1, callback.RefCount());
    EXPECT_EQ(2u, callback.AddRef());
    EXPECT_EQ(3u, callback.AddRef());
    EXPECT_EQ(2u, callback.Release());
    EXPECT_EQ(1u, callback.Release());
    EXPECT_EQ(0u, callback.Release());  // a stack object: still usable
    EXPECT_EQ(1u, callback.AddRef());
}

TEST(TransferCallbackIdentity, FixedAnswersOfTheOtherOperations) {
    CBSCallbackImpl callback(nullptr, nullptr);
    LONG priority = 7;
    EXPECT_EQ(S_OK, callback.OnStartBinding(0, nullptr));
    EXPECT_EQ(E_NOTIMPL, callback.GetPriority(&priority));
    EXPECT_EQ(7, priority);
    EXPECT_EQ(S_OK, callback.OnLowResource(0));
    EXPECT_EQ(S_OK, callback.OnStopBinding(E_FAIL, L"x"));
    DWORD flags = 0x55;
    BINDINFO info = {};
    info.cbSize = 0x77;
    EXPECT_EQ(S_OK, callback.GetBindInfo(&flags, &info));
    EXPECT_EQ(0x55u, flags);  // left as they came
    EXPECT_EQ(0x77u, info.cbSize);
    EXPECT_EQ(S_OK, callback.OnDataAvailable(0, 0, nullptr, nullptr));
    EXPECT_EQ(S_OK, callback.OnObjectAvailable(IID_IUnknown, nullptr));
}

TEST(TransferCallbackProgress, EachStepIsSentWithItsValues) {
    ProgressSink sink;
    CBSCallbackImpl callback(sink.Handle(), nullptr);
    EXPECT_EQ(S_OK, callback.OnProgress(0, 0, BINDSTATUS_CONNECTING, L"127.0.0.1"));
    EXPECT_EQ(S_OK, callback.OnProgress(500, 1000, BINDSTATUS_DOWNLOADINGDATA, nullptr));
    EXPECT_EQ(S_OK, callback.OnProgress(0xFFFFFFFFu, 0x80000000u, BINDSTATUS_ENDDOWNLOADDATA, L""));
    ASSERT_EQ(3u, sink.Reports().size());
    const auto& r = sink.Reports();
    EXPECT_FALSE(r[0].notice);
    EXPECT_EQ(0u, r[0].progress.ulProgress);
    EXPECT_EQ(0u, r[0].progress.ulProgressMax);
    EXPECT_EQ(static_cast<ULONG>(BINDSTATUS_CONNECTING), r[0].progress.ulStatusCode);
    EXPECT_EQ(L"127.0.0.1", r[0].text);
    EXPECT_EQ(500u, r[1].progress.ulProgress);
    EXPECT_EQ(1000u, r[1].progress.ulProgressMax);
    EXPECT_EQ(0xFFFFFFFFu, r[2].progress.ulProgress);  // passed on unchanged
    EXPECT_EQ(0x80000000u, r[2].progress.ulProgressMax);
}

TEST(TransferCallbackProgress, StatusCodesOutside1To25ArriveAs26) {
    struct Case {
        ULONG in, out;
    };
    const Case cases[] = {{0, 26}, {1, 1}, {2, 2}, {13, 13}, {25, 25}, {26, 26}, {27, 26}, {50, 26},
                          {0x7FFFFFFF, 26}, {0xFFFFFFFF, 26}};
    ProgressSink sink;
    CBSCallbackImpl callback(sink.Handle(), nullptr);
    for (const Case& c : cases) EXPECT_EQ(S_OK, callback.OnProgress(1, 2, c.in, nullptr));
    ASSERT_EQ(std::size(cases), sink.Reports().size());
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].out, sink.Reports()[i].progress.ulStatusCode) << "status " << cases[i].in;
}

TEST(TransferCallbackProgress, NoWindowMeansNoReport) {
    Event cancel;
    CBSCallbackImpl callback(nullptr, cancel.handle);
    EXPECT_EQ(S_OK, callback.OnProgress(1, 2, 3, nullptr));
    ::SetEvent(cancel.handle);
    EXPECT_EQ(E_ABORT, callback.OnProgress(1, 2, 3, nullptr));
}

TEST(TransferCallbackCancel, ASetEventAbortsOnceWithOneNotice) {
    ProgressSink sink;
    Event cancel;
    CBSCallbackImpl callback(sink.Handle(), cancel.handle);
    EXPECT_EQ(S_OK, callback.OnProgress(10, 100, BINDSTATUS_DOWNLOADINGDATA, nullptr));
    ::SetEvent(cancel.handle);
    ::SetEvent(cancel.handle);  // two requests before the next step: one abort
    EXPECT_EQ(E_ABORT, callback.OnProgress(20, 100, BINDSTATUS_DOWNLOADINGDATA, nullptr));
    EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(cancel.handle, 0));  // consumed
    EXPECT_EQ(S_OK, callback.OnProgress(30, 100, BINDSTATUS_DOWNLOADINGDATA, nullptr));

    ASSERT_EQ(4u, sink.Reports().size());
    EXPECT_FALSE(sink.Reports()[0].notice);
    // The step's own report comes first, then the cancellation notice.
    EXPECT_FALSE(sink.Reports()[1].notice);
    EXPECT_EQ(20u, sink.Reports()[1].progress.ulProgress);
    EXPECT_TRUE(sink.Reports()[2].notice);
    EXPECT_FALSE(sink.Reports()[3].notice);
}

TEST(TransferCallbackCancel, NoEventNeverAborts) {
    ProgressSink sink;
    CBSCallbackImpl callback(sink.Handle(), nullptr);
    for (ULONG i = 0; i < 5; ++i) EXPECT_EQ(S_OK, callback.OnProgress(i, 5, 5, nullptr));
    EXPECT_EQ(5u, sink.Reports().size());
}

}  // namespace
