// The canvas over GDI, read back pixel by pixel: GDI's own rules for lines and
// ellipses, exclusive-or drawing that undoes itself, and drawings that survive
// a repaint of the window.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "tests/win32/every_form.h"

using vcl::TColor;

namespace {

class Canvas : public WithForms {
  protected:
    void SetUp() override {
        form = make_every();
        canvas = form->Canvas;
        background = GetSysColor(COLOR_BTNFACE);
    }

    std::vector<TColor> pixels(int left, int top, int right, int bottom) const {
        std::vector<TColor> found;
        for (int y = top; y < bottom; ++y) {
            for (int x = left; x < right; ++x)
                found.push_back(canvas->Pixel(x, y));
        }
        return found;
    }
    // A patch of several colours, so that exclusive or has something to undo.
    void paint_patch() {
        canvas->Pen->Mode = vcl::pmCopy;
        canvas->Pen->Color = vcl::clGreen;
        canvas->Pen->Width = 3;
        canvas->MoveTo(40, 40);
        canvas->LineTo(80, 70);
        canvas->Pen->Color = vcl::clBlue;
        canvas->MoveTo(40, 70);
        canvas->LineTo(80, 40);
        canvas->Pen->Width = 1;
    }
    // The patch's pixels and a margin around them.
    std::vector<TColor> patch() const { return pixels(30, 30, 90, 80); }
    // An ellipse and a line across it over the patch, in exclusive or.
    void xor_figure(TColor pen, TColor brush) {
        canvas->Pen->Mode = vcl::pmXor;
        canvas->Pen->Color = pen;
        canvas->Brush->Color = brush;
        canvas->Ellipse(45, 42, 75, 68);
        canvas->MoveTo(35, 35);
        canvas->LineTo(85, 75);
    }

    EveryForm* form = nullptr;
    vcl::TCanvas* canvas = nullptr;
    TColor background = 0;
};

TEST_F(Canvas, CoversTheClientAreaInTheFormsColour) {
    RECT client;
    GetClientRect(form->hwnd(), &client);
    EXPECT_EQ(canvas->Pixel(0, 0), background);
    EXPECT_EQ(canvas->Pixel(client.right - 1, client.bottom - 1), background);
    EXPECT_EQ(canvas->Pixel(client.right + 5, 0), vcl::clBlack) << "outside the surface";
    EXPECT_EQ(canvas->Pixel(-1, 0), vcl::clBlack);
}

TEST_F(Canvas, LineToDrawsTheCurrentPointAndLeavesOutTheEndPoint) {
    canvas->Pen->Color = vcl::clRed;
    canvas->MoveTo(10, 10);
    canvas->LineTo(20, 10);
    for (int x = 10; x < 20; ++x)
        EXPECT_EQ(canvas->Pixel(x, 10), vcl::clRed) << x;
    EXPECT_EQ(canvas->Pixel(9, 10), background);
    EXPECT_EQ(canvas->Pixel(20, 10), background) << "the end point is left out";
    // The next line starts where this one ended: joined lines do not overlap.
    canvas->LineTo(20, 15);
    EXPECT_EQ(canvas->Pixel(20, 10), vcl::clRed);
    EXPECT_EQ(canvas->Pixel(20, 14), vcl::clRed);
    EXPECT_EQ(canvas->Pixel(20, 15), background);
}

TEST_F(Canvas, LineToTheCurrentPointDrawsNothing) {
    canvas->Pen->Color = vcl::clRed;
    canvas->MoveTo(10, 10);
    canvas->LineTo(10, 10);
    EXPECT_EQ(canvas->Pixel(10, 10), background);
}

TEST_F(Canvas, EllipseCoversX1ToX2MinusOneAndY1ToY2MinusOne) {
    canvas->Pen->Color = vcl::clBlack;
    canvas->Brush->Color = vcl::clWhite;
    canvas->Ellipse(30, 30, 40, 36);
    const auto column_touched = [&](int x) {
        for (int y = 25; y < 40; ++y) {
            if (canvas->Pixel(x, y) != background)
                return true;
        }
        return false;
    };
    const auto row_touched = [&](int y) {
        for (int x = 25; x < 45; ++x) {
            if (canvas->Pixel(x, y) != background)
                return true;
        }
        return false;
    };
    for (int x = 30; x < 40; ++x)
        EXPECT_TRUE(column_touched(x)) << x;
    EXPECT_FALSE(column_touched(29));
    EXPECT_FALSE(column_touched(40));
    for (int y = 30; y < 36; ++y)
        EXPECT_TRUE(row_touched(y)) << y;
    EXPECT_FALSE(row_touched(29));
    EXPECT_FALSE(row_touched(36));
    EXPECT_EQ(canvas->Pixel(35, 33), vcl::clWhite) << "filled with the brush";
    EXPECT_EQ(canvas->Pixel(30, 33), vcl::clBlack) << "outlined with the pen";
}

TEST_F(Canvas, AnXorFigureDrawnTwiceVanishes) {
    paint_patch();
    const std::vector<TColor> before = patch();
    xor_figure(vcl::clLime, vcl::clFuchsia);
    EXPECT_NE(patch(), before);
    xor_figure(vcl::clLime, vcl::clFuchsia);
    EXPECT_EQ(patch(), before);
}

TEST_F(Canvas, XorCombinesThePenColourWithEachPixel) {
    paint_patch();
    const TColor under = canvas->Pixel(60, 55);
    canvas->Pen->Mode = vcl::pmXor;
    canvas->Pen->Color = vcl::clWhite;
    canvas->MoveTo(60, 55);
    canvas->LineTo(61, 55);
    EXPECT_EQ(canvas->Pixel(60, 55), under ^ 0xFFFFFFu);
}

TEST_F(Canvas, ABlackXorPenAndBrushChangeNothing) {
    paint_patch();
    const std::vector<TColor> before = patch();
    xor_figure(vcl::clBlack, vcl::clBlack);
    EXPECT_EQ(patch(), before);
}

TEST_F(Canvas, PenSettingsStayUntilChanged) {
    canvas->Pen->Mode = vcl::pmCopy;
    canvas->Pen->Color = vcl::clGreen;
    canvas->MoveTo(5, 100);
    canvas->LineTo(10, 100);
    canvas->LineTo(15, 100);
    EXPECT_EQ(canvas->Pixel(12, 100), vcl::clGreen);
}

TEST_F(Canvas, FarLinesDrawTheirPartOnTheSurface) {
    RECT client;
    GetClientRect(form->hwnd(), &client);
    canvas->Pen->Color = vcl::clRed;
    canvas->MoveTo(INT_MIN, 50);
    canvas->LineTo(INT_MAX, 50);
    EXPECT_EQ(canvas->Pixel(0, 50), vcl::clRed);
    EXPECT_EQ(canvas->Pixel(client.right - 1, 50), vcl::clRed);
    EXPECT_EQ(canvas->Pixel(0, 49), background);
    canvas->MoveTo(100, 120);
    canvas->LineTo(100, INT_MAX);
    EXPECT_EQ(canvas->Pixel(100, 120), vcl::clRed);
    EXPECT_EQ(canvas->Pixel(100, client.bottom - 1), vcl::clRed);
}

TEST_F(Canvas, FarEllipsesFillWhatTheyEncloseAndSkipWhatTheyCross) {
    canvas->Pen->Color = vcl::clBlack;
    canvas->Brush->Color = vcl::clWhite;
    canvas->Ellipse(INT_MIN / 2, INT_MIN / 2, INT_MAX / 2, INT_MAX / 2);
    EXPECT_EQ(canvas->Pixel(0, 0), vcl::clWhite);
    EXPECT_EQ(canvas->Pixel(150, 150), vcl::clWhite);
    canvas->Brush->Color = vcl::clRed;
    // Its outline runs through the surface: not placed, so not drawn.
    canvas->Ellipse(-2000000000, 100, 300, 200);
    EXPECT_EQ(canvas->Pixel(150, 150), vcl::clWhite);
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
