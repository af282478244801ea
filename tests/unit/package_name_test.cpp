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
