// update-tool entry point for Windows: wide arguments from wmain become
// UTF-8, the standard streams are switched to binary so that the UTF-8
// bytes pass unchanged, and a console (if stdout is one) is told to show
// UTF-8; its previous code page is put back on exit.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CString.h"
#include "FileSystem.h"
#include "Tool.h"

namespace {

// Devices (CON, NUL, COM1) and pipes open as files do; reading the console
// would wait for the user. Only files on a disk are kept.
std::FILE* OpenFile(const std::string& path, std::string& why) {
    const std::u16string wide = Utf8ToUtf16(path);
    std::FILE* file = _wfopen(reinterpret_cast<const wchar_t*>(wide.c_str()), L"rb");
    if (file == nullptr) {
        why = std::strerror(errno);
    } else if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != FILE_TYPE_DISK) {
        std::fclose(file);
        file = nullptr;
        why = "not a regular file";
    }
    return file;
}

// The key file takes the folder's permissions; CREATE_NEW keeps an existing
// file from being overwritten.
bool WriteSecretFile(const std::string& path, const std::string& data, std::string& why) {
    const std::u16string wide = Utf8ToUtf16(path);
    const FsResult r = WriteNewFile(PlatformFileSystem(), wide, data);
    if (!r) why = Utf16ToUtf8(r.message);
    return r.ok();
}

class ConsoleCodePage {
public:
    ConsoleCodePage() : m_previous(GetConsoleOutputCP()) {
        if (m_previous != 0) SetConsoleOutputCP(CP_UTF8);
    }
    ~ConsoleCodePage() {
        if (m_previous != 0) SetConsoleOutputCP(m_previous);
    }
    ConsoleCodePage(const ConsoleCodePage&) = delete;
    ConsoleCodePage& operator=(const ConsoleCodePage&) = delete;

private:
    UINT m_previous;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    ConsoleCodePage codePage;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(Utf16ToUtf8(CString(argv[i])));
    ToolContext context{stdin, stdout, stderr, OpenFile, WriteSecretFile};
    const int status = RunTool(args, context);
    std::fflush(stdout);
    std::fflush(stderr);
    return status;
}
