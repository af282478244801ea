// CTextProgressCtrl in a real window: what it paints (read back from the
// screen), when it repaints, and its window text.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <climits>
#include <ostream>

#include "TextProgressCtrl.h"
#include "WindowCapture.h"

namespace {

using wintest::Pixels;

constexpr int kWidth = 200;
constexpr int kHeight = 24;

COLORREF Bar() { return ::GetSysColor(COLOR_HIGHLIGHT); }
COLORREF Background() { return ::GetSysColor(COLOR_WINDOW); }

// The bar in a top-most popup of its own, in no border, so that its client
// area is exactly kWidth x kHeight.
class TextProgressTest : public ::testing::Test {
protected:
    void SetUp() override {
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
        ::InitCommonControlsEx(&controls);
        ASSERT_NE(Bar(), Background());
        m_host = ::CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, L"Static", L"", WS_POPUP, 600, 500, kWidth + 20,
                                   kHeight + 20, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(nullptr, m_host);
        // Shown without activation: Wine then leaves the window to itself
        // rather than to a window manager, and hiding it costs no wait.
        ::SetWindowPos(m_host, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
        HWND bar = ::CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, 10, 10, kWidth, kHeight, m_host,
                                     reinterpret_cast<HMENU>(1000), ::GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(nullptr, bar);
        ASSERT_TRUE(m_bar.SubclassWindow(bar));
        ::UpdateWindow(m_host);
        wintest::Pump();
    }
    void TearDown() override {
        if (m_host != nullptr) ::DestroyWindow(m_host);
    }

    Pixels Shot() {
        wintest::Pump();
        return wintest::CaptureClient(m_bar.m_hWnd);
    }
    bool PaintPending() const {
        RECT r{};
        return ::GetUpdateRect(m_bar.m_hWnd, &r, FALSE) != FALSE;
    }
    // Paints a marker colour straight onto the screen over the whole bar.
    void Mark(COLORREF color) {
        HDC dc = ::GetDC(m_bar.m_hWnd);
        RECT all{0, 0, kWidth, kHeight};
        HBRUSH brush = ::CreateSolidBrush(color);
        ::FillRect(dc, &all, brush);
        ::DeleteObject(brush);
        ::ReleaseDC(m_bar.m_hWnd, dc);
    }

    HWND m_host = nullptr;
    CTextProgressCtrl m_bar;
};

// Rows 0 and kHeight - 1 lie above and below the centred text: fill only.
void ExpectFillEdge(const Pixels& p, int edge) {
    for (int y : {0, kHeight - 1}) {
        for (int x = 0; x < kWidth; ++x) {
            ASSERT_EQ(x < edge ? Bar() : Background(), p.At(x, y)) << "x " << x << " y " << y << " edge " << edge;
        }
    }
}

// The text: background-coloured pixels left of the edge, bar-coloured right
// of it. Smoothed glyph edges may blend the two; such pixels lie only along
// the text.
struct TextPixels {
    int overBar = 0;
    int overBackground = 0;
    RECT box{INT_MAX, INT_MAX, INT_MIN, INT_MIN};
    RECT blended{INT_MAX, INT_MAX, INT_MIN, INT_MIN};

    bool BlendsOnlyAlongTheText() const {
        return blended.left > blended.right ||
               (blended.left >= box.left - 2 && blended.right <= box.right + 2 && blended.top >= box.top - 2 &&
                blended.bottom <= box.bottom + 2);
    }
    friend std::ostream& operator<<(std::ostream& out, const TextPixels& t) {
        return out << "text " << t.box.left << "," << t.box.top << "-" << t.box.right << "," << t.box.bottom
                   << " blended " << t.blended.left << "," << t.blended.top << "-" << t.blended.right << ","
                   << t.blended.bottom;
    }
};

void Extend(RECT& r, int x, int y) {
    r.left = std::min<LONG>(r.left, x);
    r.top = std::min<LONG>(r.top, y);
    r.right = std::max<LONG>(r.right, x + 1);
    r.bottom = std::max<LONG>(r.bottom, y + 1);
}

TextPixels FindText(const Pixels& p, int edge) {
    TextPixels t;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const COLORREF c = p.At(x, y);
            if (c != Bar() && c != Background()) {
                Extend(t.blended, x, y);
                continue;
            }
            const bool text = x < edge ? c == Background() : c == Bar();
            if (!text) continue;
            (x < edge ? t.overBar : t.overBackground)++;
            Extend(t.box, x, y);
        }
    }
    return t;
}

TEST_F(TextProgressTest, FillEdgeFollowsThePositionAndTruncates) {
    struct Case {
        int lower, upper, pos;
        int edge;  // filled columns
    };
    const Case cases[] = {
        {0, 1000, 0, 0},
        {0, 1000, 500, kWidth / 2},
        {0, 1000, 999, kWidth - 1},  // 199.8 columns
        {0, 1000, 1000, kWidth},
        {0, 3, 1, 66},               // 66.7 columns
        {-50, 50, 0, kWidth / 2},
        {0, 1000, 1500, kWidth},     // beyond the range: fully filled
        {0, 1000, -100, 0},          // below the range: nothing filled
        {0, 1, INT_MAX, kWidth},     // far beyond: saturates, still fully filled
        {0, 1, INT_MIN, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.lower << ".." << c.upper << " at " << c.pos);
        m_bar.SetRange(c.lower, c.upper);
        m_bar.SetPos(c.pos);
        EXPECT_FALSE(PaintPending());  // painted before SetPos returned
        ExpectFillEdge(Shot(), c.edge);
        // Whatever the previous width, a fresh paint shows the same picture.
        const Pixels before = Shot();
        m_bar.Invalidate();
        ::UpdateWindow(m_bar.m_hWnd);
        EXPECT_TRUE(before == Shot());
    }
}

TEST_F(TextProgressTest, TextIsCentredAndInvertedWhereItCrossesTheFill) {
    m_bar.SetRange(0, 1000);
    m_bar.SetPos(500);
    const Pixels half = Shot();
    wintest::SaveBmp(half, wintest::ShotsDirectory() + L"\\bar-50.bmp");
    ExpectFillEdge(half, kWidth / 2);
    const TextPixels t = FindText(half, kWidth / 2);
    EXPECT_TRUE(t.BlendsOnlyAlongTheText()) << t;
    // "50%" straddles the edge: some of it in each colour.
    EXPECT_GT(t.overBar, 0);
    EXPECT_GT(t.overBackground, 0);
    EXPECT_NEAR(kWidth / 2, (t.box.left + t.box.right) / 2, 3);
    EXPECT_NEAR(kHeight / 2, (t.box.top + t.box.bottom) / 2, 3);

    m_bar.SetPos(0);
    const TextPixels empty = FindText(Shot(), 0);
    EXPECT_TRUE(empty.BlendsOnlyAlongTheText()) << empty;
    EXPECT_EQ(0, empty.overBar);
    EXPECT_GT(empty.overBackground, 0);  // "0%" in the bar colour

    m_bar.SetPos(1000);
    const TextPixels full = FindText(Shot(), kWidth);
    EXPECT_TRUE(full.BlendsOnlyAlongTheText()) << full;
    EXPECT_GT(full.overBar, 0);  // "100%" in the background colour
    EXPECT_EQ(0, full.overBackground);
    EXPECT_GT(full.box.right - full.box.left, t.box.right - t.box.left);  // three digits are wider than two
}

// A paint of part of the bar buffers only that part (its window origin is
// not the device origin): fills and text clipping must still line up.
TEST_F(TextProgressTest, PartialRepaintMatchesAFullPaint) {
    m_bar.SetRange(0, 1000);
    m_bar.SetPos(500);
    const Pixels full = Shot();
    const RECT parts[] = {
        {50, 0, 150, kHeight}, {90, 5, 110, 15}, {101, 0, 200, kHeight}, {0, 0, 60, kHeight}, {95, 10, 96, 11},
    };
    for (const RECT& part : parts) {
        SCOPED_TRACE(testing::Message() << part.left << "," << part.top << "-" << part.right << "," << part.bottom);
        Mark(RGB(255, 0, 255));
        // Everything outside the part keeps the marker; the part is the bar again.
        ::InvalidateRect(m_bar.m_hWnd, &part, TRUE);
        ::UpdateWindow(m_bar.m_hWnd);
        const Pixels p = Shot();
        int wrong = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                const POINT pt{x, y};
                const COLORREF expected = ::PtInRect(&part, pt) ? full.At(x, y) : RGB(255, 0, 255);
                if (p.At(x, y) != expected) ++wrong;
            }
        }
        EXPECT_EQ(0, wrong);
    }
}

TEST_F(TextProgressTest, EmptyRangePaintsNothingButCompletesThePaint) {
    for (int pos : {0, 5, -5}) {
        SCOPED_TRACE(pos);
        m_bar.SetRange(0, 1000);
        m_bar.SetPos(1000);
        Mark(RGB(255, 0, 255));
        m_bar.SetRange(0, 0);
        m_bar.SetPos(pos);
        EXPECT_FALSE(PaintPending());
        m_bar.Invalidate();
        ::UpdateWindow(m_bar.m_hWnd);
        EXPECT_FALSE(PaintPending());
        const Pixels p = Shot();
        EXPECT_EQ(kWidth * kHeight, p.Count(RGB(255, 0, 255), 0, 0, kWidth, kHeight));
    }
    // A reversed range, and an upper bound of 2^31 or more arriving negative.
    for (int upper : {-1, INT_MIN}) {
        m_bar.SetRange(0, upper);
        Mark(RGB(0, 255, 0));
        m_bar.SetPos(10);
        m_bar.Invalidate();
        ::UpdateWindow(m_bar.m_hWnd);
        EXPECT_EQ(kWidth * kHeight, Shot().Count(RGB(0, 255, 0), 0, 0, kWidth, kHeight)) << upper;
    }
}

TEST_F(TextProgressTest, RepaintsOnlyWhenTheFilledWidthChanges) {
    wintest::MessageCounter paints(m_bar.m_hWnd, WM_PAINT);
    m_bar.SetRange(0, 1000);
    EXPECT_FALSE(PaintPending());  // the range alone paints nothing
    EXPECT_EQ(0, paints.Count());

    struct Step {
        int pos;
        int paints;  // WM_PAINT during SetPos
    };
    const Step steps[] = {
        {500, 1},   // 100 columns
        {501, 0},   // 100.2: same columns
        {504, 0},   // 100.8
        {505, 1},   // 101
        {505, 0},
        {1000, 1},  // 200
        {1200, 1},  // 240: past the end still counts as a change
        {0, 1},
    };
    for (const Step& s : steps) {
        paints.Reset();
        m_bar.SetPos(s.pos);
        EXPECT_EQ(s.paints, paints.Count()) << s.pos;
    }

    // A size change forgets the last width: the same position repaints once.
    m_bar.SetPos(505);
    ::SetWindowPos(m_bar.m_hWnd, nullptr, 0, 0, kWidth, kHeight - 2, SWP_NOMOVE | SWP_NOZORDER);
    ::UpdateWindow(m_bar.m_hWnd);
    paints.Reset();
    m_bar.SetPos(505);
    EXPECT_EQ(1, paints.Count());
    m_bar.SetPos(505);
    EXPECT_EQ(1, paints.Count());
}

TEST_F(TextProgressTest, SetPosReturnsThePreviousPosition) {
    m_bar.SetRange(0, 100);
    EXPECT_EQ(0, m_bar.SetPos(40));
    EXPECT_EQ(40, m_bar.SetPos(-7));
    EXPECT_EQ(-7, m_bar.GetPos());
    // The underlying control's own position is never used.
    EXPECT_EQ(0, ::SendMessageW(m_bar.m_hWnd, PBM_GETPOS, 0, 0));

    CTextProgressCtrl unbound;
    EXPECT_EQ(-1, unbound.SetPos(5));
    EXPECT_EQ(0, unbound.GetPos());
    int lower = 1, upper = 1;
    unbound.GetRange(lower, upper);
    EXPECT_EQ(0, lower);
    EXPECT_EQ(100, upper);
}

TEST_F(TextProgressTest, WindowTextReplacesThePercentageUntilEmptied) {
    m_bar.SetRange(0, 1000);
    m_bar.SetPos(500);
    const Pixels percentage = Shot();

    ::ValidateRect(m_bar.m_hWnd, nullptr);
    EXPECT_TRUE(::SendMessageW(m_bar.m_hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"正在下载")));
    EXPECT_TRUE(PaintPending());
    ::UpdateWindow(m_bar.m_hWnd);
    const Pixels text = Shot();
    EXPECT_FALSE(percentage == text);
    ExpectFillEdge(text, kWidth / 2);

    // The same text again invalidates nothing; another case does.
    ::SetWindowTextW(m_bar.m_hWnd, L"正在下载");
    EXPECT_FALSE(PaintPending());
    ::SetWindowTextW(m_bar.m_hWnd, L"abc");
    EXPECT_TRUE(PaintPending());
    ::ValidateRect(m_bar.m_hWnd, nullptr);
    ::SetWindowTextW(m_bar.m_hWnd, L"ABC");
    EXPECT_TRUE(PaintPending());

    // A null text is an empty one: the percentage comes back.
    ::SendMessageW(m_bar.m_hWnd, WM_SETTEXT, 0, 0);
    EXPECT_TRUE(PaintPending());
    ::UpdateWindow(m_bar.m_hWnd);
    EXPECT_TRUE(percentage == Shot());
    ::ValidateRect(m_bar.m_hWnd, nullptr);
    ::SetWindowTextW(m_bar.m_hWnd, L"");
    EXPECT_FALSE(PaintPending());
}

TEST_F(TextProgressTest, GetTextCopiesAtMostCapacityLessOneCharacters) {
    ::SetWindowTextW(m_bar.m_hWnd, L"下载abcdef");
    struct Case {
        WPARAM capacity;
        LRESULT copied;
        const wchar_t* text;
    };
    const Case cases[] = {
        {100, 8, L"下载abcdef"},
        {9, 8, L"下载abcdef"},
        {8, 7, L"下载abcde"},
        {4, 3, L"下载a"},
        {2, 1, L"下"},
        {1, 0, L""},
    };
    for (const Case& c : cases) {
        wchar_t buffer[16];
        std::fill(std::begin(buffer), std::end(buffer), L'#');
        EXPECT_EQ(c.copied, ::SendMessageW(m_bar.m_hWnd, WM_GETTEXT, c.capacity, reinterpret_cast<LPARAM>(buffer)))
            << c.capacity;
        EXPECT_STREQ(c.text, buffer) << c.capacity;
        EXPECT_EQ(L'#', buffer[c.capacity < 16 ? c.capacity : 15]) << "wrote past the capacity";
    }
    wchar_t untouched[2] = {L'#', L'#'};
    EXPECT_EQ(0, ::SendMessageW(m_bar.m_hWnd, WM_GETTEXT, 0, reinterpret_cast<LPARAM>(untouched)));
    EXPECT_EQ(L'#', untouched[0]);
    EXPECT_EQ(0, ::SendMessageW(m_bar.m_hWnd, WM_GETTEXT, 10, 0));

    wchar_t shortBuffer[4] = {};
    EXPECT_EQ(3, ::GetWindowTextW(m_bar.m_hWnd, shortBuffer, 4));
    EXPECT_STREQ(L"下载a", shortBuffer);
}

TEST(TextProgressArithmetic, FilledWidthTruncatesAndSaturates) {
    struct Case {
        int pos, lower, upper, width;
        int filled;
    };
    const Case cases[] = {
        {500, 0, 1000, 200, 100},
        {999, 0, 1000, 200, 199},
        {1, 0, 3, 200, 66},
        {-1, 0, 3, 200, -66},  // toward zero, not down
        {1500, 0, 1000, 200, 300},
        {5, 0, 0, 200, CTextProgressCtrl::kNoWidth},
        {5, 7, 7, 200, CTextProgressCtrl::kNoWidth},
        {INT_MAX, 0, 1, 200, INT_MAX},
        {INT_MIN, 0, 1, 200, INT_MIN + 1},  // never the empty-range value
        {INT_MAX, INT_MIN, INT_MAX, 200, 200},
        {100, 0, INT_MIN, 200, 0},          // a maximum of 2^31 read as signed
        {500, 0, 1000, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.filled, CTextProgressCtrl::FilledWidth(c.pos, c.lower, c.upper, c.width))
            << c.pos << " in " << c.lower << ".." << c.upper << " over " << c.width;
    }
}

TEST(TextProgressArithmetic, PercentTruncatesTowardZero) {
    struct Case {
        int pos, lower, upper;
        int percent;
    };
    const Case cases[] = {
        {0, 0, 100, 0},        {999, 0, 1000, 99},  {1000, 0, 1000, 100}, {1500, 0, 1000, 150},
        {-100, 0, 1000, -10},  {-5, 0, 1000, 0},    {1, 0, 3, 33},        {INT_MAX, 0, 1, INT_MAX},
        {INT_MIN, 0, 1, INT_MIN + 1}, {3, 0, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.percent, CTextProgressCtrl::Percent(c.pos, c.lower, c.upper))
            << c.pos << " in " << c.lower << ".." << c.upper;
    }
}

}  // namespace
