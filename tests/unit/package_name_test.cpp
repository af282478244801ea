// The package's file name from its URL: the last path segment without query and fragment, unless no safe file name.
#include <gtest/gtest.h>

#include "CString.h"
#include "PackageName.h"

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
    // Names kept as they are (nothing is decoded; only the exact device words are refused).
    for (const std::u16string name : {u"pkg_2_1.zip", u"%E5%8D%87.zip", u"升级包.zip", u".hidden", u"a b.zip",
                                      u"console.zip", u"COM10.zip", u"LPT0", u"COMA", fits.c_str()})
        EXPECT_EQ(PackageFileNameFromUrl(host + name), name);
    // Empty, dot or overlong segments; characters Windows forbids; a trailing
    // dot or blank; device names, also with an extension, in any letter case;
    // the updater's own names.
    for (const std::u16string name :
         {u"", u"dir/", u"?pkg.zip", u"#pkg.zip", u".", u"..?x", u"a<b.zip", u"a>b", u"c:evil.zip", u"a\"b",
          u"..\\..\\x.zip", u"a|b", u"a*b", u"a\tb", u"a\x01z", u"a\x7Fz", u"pkg.zip.", u"pkg.zip ", u"CON", u"con.zip",
          u"Prn.txt", u"aux", u"NUL.tar.gz", u"COM1", u"com9.zip", u"LPT1.zip", u"lpt5", u"COM\u00B9.zip", u"LPT\u00B2",
          u"com\u00B3", u"CON .zip", u"conin$", u"CONOUT$.zip", u"CLOCK$.zip", u".update-old-1.zip",
          u".UPDATE-STAGING-1", u".update-download-x.zip", overlong.c_str()})
        EXPECT_EQ(PackageFileNameFromUrl(host + name), kFallbackPackageName) << Utf16ToUtf8(name);
}
