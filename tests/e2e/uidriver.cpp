// uidriver: inspects and drives another program's windows from outside, for
// the end-to-end scenarios that run Update.exe under Wine.
//
// It runs as a console program in the same Wine prefix, desktop and X display
// as the program under test. Two ways to call it:
//
//   uidriver.exe COMMAND ARG...     runs one command, prints one JSON line
//   uidriver.exe --serve            reads commands from standard input, one a
//                                   line, fields separated by TAB (UTF-8), and
//                                   answers each with one JSON line; ends at
//                                   end of input or on "quit"
//
// Every answer is one JSON object on one line, UTF-8, with "ok" (true/false),
// "cmd", and on failure "error". Window arguments ("WIN") are either
// "hwnd:0x1A2B" or a caption, which names the topmost visible top-level window
// with exactly that caption. Numbers may be decimal or 0x-hex.
//
// Actions that make the target do something (click, key, close, syscommand,
// command) are posted, never sent: a handler that opens a modal box must not
// block the driver. Reads use SendMessageTimeout so that a hung target makes a
// read fail instead of hanging the driver.
//
// Commands (see Help() for the argument lists) cover top-level windows, their
// controls, message boxes, process start/wait/kill, HKLM/HKCU string values and
// BMP screenshots taken from the screen.

#include <windows.h>

#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::wstring>;

// ---------------------------------------------------------------------------
// Output

std::string ToUtf8(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr,
                        nullptr);
    return s;
}

std::wstring FromUtf8(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

std::string Quote(const std::wstring& w) {
    std::string in = ToUtf8(w);
    std::string out = "\"";
    for (unsigned char c : in) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string HexHandle(const void* h) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "\"0x%llX\"",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)));
    return buf;
}

// One JSON object under construction: fields are appended in order.
class Json {
public:
    Json& Raw(const char* key, const std::string& value) {
        if (!body_.empty()) body_ += ",";
        body_ += "\"";
        body_ += key;
        body_ += "\":";
        body_ += value;
        return *this;
    }
    Json& Str(const char* key, const std::wstring& value) { return Raw(key, Quote(value)); }
    Json& Int(const char* key, long long value) { return Raw(key, std::to_string(value)); }
    Json& Bool(const char* key, bool value) { return Raw(key, value ? "true" : "false"); }
    Json& Hwnd(const char* key, HWND h) { return Raw(key, HexHandle(h)); }
    Json& Merge(const Json& other) {
        if (!other.body_.empty()) body_ += (body_.empty() ? "" : ",") + other.body_;
        return *this;
    }
    std::string Text() const { return "{" + body_ + "}"; }

private:
    std::string body_;
};

void WriteLine(const std::string& line) {
    std::string data = line + "\n";
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    if (!WriteFile(out, data.data(), static_cast<DWORD>(data.size()), &written, nullptr)) {
        std::fwrite(data.data(), 1, data.size(), stdout);
        std::fflush(stdout);
    }
}

// A failed command: thrown by the helpers, turned into {"ok":false} by Run.
struct Failure {
    std::wstring error;
    Json extra;
};

[[noreturn]] void Fail(const std::wstring& error, const Json& extra = Json()) {
    throw Failure{error, extra};
}

// ---------------------------------------------------------------------------
// Arguments

long long ParseNumber(const std::wstring& text) {
    if (text.empty()) Fail(L"number expected");
    wchar_t* end = nullptr;
    long long value = std::wcstoll(text.c_str(), &end, 0);
    if (end == nullptr || *end != L'\0') Fail(L"not a number: " + text);
    return value;
}

const std::wstring& Arg(const Args& args, size_t i, const wchar_t* what) {
    if (i >= args.size()) Fail(std::wstring(L"missing argument: ") + what);
    return args[i];
}

// ---------------------------------------------------------------------------
// Windows

const LONG_PTR kMessageTextId = 0xFFFF;  // a message box's text control
const UINT kReadTimeoutMs = 5000;

std::wstring ClassOf(HWND h) {
    wchar_t buf[256] = {};
    GetClassNameW(h, buf, 256);
    return buf;
}

// Text of a window of another process. WM_GETTEXT is marshalled across
// processes; edit controls keep their text only there, not in the window name.
std::wstring TextOf(HWND h) {
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kReadTimeoutMs, &len)) {
        wchar_t buf[1024] = {};
        GetWindowTextW(h, buf, 1024);
        return buf;
    }
    std::vector<wchar_t> buf(len + 2, L'\0');
    DWORD_PTR got = 0;
    SendMessageTimeoutW(h, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()),
                        SMTO_ABORTIFHUNG, kReadTimeoutMs, &got);
    return std::wstring(buf.data());
}

std::wstring CaptionOf(HWND h) {
    wchar_t buf[1024] = {};
    GetWindowTextW(h, buf, 1024);
    return buf;
}

// A message box is a dialog of statics and buttons with exactly one text
// static of id 0xFFFF. Dialogs such as an About box also use 0xFFFF for their
// statics, but for more than one.
bool IsMessageBox(HWND h) {
    if (ClassOf(h) != L"#32770") return false;
    int texts = 0;
    for (HWND c = GetWindow(h, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        std::wstring cls = ClassOf(c);
        if (_wcsicmp(cls.c_str(), L"Static") != 0 && _wcsicmp(cls.c_str(), L"Button") != 0)
            return false;
        if ((GetDlgCtrlID(c) & 0xFFFF) == kMessageTextId) ++texts;
    }
    return texts == 1;
}

struct TopWindows {
    bool all;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTop(HWND h, LPARAM param) {
    auto* tw = reinterpret_cast<TopWindows*>(param);
    if (tw->all || IsWindowVisible(h)) tw->found.push_back(h);
    return TRUE;
}

// Top-level windows in z-order, topmost first.
std::vector<HWND> TopLevel(bool all) {
    TopWindows tw{all, {}};
    EnumWindows(CollectTop, reinterpret_cast<LPARAM>(&tw));
    return tw.found;
}

enum class Kind { Any, MessageBox, Dialog };

Kind ParseKind(const std::wstring& s) {
    if (s.empty() || s == L"any") return Kind::Any;
    if (s == L"msgbox") return Kind::MessageBox;
    if (s == L"dialog") return Kind::Dialog;
    Fail(L"kind must be any, msgbox or dialog: " + s);
}

bool KindMatches(HWND h, Kind kind) {
    switch (kind) {
    case Kind::Any: return true;
    case Kind::MessageBox: return IsMessageBox(h);
    case Kind::Dialog: return ClassOf(h) == L"#32770" && !IsMessageBox(h);
    }
    return false;
}

std::vector<HWND> WithCaption(const std::wstring& caption, Kind kind) {
    std::vector<HWND> out;
    for (HWND h : TopLevel(false)) {
        if (CaptionOf(h) == caption && KindMatches(h, kind)) out.push_back(h);
    }
    return out;
}

bool IsHwndSelector(const std::wstring& sel) { return sel.rfind(L"hwnd:", 0) == 0; }

HWND Resolve(const std::wstring& sel) {
    if (IsHwndSelector(sel)) {
        HWND h = reinterpret_cast<HWND>(static_cast<uintptr_t>(ParseNumber(sel.substr(5))));
        if (!IsWindow(h)) Fail(L"no such window: " + sel);
        return h;
    }
    std::vector<HWND> found = WithCaption(sel, Kind::Any);
    if (found.empty()) Fail(L"no visible window with caption: " + sel);
    return found.front();
}

std::string RectJson(const RECT& r) {
    return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
           std::to_string(r.right) + "," + std::to_string(r.bottom) + "]";
}

std::string WindowJson(HWND h) {
    DWORD pid = 0;
    DWORD tid = GetWindowThreadProcessId(h, &pid);
    RECT r = {};
    GetWindowRect(h, &r);
    Json j;
    j.Hwnd("hwnd", h)
        .Str("class", ClassOf(h))
        .Str("caption", CaptionOf(h))
        .Int("pid", pid)
        .Int("tid", tid)
        .Bool("visible", IsWindowVisible(h) != FALSE)
        .Bool("enabled", IsWindowEnabled(h) != FALSE)
        .Bool("msgbox", IsMessageBox(h))
        .Hwnd("owner", GetWindow(h, GW_OWNER))
        .Int("style", static_cast<long long>(static_cast<DWORD>(GetWindowLongPtrW(h, GWL_STYLE))))
        .Int("exstyle",
             static_cast<long long>(static_cast<DWORD>(GetWindowLongPtrW(h, GWL_EXSTYLE))))
        .Raw("rect", RectJson(r));
    return j.Text();
}

bool IsButtonClass(const std::wstring& cls) { return _wcsicmp(cls.c_str(), L"Button") == 0; }

std::string ControlJson(HWND parent, HWND c) {
    std::wstring cls = ClassOf(c);
    LONG_PTR style = GetWindowLongPtrW(c, GWL_STYLE);
    RECT r = {};
    GetWindowRect(c, &r);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    Json j;
    j.Int("id", GetDlgCtrlID(c))
        .Hwnd("hwnd", c)
        .Str("class", cls)
        .Str("text", TextOf(c))
        .Bool("visible", IsWindowVisible(c) != FALSE)
        .Bool("enabled", IsWindowEnabled(c) != FALSE)
        .Int("style", static_cast<long long>(static_cast<DWORD>(style)))
        .Raw("rect", RectJson(r));
    if (IsButtonClass(cls)) {
        DWORD_PTR state = 0;
        if (SendMessageTimeoutW(c, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kReadTimeoutMs, &state))
            j.Int("check", static_cast<long long>(state));
    }
    return j.Text();
}

// Direct children only, in z-order (= tab order for a dialog).
std::vector<HWND> DirectChildren(HWND h) {
    std::vector<HWND> out;
    for (HWND c = GetWindow(h, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
    return out;
}

HWND Control(HWND win, const std::wstring& idText) {
    int id = static_cast<int>(ParseNumber(idText));
    for (HWND c : DirectChildren(win)) {
        int cid = GetDlgCtrlID(c);
        if (cid == id || (cid & 0xFFFF) == (id & 0xFFFF)) return c;
    }
    Fail(L"no control with id " + idText);
}

void Post(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (!PostMessageW(h, msg, wp, lp)) Fail(L"PostMessage failed");
}

// ---------------------------------------------------------------------------
// Processes started by this driver, kept so that their exit can be awaited.

std::map<DWORD, HANDLE> g_started;

HANDLE ProcessHandle(DWORD pid) {
    auto it = g_started.find(pid);
    if (it != g_started.end()) return it->second;
    HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!h) Fail(L"cannot open process " + std::to_wstring(pid));
    g_started[pid] = h;
    return h;
}

std::wstring BaseName(const std::wstring& path) {
    size_t at = path.find_last_of(L"\\/");
    return at == std::wstring::npos ? path : path.substr(at + 1);
}

struct ProcessEntry {
    DWORD pid;
    std::wstring exe;
};

std::vector<ProcessEntry> Processes() {
    std::vector<ProcessEntry> out;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) Fail(L"process snapshot failed");
    PROCESSENTRY32W pe;
    pe.dwSize = sizeof pe;
    for (BOOL more = Process32FirstW(snap, &pe); more; more = Process32NextW(snap, &pe))
        out.push_back({pe.th32ProcessID, BaseName(pe.szExeFile)});
    CloseHandle(snap);
    return out;
}

// ---------------------------------------------------------------------------
// Registry

struct RegPath {
    HKEY root;
    std::wstring sub;
};

RegPath ParseRegPath(const std::wstring& path) {
    struct Root {
        const wchar_t* name;
        HKEY key;
    };
    const Root roots[] = {{L"HKLM\\", HKEY_LOCAL_MACHINE},
                          {L"HKEY_LOCAL_MACHINE\\", HKEY_LOCAL_MACHINE},
                          {L"HKCU\\", HKEY_CURRENT_USER},
                          {L"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER}};
    for (const Root& r : roots) {
        size_t n = wcslen(r.name);
        if (path.size() >= n && _wcsnicmp(path.c_str(), r.name, n) == 0)
            return {r.key, path.substr(n)};
    }
    return {HKEY_LOCAL_MACHINE, path};
}

std::string BytesHex(const std::vector<BYTE>& data) {
    std::string s = "\"";
    char buf[4];
    for (BYTE b : data) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        s += buf;
    }
    return s + "\"";
}

// ---------------------------------------------------------------------------
// Screenshots: a 24-bit bottom-up BMP of a screen rectangle.

void SaveScreen(const RECT& r, const std::wstring& file) {
    int w = r.right - r.left;
    int h = r.bottom - r.top;
    if (w <= 0 || h <= 0) Fail(L"empty rectangle");
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (bmp && bits) {
        HGDIOBJ old = SelectObject(mem, bmp);
        ok = BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY | CAPTUREBLT) != FALSE;
        GdiFlush();
        SelectObject(mem, old);
    }
    DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
    DWORD imageSize = stride * static_cast<DWORD>(h);
    BITMAPFILEHEADER fh = {};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
    fh.bfSize = fh.bfOffBits + imageSize;
    bi.bmiHeader.biSizeImage = imageSize;
    if (ok) {
        HANDLE f = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f == INVALID_HANDLE_VALUE) {
            ok = false;
        } else {
            DWORD n = 0;
            ok = WriteFile(f, &fh, sizeof fh, &n, nullptr) &&
                 WriteFile(f, &bi.bmiHeader, sizeof bi.bmiHeader, &n, nullptr) &&
                 WriteFile(f, bits, imageSize, &n, nullptr);
            CloseHandle(f);
        }
    }
    if (bmp) DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    if (!ok) Fail(L"screenshot failed: " + file);
}

// ---------------------------------------------------------------------------
// Commands

using Handler = Json (*)(const Args&);

// The fields of a successful answer; Run puts "ok" and "cmd" in front.
Json Ok() { return Json(); }

std::string WindowList(const std::vector<HWND>& list) {
    std::string s = "[";
    for (size_t i = 0; i < list.size(); ++i) s += (i ? "," : "") + WindowJson(list[i]);
    return s + "]";
}

Json CmdWindows(const Args& a) {
    bool all = a.size() > 2 && a[2] == L"all";
    std::vector<HWND> list;
    for (HWND h : TopLevel(all)) {
        if (a.size() > 1 && !a[1].empty() && CaptionOf(h) != a[1]) continue;
        list.push_back(h);
    }
    return Ok().Raw("windows", WindowList(list));
}

// wait_window CAPTION TIMEOUT_MS [KIND] [EXCLUDE_HWND...]
Json CmdWaitWindow(const Args& a) {
    const std::wstring& caption = Arg(a, 1, L"caption");
    DWORD timeout = static_cast<DWORD>(ParseNumber(Arg(a, 2, L"timeout_ms")));
    Kind kind = ParseKind(a.size() > 3 ? a[3] : std::wstring());
    std::vector<HWND> exclude;
    for (size_t i = 4; i < a.size(); ++i)
        exclude.push_back(reinterpret_cast<HWND>(static_cast<uintptr_t>(ParseNumber(a[i]))));
    DWORD start = GetTickCount();
    for (;;) {
        for (HWND h : WithCaption(caption, kind)) {
            bool skip = false;
            for (HWND x : exclude) skip = skip || x == h;
            if (!skip) {
                return Ok().Raw("window", WindowJson(h)).Int("waited_ms", GetTickCount() - start);
            }
        }
        if (GetTickCount() - start >= timeout) {
            Fail(L"timeout", Json().Raw("windows", WindowList(TopLevel(false))));
        }
        Sleep(50);
    }
}

// wait_gone WIN TIMEOUT_MS: the window (or every visible window with that caption) is gone.
Json CmdWaitGone(const Args& a) {
    const std::wstring& sel = Arg(a, 1, L"window");
    DWORD timeout = static_cast<DWORD>(ParseNumber(Arg(a, 2, L"timeout_ms")));
    DWORD start = GetTickCount();
    for (;;) {
        bool present;
        if (IsHwndSelector(sel)) {
            HWND h = reinterpret_cast<HWND>(static_cast<uintptr_t>(ParseNumber(sel.substr(5))));
            present = IsWindow(h) && IsWindowVisible(h);
        } else {
            present = !WithCaption(sel, Kind::Any).empty();
        }
        if (!present) return Ok().Int("waited_ms", GetTickCount() - start);
        if (GetTickCount() - start >= timeout) Fail(L"timeout");
        Sleep(50);
    }
}

Json CmdWindow(const Args& a) { return Ok().Raw("window", WindowJson(Resolve(Arg(a, 1, L"window")))); }

Json CmdControls(const Args& a) {
    HWND win = Resolve(Arg(a, 1, L"window"));
    std::string s = "[";
    bool first = true;
    for (HWND c : DirectChildren(win)) {
        s += (first ? "" : ",") + ControlJson(win, c);
        first = false;
    }
    return Ok().Raw("window", WindowJson(win)).Raw("controls", s + "]");
}

Json CmdText(const Args& a) {
    HWND c = Control(Resolve(Arg(a, 1, L"window")), Arg(a, 2, L"id"));
    return Ok().Str("text", TextOf(c));
}

Json CmdCheck(const Args& a) {
    HWND c = Control(Resolve(Arg(a, 1, L"window")), Arg(a, 2, L"id"));
    DWORD_PTR state = 0;
    if (!SendMessageTimeoutW(c, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kReadTimeoutMs, &state))
        Fail(L"BM_GETCHECK timed out");
    return Ok().Int("check", static_cast<long long>(state));
}

Json CmdClick(const Args& a) {
    HWND c = Control(Resolve(Arg(a, 1, L"window")), Arg(a, 2, L"id"));
    Post(c, BM_CLICK, 0, 0);
    return Ok();
}

Json CmdCommand(const Args& a) {
    HWND win = Resolve(Arg(a, 1, L"window"));
    WPARAM id = static_cast<WPARAM>(ParseNumber(Arg(a, 2, L"id")));
    Post(win, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    return Ok();
}

Json CmdClose(const Args& a) {
    Post(Resolve(Arg(a, 1, L"window")), WM_CLOSE, 0, 0);
    return Ok();
}

Json CmdSysCommand(const Args& a) {
    HWND win = Resolve(Arg(a, 1, L"window"));
    Post(win, WM_SYSCOMMAND, static_cast<WPARAM>(ParseNumber(Arg(a, 2, L"id"))), 0);
    return Ok();
}

// The control that has the keyboard focus in the window's thread, if any.
HWND FocusOf(HWND win) {
    GUITHREADINFO gti = {};
    gti.cbSize = sizeof gti;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(win, nullptr), &gti)) return gti.hwndFocus;
    return nullptr;
}

// key WIN VK: a key press and release posted to the focused control of the
// window's thread (or the window itself), where the dialog's own message loop
// sees it as the user's keystroke would arrive.
Json CmdKey(const Args& a) {
    HWND win = Resolve(Arg(a, 1, L"window"));
    UINT vk = static_cast<UINT>(ParseNumber(Arg(a, 2, L"vk")));
    HWND target = FocusOf(win);
    if (!target) target = win;
    UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
    Post(target, WM_KEYDOWN, vk, 1 | (static_cast<LPARAM>(scan) << 16));
    Post(target, WM_KEYUP, vk, 1 | (static_cast<LPARAM>(scan) << 16) | (3LL << 30));
    return Ok().Hwnd("target", target);
}

Json CmdFocus(const Args& a) {
    HWND win = Resolve(Arg(a, 1, L"window"));
    HWND f = FocusOf(win);
    Json j = Ok().Hwnd("hwnd", f);
    if (f) j.Int("id", GetDlgCtrlID(f)).Str("class", ClassOf(f));
    return j;
}

Json CmdMsgBox(const Args& a) {
    HWND win = Resolve(Arg(a, 1, L"window"));
    if (!IsMessageBox(win)) Fail(L"not a message box");
    std::wstring text;
    std::string buttons = "[";
    bool icon = false;
    for (HWND c : DirectChildren(win)) {
        std::wstring cls = ClassOf(c);
        int id = GetDlgCtrlID(c);
        if ((id & 0xFFFF) == kMessageTextId && cls == L"Static") {
            text = TextOf(c);
        } else if (IsButtonClass(cls)) {
            if (buttons.size() > 1) buttons += ",";
            buttons += Json().Int("id", id).Str("text", TextOf(c)).Bool("visible",
                           IsWindowVisible(c) != FALSE).Text();
        } else if (cls == L"Static" && (GetWindowLongPtrW(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            // Wine keeps an empty icon control in boxes without an icon.
            DWORD_PTR hicon = 0;
            SendMessageTimeoutW(c, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, kReadTimeoutMs, &hicon);
            icon = icon || (hicon != 0 && IsWindowVisible(c));
        }
    }
    return Ok()
        .Raw("window", WindowJson(win))
        .Str("caption", CaptionOf(win))
        .Str("text", text)
        .Bool("icon", icon)
        .Raw("buttons", buttons + "]");
}

Json CmdAnswer(const Args& a) {
    HWND win = Resolve(Arg(a, 1, L"window"));
    const std::wstring& id = Arg(a, 2, L"button id");
    HWND button = nullptr;
    for (HWND c : DirectChildren(win)) {
        if (GetDlgCtrlID(c) == ParseNumber(id) && IsButtonClass(ClassOf(c))) button = c;
    }
    if (button) {
        Post(button, BM_CLICK, 0, 0);
    } else {
        Post(win, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(ParseNumber(id)), BN_CLICKED), 0);
    }
    return Ok().Bool("clicked", button != nullptr);
}

Json CmdProcesses(const Args& a) {
    std::string s = "[";
    for (const ProcessEntry& p : Processes()) {
        if (a.size() > 1 && _wcsicmp(p.exe.c_str(), a[1].c_str()) != 0) continue;
        if (s.size() > 1) s += ",";
        s += Json().Int("pid", p.pid).Str("exe", p.exe).Text();
    }
    return Ok().Raw("processes", s + "]");
}

Json CmdKill(const Args& a) {
    const std::wstring& name = Arg(a, 1, L"exe name or pid");
    DWORD self = GetCurrentProcessId();
    int killed = 0;
    for (const ProcessEntry& p : Processes()) {
        bool match = p.pid != self && (_wcsicmp(p.exe.c_str(), name.c_str()) == 0 ||
                                       std::to_wstring(p.pid) == name);
        if (!match) continue;
        HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, p.pid);
        if (h && TerminateProcess(h, 1)) ++killed;
        if (h) CloseHandle(h);
    }
    return Ok().Int("killed", killed);
}

// Files held open with no sharing, as a running program holds its files,
// until "release" (or the driver's end).
std::map<std::wstring, HANDLE>& HeldFiles() {
    static std::map<std::wstring, HANDLE> held;
    return held;
}

// hold PATH: opens an existing file with share mode 0 and keeps it open.
Json CmdHold(const Args& a) {
    const std::wstring& path = Arg(a, 1, L"path");
    if (HeldFiles().count(path)) Fail(L"already held");
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) Fail(L"CreateFile failed, error " + std::to_wstring(GetLastError()));
    HeldFiles()[path] = h;
    return Ok();
}

// release PATH: closes a file opened by hold.
Json CmdRelease(const Args& a) {
    const std::wstring& path = Arg(a, 1, L"path");
    auto it = HeldFiles().find(path);
    if (it == HeldFiles().end()) Fail(L"not held");
    CloseHandle(it->second);
    HeldFiles().erase(it);
    return Ok();
}

std::wstring QuoteArg(const std::wstring& s) { return L"\"" + s + L"\""; }

Json StartProcess(const std::wstring& exe, std::wstring cmdline) {
    std::wstring dir = exe;
    size_t at = dir.find_last_of(L"\\/");
    dir = at == std::wstring::npos ? std::wstring() : dir.substr(0, at);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::vector<wchar_t> buf(cmdline.begin(), cmdline.end());
    buf.push_back(L'\0');
    if (!CreateProcessW(exe.c_str(), buf.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        dir.empty() ? nullptr : dir.c_str(), &si, &pi)) {
        Fail(L"CreateProcess failed, error " + std::to_wstring(GetLastError()));
    }
    CloseHandle(pi.hThread);
    g_started[pi.dwProcessId] = pi.hProcess;
    return Ok().Int("pid", pi.dwProcessId).Str("cmdline", cmdline);
}

// start EXE [TAIL]: command line = "EXE" alone, or "EXE" + blank + TAIL, verbatim.
Json CmdStart(const Args& a) {
    const std::wstring& exe = Arg(a, 1, L"exe");
    std::wstring cmdline = QuoteArg(exe);
    if (a.size() > 2) cmdline += L" " + a[2];
    return StartProcess(exe, cmdline);
}

// start_raw EXE CMDLINE: the whole command line given verbatim.
Json CmdStartRaw(const Args& a) { return StartProcess(Arg(a, 1, L"exe"), Arg(a, 2, L"cmdline")); }

Json CmdWaitExit(const Args& a) {
    DWORD pid = static_cast<DWORD>(ParseNumber(Arg(a, 1, L"pid")));
    DWORD timeout = static_cast<DWORD>(ParseNumber(Arg(a, 2, L"timeout_ms")));
    HANDLE h = ProcessHandle(pid);
    DWORD start = GetTickCount();
    if (WaitForSingleObject(h, timeout) != WAIT_OBJECT_0) Fail(L"timeout");
    DWORD code = 0;
    GetExitCodeProcess(h, &code);
    return Ok().Bool("exited", true).Int("code", code).Int("waited_ms", GetTickCount() - start);
}

Json CmdRegSet(const Args& a) {
    RegPath p = ParseRegPath(Arg(a, 1, L"key"));
    const std::wstring& name = Arg(a, 2, L"value name");
    const std::wstring& data = Arg(a, 3, L"data");
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(p.root, p.sub.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                              nullptr);
    if (rc != ERROR_SUCCESS) Fail(L"RegCreateKeyEx failed " + std::to_wstring(rc));
    rc = RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                        static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) Fail(L"RegSetValueEx failed " + std::to_wstring(rc));
    return Ok();
}

Json CmdRegGet(const Args& a) {
    RegPath p = ParseRegPath(Arg(a, 1, L"key"));
    const std::wstring& name = Arg(a, 2, L"value name");
    HKEY key = nullptr;
    if (RegOpenKeyExW(p.root, p.sub.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return Ok().Bool("key", false).Bool("exists", false);
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
    std::vector<BYTE> data(size);
    if (rc == ERROR_SUCCESS && size > 0)
        rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return Ok().Bool("key", true).Bool("exists", false);
    data.resize(size);
    std::wstring text;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        wchar_t ch = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (ch == 0) break;
        text += ch;
    }
    return Ok()
        .Bool("key", true)
        .Bool("exists", true)
        .Int("type", type)
        .Str("data", text)
        .Raw("bytes", BytesHex(data));
}

Json CmdRegDeleteValue(const Args& a) {
    RegPath p = ParseRegPath(Arg(a, 1, L"key"));
    HKEY key = nullptr;
    if (RegOpenKeyExW(p.root, p.sub.c_str(), 0, KEY_WRITE, &key) != ERROR_SUCCESS)
        return Ok().Bool("deleted", false);
    LONG rc = RegDeleteValueW(key, Arg(a, 2, L"value name").c_str());
    RegCloseKey(key);
    return Ok().Bool("deleted", rc == ERROR_SUCCESS);
}

Json CmdRegDeleteKey(const Args& a) {
    RegPath p = ParseRegPath(Arg(a, 1, L"key"));
    RegDeleteTreeW(p.root, p.sub.c_str());
    RegDeleteKeyW(p.root, p.sub.c_str());
    HKEY key = nullptr;
    if (RegOpenKeyExW(p.root, p.sub.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        Fail(L"the key is still there");
    }
    return Ok();
}

// screenshot WIN|screen FILE: the window's (or the whole screen's) pixels as BMP.
Json CmdScreenshot(const Args& a) {
    const std::wstring& sel = Arg(a, 1, L"window or screen");
    RECT r = {};
    if (sel == L"screen") {
        r.right = GetSystemMetrics(SM_CXSCREEN);
        r.bottom = GetSystemMetrics(SM_CYSCREEN);
    } else {
        GetWindowRect(Resolve(sel), &r);
    }
    SaveScreen(r, Arg(a, 2, L"file"));
    return Ok().Raw("rect", RectJson(r));
}

// settle [WIN]: lets the window (default: every visible top-level window)
// finish painting, so that a screenshot taken next shows it drawn. A thread
// that does not answer within the read timeout is left alone.
Json CmdSettle(const Args& a) {
    std::vector<HWND> list;
    if (a.size() > 1) {
        list.push_back(Resolve(a[1]));
    } else {
        list = TopLevel(false);
    }
    int painted = 0;
    for (HWND h : list) {
        DWORD_PTR ignored = 0;
        if (!SendMessageTimeoutW(h, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kReadTimeoutMs, &ignored))
            continue;
        RedrawWindow(h, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
        SendMessageTimeoutW(h, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kReadTimeoutMs, &ignored);
        ++painted;
    }
    return Ok().Int("windows", painted);
}

Json CmdSleep(const Args& a) {
    Sleep(static_cast<DWORD>(ParseNumber(Arg(a, 1, L"ms"))));
    return Ok();
}

Json CmdPing(const Args&) {
    return Ok()
        .Int("pid", GetCurrentProcessId())
        .Int("screen_w", GetSystemMetrics(SM_CXSCREEN))
        .Int("screen_h", GetSystemMetrics(SM_CYSCREEN));
}

const wchar_t kHelp[] =
    L"windows [CAPTION] [all] | wait_window CAPTION MS [any|msgbox|dialog] [EXCLUDE_HWND...] | "
    L"wait_gone WIN MS | window WIN | controls WIN | text WIN ID | check WIN ID | click WIN ID | "
    L"command WIN ID | close WIN | syscommand WIN ID | key WIN VK | focus WIN | msgbox WIN | "
    L"answer WIN BUTTON_ID | processes [EXE] | kill EXE|PID | start EXE [TAIL] | "
    L"start_raw EXE CMDLINE | wait_exit PID MS | reg_set KEY NAME DATA | reg_get KEY NAME | "
    L"reg_delete_value KEY NAME | reg_delete_key KEY | screenshot WIN|screen FILE.bmp | "
    L"settle [WIN] | "
    L"sleep MS | ping | quit   (WIN = hwnd:0x... or a caption)";

Json CmdHelp(const Args&) { return Ok().Str("help", kHelp); }

const std::map<std::wstring, Handler>& Commands() {
    static const std::map<std::wstring, Handler> table = {
        {L"windows", CmdWindows},
        {L"wait_window", CmdWaitWindow},
        {L"wait_gone", CmdWaitGone},
        {L"window", CmdWindow},
        {L"controls", CmdControls},
        {L"text", CmdText},
        {L"check", CmdCheck},
        {L"click", CmdClick},
        {L"command", CmdCommand},
        {L"close", CmdClose},
        {L"syscommand", CmdSysCommand},
        {L"key", CmdKey},
        {L"focus", CmdFocus},
        {L"msgbox", CmdMsgBox},
        {L"answer", CmdAnswer},
        {L"processes", CmdProcesses},
        {L"kill", CmdKill},
        {L"hold", CmdHold},
        {L"release", CmdRelease},
        {L"start", CmdStart},
        {L"start_raw", CmdStartRaw},
        {L"wait_exit", CmdWaitExit},
        {L"reg_set", CmdRegSet},
        {L"reg_get", CmdRegGet},
        {L"reg_delete_value", CmdRegDeleteValue},
        {L"reg_delete_key", CmdRegDeleteKey},
        {L"screenshot", CmdScreenshot},
        {L"settle", CmdSettle},
        {L"sleep", CmdSleep},
        {L"ping", CmdPing},
        {L"help", CmdHelp},
    };
    return table;
}

// Runs one command and prints its answer; returns false when it failed.
bool Run(const Args& args) {
    std::wstring name = args.empty() ? std::wstring() : args[0];
    try {
        if (args.empty()) Fail(L"empty command");
        auto it = Commands().find(args[0]);
        if (it == Commands().end()) Fail(L"unknown command: " + args[0]);
        Json result = it->second(args);
        WriteLine(Json().Bool("ok", true).Str("cmd", name).Merge(result).Text());
        return true;
    } catch (const Failure& f) {
        WriteLine(
            Json().Bool("ok", false).Str("cmd", name).Str("error", f.error).Merge(f.extra).Text());
        return false;
    }
}

// One TAB-separated command a line; "\t" and "\n" inside a field cannot be
// sent, which no caption or text in these tests needs.
int Serve() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buf[4096];
    for (;;) {
        size_t nl;
        while ((nl = pending.find('\n')) == std::string::npos) {
            DWORD got = 0;
            if (!ReadFile(in, buf, sizeof buf, &got, nullptr) || got == 0) return 0;
            pending.append(buf, got);
        }
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        Args args;
        size_t start = 0;
        for (;;) {
            size_t tab = line.find('\t', start);
            args.push_back(FromUtf8(line.substr(start, tab - start)));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        if (args[0] == L"quit") {
            WriteLine(Json().Bool("ok", true).Str("cmd", L"quit").Text());
            return 0;
        }
        Run(args);
    }
}

// True when this program runs under another name than uidriver.exe.
bool IsStandInProduct() {
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    const wchar_t* base = wcsrchr(path, L'\\');
    base = base ? base + 1 : path;
    return _wcsicmp(base, L"uidriver.exe") != 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetConsoleOutputCP(CP_UTF8);
    // Windows of the program under test are per-monitor; report real pixels.
    SetProcessDPIAware();
    if (argc >= 2 && std::wstring(argv[1]) == L"--serve") return Serve();
    if (argc == 1 && IsStandInProduct()) {
        // A copy under the product's name stands in for the running product
        // until something terminates it.
        for (;;) Sleep(INFINITE);
    }
    Args args(argv + 1, argv + argc);
    return Run(args) ? 0 : 1;
}
