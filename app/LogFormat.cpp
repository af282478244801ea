#include "LogFormat.h"

#include <algorithm>
#include <cstdio>

#include "CString.h"
#include "ExitCodes.h"
#include "TextQuoting.h"

namespace {

bool Plain(const std::string& value) {
    if (value.empty()) return false;
    for (unsigned char c : value) {
        const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!word && std::string("._-+:/@%,?&=").find(static_cast<char>(c)) == std::string::npos) return false;
    }
    return true;
}

// SYSTEM, Administrators, TrustedInstaller.
bool Privileged(const std::string& sid) {
    return sid == "S-1-5-18" || sid == "S-1-5-32-544" ||
           sid == "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
}

// Rights that change the object or what it holds (file and folder rights
// share their bits): write or append data (add file, add folder), write
// attributes or extended attributes, delete, delete a child, change the
// access list or the owner, and the generic write and all.
constexpr std::uint32_t kChangingRights = 0x0002 | 0x0004 | 0x0010 | 0x0040 | 0x0100 | 0x00010000 | 0x00040000 |
                                          0x00080000 | 0x40000000 | 0x10000000;

}  // namespace

std::string FormatLogTime(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year, month, day, hour, minute, second,
                  millisecond);
    return text;
}

std::string FormatLogLine(const std::string& time, unsigned long pid, const char* event, const LogFields& fields) {
    std::string line = time + " " + std::to_string(pid) + " " + event;
    for (const auto& [key, value] : fields) line += std::string(" ") + key + "=" + (Plain(value) ? value : QuoteText(value));
    return line + "\n";
}

bool LogNeedsRotation(std::uint64_t size, std::size_t lineBytes) {
    return size > 0 && size + lineBytes > kLogRotateBytes;
}

bool WritableOnlyByAdministrators(const std::string& ownerSid, bool hasAccessList,
                                  const std::vector<AccessEntry>& entries, const std::vector<std::string>& alsoTrusted) {
    const auto trusted = [&](const std::string& sid) {
        return Privileged(sid) || std::find(alsoTrusted.begin(), alsoTrusted.end(), sid) != alsoTrusted.end();
    };
    if (!trusted(ownerSid) || !hasAccessList) return false;
    for (const AccessEntry& e : entries)
        if (e.allow && !e.inheritOnly && (e.mask & kChangingRights) != 0 && !trusted(e.sid)) return false;
    return true;
}

const char* UpdateExitName(UpdateExit code) {
    switch (code) {
    case UpdateExit::UpToDate: return "up-to-date";
    case UpdateExit::Updated: return "updated";
    case UpdateExit::Declined: return "declined";
    case UpdateExit::DownloadFailed: return "download-failed";
    case UpdateExit::PackageRefused: return "package-refused";
    case UpdateExit::FileInUse: return "file-in-use";
    case UpdateExit::InstallFailed: return "install-failed";
    case UpdateExit::NoManifest: return "no-manifest";
    case UpdateExit::Disabled: return "disabled";
    case UpdateExit::CommandLine: return "command-line";
    case UpdateExit::RecoveryFailed: return "recovery-failed";
    case UpdateExit::AlreadyRunning: return "already-running";
    case UpdateExit::CannotStart: return "cannot-start";
    }
    return "?";
}
