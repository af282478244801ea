// Update records, version text order and the choice of the record that
// applies to the installed version.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "UpdateInfo.h"

namespace {

UPDATE_INFO Record(const char16_t* oldVer, const char16_t* newVer, const char16_t* tag = u"") {
    UPDATE_INFO r;
    r.OldVer = oldVer;
    r.NewVer = newVer;
    r.NetUrl = tag;
    return r;
}

UpdateInfoArray List(const std::vector<std::pair<const char16_t*, const char16_t*>>& pairs) {
    UpdateInfoArray list;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        // NetUrl carries the position so that a copy can be traced to its source.
        list.Add(Record(pairs[i].first, pairs[i].second, std::u16string(1, static_cast<char16_t>(u'0' + i)).c_str()));
    }
    return list;
}

}  // namespace

TEST(UpdateRecord, NewRecordIsSixEmptyTextsAndZero) {
    const UPDATE_INFO r;
    EXPECT_TRUE(r.OldVer.IsEmpty() && r.NewVer.IsEmpty() && r.NetUrl.IsEmpty() && r.LocalPath.IsEmpty() &&
                r.UpdateInfo.IsEmpty() && r.InfoUrl.IsEmpty());
    EXPECT_EQ(r.IsUpdate, 0);
}

TEST(UpdateRecord, CopiesAllSevenFields) {
    UPDATE_INFO a;
    a.OldVer = u"1.0";
    a.NewVer = u"2.0";
    a.NetUrl = u"http://h/p.zip";
    a.LocalPath = u"System";
    a.UpdateInfo = u"修复问题\r\n第二行";
    a.InfoUrl = u"http://h/log.html";
    a.IsUpdate = -7;
    UPDATE_INFO b = a;
    UPDATE_INFO c;
    c = a;
    for (const UPDATE_INFO* x : {&b, &c}) {
        EXPECT_EQ(x->OldVer, a.OldVer);
        EXPECT_EQ(x->NewVer, a.NewVer);
        EXPECT_EQ(x->NetUrl, a.NetUrl);
        EXPECT_EQ(x->LocalPath, a.LocalPath);
        EXPECT_EQ(x->UpdateInfo, a.UpdateInfo);
        EXPECT_EQ(x->InfoUrl, a.InfoUrl);
        EXPECT_EQ(x->IsUpdate, a.IsUpdate);
    }
}

TEST(UpdateRecordList, KeepsAppendOrderAndChecksIndexes) {
    UpdateInfoArray list;
    EXPECT_EQ(list.Add(Record(u"a", u"1")), 0);
    EXPECT_EQ(list.Add(Record(u"b", u"2")), 1);
    EXPECT_EQ(list.GetCount(), 2);
    EXPECT_EQ(list[0].OldVer, u"a");
    EXPECT_EQ(list[1].OldVer, u"b");
    EXPECT_THROW(list.GetAt(2), CInvalidArgException);
}

struct OrderCase {
    const char16_t* a;
    const char16_t* b;
    int sign;  // of CompareVersionText(a, b)
};

class VersionOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(VersionOrder, IsPlainCodeUnitOrder) {
    const OrderCase& c = GetParam();
    const int r = CompareVersionText(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign);
    EXPECT_EQ(IsNewerVersion(c.a, c.b), c.sign < 0);
}

const char16_t kHighUnit[] = {0xFF21, 0};  // FULLWIDTH LATIN CAPITAL A
const char16_t kSurrogate[] = {0xD83D, 0xDE00, 0};

INSTANTIATE_TEST_SUITE_P(
    Cases, VersionOrder,
    ::testing::Values(OrderCase{u"2.0", u"2.0", 0},
                      OrderCase{u"1.10", u"1.9", -1},       // never numeric
                      OrderCase{u"1.9", u"1.10", 1},
                      OrderCase{u"2.0", u"2.0.1", -1},      // a prefix sorts first
                      OrderCase{u"", u"0", -1},             // empty before every non-empty text
                      OrderCase{u"", u"", 0},
                      OrderCase{u"1.0B", u"1.0b", -1},      // case matters: 'B' < 'b'
                      OrderCase{u"10", u"9", -1},
                      OrderCase{u" 2.0", u"2.0", -1},       // white space is a character like any other
                      OrderCase{u"z", kHighUnit, -1},       // units compare unsigned
                      OrderCase{kHighUnit, kSurrogate, 1})); // U+FF21 above a high surrogate, as wcscmp has it

struct SelectCase {
    const char* name;
    const char16_t* installed;
    std::vector<std::pair<const char16_t*, const char16_t*>> records;  // (OldVer, NewVer)
    int expected;  // index, or -1 for nothing selected
};

class Selection : public ::testing::TestWithParam<SelectCase> {};

TEST_P(Selection, PicksTheRecordThatApplies) {
    const SelectCase& c = GetParam();
    const UpdateInfoArray list = List(c.records);
    UPDATE_INFO out;
    out.UpdateInfo = u"untouched";
    const bool found = SelectUpdateInfo(c.installed, list, out);
    EXPECT_EQ(SelectUpdateIndex(c.installed, list), c.expected);
    if (c.expected < 0) {
        EXPECT_FALSE(found);
        EXPECT_EQ(out.UpdateInfo, u"untouched");
        EXPECT_TRUE(out.OldVer.IsEmpty() && out.NewVer.IsEmpty() && out.NetUrl.IsEmpty());
        return;
    }
    ASSERT_TRUE(found);
    EXPECT_EQ(out.OldVer, list[c.expected].OldVer);
    EXPECT_EQ(out.NewVer, list[c.expected].NewVer);
    EXPECT_EQ(out.NetUrl, list[c.expected].NetUrl);
    EXPECT_TRUE(out.UpdateInfo.IsEmpty()) << "the whole record is copied over the output";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Selection,
    ::testing::Values(
        SelectCase{"EmptyList", u"1.0", {}, -1},
        SelectCase{"FirstExactMatchWinsOverNewest", u"1.0", {{u"0.9", u"1.5"}, {u"1.0", u"1.2"}, {u"1.0", u"1.3"}}, 1},
        SelectCase{"GreatestNewVerFirstOfTies", u"1.0", {{u"0.8", u"1.1"}, {u"0.9", u"1.4"}, {u"0.7", u"1.4"}}, 1},
        SelectCase{"TextOrderNotNumeric", u"1.0", {{u"0.9", u"1.9"}, {u"0.9", u"1.10"}}, 0},
        SelectCase{"ExactMatchEvenWhenOlder", u"1.0", {{u"1.0", u"0.9"}}, 0},
        SelectCase{"ExactMatchAfterNewerRecords", u"1.0", {{u"0.1", u"9.9"}, {u"0.2", u"9.8"}, {u"1.0", u"1.1"}}, 2},
        SelectCase{"EmptyInstalledMatchesEmptyOldVer", u"", {{u"1.0", u"3.0"}, {u"", u"2.0"}}, 1},
        SelectCase{"EmptyInstalledWithoutEmptyOldVer", u"", {{u"1.0", u"2.0"}, {u"1.1", u"3.0"}}, 1},
        SelectCase{"CaseMatters", u"1.0b", {{u"1.0B", u"2.0"}, {u"0.1", u"3.0"}}, 1},
        SelectCase{"NoTrimming", u"1.0", {{u" 1.0", u"5.0"}, {u"1.0 ", u"6.0"}, {u"0.9", u"4.0"}}, 1},
        SelectCase{"SingleRecordWithoutMatch", u"7", {{u"1", u"2"}}, 0},
        SelectCase{"AllEmptyNewVer", u"x", {{u"a", u""}, {u"b", u""}}, 0},
        SelectCase{"LaterGreaterAfterEqual", u"x", {{u"a", u"2"}, {u"b", u"2"}, {u"c", u"3"}}, 2}),
    [](const ::testing::TestParamInfo<SelectCase>& info) { return std::string(info.param.name); });

TEST(OfferDecision, FollowsTheSelectedNewVer) {
    struct Case {
        const char16_t* installed;
        const char16_t* newVer;
        bool offer;
    } cases[] = {
        {u"2.0", u"2.0", false}, {u"1.9", u"1.10", false}, {u"1.0", u"1.1", true},
        {u"", u"1.0", true},     {u"", u"", false},        {u"2.0", u"2.0.1", true},
    };
    for (const Case& c : cases) {
        UpdateInfoArray list;
        list.Add(Record(c.installed, c.newVer));
        UPDATE_INFO out;
        ASSERT_TRUE(SelectUpdateInfo(c.installed, list, out));
        EXPECT_EQ(IsNewerVersion(c.installed, out.NewVer), c.offer)
            << std::string(Utf16ToUtf8(c.installed)) << " -> " << Utf16ToUtf8(c.newVer);
    }
}
