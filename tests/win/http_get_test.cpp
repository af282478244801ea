// The manifest download against a loopback server started by the test.
#include <windows.h>

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>

#include "HttpGet.h"
#include "LoopbackServer.h"
#include "MessageBoxRecorder.h"

namespace {

CString Wide(const std::wstring& s) { return CString(s.c_str()); }

// "?" then 1 to 3 digits without leading zeros: 0..999.
const std::regex kQuery(R"(\?(0|[1-9][0-9]{0,2})$)");

TEST(RequestUrl, ManifestUrlThenQuestionMarkThenNumber) {
    struct Case {
        const char16_t* url;
        int number;
        const char16_t* expected;
    };
    const Case cases[] = {
        {u"http://h/client/updateqelda.xml", 0, u"http://h/client/updateqelda.xml?0"},
        {u"http://h/client/updateqelda.xml", 7, u"http://h/client/updateqelda.xml?7"},
        {u"http://h/client/updateqelda.xml", 999, u"http://h/client/updateqelda.xml?999"},
        {u"http://h/client/updateqelda.xml?channel=beta", 42, u"http://h/client/updateqelda.xml?channel=beta?42"},
        {u"", 5, u"?5"},
    };
    for (const Case& c : cases) EXPECT_EQ(CString(c.expected), MakeManifestRequestUrl(CString(c.url), c.number));
}

TEST(RequestUrl, NumberIsBelowOneThousandAndStableWithinASecond) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::time_t before = std::time(nullptr);
        const int a = DrawManifestRequestNumber();
        const int b = DrawManifestRequestNumber();
        const std::time_t after = std::time(nullptr);
        EXPECT_GE(a, 0);
        EXPECT_LE(a, 999);
        if (before == after) {
            EXPECT_EQ(a, b);
            return;
        }
    }
    FAIL() << "the clock kept crossing second boundaries";
}

class HttpGetTextTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_server.Listening()); }
    LoopbackServer m_server;
    MessageBoxRecorder m_boxes;  // nothing may be shown
    void TearDown() override { EXPECT_TRUE(m_boxes.Boxes().empty()); }
};

TEST_F(HttpGetTextTest, RequestsManifestWithNumericQueryAndReturnsBody) {
    const std::string body = "<?xml version=\"1.0\"?><UpdateList><Update><NewVer>2.0</NewVer></Update></UpdateList>";
    m_server.Answer("/client/updateqelda.xml", 200, "text/xml", body);
    CString text;
    EXPECT_EQ(1, HttpGetText(Wide(m_server.Url(L"/client/updateqelda.xml")), text));
    EXPECT_EQ(CString(Utf8ToUtf16(body)), text);
    const auto targets = m_server.Targets();
    ASSERT_EQ(1u, targets.size());
    EXPECT_EQ(0u, targets[0].find("/client/updateqelda.xml?"));
    EXPECT_TRUE(std::regex_search(targets[0], kQuery)) << targets[0];
}

TEST_F(HttpGetTextTest, ErrorStatusBodyBecomesTheText) {
    CString text;
    EXPECT_EQ(1, HttpGetText(Wide(m_server.Url(L"/client/missing404.xml")), text));
    EXPECT_EQ(CString(Utf8ToUtf16(LoopbackServer::kNotFoundPage)), text);
}

TEST_F(HttpGetTextTest, ServerErrorBodyBecomesTheText) {
    m_server.Answer("/client/broken.xml", 500, "text/plain", "server trouble");
    CString text = L"before";
    EXPECT_EQ(1, HttpGetText(Wide(m_server.Url(L"/client/broken.xml")), text));
    EXPECT_EQ(CString(u"server trouble"), text);
}

TEST_F(HttpGetTextTest, ManifestUrlWithItsOwnQueryGetsASecondQuestionMark) {
    m_server.Answer("/client/query.xml", 200, "text/xml", "<a/>");
    CString text;
    EXPECT_EQ(1, HttpGetText(Wide(m_server.Url(L"/client/query.xml?channel=beta")), text));
    const auto targets = m_server.Targets();
    ASSERT_EQ(1u, targets.size());
    EXPECT_EQ(0u, targets[0].find("/client/query.xml?channel=beta?")) << targets[0];
    EXPECT_TRUE(std::regex_search(targets[0], kQuery)) << targets[0];
    EXPECT_EQ(CString(u"<a/>"), text);
}

TEST_F(HttpGetTextTest, Utf8BodyArrivesAsUtf16) {
    const std::u16string expected = u"<Update><UpdateInfo>修复了若干问题\r\n新增“自动升级”</UpdateInfo></Update>";
    m_server.Answer("/client/chinese.xml", 200, "text/xml; charset=utf-8", Utf16ToUtf8(expected));
    CString text;
    EXPECT_EQ(1, HttpGetText(Wide(m_server.Url(L"/client/chinese.xml")), text));
    EXPECT_EQ(CString(expected), text);
}

TEST_F(HttpGetTextTest, EmptyBodyReplacesTheText) {
    m_server.Answer("/client/empty.xml", 200, "text/xml", "");
    CString text = L"old";
    EXPECT_EQ(1, HttpGetText(Wide(m_server.Url(L"/client/empty.xml")), text));
    EXPECT_EQ(CString(), text);
}

TEST_F(HttpGetTextTest, RefusedConnectionLeavesTextUnchanged) {
    const unsigned short port = UnusedLoopbackPort();
    ASSERT_NE(0, port);
    CString text = L"unchanged";
    EXPECT_EQ(1, HttpGetText(Wide(L"http://127.0.0.1:" + std::to_wstring(port) + L"/client/updateqelda.xml"), text));
    EXPECT_EQ(CString(u"unchanged"), text);
}

TEST_F(HttpGetTextTest, UnusableUrlLeavesTextUnchanged) {
    const wchar_t* urls[] = {L"not a url", L"", L"http://"};
    for (const wchar_t* url : urls) {
        SCOPED_TRACE(CString(url).size());
        CString text = L"unchanged";
        EXPECT_EQ(1, HttpGetText(CString(url), text));
        EXPECT_EQ(CString(u"unchanged"), text);
    }
}

}  // namespace
