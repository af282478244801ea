// The manifest reader: turns the manifest text into update records.
//
// The text is parsed by a MarkupDocument that lives only for one call. The
// root's direct children named Update become one record each, appended to
// the caller's list in document order; entries already in the list are left
// alone. Malformed markup is read as far as the parser's recovered element
// table allows, and nothing is reported: a manifest that cannot be read
// yields fewer records, or none. No exception of its own; memory exhaustion
// propagates.
#pragma once

#include <cstdint>

#include "CArray.h"
#include "CString.h"
#include "UpdateInfo.h"

void ReadManifest(const CString& text, CArray<UPDATE_INFO, UPDATE_INFO>& records);

// Decimal text to a 32-bit integer as the C runtime's _wtoi reads it: leading
// white space (tab, line feed, vertical tab, form feed, carriage return,
// space) is skipped, then an optional sign, then ASCII digits up to the first
// other character. No digits gives 0. A value outside the 32-bit range is
// clamped to INT32_MAX or INT32_MIN, as strtol clamps to LONG_MAX / LONG_MIN
// where long is 32 bits wide.
std::int32_t WideTextToInt(const CString& text);
