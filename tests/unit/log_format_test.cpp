// The updater's log: how a line reads, when the file turns over, and which folders and files are safe to write in.
#include <gtest/gtest.h>

#include "CString.h"
#include "ExitCodes.h"
#include "LogFormat.h"

// Plain words stay as they are; anything else is quoted with escapes, so that no value ends its line or forges one.
TEST(LogFormat, Lines) {
    const std::pair<std::string, std::string> values[] = {
        {"http://host:80/client/x.xml?7&a=b", "http://host:80/client/x.xml?7&a=b"}, {"0x80072efd", "0x80072efd"},
        {"", "\"\""}, {"two words", "\"two words\""}, {"a\"b", "\"a\\\"b\""},
        {"1.0\n2026-12-07T00:00:00.000Z 1 exit code=0", "\"1.0\\n2026-12-07T00:00:00.000Z 1 exit code=0\""},
        {"C:\\Program Files\\Qelda", "\"C:\\\\Program Files\\\\Qelda\""}, {"\x1b[2J", "\"\\u001b[2J\""},
        {u8"升级包.zip", u8"\"升级包.zip\""}, {u8"evil\u202Egnp.exe", "\"evil\\u202egnp.exe\""},
    };
    for (const auto& [value, shown] : values)
        EXPECT_EQ(FormatLogLine("T", 42, "event", {{"k", value}, {"n", "1"}}), "T 42 event k=" + shown + " n=1\n")
            << value;
    EXPECT_EQ(FormatLogTime(2026, 1, 2, 3, 4, 5, 6), "2026-01-02T03:04:05.006Z");
    EXPECT_EQ(FormatLogLine("T", 7, "exit", {}), "T 7 exit\n");
    EXPECT_STREQ(UpdateExitName(UpdateExit::NoManifest), "no-manifest");
    // The file turns over when a line would take it past 1 MiB; an empty file takes any line.
    EXPECT_FALSE(LogNeedsRotation(kLogRotateBytes - 10, 10));
    EXPECT_TRUE(LogNeedsRotation(kLogRotateBytes - 10, 11));
    EXPECT_FALSE(LogNeedsRotation(0, 2 * kLogRotateBytes));
}

// Only SYSTEM, the administrators and TrustedInstaller may own or change a place the elevated updater writes in.
TEST(LogFormat, PlacesOnlyAdministratorsCanChange) {
    const std::string system = "S-1-5-18", admins = "S-1-5-32-544", users = "S-1-5-32-545", everyone = "S-1-1-0",
                      me = "S-1-5-21-1-2-3-1001";
    const AccessEntry full{system, true, false, 0x1F01FF}, adminFull{admins, true, false, 0x1F01FF},
        usersRead{users, true, false, 0x1200A9};
    const struct {
        const char* what;
        std::string owner;
        bool hasList;
        std::vector<AccessEntry> entries;
        bool safe;
    } cases[] = {
        {"the updater's own folder", admins, true, {full, adminFull, usersRead}, true},
        {"owned by SYSTEM", system, true, {full, adminFull}, true},
        {"owned by a user (who may change its list)", me, true, {full, adminFull}, false},
        {"no access list: anyone may do anything", admins, false, {}, false},
        {"users may write", admins, true, {full, {users, true, false, 0x0002}}, false},
        {"users may add files", admins, true, {full, {users, true, false, 0x0004}}, false},
        {"everyone may delete", admins, true, {full, {everyone, true, false, 0x10000}}, false},
        {"a user may change the list", admins, true, {full, {me, true, false, 0x40000}}, false},
        {"a user may take it over", admins, true, {full, {me, true, false, 0x80000}}, false},
        {"generic write for users", admins, true, {full, {users, true, false, 0x40000000}}, false},
        {"generic all for everyone", admins, true, {full, {everyone, true, false, 0x10000000}}, false},
        {"a user's right that applies to children only", admins, true, {full, {me, true, true, 0x1F01FF}}, true},
        {"a denied right grants nothing", admins, true, {full, {users, false, false, 0x1F01FF}}, true},
        {"an entry of a kind not read", admins, true, {full, {"", true, false, ~0u}}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(WritableOnlyByAdministrators(c.owner, c.hasList, c.entries), c.safe) << c.what;
    // Under Wine the prefix's one user counts as an administrator, and no one else.
    EXPECT_TRUE(WritableOnlyByAdministrators(me, true, {full, {me, true, false, 0x1F01FF}}, {me}));
    EXPECT_FALSE(WritableOnlyByAdministrators(me, true, {full, {everyone, true, false, 0x1301FF}}, {me}));
}
