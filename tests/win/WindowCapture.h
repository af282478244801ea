// Test helpers for what windows actually show: reading a window's pixels
// back, saving them as a BMP for a person to look at, counting the messages a
// window receives, and pumping the thread's queue.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <string>
#include <vector>

namespace wintest {

// A copy of pixels in COLORREF form (0x00BBGGRR), row by row from the top.
struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<COLORREF> data;

    COLORREF At(int x, int y) const { return data[static_cast<std::size_t>(y) * width + x]; }
    // Pixels of one colour within [x0, x1) x [y0, y1).
    int Count(COLORREF color, int x0, int y0, int x1, int y1) const {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if (At(x, y) == color) ++n;
        return n;
    }
    bool operator==(const Pixels& other) const {
        return width == other.width && height == other.height && data == other.data;
    }
};

// Copies w x h pixels at (x, y) of a device context.
inline Pixels CaptureDC(HDC source, int x, int y, int w, int h) {
    Pixels out;
    out.width = w;
    out.height = h;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC memory = ::CreateCompatibleDC(source);
    HBITMAP dib = ::CreateDIBSection(source, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = ::SelectObject(memory, dib);
    ::BitBlt(memory, 0, 0, w, h, source, x, y, SRCCOPY);
    ::GdiFlush();
    const auto* p = static_cast<const DWORD*>(bits);
    out.data.resize(static_cast<std::size_t>(w) * h);
    for (std::size_t i = 0; i < out.data.size(); ++i) {
        const DWORD v = p[i];  // 0x00RRGGBB
        out.data[i] = RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
    }
    ::SelectObject(memory, previous);
    ::DeleteObject(dib);
    ::DeleteDC(memory);
    return out;
}

// The client area of a window as it is on screen.
inline Pixels CaptureClient(HWND window) {
    RECT client{};
    ::GetClientRect(window, &client);
    HDC dc = ::GetDC(window);
    Pixels out = CaptureDC(dc, 0, 0, client.right, client.bottom);
    ::ReleaseDC(window, dc);
    return out;
}

// The whole window (frame included) as it is on screen.
inline Pixels CaptureWindow(HWND window) {
    RECT rect{};
    ::GetWindowRect(window, &rect);
    HDC dc = ::GetWindowDC(window);
    Pixels out = CaptureDC(dc, 0, 0, rect.right - rect.left, rect.bottom - rect.top);
    ::ReleaseDC(window, dc);
    return out;
}

// Writes a 24-bit BMP.
inline bool SaveBmp(const Pixels& pixels, const std::wstring& path) {
    const int stride = (pixels.width * 3 + 3) & ~3;
    const DWORD imageSize = static_cast<DWORD>(stride) * pixels.height;
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER header{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(header);
    file.bfSize = file.bfOffBits + imageSize;
    header.biSize = sizeof(header);
    header.biWidth = pixels.width;
    header.biHeight = pixels.height;  // bottom-up
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = imageSize;
    std::vector<unsigned char> image(imageSize, 0);
    for (int y = 0; y < pixels.height; ++y) {
        unsigned char* row = image.data() + static_cast<std::size_t>(pixels.height - 1 - y) * stride;
        for (int x = 0; x < pixels.width; ++x) {
            const COLORREF c = pixels.At(x, y);
            row[x * 3] = GetBValue(c);
            row[x * 3 + 1] = GetGValue(c);
            row[x * 3 + 2] = GetRValue(c);
        }
    }
    FILE* out = _wfopen(path.c_str(), L"wb");
    if (out == nullptr) return false;
    bool ok = std::fwrite(&file, sizeof(file), 1, out) == 1 && std::fwrite(&header, sizeof(header), 1, out) == 1 &&
              std::fwrite(image.data(), 1, image.size(), out) == image.size();
    ok = std::fclose(out) == 0 && ok;
    return ok;
}

// <build folder>/shots: the nearest folder above this program that holds
// CMakeCache.txt (else the program's folder), created when missing.
inline std::wstring ShotsDirectory() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    dir.resize(dir.rfind(L'\\'));
    std::wstring build = dir;
    for (std::wstring probe = dir; probe.rfind(L'\\') != std::wstring::npos; probe.resize(probe.rfind(L'\\'))) {
        if (::GetFileAttributesW((probe + L"\\CMakeCache.txt").c_str()) != INVALID_FILE_ATTRIBUTES) {
            build = probe;
            break;
        }
    }
    const std::wstring shots = build + L"\\shots";
    ::CreateDirectoryW(shots.c_str(), nullptr);
    return shots;
}

// Dispatches what is queued for this thread.
inline void Pump() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

// Counts one message received by a window for the counter's lifetime. The
// window must outlive the counter.
class MessageCounter {
public:
    MessageCounter(HWND window, UINT message) : m_window(window), m_message(message) {
        ::SetWindowSubclass(window, &MessageCounter::Proc, reinterpret_cast<UINT_PTR>(this),
                            reinterpret_cast<DWORD_PTR>(this));
    }
    ~MessageCounter() { ::RemoveWindowSubclass(m_window, &MessageCounter::Proc, reinterpret_cast<UINT_PTR>(this)); }
    MessageCounter(const MessageCounter&) = delete;
    MessageCounter& operator=(const MessageCounter&) = delete;

    int Count() const { return m_count; }
    void Reset() { m_count = 0; }

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                 DWORD_PTR self) {
        auto* counter = reinterpret_cast<MessageCounter*>(self);
        if (message == counter->m_message) ++counter->m_count;
        return ::DefSubclassProc(window, message, wParam, lParam);
    }

    HWND m_window;
    UINT m_message;
    int m_count = 0;
};

// Marks a control's client area on screen, has the control repaint itself,
// and tells whether the mark survived everywhere: true when it painted nothing.
inline bool PaintsNothing(HWND control) {
    const COLORREF mark = RGB(255, 0, 255);
    RECT client{};
    ::GetClientRect(control, &client);
    HDC dc = ::GetDC(control);
    HBRUSH brush = ::CreateSolidBrush(mark);
    ::FillRect(dc, &client, brush);
    ::DeleteObject(brush);
    ::ReleaseDC(control, dc);
    ::InvalidateRect(control, nullptr, TRUE);
    ::UpdateWindow(control);
    const Pixels p = CaptureClient(control);
    return p.Count(mark, 0, 0, p.width, p.height) == p.width * p.height;
}

}  // namespace wintest
