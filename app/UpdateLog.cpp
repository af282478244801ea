#include "UpdateLog.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <vector>

#include "Handles.h"
#include "UpdateApp.h"

namespace {

// Owner Administrators; SYSTEM and Administrators may do anything, users read;
// protected from the parent's entries, passed on to what is made inside.
const wchar_t kFolderSecurity[] = L"O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

struct LocalTraits {
    using pointer = HLOCAL;
    static pointer none() { return nullptr; }
    static void close(pointer h) { ::LocalFree(h); }
};
using ScopedLocal = UniqueHandle<LocalTraits>;

std::string SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) return std::string();
    const ScopedLocal hold(text);
    return Utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(text)));
}

// Wine keeps no access lists of its own: it shows a file's Unix owner, who is
// the prefix's one user (and every program in it runs as that user, elevated),
// with full access, and the Unix permissions of others as Everyone's. There
// that user counts as an administrator; on Windows nobody does but SYSTEM,
// the administrators and TrustedInstaller.
std::vector<std::string> AlsoTrusted() {
    if (::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr) return {};
    HANDLE opened = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened)) return {};
    const ScopedHandle token(opened);
    unsigned char buffer[256];
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size)) return {};
    return {SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid)};
}

// What the system says of the object behind `handle`: a plain folder or file
// (no reparse point, one name) that only SYSTEM and administrators can change.
bool Safe(HANDLE handle, bool folder) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) return false;
    const bool isFolder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isFolder != folder || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
    if (!folder && info.nNumberOfLinks != 1) return false;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                          nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const ScopedLocal hold(descriptor);
    std::vector<AccessEntry> entries;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace)) return false;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        AccessEntry entry;
        entry.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
            entry.allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
            entry.mask = allowed->Mask;
            entry.sid = SidText(const_cast<DWORD*>(&allowed->SidStart));
        } else {
            // An entry of a kind not read here (object, callback): nothing is assumed of it.
            entry.mask = ~0u;
        }
        entries.push_back(entry);
    }
    return WritableOnlyByAdministrators(SidText(owner), dacl != nullptr, entries, AlsoTrusted());
}

ScopedFileHandle OpenFolder(const CString& path) {
    return ScopedFileHandle(::CreateFileW(path.GetString(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
}

// The folder, made with the log's access list when missing; false when it
// is not a safe place to write.
bool SafeFolder(const CString& path) {
    if (::GetFileAttributesW(path.GetString()) == INVALID_FILE_ATTRIBUTES) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderSecurity, SDDL_REVISION_1, &descriptor,
                                                                     nullptr))
            return false;
        const ScopedLocal hold(descriptor);
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
        if (!::CreateDirectoryW(path.GetString(), &attributes) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    // Asked by name as well as of the handle: Wine tells a link by its name only.
    const DWORD attributes = ::GetFileAttributesW(path.GetString());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
    const ScopedFileHandle folder = OpenFolder(path);
    return folder && Safe(folder.get(), true);
}

class Log {
public:
    bool Open(const CString& base) {
        m_file.reset();
        m_folder = UpdateLog::Folder(base);
        const CString maker = m_folder.substr(0, m_folder.rfind(u'\\'));
        if (m_folder.IsEmpty() || !SafeFolder(maker) || !SafeFolder(m_folder)) return false;
        return OpenFile();
    }
    bool IsOpen() const { return static_cast<bool>(m_file); }
    void Write(const char* event, const LogFields& fields) {
        if (!m_file) return;
        SYSTEMTIME now{};
        ::GetSystemTime(&now);
        const std::string line =
            FormatLogLine(FormatLogTime(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                                        now.wMilliseconds),
                          ::GetCurrentProcessId(), event, fields);
        LARGE_INTEGER size{};
        if (::GetFileSizeEx(m_file.get(), &size) && LogNeedsRotation(size.QuadPart, line.size())) {
            m_file.reset();
            ::MoveFileExW(Path(L"Update.log").GetString(), Path(L"Update.old.log").GetString(),
                          MOVEFILE_REPLACE_EXISTING);
            if (!OpenFile()) return;
        }
        DWORD written = 0;
        ::WriteFile(m_file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    void Close() { m_file.reset(); }

private:
    CString Path(const wchar_t* name) const { return m_folder + CString(L"\\") + CString(name); }
    bool OpenFile() {
        const DWORD attributes = ::GetFileAttributesW(Path(L"Update.log").GetString());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
        // The link itself is opened, never what it points to; appends only.
        // Shared for writing: a second updater started meanwhile appends its own lines.
        m_file.reset(::CreateFileW(Path(L"Update.log").GetString(),
                                   FILE_APPEND_DATA | READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (m_file && !Safe(m_file.get(), false)) m_file.reset();
        return static_cast<bool>(m_file);
    }

    CString m_folder;
    ScopedFileHandle m_file;
};

Log& TheLog() {
    static Log log;
    return log;
}

}  // namespace

namespace UpdateLog {

CString Folder(const CString& base) {
    CString root = base;
    if (root.IsEmpty()) {
        PWSTR known = nullptr;
        if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known))) root = CString(known);
        ::CoTaskMemFree(known);
    }
    if (root.IsEmpty()) return CString();
    while (!root.IsEmpty() && root.back() == u'\\') root.pop_back();
    return root + CString(L"\\") + CString(kMakerWord) + CString(L"\\") + CString(kProductWord);
}

bool Open(const CString& base) {
    try {
        return TheLog().Open(base);
    } catch (...) {
        return false;
    }
}

bool IsOpen() { return TheLog().IsOpen(); }

void Write(const char* event, const LogFields& fields) {
    try {
        TheLog().Write(event, fields);
    } catch (...) {
        // Out of memory: the line is lost, nothing else.
    }
}

void Close() { TheLog().Close(); }

std::string Text(const CString& text) { return Utf16ToUtf8(text); }

std::string Number(unsigned long long value) { return std::to_string(value); }

std::string Hresult(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
    return text;
}

}  // namespace UpdateLog
