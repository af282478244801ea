// The package's file name from its URL: the last path segment without query and fragment, unless no safe file name.
#include <gtest/gtest.h>

#include "CString.h"
#include "PackageName.h"
#include "WebAddress.h"

TEST(PackageName, FromUrl) {
    const std::u16string host = u"http://host/", fits = std::u16string(251, u'a') + u".zip", overlong = u"a" + fits;
    const std::pair<std::u16string, std::u16string> cases[] = {  // an empty name: the fallback
        {u"pkg.zip", u"pkg.zip"}, {u"", u""}, {u"..", u""}, {u"C:\\Windows\\evil.zip", u""},
        {host + u"a/b/Qelda-2.0.zip", u"Qelda-2.0.zip"}, {host + u"pkg.zip?v=2", u"pkg.zip"},
        {host + u"pkg.zip#part", u"pkg.zip"}, {host + u"pkg.zip?a=1#b", u"pkg.zip"}, {host + u"dl?f=a/pkg.zip", u"dl"},
        {host + u"dl#x/y.zip", u"dl"}, {host + u"a?b", u"a"},
    };
    for (const auto& [url, name] : cases)
        EXPECT_EQ(PackageFileNameFromUrl(url), name.empty() ? kFallbackPackageName : name) << Utf16ToUtf8(url);
    // Names kept as they are (nothing is decoded), and names the updater's one file-name rule refuses (its cases are
    // in archive_reader_test's EntryNames): a few of each, to show that the rule is the one applied.
    for (const std::u16string name :
         {u"pkg_2_1.zip", u"%E5%8D%87.zip", u"升级包.zip", u".hidden", u"a b.zip", fits.c_str()})
        EXPECT_EQ(PackageFileNameFromUrl(host + name), name);
    for (const std::u16string name : {u"", u"dir/", u"?pkg.zip", u".", u"..?x", u"..\\..\\x.zip", u"c:evil.zip",
                                      u"a\tb", u"pkg.zip.", u"con.zip", u"CLOCK$.zip", u".update-old-1.zip",
                                      overlong.c_str()})
        EXPECT_EQ(PackageFileNameFromUrl(host + name), kFallbackPackageName) << Utf16ToUtf8(name);
}

// The one address rule for what reaches the network or the shell.
TEST(WebAddress, OnlyAbsoluteHttpAndHttps) {
    for (const char16_t* yes : {u"http://host/", u"https://host", u"HTTP://Host:8080/p?q=1#f", u"hTtPs://a.b/c/d.zip",
                                u"http://user@host/x", u"http://127.0.0.1:47616/pkg/Qelda-2.0.zip",
                                u"http://[::1]:80/", u"http://例子.测试/升级.zip"})
        EXPECT_TRUE(IsWebAddress(yes)) << Utf16ToUtf8(yes);
    for (const char16_t* no :
         {u"", u"http://", u"https://", u"http:///path", u"http://:80/", u"http://user@/x", u"http:/host/",
          u"http:\\\\host\\share", u"http://host\\..\\x", u"file:///C:/Windows/notepad.exe", u"file://host/share/p.zip",
          u"\\\\host\\share\\p.zip", u"C:\\Windows\\System32\\calc.exe", u"calc.exe", u"/client/log.html",
          u"//host/log", u"ftp://host/p.zip", u"qeldalinktest:release-notes", u"javascript:alert(1)",
          u"mailto:a@b", u" http://host/", u"http://host/ a", u"http://host/\ta", u"http://ho\nst/",
          u"http://host/\u0085", u"httpx://host/", u"https:host", u"http://host/\u00A0a", u"http://host/\u3000",
          u"http://host/\u2028", u"http://host/\u202Ecod.exe", u"http://ho\u200Bst/"})
        EXPECT_FALSE(IsWebAddress(no)) << Utf16ToUtf8(no);
}
