// The updater's log, the rules that need no Windows: how a line reads, when
// the file is rotated, and which folders and files are safe to write it in.
//
// A line is UTF-8: the time (UTC, ISO 8601 with milliseconds), the process
// id, an event word, then key=value details, separated by single blanks:
//
//   2026-12-07T15:08:01.123Z 4242 manifest url=http://host/x.xml?7 status=200 bytes=1234 ms=56
//
// A value made only of letters, digits and . _ - + : / @ % , ? & = is written as
// it is; any other (empty, a blank, a quote, a line break, a character that
// could reorder or hide what a terminal shows, any non-ASCII) is written in
// double quotes with QuoteText's escapes, so that no value can end its line
// or forge another one.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using LogFields = std::vector<std::pair<const char*, std::string>>;

// "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string FormatLogTime(int year, int month, int day, int hour, int minute, int second, int millisecond);

// One whole line, with its "\n".
std::string FormatLogLine(const std::string& time, unsigned long pid, const char* event, const LogFields& fields);

// The log is rotated (the older file kept, any older one dropped) when a
// line would take it past this size.
constexpr std::uint64_t kLogRotateBytes = std::uint64_t{1} << 20;
bool LogNeedsRotation(std::uint64_t size, std::size_t lineBytes);

// One entry of a folder's or file's access list, as the system states it.
struct AccessEntry {
    std::string sid;         // "S-1-5-32-544", ...
    bool allow = true;       // an allowing entry (a denying one grants nothing)
    bool inheritOnly = false;  // applies to children only, not to the object itself
    std::uint32_t mask = 0;  // the access rights
};

// True when only the system and administrators can change the object: its
// owner is one of them, it has an access list, and no entry that applies to
// the object itself allows anyone else a right that writes, deletes, adds
// entries or changes the owner or the list. An elevated program must not
// write where an ordinary user could plant or redirect what it writes.
// `alsoTrusted`: more identities that count as administrators (under Wine,
// which has no accounts within a prefix, its one user).
bool WritableOnlyByAdministrators(const std::string& ownerSid, bool hasAccessList,
                                  const std::vector<AccessEntry>& entries,
                                  const std::vector<std::string>& alsoTrusted = {});
