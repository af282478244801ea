#include "UpdateInfo.h"

int CompareVersionText(const CString& a, const CString& b) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned ca = static_cast<std::uint16_t>(a[i]);
        const unsigned cb = static_cast<std::uint16_t>(b[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool IsNewerVersion(const CString& installed, const CString& newVer) {
    return CompareVersionText(installed, newVer) < 0;
}

std::ptrdiff_t SelectUpdateIndex(const CString& installed, const CArray<UPDATE_INFO, UPDATE_INFO>& records) {
    const std::ptrdiff_t count = records.GetCount();
    if (count == 0) return -1;
    std::ptrdiff_t best = 0;
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        const UPDATE_INFO& record = records.GetAt(i);
        if (CompareVersionText(installed, record.OldVer) == 0) return i;
        if (CompareVersionText(record.NewVer, records.GetAt(best).NewVer) > 0) best = i;
    }
    return best;
}

std::ptrdiff_t SelectFullPackageIndex(const CString& installed, const CArray<UPDATE_INFO, UPDATE_INFO>& records) {
    const std::ptrdiff_t chosen = SelectUpdateIndex(installed, records);
    if (chosen < 0 || CompareVersionText(installed, records.GetAt(chosen).OldVer) != 0) return -1;
    std::ptrdiff_t best = 0;
    for (std::ptrdiff_t i = 0; i < records.GetCount(); ++i)
        if (CompareVersionText(records.GetAt(i).NewVer, records.GetAt(best).NewVer) > 0) best = i;
    const UPDATE_INFO& full = records.GetAt(best);
    return best != chosen && full.NewVer == records.GetAt(chosen).NewVer && full.NetUrl != records.GetAt(chosen).NetUrl
               ? best
               : -1;
}

bool SelectUpdateInfo(const CString& installed, const CArray<UPDATE_INFO, UPDATE_INFO>& records, UPDATE_INFO& out) {
    const std::ptrdiff_t index = SelectUpdateIndex(installed, records);
    if (index < 0) return false;
    out = records.GetAt(index);
    return true;
}

bool CommandLineNamesExecutable(const CString& commandLine) {
    const std::size_t n = commandLine.size();
    CString tail = n > 4 ? CString(commandLine.substr(n - 4)) : commandLine;
    for (char16_t& c : tail) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return tail == u".exe";
}
