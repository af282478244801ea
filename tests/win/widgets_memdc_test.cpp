// CMemDC over real device contexts: a target backed by a DIB section whose
// pixels can be read at any moment, so the test sees exactly when and where
// the off-screen image reaches the target.
#include <windows.h>

#include <gtest/gtest.h>

#include "MemDC.h"

namespace {

constexpr int kSize = 100;
constexpr COLORREF kPaper = RGB(255, 255, 255);
constexpr COLORREF kInk = RGB(200, 30, 40);
constexpr COLORREF kDot = RGB(10, 20, 250);

// A kSize x kSize 32-bit target, filled with kPaper, wrapped in a CDC that
// owns its memory context.
class MemDCTest : public ::testing::Test {
protected:
    void SetUp() override {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = kSize;
        info.bmiHeader.biHeight = -kSize;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        ASSERT_TRUE(m_target.CreateCompatibleDC(nullptr));
        m_dib = ::CreateDIBSection(m_target, &info, DIB_RGB_COLORS, &m_bits, nullptr, 0);
        ASSERT_NE(nullptr, m_dib);
        m_previous = ::SelectObject(m_target, m_dib);
        RECT all{0, 0, kSize, kSize};
        m_target.FillSolidRect(&all, kPaper);
    }
    void TearDown() override {
        ::SelectObject(m_target, m_previous);
        ::DeleteObject(m_dib);
    }

    // The target's pixel at device coordinates, straight from its memory.
    COLORREF Pixel(int x, int y) const {
        ::GdiFlush();
        const DWORD v = static_cast<const DWORD*>(m_bits)[y * kSize + x];
        return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
    }
    int Count(COLORREF color, const RECT& area) const {
        int n = 0;
        for (int y = area.top; y < area.bottom; ++y)
            for (int x = area.left; x < area.right; ++x)
                if (Pixel(x, y) == color) ++n;
        return n;
    }
    void Clip(const RECT& device) {
        HRGN region = ::CreateRectRgnIndirect(&device);
        ::SelectClipRgn(m_target, region);
        ::DeleteObject(region);
    }

    CDC m_target;
    HBITMAP m_dib = nullptr;
    HGDIOBJ m_previous = nullptr;
    void* m_bits = nullptr;
};

TEST_F(MemDCTest, BuffersTheWholeTargetAndDeliversItAtTheEnd) {
    const RECT all{0, 0, kSize, kSize};
    {
        CMemDC dc(&m_target);
        EXPECT_TRUE(dc.IsBuffered());
        EXPECT_NE(m_target.GetSafeHdc(), dc.GetSafeHdc());
        EXPECT_EQ(0, dc.GetRect().left);
        EXPECT_EQ(kSize, dc.GetRect().Width());
        dc.FillSolidRect(&all, kInk);
        EXPECT_EQ(kSize * kSize, Count(kPaper, all));  // nothing reaches the target yet
    }
    EXPECT_EQ(kSize * kSize, Count(kInk, all));
}

TEST_F(MemDCTest, APartialClipBoxIsAllThatIsBufferedAndCopied) {
    const RECT part{20, 30, 60, 70};
    Clip(part);
    const RECT all{0, 0, kSize, kSize};
    HDC memory = nullptr;
    {
        CMemDC dc(&m_target);
        memory = dc.GetSafeHdc();
        EXPECT_TRUE(::EqualRect(&part, &dc.GetRect()));
        BITMAP bm{};
        ::GetObjectW(::GetCurrentObject(memory, OBJ_BITMAP), sizeof(bm), &bm);
        EXPECT_EQ(40, bm.bmWidth);
        EXPECT_EQ(40, bm.bmHeight);
        // The clip box's top-left logical point is the bitmap's first pixel.
        POINT origin{};
        ::GetWindowOrgEx(memory, &origin);
        EXPECT_EQ(20, origin.x);
        EXPECT_EQ(30, origin.y);
        dc.FillSolidRect(&all, kInk);
        ::SetPixel(dc, 20, 30, kDot);
        ::SetPixel(dc, 59, 69, kDot);
        ::SetPixel(dc, 19, 30, kDot);  // outside: lost
    }
    ::SelectClipRgn(m_target, nullptr);
    EXPECT_EQ(40 * 40 - 2, Count(kInk, part));
    EXPECT_EQ(kDot, Pixel(20, 30));
    EXPECT_EQ(kDot, Pixel(59, 69));
    EXPECT_EQ(kPaper, Pixel(19, 30));
    EXPECT_EQ(kSize * kSize - 40 * 40, Count(kPaper, all));
    EXPECT_EQ(0u, ::GetObjectType(memory)) << "the memory context goes with the object";
}

TEST_F(MemDCTest, LogicalCoordinatesOfTheTargetAddressTheBitmap) {
    // The target's own window origin moves its logical coordinates; the
    // buffer follows them.
    ::SetWindowOrgEx(m_target, -10, -5, nullptr);
    Clip(RECT{40, 40, 50, 50});  // device units
    RECT clip{};
    m_target.GetClipBox(&clip);
    EXPECT_EQ(30, clip.left);  // logical units
    EXPECT_EQ(35, clip.top);
    {
        CMemDC dc(&m_target);
        const RECT logical{30, 35, 40, 45};
        dc.FillSolidRect(&logical, kInk);
        ::SetPixel(dc, 30, 35, kDot);
    }
    ::SelectClipRgn(m_target, nullptr);
    EXPECT_EQ(kDot, Pixel(40, 40));
    EXPECT_EQ(kInk, Pixel(49, 49));
    EXPECT_EQ(kPaper, Pixel(39, 40));
    EXPECT_EQ(kPaper, Pixel(50, 50));
}

TEST_F(MemDCTest, StartsWithTheDefaultsOfANewContext) {
    HFONT font = ::CreateFontW(-30, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Tahoma");
    HGDIOBJ previousFont = ::SelectObject(m_target, font);
    ::SetTextColor(m_target, kInk);
    ::SetBkMode(m_target, TRANSPARENT);
    {
        CMemDC dc(&m_target);
        EXPECT_EQ(::GetStockObject(SYSTEM_FONT), ::GetCurrentObject(dc, OBJ_FONT));
        EXPECT_EQ(RGB(0, 0, 0), ::GetTextColor(dc));
        EXPECT_EQ(OPAQUE, ::GetBkMode(dc));
    }
    ::SelectObject(m_target, previousFont);
    ::DeleteObject(font);
}

TEST_F(MemDCTest, APrintingTargetIsDrawnOnDirectlyAndKeepsItsHandles) {
    m_target.m_bPrinting = TRUE;
    HDC target = m_target.GetSafeHdc();
    const RECT part{0, 0, 10, 10};
    {
        CMemDC dc(&m_target);
        EXPECT_FALSE(dc.IsBuffered());
        EXPECT_TRUE(dc.IsPrinting());
        EXPECT_EQ(target, dc.GetSafeHdc());
        EXPECT_EQ(target, dc.m_hAttribDC);
        dc.FillSolidRect(&part, kInk);
        EXPECT_EQ(100, Count(kInk, part));  // at once, not at the end
    }
    // The target's context survives and still draws.
    EXPECT_EQ(static_cast<DWORD>(OBJ_MEMDC), ::GetObjectType(target));
    EXPECT_EQ(target, m_target.GetSafeHdc());
    ::SetPixel(target, 50, 50, kDot);
    EXPECT_EQ(kDot, Pixel(50, 50));
    EXPECT_EQ(100, Count(kInk, part));
    m_target.m_bPrinting = FALSE;
}

TEST_F(MemDCTest, BitmapIsDeselectedAndDeletedAtTheEnd) {
    HGDIOBJ bitmap = nullptr;
    {
        CMemDC dc(&m_target);
        bitmap = ::GetCurrentObject(dc, OBJ_BITMAP);
        EXPECT_EQ(static_cast<DWORD>(OBJ_BITMAP), ::GetObjectType(bitmap));
    }
    EXPECT_EQ(0u, ::GetObjectType(bitmap));
}

}  // namespace
