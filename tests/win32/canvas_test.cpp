// The canvas over GDI where it meets the window: the form's face colour from
// the system and drawings that survive a repaint of the window. The pixel
// rules of lines, ellipses, exclusive or, rectangles, text and block copies
// are the facade's cases (tests/ui/facade_test.cpp), run on this backend too.
#include <gtest/gtest.h>

#include <climits>

#include "tests/win32/every_form.h"

namespace {

class Canvas : public WithForms {
  protected:
    void SetUp() override {
        form = make_every();
        canvas = form->Canvas;
        background = GetSysColor(COLOR_BTNFACE);
    }

    EveryForm* form = nullptr;
    vcl::TCanvas* canvas = nullptr;
    vcl::TColor background = 0;
};

TEST_F(Canvas, CoversTheClientAreaInTheSystemsFaceColour) {
    RECT client;
    GetClientRect(form->hwnd(), &client);
    EXPECT_EQ(canvas->Pixel(0, 0), background);
    EXPECT_EQ(canvas->Pixel(client.right - 1, client.bottom - 1), background);
    EXPECT_EQ(canvas->Pixel(client.right, 0), vcl::clBlack) << "outside the surface";
}

TEST_F(Canvas, DrawingsSurviveARepaintOfTheWindow) {
    form->Show();
    canvas->Pen->Color = vcl::clRed;
    canvas->MoveTo(200, 180);
    canvas->LineTo(260, 180);
    RedrawWindow(form->hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    HDC dc = GetDC(form->hwnd());
    const COLORREF on_screen = GetPixel(dc, 230, 180);
    const COLORREF beside = GetPixel(dc, 230, 182);
    ReleaseDC(form->hwnd(), dc);
    EXPECT_EQ(on_screen, RGB(255, 0, 0));
    EXPECT_EQ(beside, background);
}

TEST_F(Canvas, AFrameCopiesToTheScreenWhatChangedNotTheBoxAroundIt) {
    form->Show();
    RedrawWindow(form->hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    vcl::FramePacer::flush_all();
    // Green on the screen alone, between the two changes (below the
    // controls): a frame that copied the box around them would put the
    // canvas's face back there.
    HDC dc = GetDC(form->hwnd());
    const RECT between{150, 165, 190, 185};
    HBRUSH green = CreateSolidBrush(RGB(0, 255, 0));
    FillRect(dc, &between, green);
    DeleteObject(green);
    canvas->Brush->Color = vcl::clRed;
    canvas->FillRect(vcl::Rect(10, 160, 20, 170));
    canvas->Brush->Color = vcl::clBlue;
    canvas->FillRect(vcl::Rect(280, 180, 290, 190));
    vcl::FramePacer::flush_all();
    EXPECT_EQ(GetPixel(dc, 15, 165), RGB(255, 0, 0));
    EXPECT_EQ(GetPixel(dc, 285, 185), RGB(0, 0, 255));
    EXPECT_EQ(GetPixel(dc, 170, 175), RGB(0, 255, 0));
    ReleaseDC(form->hwnd(), dc);
}

}  // namespace
