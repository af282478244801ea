// uidriver: drives and inspects Update.exe from outside for tests/e2e/harness.py. `uidriver.exe
// --serve`, in the program's Wine prefix and desktop, answers each line of TAB-separated fields with
// a JSON line, {"ok":true,...} or {"ok":false,"error":...}. Actions are posted, never sent, so that
// a handler that opens a modal box cannot block the driver; reads time out instead of hanging.
//   windows CAPTION | controls WIN (the focus; each child's id, class, text, style, visible, check,
//   icon) | click WIN ID | syscommand WIN CMD | post (WIN MSG WPARAM LPARAM)... | key WIN VK |
//   screenshot WIN|screen FILE.bmp |
//   start EXE CMDLINE (exactly that, in EXE's folder) | exitcode PID | processes NAME |
//   kill NAME|PID | reg_set KEY NAME TEXT [dword|qword] | reg_get KEY NAME | reg_delete KEY [NAME]  (HKLM)
// Without --serve it idles until killed, holding open with no sharing the file it is given: a copy
// named Qelda.exe stands in for the running product.

#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::wstring>;
const UINT kReadMs = 5000;

std::wstring Wide(const std::string& s) {
    std::wstring w(s.size(), L'\0');
    w.resize(MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &w[0], (int)w.size()));
    return w;
}

std::string Str(const std::wstring& w) {  // a JSON string, in ASCII
    std::string out = "\"";
    for (wchar_t c : w) {
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\u%04x", (unsigned)c);
        out += c < 0x20 || c > 0x7E || c == '"' || c == '\\' ? std::string(esc) : std::string(1, char(c));
    }
    return out + "\"";
}

std::string List(const std::vector<std::string>& items) {
    std::string s;
    for (const std::string& i : items) s += (s.empty() ? "" : ",") + i;
    return "[" + s + "]";
}

std::string Field(const char* name, long long value) {
    return ",\"" + std::string(name) + "\":" + std::to_string(value);
}

// The argument `i` as a number, or the window it names.
long long Num(const Args& a, size_t i) {
    return std::stoll(a.at(i), nullptr, 0);
}
HWND Window(const Args& a) {
    HWND h = (HWND)(uintptr_t)Num(a, 1);
    if (!IsWindow(h)) throw std::runtime_error("no such window");
    return h;
}

std::wstring ClassOf(HWND h) {
    wchar_t buf[64] = {};
    GetClassNameW(h, buf, 64);
    return buf;
}

DWORD_PTR Read(HWND h, UINT msg, WPARAM wp = 0, LPARAM lp = 0) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(h, msg, wp, lp, SMTO_ABORTIFHUNG, kReadMs, &result);
    return result;
}

std::vector<HWND> Children(HWND h) {
    std::vector<HWND> out;
    for (HWND c = GetWindow(h, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
    return out;
}

// A message box: a dialog of statics and buttons with exactly one text of id
// 0xFFFF (an About box has several statics of that id).
bool IsMessageBox(HWND h) {
    int texts = 0;
    for (HWND c : Children(h)) {
        if (ClassOf(c) != L"Static" && ClassOf(c) != L"Button") return false;
        texts += (GetDlgCtrlID(c) & 0xFFFF) == 0xFFFF;
    }
    return texts == 1 && ClassOf(h) == L"#32770";
}

BOOL CALLBACK Collect(HWND h, LPARAM list) {
    if (IsWindowVisible(h)) ((std::vector<HWND>*)list)->push_back(h);
    return TRUE;
}

std::vector<HWND> TopLevel() {
    std::vector<HWND> all;
    EnumWindows(Collect, (LPARAM)&all);
    return all;
}

std::string Windows(const Args& a) {
    std::vector<std::string> found;
    for (HWND h : TopLevel()) {
        wchar_t caption[256] = {};
        GetWindowTextW(h, caption, 256);
        const char* kind = IsMessageBox(h) ? "msgbox" : ClassOf(h) == L"#32770" ? "dialog" : "other";
        if (a.at(1) == caption)
            found.push_back("{\"kind\":\"" + std::string(kind) + "\"" + Field("hwnd", (uintptr_t)h) + "}");
    }
    return ",\"windows\":" + List(found);
}

HWND FocusOf(HWND win) {
    GUITHREADINFO gti = {};
    gti.cbSize = sizeof gti;
    GetGUIThreadInfo(GetWindowThreadProcessId(win, nullptr), &gti);
    return gti.hwndFocus;
}

std::string Controls(const Args& a) {
    std::vector<std::string> found;
    for (HWND c : Children(Window(a))) {
        wchar_t text[4096] = {};  // WM_GETTEXT crosses processes: an edit's text lives only there
        Read(c, WM_GETTEXT, 4096, (LPARAM)text);
        bool button = ClassOf(c) == L"Button", image = (GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
        found.push_back("{\"class\":" + Str(ClassOf(c)) + ",\"text\":" + Str(text) + Field("id", GetDlgCtrlID(c)) +
                        Field("style", (DWORD)GetWindowLongW(c, GWL_STYLE)) + Field("visible", IsWindowVisible(c)) +
                        Field("check", button ? Read(c, BM_GETCHECK) : 0) +
                        Field("icon", !button && image && IsWindowVisible(c) && Read(c, STM_GETICON)) + "}");
    }
    HWND focus = FocusOf(Window(a));
    return Field("focus", focus ? GetDlgCtrlID(focus) : 0) + ",\"controls\":" + List(found);
}

void Post(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (!h || !PostMessageW(h, msg, wp, lp)) throw std::runtime_error("no such control, or PostMessage failed");
}

std::string Click(const Args& a) {
    Post(GetDlgItem(Window(a), (int)Num(a, 2)), BM_CLICK, 0, 0);
    return "";
}

std::string SysCommand(const Args& a) {
    Post(Window(a), WM_SYSCOMMAND, (WPARAM)Num(a, 2), 0);
    return "";
}

// Any message, as another program on the desktop could post it; more groups of
// four post more messages at once, in order (into one pass of the target's queue).
std::string PostMessage(const Args& a) {
    if (a.size() < 5 || (a.size() - 1) % 4 != 0) throw std::out_of_range("post WIN MSG WPARAM LPARAM ...");
    for (size_t i = 0; i + 4 < a.size(); i += 4) {
        const Args group(a.begin() + i, a.begin() + i + 5);
        Post(Window(group), (UINT)Num(group, 2), (WPARAM)Num(group, 3), (LPARAM)Num(group, 4));
    }
    return "";
}

// A key press and release where the user's keystroke would arrive: the
// control with the focus in the window's thread.
std::string Key(const Args& a) {
    HWND target = FocusOf(Window(a)) ? FocusOf(Window(a)) : Window(a);
    UINT vk = (UINT)Num(a, 2);
    LPARAM scan = (LPARAM)MapVirtualKeyW(vk, MAPVK_VK_TO_VSC) << 16;
    Post(target, WM_KEYDOWN, vk, 1 | scan);
    Post(target, WM_KEYUP, vk, 1 | scan | (3LL << 30));
    return "";
}

std::map<DWORD, HANDLE> g_started;

std::string Start(const Args& a) {
    std::wstring exe = a.at(1), line = a.at(2), dir = exe.substr(0, exe.rfind(L'\\'));
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    // Wine now and then refuses a program that was written a moment ago with
    // ERROR_INTERNAL_ERROR (1359); a moment later it starts.
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si, &pi)) break;
        const DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 20)
            throw std::runtime_error("CreateProcess failed: " + std::to_string(error));
        Sleep(250);
    }
    CloseHandle(pi.hThread);
    g_started[pi.dwProcessId] = pi.hProcess;
    return Field("pid", pi.dwProcessId);
}

std::string ExitCode(const Args& a) {
    HANDLE process = g_started.at((DWORD)Num(a, 1));
    DWORD code = 0;
    if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) return ",\"code\":null";
    GetExitCodeProcess(process, &code);
    return Field("code", code);
}

// The pids of the processes named (or numbered) a[1].
std::vector<DWORD> Matching(const Args& a) {
    std::vector<DWORD> out;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W pe = {};
    pe.dwSize = sizeof pe;
    for (BOOL more = Process32FirstW(snap, &pe); more; more = Process32NextW(snap, &pe))
        if (a.at(1) == pe.szExeFile || a[1] == std::to_wstring(pe.th32ProcessID)) out.push_back(pe.th32ProcessID);
    CloseHandle(snap);
    return out;
}

std::string Processes(const Args& a) {  // processes NAME, or kill NAME|PID: their pids
    std::vector<std::string> pids;
    for (DWORD pid : Matching(a)) {
        pids.push_back(std::to_string(pid));
        HANDLE h = a[0] == L"kill" ? OpenProcess(PROCESS_TERMINATE, FALSE, pid) : nullptr;
        if (h) TerminateProcess(h, 1);
        if (h) CloseHandle(h);
    }
    return ",\"pids\":" + List(pids);
}

// reg_set KEY NAME TEXT [dword|qword]: a REG_SZ, or the number as a REG_DWORD or REG_QWORD.
std::string RegSet(const Args& a) {
    const std::wstring& text = a.at(3);
    const std::wstring type = a.size() > 4 ? a[4] : L"";
    const unsigned long long number = std::wcstoull(text.c_str(), nullptr, 10);
    const DWORD dword = static_cast<DWORD>(number);
    const LONG rc = type == L"dword"   ? RegSetKeyValueW(HKEY_LOCAL_MACHINE, a[1].c_str(), a[2].c_str(), REG_DWORD,
                                                         &dword, sizeof dword)
                    : type == L"qword" ? RegSetKeyValueW(HKEY_LOCAL_MACHINE, a[1].c_str(), a[2].c_str(), REG_QWORD,
                                                         &number, sizeof number)
                                       : RegSetKeyValueW(HKEY_LOCAL_MACHINE, a[1].c_str(), a[2].c_str(), REG_SZ,
                                                         text.c_str(), DWORD(text.size() + 1) * 2);
    if (rc) throw std::runtime_error("cannot write the value");
    return "";
}

// reg_get KEY NAME: whether the key exists, and the value's bytes in hex (null: no value).
std::string RegGet(const Args& a) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, a.at(1).c_str(), 0, KEY_READ, &key)) return ",\"key\":false,\"value\":null";
    BYTE data[1024];
    DWORD size = sizeof data;
    LONG rc = RegQueryValueExW(key, a.at(2).c_str(), nullptr, nullptr, data, &size);
    RegCloseKey(key);
    char hex[2 * sizeof data + 1] = {};
    for (DWORD i = 0; i < size; ++i) std::snprintf(hex + 2 * i, 3, "%02x", data[i]);
    return std::string(",\"key\":true,\"value\":") + (rc ? "null" : "\"" + std::string(hex) + "\"");
}

std::string RegDelete(const Args& a) {
    const wchar_t* key = a.at(1).c_str();
    if (a.size() > 2) RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, a[2].c_str());
    if (a.size() == 2 && !RegDeleteTreeW(HKEY_LOCAL_MACHINE, key)) RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
    return "";
}

// screenshot WIN|screen FILE: the pixels as a 24-bit BMP, once every visible
// window has painted (Wine may not yet have drawn a window that just appeared).
std::string Screenshot(const Args& a) {
    for (HWND h : TopLevel()) RedrawWindow(h, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    RECT r = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (a.at(1) != L"screen") GetWindowRect(Window(a), &r);
    LONG w = r.right - r.left, h = r.bottom - r.top;
    BITMAPINFOHEADER bi = {sizeof bi, w, h, 1, 24, BI_RGB, DWORD((w * 3 + 3) & ~3) * h, 0, 0, 0, 0};
    BITMAPFILEHEADER fh = {0x4D42, DWORD(sizeof fh + sizeof bi + bi.biSizeImage), 0, 0, sizeof fh + sizeof bi};
    HDC screen = GetDC(nullptr), mem = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, (BITMAPINFO*)&bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    SelectObject(mem, bmp);
    bool ok = BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY | CAPTUREBLT) && GdiFlush();
    FILE* f = _wfopen(a.at(2).c_str(), L"wb");
    ok = ok && f && fwrite(&fh, sizeof fh, 1, f) && fwrite(&bi, sizeof bi, 1, f) && fwrite(bits, bi.biSizeImage, 1, f);
    if (f) fclose(f);
    DeleteDC(mem);  // first, so that the bitmap is no longer selected when it goes
    DeleteObject(bmp);
    ReleaseDC(nullptr, screen);
    if (!ok) throw std::runtime_error("screenshot failed");
    return "";
}

// clang-format off
const std::map<std::wstring, std::string (*)(const Args&)> kCommands = {
    {L"windows", Windows}, {L"controls", Controls}, {L"click", Click}, {L"syscommand", SysCommand},
    {L"post", PostMessage}, {L"key", Key}, {L"start", Start}, {L"exitcode", ExitCode}, {L"processes", Processes},
    {L"kill", Processes}, {L"reg_set", RegSet},
    {L"reg_get", RegGet}, {L"reg_delete", RegDelete}, {L"screenshot", Screenshot}};
// clang-format on

std::string Answer(const Args& args) {
    try {
        return "{\"ok\":true" + kCommands.at(args.at(0))(args) + "}";
    } catch (const std::exception& e) {  // out_of_range: an unknown command or a missing argument
        return "{\"ok\":false,\"error\":" + Str(Wide(e.what())) + "}";
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetProcessDPIAware();  // the program under test is DPI-aware: report real pixels
    bool serve = argc == 2 && std::wstring(argv[1]) == L"--serve";
    if (argc == 2 && !serve) CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (!serve) Sleep(INFINITE);
    char buf[65536];
    while (std::fgets(buf, sizeof buf, stdin)) {
        Args args;
        std::string line = std::string(buf).substr(0, std::string(buf).find_first_of("\r\n"));
        for (size_t at = 0, tab = 0; tab != std::string::npos; at = tab + 1) {
            tab = line.find('\t', at);
            args.push_back(Wide(line.substr(at, tab - at)));
        }
        std::printf("%s\n", Answer(args).c_str());
        std::fflush(stdout);
    }
    return 0;
}
