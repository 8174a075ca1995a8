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

}  // namespace
