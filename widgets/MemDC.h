// CMemDC: an off-screen stand-in for a device context during one paint.
//
// Constructed over a target context, it draws into a bitmap that covers the
// target's clip box (in the target's logical coordinates: the clip box's
// top-left logical point is the bitmap's first pixel) and copies that bitmap
// to the target in one SRCCOPY block transfer when it is destroyed, so the
// target changes once, without flicker. Drawing outside the clip box is
// discarded. The memory context starts with the defaults of a new compatible
// context (font, colours, background mode, clipping); nothing is copied from
// the target except the window origin.
//
// A printing target is not buffered: this object borrows the target's
// handles, draws straight into it and gives the handles back (never deleting
// them) when destroyed.
//
// The target must outlive this object: declare it first and let this object
// go out of scope before the target's paint ends. Failures of the system
// calls are not reported; the drawing they would have carried is lost.
// User-interface thread only.
#pragma once

#include "Gdi.h"

class CMemDC : public CDC {
public:
    explicit CMemDC(CDC* pDC);
    ~CMemDC() override;
    CMemDC(const CMemDC&) = delete;
    CMemDC& operator=(const CMemDC&) = delete;

    // The part of the target this object covers (logical units of the target).
    const CRect& GetRect() const noexcept { return m_rect; }
    BOOL IsBuffered() const noexcept { return m_bMemDC; }

private:
    CBitmap m_bitmap;
    CBitmap* m_oldBitmap = nullptr;  // the framework's wrapper; owns nothing
    CDC* m_pDC;
    CRect m_rect;
    BOOL m_bMemDC;
};
