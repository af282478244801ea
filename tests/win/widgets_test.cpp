// The widgets' painting: CMemDC over a memory target, and CTextProgressCtrl
// over a real progress window, read back from the screen.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

#include "MemDC.h"
#include "TextProgressCtrl.h"

namespace {

// It buffers the target's clip box (the box's top-left point is the bitmap's
// first pixel), changes the target once, when it ends, and only within the
// clip box, and leaves no context or bitmap behind.
TEST(MemDC, BuffersTheClipBoxAndDeliversItOnceAtTheEnd) {
    constexpr COLORREF kPaper = RGB(255, 255, 255), kInk = RGB(200, 30, 40), kDot = RGB(10, 20, 250);
    CDC target;
    ASSERT_TRUE(target.CreateCompatibleDC(nullptr));
    HDC screen = ::GetDC(nullptr);
    HGDIOBJ previous = ::SelectObject(target, ::CreateCompatibleBitmap(screen, 100, 100));  // the screen's colours
    ::ReleaseDC(nullptr, screen);
    const RECT all{0, 0, 100, 100};
    target.FillSolidRect(&all, kPaper);
    ::IntersectClipRect(target, 20, 30, 60, 70);
    HDC memory = nullptr;
    HGDIOBJ bitmap = nullptr;
    {
        CMemDC dc(&target);
        memory = dc;
        bitmap = ::GetCurrentObject(dc, OBJ_BITMAP);
        dc.FillSolidRect(&all, kInk);
        ::SetPixel(dc, 20, 30, kDot);
        EXPECT_EQ(kPaper, ::GetPixel(target, 40, 50));
    }
    ::SelectClipRgn(target, nullptr);
    const std::pair<POINT, COLORREF> expected[] = {{{20, 30}, kDot},   {{59, 69}, kInk},   {{19, 30}, kPaper},
                                                   {{20, 29}, kPaper}, {{60, 69}, kPaper}, {{59, 70}, kPaper}};
    for (const auto& [point, color] : expected)
        EXPECT_EQ(color, ::GetPixel(target, point.x, point.y)) << point.x << "," << point.y;
    EXPECT_EQ(0u, ::GetObjectType(memory));
    EXPECT_EQ(0u, ::GetObjectType(bitmap));
    ::DeleteObject(::SelectObject(target, previous));
}

constexpr int kWidth = 200, kHeight = 24;
constexpr COLORREF kMark = RGB(255, 0, 255);
const COLORREF kFill = ::GetSysColor(COLOR_HIGHLIGHT), kRest = ::GetSysColor(COLOR_WINDOW);

// The bar, kWidth x kHeight, in an uncaptioned popup shown without
// activation: Wine leaves such a window to itself, not to a window manager,
// so that it goes without a wait.
class TextProgressTest : public ::testing::Test {
protected:
    void SetUp() override {
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
        ::InitCommonControlsEx(&controls);
        ASSERT_NE(kFill, kRest);
        m_host = ::CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, L"Static", L"", WS_POPUP, 600, 500, kWidth + 20,
                                   kHeight + 20, nullptr, nullptr, nullptr, nullptr);
        ::SetWindowPos(m_host, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
        ASSERT_TRUE(m_bar.SubclassWindow(::CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, 10, 10,
                                                           kWidth, kHeight, m_host, nullptr, nullptr, nullptr)));
        ::UpdateWindow(m_host);
    }
    void TearDown() override { ::DestroyWindow(m_host); }

    // The bar's pixels as they are on screen, row by row.
    std::vector<COLORREF> Capture() const {
        std::vector<COLORREF> pixels;
        HDC dc = ::GetDC(m_bar.m_hWnd);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) pixels.push_back(::GetPixel(dc, x, y));
        ::ReleaseDC(m_bar.m_hWnd, dc);
        return pixels;
    }
    // Paints kMark straight onto the screen over the whole bar.
    void Mark() const {
        HDC dc = ::GetDC(m_bar.m_hWnd);
        const RECT all{0, 0, kWidth, kHeight};
        ::SetDCBrushColor(dc, kMark);
        ::FillRect(dc, &all, static_cast<HBRUSH>(::GetStockObject(DC_BRUSH)));
        ::ReleaseDC(m_bar.m_hWnd, dc);
    }
    bool PaintPending() const { return ::GetUpdateRect(m_bar.m_hWnd, nullptr, FALSE) != FALSE; }
    // Pixels differing from the picture: for edge < 0 the mark everywhere,
    // else the fill up to the edge on the first and last rows (the centred
    // text leaves them alone).
    int Wrong(int edge) const {
        const std::vector<COLORREF> pixels = Capture();
        int wrong = 0;
        for (int i = 0; i < kWidth * kHeight; ++i) {
            const int x = i % kWidth, y = i / kWidth;
            if (edge < 0 || y == 0 || y == kHeight - 1)
                wrong += pixels[i] != (edge < 0 ? kMark : x < edge ? kFill : kRest);
        }
        return wrong;
    }

    HWND m_host = nullptr;
    CTextProgressCtrl m_bar;
};

// Steps on one bar. The fill ends at trunc(fraction x width) columns, held
// within the bar. SetPos paints before it returns, and only when that width
// changes. An empty range (upper not above lower, also a maximum of 2^31 or
// more arriving negative) paints nothing, background included.
TEST_F(TextProgressTest, FillEdgeFollowsThePositionAndRepaintsOnlyWhenItMoves) {
    struct Step {
        int lower, upper, pos;
        bool repaints;
        int edge;  // -1: nothing painted
    };
    const Step steps[] = {
        {0, 1000, 0, true, 0},      {0, 1000, 500, true, 100},  {0, 1000, 504, false, 100}, {0, 1000, 505, true, 101},
        {0, 1000, 999, true, 199},  {0, 3, 1, true, 66},        {-50, 50, 0, true, 100},    {0, 1000, 1500, true, 200},
        {0, 1000, -100, true, 0},   {0, 1, INT_MAX, true, 200}, {0, 1, INT_MIN, true, 0},   {0, 0, 5, true, -1},
        {0, 1000, 1000, true, 200}, {0, -1, 10, true, -1},      {0, INT_MIN, 10, true, -1},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << s.pos << " in " << s.lower << ".." << s.upper);
        Mark();
        m_bar.SetRange(s.lower, s.upper);
        m_bar.SetPos(s.pos);
        EXPECT_FALSE(PaintPending());
        EXPECT_EQ(0, Wrong(s.repaints ? s.edge : -1));
        m_bar.Invalidate();
        ::UpdateWindow(m_bar.m_hWnd);
        EXPECT_FALSE(PaintPending());
        EXPECT_EQ(0, Wrong(s.edge));
    }
}

// The percentage ("50%") is centred, in the rest's colour over the fill and
// in the fill's colour over the rest.
TEST_F(TextProgressTest, TextIsCentredAndInvertedWhereItCrossesTheFill) {
    m_bar.SetRange(0, 1000);
    m_bar.SetPos(500);
    const std::vector<COLORREF> pixels = Capture();
    int overFill = 0, overRest = 0;
    RECT box{INT_MAX, INT_MAX, INT_MIN, INT_MIN};
    for (int i = 0; i < kWidth * kHeight; ++i) {
        const int x = i % kWidth, y = i / kWidth;
        if (pixels[i] == (x < kWidth / 2 ? kFill : kRest)) continue;
        box = {std::min<LONG>(box.left, x), std::min<LONG>(box.top, y), std::max<LONG>(box.right, x + 1),
               std::max<LONG>(box.bottom, y + 1)};
        overFill += x < kWidth / 2 && pixels[i] == kRest;
        overRest += x >= kWidth / 2 && pixels[i] == kFill;
    }
    EXPECT_GT(overFill, 0);
    EXPECT_GT(overRest, 0);
    EXPECT_NEAR(kWidth / 2, (box.left + box.right) / 2, 3);
    EXPECT_NEAR(kHeight / 2, (box.top + box.bottom) / 2, 3);
}

// A paint of part of the bar buffers only that part, whose window origin is
// not the device origin: fills and text clipping must still line up.
TEST_F(TextProgressTest, PartialRepaintMatchesAFullPaint) {
    m_bar.SetRange(0, 1000);
    m_bar.SetPos(500);
    const std::vector<COLORREF> full = Capture();
    for (const RECT& part : {RECT{50, 0, 150, kHeight}, RECT{90, 5, 110, 15}, RECT{101, 0, 200, kHeight}}) {
        Mark();
        ::InvalidateRect(m_bar.m_hWnd, &part, TRUE);
        ::UpdateWindow(m_bar.m_hWnd);
        const std::vector<COLORREF> pixels = Capture();
        int wrong = 0;
        for (int i = 0; i < kWidth * kHeight; ++i)
            wrong += pixels[i] != (::PtInRect(&part, POINT{i % kWidth, i / kWidth}) ? full[i] : kMark);
        EXPECT_EQ(0, wrong) << part.left << "," << part.top << "-" << part.right << "," << part.bottom;
    }
}

}  // namespace
