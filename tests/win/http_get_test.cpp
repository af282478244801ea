// The manifest request against a loopback server: one row per server
// behaviour.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "HttpGet.h"
#include "LoopbackServer.h"

namespace {

// The body becomes the text whatever the status; when no answer comes, or
// not all of it within the time, or more than the limit, the text is left as
// it was. Every request is the manifest URL, '?' and a number 0..999, even
// when the URL has a query of its own. (Here the time is 3 s and the limit
// 4000 bytes; the program's are 30 s and 16 MiB.)
TEST(HttpGetText, OneRequestWithANumberAndTheBodyWhateverTheStatus) {
    using Pace = LoopbackServer::Pace;
    struct Case {
        const char* name;
        int status;  // 0: nothing listens
        std::string body;
        std::string query;  // of the manifest URL itself
        std::u16string text;
        Pace pace;
    };
    const Case cases[] = {
        {"UTF-8 manifest", 200, u8"<Update><UpdateInfo>修复了若干问题\r\n“自动升级”</UpdateInfo></Update>", "",
         u"<Update><UpdateInfo>修复了若干问题\r\n“自动升级”</UpdateInfo></Update>", Pace::Whole},
        {"error page", 404, LoopbackServer::kNotFoundPage, "", Utf8ToUtf16(LoopbackServer::kNotFoundPage), Pace::Whole},
        {"server error with a body", 500, "server trouble", "", u"server trouble", Pace::Whole},
        {"empty body", 200, "", "", u"", Pace::Whole},
        {"URL with its own query", 200, "<a/>", "?channel=beta", u"<a/>", Pace::Whole},
        {"at the limit, unsized", 200, std::string(4000, 'x'), "", std::u16string(4000, u'x'), Pace::Unsized},
        {"nothing listens", 0, "", "", u"unchanged", Pace::Whole},
        {"over the limit, unsized", 200, std::string(4001, 'x'), "", u"unchanged", Pace::Unsized},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackServer server;
        ASSERT_TRUE(server.Listening());
        server.Answer(c.status, c.body, c.pace);
        const std::string path = "/client/updateqelda.xml" + c.query;
        const std::wstring target(path.begin(), path.end());
        CString text(u"unchanged");
        const std::wstring url = c.status ? server.Url(target) : LoopbackServer::Unreachable(target);
        const DWORD start = ::GetTickCount();
        EXPECT_EQ(1, HttpGetTextWithin(CString(url.c_str()), text, 3000, 4000));
        EXPECT_LT(::GetTickCount() - start, 4000u);
        EXPECT_EQ(CString(c.text), text);
        const auto targets = server.TakeTargets();
        ASSERT_EQ(c.status ? 1u : 0u, targets.size());
        if (c.status == 0) continue;
        EXPECT_EQ(path + "?", targets[0].substr(0, path.size() + 1));
        EXPECT_TRUE(std::regex_match(targets[0].substr(path.size() + 1), std::regex("0|[1-9][0-9]{0,2}")))
            << targets[0];
    }
}

// A server that trickles for ever while the waiting thread is flooded with
// messages (each one posts the next): the request is given up at its time
// all the same, and the flood was dispatched meanwhile.
int g_flood = 0;
LRESULT CALLBACK Flood(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message != WM_APP) return ::DefWindowProcW(window, message, w, l);
    ++g_flood;
    ::PostMessageW(window, WM_APP, 0, 0);
    return 0;
}

TEST(HttpGetText, GivesUpAtItsTimeWhateverTheServerAndTheQueue) {
    LoopbackServer server;
    ASSERT_TRUE(server.Listening());
    server.Answer(200, "<a/>", LoopbackServer::Pace::Trickle);
    WNDCLASSW flood{};
    flood.lpfnWndProc = Flood;
    flood.lpszClassName = L"QeldaFloodTest";
    ::RegisterClassW(&flood);
    const HWND window = ::CreateWindowW(L"QeldaFloodTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ::PostMessageW(window, WM_APP, 0, 0);
    CString text(u"unchanged");
    HttpGetReport report;
    const DWORD start = ::GetTickCount();
    HttpGetTextWithin(CString(server.Url(L"/client/updateqelda.xml").c_str()), text, 1500, 1 << 20, &report);
    const DWORD took = ::GetTickCount() - start;
    ::DestroyWindow(window);
    EXPECT_GE(took, 1500u);
    EXPECT_LT(took, 2500u);
    EXPECT_EQ(CString(u"unchanged"), text);
    EXPECT_EQ(kHttpTimedOut, report.result);
    EXPECT_EQ(200u, report.status) << "the answer had begun";
    EXPECT_GT(report.bytes, 0u);
    EXPECT_GT(g_flood, 100);
}

}  // namespace
