// The manifest request through Msxml2.XMLHTTP against a loopback server: one
// row per server behaviour.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "HttpGet.h"
#include "LoopbackServer.h"

namespace {

// The body becomes the text whatever the status; when no answer comes the
// text is left as it was. Every request is the manifest URL, '?' and a
// number 0..999, even when the URL has a query of its own.
TEST(HttpGetText, OneRequestWithANumberAndTheBodyWhateverTheStatus) {
    struct Case {
        const char* name;
        int status;  // 0: nothing listens
        std::string body;
        std::string query;  // of the manifest URL itself
        std::u16string text;
    };
    const Case cases[] = {
        {"UTF-8 manifest", 200, u8"<Update><UpdateInfo>修复了若干问题\r\n“自动升级”</UpdateInfo></Update>", "",
         u"<Update><UpdateInfo>修复了若干问题\r\n“自动升级”</UpdateInfo></Update>"},
        {"error page", 404, LoopbackServer::kNotFoundPage, "", Utf8ToUtf16(LoopbackServer::kNotFoundPage)},
        {"server error with a body", 500, "server trouble", "", u"server trouble"},
        {"empty body", 200, "", "", u""},
        {"URL with its own query", 200, "<a/>", "?channel=beta", u"<a/>"},
        {"nothing listens", 0, "", "", u"unchanged"},
    };
    LoopbackServer server;
    ASSERT_TRUE(server.Listening());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.Answer(c.status, c.body);
        const std::string path = "/client/updateqelda.xml" + c.query;
        const std::wstring target(path.begin(), path.end());
        CString text(u"unchanged");
        const std::wstring url = c.status ? server.Url(target) : LoopbackServer::Unreachable(target);
        EXPECT_EQ(1, HttpGetText(CString(url.c_str()), text));
        EXPECT_EQ(CString(c.text), text);
        const auto targets = server.TakeTargets();
        ASSERT_EQ(c.status ? 1u : 0u, targets.size());
        if (c.status == 0) continue;
        EXPECT_EQ(path + "?", targets[0].substr(0, path.size() + 1));
        EXPECT_TRUE(std::regex_match(targets[0].substr(path.size() + 1), std::regex("0|[1-9][0-9]{0,2}")))
            << targets[0];
    }
}

}  // namespace
