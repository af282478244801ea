// The local file name of the update package, taken from its URL: the last
// path segment without query and fragment, or the fallback name
// when that is no safe Windows file name.
#include <gtest/gtest.h>

#include "CString.h"
#include "PackageName.h"

TEST(PackageName, FromUrl) {
    const struct {
        std::u16string url;
        std::u16string name;  // empty: the fallback
    } cases[] = {
        {u"http://127.0.0.1/pkg_2_1.zip", u"pkg_2_1.zip"}, {u"http://host/a/b/c/Qelda-2.0.zip", u"Qelda-2.0.zip"},
        {u"pkg.zip", u"pkg.zip"}, {u"http://host/%E5%8D%87.zip", u"%E5%8D%87.zip"}, {u"http://host/升级包.zip", u"升级包.zip"},
        {u"http://host/.hidden", u".hidden"}, {u"http://host/a b.zip", u"a b.zip"}, {u"http://host/console.zip", u"console.zip"},
        {u"http://host/COM10.zip", u"COM10.zip"}, {u"http://host/LPT0", u"LPT0"}, {u"http://host/COMA", u"COMA"},
        {u"http://host/pkg.zip?v=2", u"pkg.zip"}, {u"http://host/pkg.zip#part", u"pkg.zip"},
        {u"http://host/pkg.zip?a=1#b", u"pkg.zip"}, {u"http://host/dl?file=a/b/pkg.zip", u"dl"},
        {u"http://host/dl#x/y.zip", u"dl"}, {u"http://host/" + std::u16string(252, u'a') + u".zip", u""},
        {u"http://host/" + std::u16string(251, u'a') + u".zip", std::u16string(251, u'a') + u".zip"},
        // Empty, dot or overlong segments.
        {u"", u""}, {u"http://host/", u""}, {u"http://host/dir/", u""}, {u"http://host/?pkg.zip", u""},
        {u"http://host/#pkg.zip", u""}, {u"http://host/.", u""}, {u"http://host/..?x", u""}, {u"..", u""},
        // Characters Windows forbids, a trailing dot or blank, device names.
        {u"http://host/a<b.zip", u""}, {u"http://host/a>b", u""}, {u"http://host/c:evil.zip", u""},
        {u"http://host/a\"b", u""}, {u"http://host/..\\..\\evil.zip", u""}, {u"http://host/a|b", u""},
        {u"http://host/a?b", u"a"}, {u"http://host/a*b", u""}, {u"http://host/a\tb", u""},
        {u"http://host/a\x01z", u""}, {u"http://host/a\x7Fz", u""}, {u"C:\\Windows\\evil.zip", u""},
        {u"http://host/pkg.zip.", u""}, {u"http://host/pkg.zip ", u""}, {u"http://host/CON", u""},
        {u"http://host/con.zip", u""}, {u"http://host/Prn.txt", u""}, {u"http://host/aux", u""},
        {u"http://host/NUL.tar.gz", u""}, {u"http://host/COM1", u""}, {u"http://host/com9.zip", u""},
        {u"http://host/LPT1.zip", u""}, {u"http://host/lpt5", u""}, {u"http://host/COM\u00B9.zip", u""},
        {u"http://host/LPT\u00B2", u""}, {u"http://host/com\u00B3", u""}, {u"http://host/CON .zip", u""},
        {u"http://host/conin$", u""}, {u"http://host/CONOUT$.zip", u""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PackageFileNameFromUrl(c.url), c.name.empty() ? kFallbackPackageName : c.name) << Utf16ToUtf8(c.url);
}
