// The manifest reader: which elements become records, which fields are read,
// the element text each field gets, and the decimal conversion of IsUpdate.
#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ManifestReader.h"

namespace {

struct Fields {
    std::u16string OldVer, NewVer, NetUrl, LocalPath, UpdateInfo, InfoUrl;
    std::int32_t IsUpdate = 0;
};

Fields Of(const UPDATE_INFO& r) {
    return {r.OldVer, r.NewVer, r.NetUrl, r.LocalPath, r.UpdateInfo, r.InfoUrl, r.IsUpdate};
}

std::string Show(const Fields& f) {
    return "{" + Utf16ToUtf8(f.OldVer) + "|" + Utf16ToUtf8(f.NewVer) + "|" + Utf16ToUtf8(f.NetUrl) + "|" +
           Utf16ToUtf8(f.LocalPath) + "|" + Utf16ToUtf8(f.UpdateInfo) + "|" + Utf16ToUtf8(f.InfoUrl) + "|" +
           std::to_string(f.IsUpdate) + "}";
}

std::vector<std::string> Read(const std::u16string& text) {
    UpdateInfoArray list;
    ReadManifest(text, list);
    std::vector<std::string> out;
    for (std::ptrdiff_t i = 0; i < list.GetCount(); ++i) out.push_back(Show(Of(list[i])));
    return out;
}

const char* const kFull =
    "<Update><OldVer>1.0</OldVer><NewVer>1.1</NewVer><NetUrl>http://h/p.zip</NetUrl>"
    "<LocalPath>System</LocalPath><UpdateInfo>notes</UpdateInfo><InfoUrl>http://h/log</InfoUrl>"
    "<IsUpdate>1</IsUpdate></Update>";

std::u16string U(const std::string& utf8) { return Utf8ToUtf16(utf8); }

}  // namespace

struct ReaderCase {
    const char* name;
    const char* manifest;  // UTF-8
    std::vector<std::string> records;
};

class ManifestReading : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ManifestReading, YieldsTheseRecords) {
    const ReaderCase& c = GetParam();
    EXPECT_EQ(Read(U(c.manifest)), c.records) << c.manifest;
}

const std::string kFullManifest = std::string("<r>") + kFull + "</r>";
const std::string kThree = "<r><Update><NewVer>1</NewVer></Update><x><Update><NewVer>nested</NewVer></Update></x>"
                           "<Update><NewVer>2</NewVer><Update><NewVer>deeper</NewVer></Update></Update>"
                           "<Update><NewVer>3</NewVer></Update></r>";

INSTANTIATE_TEST_SUITE_P(
    Structure, ManifestReading,
    ::testing::Values(
        ReaderCase{"AllSevenFields", kFullManifest.c_str(), {"{1.0|1.1|http://h/p.zip|System|notes|http://h/log|1}"}},
        ReaderCase{"EmptyText", "", {}},
        ReaderCase{"OnlyWhiteSpace", " \r\n\t", {}},
        ReaderCase{"OnlyComment", "<!-- <Update/> -->", {}},
        ReaderCase{"TextWithoutElement", "Update", {}},
        ReaderCase{"RootWithoutUpdate", "<r><x/><Notice>n</Notice></r>", {}},
        ReaderCase{"RootNamedUpdate", "<Update><OldVer>1</OldVer></Update>", {}},
        ReaderCase{"EmptyUpdateElement", "<r><Update/></r>", {"{||||||0}"}},
        ReaderCase{"UpdateWithoutFields", "<r><Update>text only</Update></r>", {"{||||||0}"}},
        ReaderCase{"ThreeInDocumentOrderNestedSkipped", kThree.c_str(),
                   {"{|1|||||0}", "{|2|||||0}", "{|3|||||0}"}},
        ReaderCase{"NamesAreCaseSensitive",
                   "<r><update><NewVer>a</NewVer></update><Update><NETURL>x</NETURL><newver>b</newver></Update></r>",
                   {"{||||||0}"}},
        ReaderCase{"PrefixNamesDoNotMatch",
                   "<r><UpdateInfo>u</UpdateInfo><Updat/><Update><OldVer2>x</OldVer2><Old>y</Old></Update></r>",
                   {"{||||||0}"}},
        ReaderCase{"NameFollowedByAttributes",
                   "<r ver='1'><Update id=\"7\"><NewVer kind='x'>2.0</NewVer></Update></r>", {"{|2.0|||||0}"}},
        ReaderCase{"OnlyFirstTopLevelElementIsRead",
                   "<r><Update><NewVer>1</NewVer></Update></r><s><Update><NewVer>2</NewVer></Update></s>",
                   {"{|1|||||0}"}},
        ReaderCase{"DeclarationDoctypeAndComments",
                   "<?xml version=\"1.0\"?>\n<!DOCTYPE r [ <!ELEMENT r (Update*)> <!-- c --> ]>\n<!-- top -->\n"
                   "<r><!-- a --><Update><?pi x?><NewVer>2</NewVer><!-- b --></Update></r>",
                   {"{|2|||||0}"}}),
    [](const ::testing::TestParamInfo<ReaderCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    FieldOrder, ManifestReading,
    ::testing::Values(
        ReaderCase{"NewVerBeforeOldVerIsNotSeen",
                   "<r><Update><NewVer>2</NewVer><OldVer>1</OldVer><NetUrl>u</NetUrl><IsUpdate>1</IsUpdate></Update></r>",
                   {"{1||u||||1}"}},
        ReaderCase{"AbsentFieldKeepsSearchPoint",
                   "<r><Update><OldVer>1</OldVer><InfoUrl>i</InfoUrl><IsUpdate>4</IsUpdate></Update></r>",
                   {"{1|||||i|4}"}},
        ReaderCase{"OtherElementsBetweenFieldsPassedOver",
                   "<r><Update><x/><OldVer>1</OldVer><y>z</y><NewVer>2</NewVer><Comment>c</Comment>"
                   "<UpdateInfo>n</UpdateInfo></Update></r>",
                   {"{1|2|||n||0}"}},
        ReaderCase{"FirstOfDuplicatesAfterSearchPoint",
                   "<r><Update><NewVer>a</NewVer><OldVer>o</OldVer><NewVer>b</NewVer><NewVer>c</NewVer></Update></r>",
                   {"{o|b|||||0}"}},
        ReaderCase{"LaterFieldBeforeEarlierHidesNothingAfter",
                   "<r><Update><IsUpdate>9</IsUpdate><OldVer>1</OldVer><IsUpdate>3</IsUpdate></Update></r>",
                   {"{1||||||3}"}},
        ReaderCase{"FieldsOfNestedElementsAreNotFields",
                   "<r><Update><g><OldVer>1</OldVer></g><NewVer>2</NewVer></Update></r>", {"{|2|||||0}"}},
        ReaderCase{"IsUpdateDoesNotCarryOver",
                   "<r><Update><IsUpdate>1</IsUpdate></Update><Update><NewVer>2</NewVer></Update></r>",
                   {"{||||||1}", "{|2|||||0}"}}),
    [](const ::testing::TestParamInfo<ReaderCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    FieldText, ManifestReading,
    ::testing::Values(
        ReaderCase{"NoTrimming", "<r><Update><NewVer> 2.0 </NewVer></Update></r>", {"{| 2.0 |||||0}"}},
        ReaderCase{"EntitiesDecoded",
                   "<r><Update><NetUrl>a&amp;b</NetUrl><UpdateInfo>&lt;x&gt; &quot;q&quot; &apos;s&apos; &#20462;&#x590d; &nbsp;</UpdateInfo></Update></r>",
                   {"{||a&b||<x> \"q\" 's' 修复 &nbsp;||0}"}},
        ReaderCase{"CdataNotDecoded", "<r><Update><OldVer><![CDATA[x<y]]></OldVer><NewVer> <![CDATA[&lt;]]> </NewVer></Update></r>",
                   {"{x<y|&lt;|||||0}"}},
        ReaderCase{"CommentsAndInstructionsDropped", "<r><Update><NewVer>2<!-- c -->.0<?p q?></NewVer></Update></r>",
                   {"{|2.0|||||0}"}},
        ReaderCase{"EmptyElementGivesEmptyText",
                   "<r><Update><OldVer>1</OldVer><NewVer/><NewVer>2</NewVer><NetUrl />x<NetUrl>u</NetUrl></Update></r>",
                   {"{1||||||0}"}},
        ReaderCase{"ElementWithChildrenGivesEmptyText",
                   "<r><Update><UpdateInfo>a<b>bold</b>c</UpdateInfo><InfoUrl>i</InfoUrl></Update></r>",
                   {"{|||||i|0}"}},
        ReaderCase{"MultiLineReleaseNotes",
                   "<r><Update><UpdateInfo>第一行\r\n第二行\n\t缩进</UpdateInfo></Update></r>",
                   {"{||||第一行\r\n第二行\n\t缩进||0}"}}),
    [](const ::testing::TestParamInfo<ReaderCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Malformed, ManifestReading,
    ::testing::Values(
        ReaderCase{"StrayEndTagBeforeFirstUpdate",
                   "<r></Update></x><Update><NewVer>1</NewVer></Update><Update><NewVer>2</NewVer></Update></r>",
                   {"{|1|||||0}", "{|2|||||0}"}},
        ReaderCase{"UnclosedFieldLeavesLaterFieldsReadable",
                   "<r><Update><OldVer>1.0<NewVer>2.0</NewVer><NetUrl>u</NetUrl><IsUpdate>1</IsUpdate></Update></r>",
                   {"{|2.0|u||||1}"}},
        ReaderCase{"UnclosedFieldAtEndOfUpdate",
                   "<r><Update><OldVer>1</OldVer><NewVer>2</Update><Update><NewVer>3</NewVer></Update></r>",
                   {"{1||||||0}", "{|3|||||0}"}},
        ReaderCase{"UnclosedUpdateLosesItsFields",
                   // </r> leaves Update unended: its fields move up beside it.
                   "<r><Update><OldVer>1</OldVer><NewVer>2</NewVer></r>", {"{||||||0}"}},
        ReaderCase{"UnclosedUpdateSwallowsTheNext",
                   // The first Update is left open by </r>; its children, the second
                   // Update included, move up to the root and are read after it.
                   "<r><Update><OldVer>1</OldVer><Update><OldVer>2</OldVer></Update></r>",
                   {"{||||||0}", "{2||||||0}"}},
        ReaderCase{"BrokenTagInsideField",
                   "<r><Update><OldVer>1</OldVer><NewVer><1a></NewVer><NetUrl>u</NetUrl></Update></r>",
                   {"{1||u||||0}"}},
        ReaderCase{"TruncatedManifestYieldsNothing",
                   // At the end of the text every open element is unended, the root
                   // included, so everything moves up to the top level.
                   "<r><Update><OldVer>1</OldVer><NewVer>2", {}}),
    [](const ::testing::TestParamInfo<ReaderCase>& info) { return std::string(info.param.name); });

TEST(ManifestReader, AppendsAfterExistingEntries) {
    UpdateInfoArray list;
    UPDATE_INFO existing;
    existing.NewVer = u"keep";
    list.Add(existing);
    ReadManifest(U(kFullManifest), list);
    ReadManifest(u"", list);
    ASSERT_EQ(list.GetCount(), 2);
    EXPECT_EQ(list[0].NewVer, u"keep");
    EXPECT_EQ(list[1].NewVer, u"1.1");
}

TEST(ManifestReader, ManyUpdatesKeepTheirOrder) {
    std::string text = "<r>";
    for (int i = 0; i < 5000; ++i) text += "<Update><NewVer>" + std::to_string(i) + "</NewVer></Update>";
    text += "</r>";
    UpdateInfoArray list;
    ReadManifest(U(text), list);
    ASSERT_EQ(list.GetCount(), 5000);
    for (int i = 0; i < 5000; i += 499) EXPECT_EQ(list[i].NewVer, U(std::to_string(i)));
}

struct IntCase {
    const char16_t* text;
    std::int32_t value;
};

class IsUpdateConversion : public ::testing::TestWithParam<IntCase> {};

TEST_P(IsUpdateConversion, ReadsLikeWtoi) {
    const IntCase& c = GetParam();
    EXPECT_EQ(WideTextToInt(c.text), c.value) << Utf16ToUtf8(c.text);
    // The same text through a manifest.
    UpdateInfoArray list;
    ReadManifest(u"<r><Update><IsUpdate>" + std::u16string(c.text) + u"</IsUpdate></Update></r>", list);
    ASSERT_EQ(list.GetCount(), 1);
    EXPECT_EQ(list[0].IsUpdate, c.value) << Utf16ToUtf8(c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IsUpdateConversion,
    ::testing::Values(IntCase{u"1", 1}, IntCase{u"0", 0}, IntCase{u"", 0}, IntCase{u" 2x", 2}, IntCase{u"yes", 0},
                      IntCase{u"-7", -7}, IntCase{u"+5", 5}, IntCase{u"007", 7}, IntCase{u"\t\r\n\v\f 3", 3},
                      IntCase{u"- 5", 0}, IntCase{u"+-1", 0}, IntCase{u"1 2", 1}, IntCase{u"1.9", 1},
                      IntCase{u"0x10", 0}, IntCase{u"\u00A0" u"4", 0}, IntCase{u"\uFF11", 0},  // only ASCII space and digits
                      IntCase{u"2147483647", INT32_MAX}, IntCase{u"2147483648", INT32_MAX},
                      IntCase{u"99999999999999999999999", INT32_MAX}, IntCase{u"-2147483648", INT32_MIN},
                      IntCase{u"-2147483649", INT32_MIN}, IntCase{u"-99999999999999999999x", INT32_MIN},
                      IntCase{u"00000000000000000000000000042", 42}));

TEST(IsUpdateText, CharacterReferencesAreDecodedFirst) {
    UpdateInfoArray list;
    ReadManifest(u"<r><Update><IsUpdate>&#49;2</IsUpdate></Update></r>", list);
    ASSERT_EQ(list.GetCount(), 1);
    EXPECT_EQ(list[0].IsUpdate, 12);
}

// The sample manifests that the end-to-end tests and the demo serve.
namespace {

std::u16string ReadSample(const char* name) {
    std::ifstream in(std::string(UPDATE_TEST_DATA_DIR) + "/manifests/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return U(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

}  // namespace

TEST(SampleManifests, ReleaseManifestRecords) {
    UpdateInfoArray list;
    ReadManifest(ReadSample("qelda-updates.xml"), list);
    ASSERT_EQ(list.GetCount(), 3);
    EXPECT_EQ(list[0].OldVer, u"");
    EXPECT_EQ(list[0].NewVer, u"1.3.0");
    EXPECT_EQ(list[0].NetUrl, u"http://update.brenvik.com/client/packages/qelda-1.3.0-full.zip");
    EXPECT_EQ(list[0].UpdateInfo,
              u"Qelda 1.3.0 更新说明：\n1. 新增批量导出功能，支持 PDF 与 CSV 格式；\n"
              u"2. 修复高分辨率屏幕下界面文字模糊的问题；\n3. 启动速度提升约 30%。");
    EXPECT_EQ(list[0].IsUpdate, 1);
    EXPECT_EQ(list[1].OldVer, u"1.2.0");
    EXPECT_EQ(list[1].UpdateInfo, u"Qelda 1.3.0（增量包）：\n• 新增批量导出功能；\n• 修复 <打印预览> 中页码错误的问题。");
    EXPECT_EQ(list[1].InfoUrl, u"http://update.brenvik.com/client/changelog.html?from=1.2.0&to=1.3.0");
    EXPECT_EQ(list[2].LocalPath, u"System");
    EXPECT_EQ(list[2].IsUpdate, 0);

    struct Case {
        const char16_t* installed;
        int index;
        bool offer;
    } cases[] = {{u"1.2.0", 1, true}, {u"1.1.5", 2, true}, {u"1.3.0", 0, false}, {u"", 0, true}, {u"0.9", 0, true}};
    for (const Case& c : cases) {
        UPDATE_INFO selected;
        ASSERT_TRUE(SelectUpdateInfo(c.installed, list, selected));
        EXPECT_EQ(selected.NetUrl, list[c.index].NetUrl) << Utf16ToUtf8(c.installed);
        EXPECT_EQ(IsNewerVersion(c.installed, selected.NewVer), c.offer) << Utf16ToUtf8(c.installed);
    }
}

TEST(SampleManifests, MinimalAndEmpty) {
    UpdateInfoArray list;
    ReadManifest(ReadSample("qelda-minimal.xml"), list);
    ASSERT_EQ(list.GetCount(), 1);
    EXPECT_EQ(Show(Of(list[0])), "{1.0|1.1|http://update.brenvik.com/client/packages/qelda-1.1.zip||修复了若干已知问题。|"
                                 "http://update.brenvik.com/client/changelog.html|1}");
    UpdateInfoArray none;
    ReadManifest(ReadSample("qelda-none.xml"), none);
    EXPECT_EQ(none.GetCount(), 0);
}
