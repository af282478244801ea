// The local file name of the update package, taken from its URL.
#include <gtest/gtest.h>

#include <string>

#include "PackageName.h"

namespace {

struct NameCase {
    const char16_t* url;
    const char16_t* expected;  // null: the fallback name
};

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += (c < 0x80) ? static_cast<char>(c) : '?';
    return out;
}


template <std::size_t N>
void CheckAll(const NameCase (&cases)[N]) {
    for (const NameCase& c : cases) {
        const std::u16string expected = c.expected ? std::u16string(c.expected) : std::u16string(kFallbackPackageName);
        EXPECT_EQ(PackageFileNameFromUrl(c.url), expected) << Narrow(c.url);
    }
}

TEST(PackageName, LastPathSegmentIsKept) {
    const NameCase cases[] = {
        {u"http://127.0.0.1/pkg_2_1.zip", u"pkg_2_1.zip"},
        {u"http://host/a/b/c/Qelda-2.0.zip", u"Qelda-2.0.zip"},
        {u"pkg.zip", u"pkg.zip"},  // no '/' at all: the whole text
        {u"http://host/%E5%8D%87%E7%BA%A7.zip", u"%E5%8D%87%E7%BA%A7.zip"},  // escapes stay
        {u"http://host/升级包.zip", u"升级包.zip"},
        {u"http://host/.hidden", u".hidden"},
        {u"http://host/a b.zip", u"a b.zip"},
        {u"http://host/console.zip", u"console.zip"},  // only the exact device words
        {u"http://host/COM10.zip", u"COM10.zip"},
        {u"http://host/LPT0", u"LPT0"},
    };
    CheckAll(cases);
}

TEST(PackageName, QueryAndFragmentAreDropped) {
    const NameCase cases[] = {
        {u"http://host/pkg.zip?v=2", u"pkg.zip"},
        {u"http://host/pkg.zip#part", u"pkg.zip"},
        {u"http://host/pkg.zip?a=1#b", u"pkg.zip"},
        {u"http://host/dl?file=a/b/pkg.zip", u"dl"},  // a '/' in the query is not a segment
        {u"http://host/dl#x/y.zip", u"dl"},
        {u"http://host/pkg.zip?", u"pkg.zip"},
    };
    CheckAll(cases);
}

TEST(PackageName, EmptyOrDotSegmentsFallBack) {
    const NameCase cases[] = {
        {u"", nullptr},
        {u"http://host/", nullptr},
        {u"http://host/dir/", nullptr},
        {u"http://host/?pkg.zip", nullptr},
        {u"http://host/#pkg.zip", nullptr},
        {u"http://host/.", nullptr},
        {u"http://host/..", nullptr},
        {u"http://host/..?x", nullptr},
        {u"..", nullptr},
    };
    CheckAll(cases);
}

TEST(PackageName, ForbiddenCharactersFallBack) {
    const NameCase cases[] = {
        {u"http://host/a<b.zip", nullptr},  {u"http://host/a>b.zip", nullptr},
        {u"http://host/c:evil.zip", nullptr}, {u"http://host/a\"b.zip", nullptr},
        {u"http://host/..\\..\\evil.zip", nullptr}, {u"http://host/a|b.zip", nullptr},
        {u"http://host/a*b.zip", nullptr},  {u"http://host/a\tb.zip", nullptr},
        {u"http://host/a\x01z.zip", nullptr}, {u"http://host/a\x7Fz.zip", nullptr},
        {u"http://host/pkg.zip:stream", nullptr},
        {u"C:\\Windows\\evil.zip", nullptr},
    };
    CheckAll(cases);
}

TEST(PackageName, TrailingDotOrBlankFallsBack) {
    // Windows strips these, so the file would not be the one named.
    const NameCase cases[] = {
        {u"http://host/pkg.zip.", nullptr},
        {u"http://host/pkg.zip ", nullptr},
        {u"http://host/pkg...", nullptr},
    };
    CheckAll(cases);
}

TEST(PackageName, DeviceNamesFallBack) {
    const NameCase cases[] = {
        {u"http://host/CON", nullptr},      {u"http://host/con.zip", nullptr},
        {u"http://host/Prn.txt", nullptr},  {u"http://host/aux", nullptr},
        {u"http://host/NUL.tar.gz", nullptr}, {u"http://host/COM1", nullptr},
        {u"http://host/com9.zip", nullptr}, {u"http://host/LPT1.zip", nullptr},
        {u"http://host/lpt5", nullptr},     {u"http://host/COM\u00B9.zip", nullptr},
        {u"http://host/CON .zip", nullptr}, {u"http://host/conin$", nullptr},
        {u"http://host/CONOUT$.zip", nullptr},
    };
    CheckAll(cases);
}

TEST(PackageName, OverlongNameFallsBack) {
    const std::u16string fits = std::u16string(251, u'a') + u".zip";
    EXPECT_EQ(PackageFileNameFromUrl(u"http://host/" + fits), fits);
    const std::u16string tooLong = std::u16string(252, u'a') + u".zip";
    EXPECT_EQ(PackageFileNameFromUrl(u"http://host/" + tooLong), kFallbackPackageName);
}

}  // namespace
