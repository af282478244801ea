// The manifest reader, IsUpdate's conversion, and the choice of the record that applies to the installed version.
#include <gtest/gtest.h>

#include "ManifestReader.h"

// The root's children named Update in order; in each, the first of every field after the one found before (absent
// fields leave the search point), as element text: decoded, not trimmed. Malformed markup as recovery left it.
// Records: {OldVer|NewVer|NetUrl|LocalPath|UpdateInfo|InfoUrl|IsUpdate}.
TEST(ManifestReader, Records) {
    const std::pair<const char*, const char*> cases[] = {
        {"<r><Update><OldVer>1.0</OldVer><NewVer>1.1</NewVer><NetUrl>u</NetUrl><LocalPath>System</LocalPath>"
         "<UpdateInfo>notes</UpdateInfo><InfoUrl>i</InfoUrl><IsUpdate>1</IsUpdate></Update><Update/></r>",
         "{1.0|1.1|u|System|notes|i|1} {||||||0}"},
        {"<Update><OldVer>1</OldVer></Update>", ""}, {"<r><x/><update/><Updates/></r><Update/>", ""},
        {"<?xml version=\"1.0\"?><!DOCTYPE r><r><!-- a --><x><Update/></x><Update id=\"7\"><?pi x?><NewVer a='1'>2"
         "</NewVer><Update><NewVer>nested</NewVer></Update></Update></r>",
         "{|2|||||0}"},
        {"<r><Update><NewVer>2</NewVer><OldVer>1</OldVer><x/><InfoUrl>i</InfoUrl><IsUpdate>4</IsUpdate></Update></r>",
         "{1|||||i|4}"},
        {"<r><Update><NewVer>a</NewVer><OldVer>o</OldVer><g><NewVer>b</NewVer></g><NewVer>c</NewVer><NewVer>d</NewVer>"
         "</Update></r>", "{o|c|||||0}"},
        {"<r><Update><NetUrl>a&amp;b</NetUrl><UpdateInfo> &lt;x&gt; &#20462;&#x590d;\r\n</UpdateInfo></Update></r>",
         "{||a&b|| <x> 修复\r\n||0}"},
        {"<r><Update><OldVer><![CDATA[x<y]]></OldVer><NewVer> <![CDATA[&lt;]]> 2<!-- c -->.0</NewVer></Update></r>",
         "{x<y|&lt; 2.0|||||0}"},
        {"<r><Update><OldVer>1</OldVer><NewVer/><NewVer>2</NewVer><UpdateInfo>a<b/></UpdateInfo><IsUpdate>&#49;2"
         "</IsUpdate></Update></r>", "{1||||||12}"},
        // An unclosed field leaves the later ones readable; an Update left open by </r> loses its fields.
        {"<r></x><Update><OldVer>1.0<NewVer>2.0</NewVer><NetUrl>u</NetUrl></Update></r>", "{|2.0|u||||0}"},
        {"<r><Update><OldVer>1</OldVer><Update><OldVer>2</OldVer></Update></r>", "{||||||0} {2||||||0}"},
        {"<r><Update><OldVer>1</OldVer><NewVer><1a></NewVer><NetUrl>u</NetUrl></Update><Update><OldVer>2", ""},
    };
    for (const auto& [manifest, records] : cases) {
        UpdateInfoArray list;
        list.Add(UPDATE_INFO());  // records are appended after what the list holds
        ReadManifest(Utf8ToUtf16(manifest), list);
        std::string out;
        for (std::ptrdiff_t i = 1; i < list.GetCount(); ++i) {
            const UPDATE_INFO& r = list[i];
            out += Utf16ToUtf8((i > 1 ? u" {" : u"{") + r.OldVer + u"|" + r.NewVer + u"|" + r.NetUrl + u"|" +
                               r.LocalPath + u"|" + r.UpdateInfo + u"|" + r.InfoUrl + u"|") +
                   std::to_string(r.IsUpdate) + "}";
        }
        EXPECT_EQ(out, records) << manifest;
    }
}

// IsUpdate as _wtoi reads it: white space, a sign, ASCII digits; clamped to 32 bits.
TEST(ManifestReader, IsUpdateLikeWtoi) {
    const std::pair<const char16_t*, std::int32_t> cases[] = {
        {u"1", 1}, {u"", 0}, {u" 2x", 2}, {u"yes", 0}, {u"-7", -7}, {u"+5", 5}, {u"007", 7}, {u"\t\r\n\v\f 3", 3},
        {u"- 5", 0}, {u"+-1", 0}, {u"1 2", 1}, {u"1.9", 1}, {u"0x10", 0}, {u"\u00A0" u"4", 0}, {u"\uFF11", 0},
        {u"2147483647", INT32_MAX}, {u"2147483648", INT32_MAX}, {u"99999999999999999999999", INT32_MAX},
        {u"-2147483648", INT32_MIN}, {u"-2147483649", INT32_MIN}, {u"-99999999999999999999x", INT32_MIN},
        {u"00000000000000000000000000042", 42},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(WideTextToInt(text), value) << Utf16ToUtf8(text);
}

// The first record whose OldVer is the installed version, else the first with the greatest NewVer in text order (code
// units unsigned, a prefix first); copied out whole. An update is offered when the installed version sorts before its
// NewVer. Records: OldVer=NewVer;
TEST(UpdateRecords, Selection) {
    const std::tuple<const char16_t*, std::u16string, int, bool> cases[] = {
        {u"1.0", u"", -1, false}, {u"1.0", u"0.9=1.5;1.0=1.2;1.0=1.3;", 1, true}, {u"1.0", u"1.0=0.9;", 0, false},
        {u"1.0", u"0.8=1.1;0.9=1.4;0.7=1.4;", 1, true}, {u"1.9", u"0.9=1.9;0.9=1.10;", 0, false},
        {u"1.0", u"0.1=9.9;0.2=9.8;1.0=1.1;", 2, true}, {u"", u"1.0=3.0;=2.0;", 1, true}, {u"", u"1.0=;1=;", 0, false},
        {u"2.0", u"1=2.0.1;", 0, true}, {u"1.0b", u"1.0B=2.0;0.1=3.0;", 1, true}, {u"x", u"a=2;b=2;c=3;", 2, false},
        {u"1.0", u" 1.0=5.0;1.0 =6.0;0.9=4.0;", 1, true}, {u"z", u"a=z;b=\uFF21;c=\U0001F600;", 1, true},
    };
    for (const auto& [installed, records, expected, offer] : cases) {
        UpdateInfoArray list;
        for (std::size_t at = 0, end; (end = records.find(u';', at)) != records.npos; at = end + 1) {
            UPDATE_INFO r;
            r.OldVer = records.substr(at, records.find(u'=', at) - at);
            r.NewVer = records.substr(at + r.OldVer.size() + 1, end - at - r.OldVer.size() - 1);
            r.NetUrl = Utf8ToUtf16(std::to_string(list.GetCount()));
            list.Add(r);
        }
        UPDATE_INFO out;
        out.UpdateInfo = u"untouched";
        const bool found = SelectUpdateInfo(installed, list, out);
        EXPECT_EQ(SelectUpdateIndex(installed, list), expected) << Utf16ToUtf8(installed);
        EXPECT_EQ(Utf16ToUtf8(out.NetUrl + out.UpdateInfo), found ? std::to_string(expected) : "untouched");
        EXPECT_EQ(found && IsNewerVersion(installed, out.NewVer), offer) << Utf16ToUtf8(installed);
    }
}

// The full package to fall back on: the record chosen without the exact match (the first of the greatest NewVer), when
// it installs the same version from another address.
TEST(UpdateRecords, FullPackageToFallBackOn) {
    const std::tuple<const char16_t*, std::u16string, int> cases[] = {  // installed, OldVer=NewVer@NetUrl;..., index
        {u"1.0", u"=2.0@full;1.0=2.0@delta;", 0}, {u"1.0", u"1.0=2.0@delta;=2.0@full;", -1},
        {u"1.0", u"1.0=2.0@delta;", -1}, {u"1.0", u"=1.9@full;1.0=2.0@delta;", -1},
        {u"1.0", u"=2.0@same;1.0=2.0@same;", -1}, {u"0.9", u"=2.0@full;1.0=2.0@delta;", -1},
        {u"1.0", u"=3.0@full;=2.0@other;1.0=2.0@delta;", -1}, {u"1.0", u"=2.0@a;=2.0@b;1.0=2.0@delta;", 0},
    };
    for (const auto& [installed, records, expected] : cases) {
        UpdateInfoArray list;
        for (std::size_t at = 0, end; (end = records.find(u';', at)) != records.npos; at = end + 1) {
            const std::u16string r = records.substr(at, end - at);
            UPDATE_INFO info;
            info.OldVer = r.substr(0, r.find(u'='));
            info.NewVer = r.substr(r.find(u'=') + 1, r.find(u'@') - r.find(u'=') - 1);
            info.NetUrl = r.substr(r.find(u'@') + 1);
            list.Add(info);
        }
        EXPECT_EQ(SelectFullPackageIndex(installed, list), expected) << Utf16ToUtf8(records);
    }
}

// The start-up check of what the product passed: the whole text ends in ".exe", any case; nothing is stripped.
TEST(UpdateRecords, CommandLineNamesExecutable) {
    for (const char16_t* yes : {u"Qelda.exe", u"QELDA.EXE", u"Qelda.eXe", u".exe", u"C:\\dir\\Qelda.exe", u"a b.exe"})
        EXPECT_TRUE(CommandLineNamesExecutable(yes)) << Utf16ToUtf8(yes);
    for (const char16_t* no : {u"", u"Qelda", u"Qelda.ex", u"exe", u"Qelda.exe.", u"Qelda.exe ", u"\"Qelda.exe\"",
                               u"\"Qelda.exe \"", u"Qelda.exe\t", u"Qelda.\uFF45xe"})
        EXPECT_FALSE(CommandLineNamesExecutable(no)) << Utf16ToUtf8(no);
}
