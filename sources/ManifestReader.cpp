#include "ManifestReader.h"

#include "MarkupDocument.h"

namespace {

bool IsCrtSpace(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

}  // namespace

std::int32_t WideTextToInt(const CString& text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && IsCrtSpace(text[i])) ++i;
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    // Accumulate the magnitude, stopping just past the largest one that can
    // be represented (2^31 for a negative value), so nothing overflows.
    const std::uint32_t limit = negative ? 0x80000000u : 0x7FFFFFFFu;
    std::uint32_t magnitude = 0;
    bool clamped = false;
    for (; i < n && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        const std::uint32_t digit = static_cast<std::uint32_t>(text[i] - u'0');
        if (clamped) continue;
        if (magnitude > (limit - digit) / 10) {
            magnitude = limit;
            clamped = true;
        } else {
            magnitude = magnitude * 10 + digit;
        }
    }
    if (negative) {
        return magnitude == 0x80000000u ? INT32_MIN : -static_cast<std::int32_t>(magnitude);
    }
    return static_cast<std::int32_t>(magnitude);
}

void ReadManifest(const CString& text, CArray<UPDATE_INFO, UPDATE_INFO>& records) {
    MarkupDocument document;
    document.Parse(text);  // recovery decides what is read; the result is not needed

    // The search point moves forward past each field found, so the fields
    // are read only in this order; a field that is absent leaves it in place.
    static const char16_t* const textFields[] = {u"OldVer", u"NewVer", u"NetUrl",
                                                 u"LocalPath", u"UpdateInfo", u"InfoUrl"};
    while (document.FindChild(u"Update") != 0) {
        document.EnterChild();
        UPDATE_INFO record;
        CString* const targets[] = {&record.OldVer, &record.NewVer, &record.NetUrl,
                                    &record.LocalPath, &record.UpdateInfo, &record.InfoUrl};
        for (std::size_t f = 0; f < sizeof(textFields) / sizeof(textFields[0]); ++f) {
            if (document.FindChild(textFields[f]) != 0) *targets[f] = document.ChildText();
        }
        if (document.FindChild(u"IsUpdate") != 0) record.IsUpdate = WideTextToInt(document.ChildText());
        records.Add(record);
        document.LeaveElement();
    }
}
