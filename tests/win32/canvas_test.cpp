// The canvas over GDI, read back pixel by pixel: GDI's own rules for lines and
// ellipses, exclusive-or drawing that undoes itself, rectangles, text and block
// copies, and drawings that survive a repaint of the window.
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

TEST_F(Canvas, FillRectFillsLeftToRightMinusOneAndTopToBottomMinusOneInAnyPenMode) {
    canvas->Pen->Mode = vcl::pmXor;
    canvas->Brush->Color = vcl::clRed;
    canvas->FillRect(vcl::Rect(10, 20, 14, 23));
    canvas->FillRect(vcl::Rect(10, 20, 14, 23));
    std::vector<TColor> expected(6 * 5, background);
    for (int y = 1; y < 4; ++y) {
        for (int x = 1; x < 5; ++x)
            expected[static_cast<std::size_t>(y * 6 + x)] = vcl::clRed;
    }
    EXPECT_EQ(pixels(9, 19, 15, 24), expected);
    const std::vector<TColor> before = pixels(0, 0, 40, 40);
    canvas->FillRect(vcl::Rect(30, 30, 20, 35));
    EXPECT_EQ(pixels(0, 0, 40, 40), before) << "an empty rectangle fills nothing";
    canvas->FillRect(vcl::Rect(INT_MIN, INT_MIN, 2, 2));
    EXPECT_EQ(canvas->Pixel(0, 0), vcl::clRed) << "cut to the surface";
    EXPECT_EQ(canvas->Pixel(2, 2), background);
}

TEST_F(Canvas, TextOutPaintsItsBoxInTheBrushAndTheTextInTheFont) {
    canvas->Brush->Color = vcl::clBlue;
    canvas->FillRect(vcl::Rect(0, 0, 300, 60));
    canvas->Brush->Color = vcl::clWhite;
    canvas->Font->Color = vcl::clRed;
    const int width = canvas->TextWidth("1000 Hz");
    const int height = canvas->TextHeight("1000 Hz");
    EXPECT_GT(width, canvas->TextWidth("10 Hz"));
    EXPECT_EQ(canvas->TextWidth(""), 0);
    ASSERT_GT(height, 8);
    canvas->TextOut(20, 10, "1000 Hz");
    int text = 0;
    for (int y = 10; y < 10 + height; ++y) {
        for (int x = 20; x < 20 + width; ++x) {
            const TColor pixel = canvas->Pixel(x, y);
            EXPECT_TRUE(pixel == vcl::clRed || pixel == vcl::clWhite) << x << "," << y;
            text += pixel == vcl::clRed ? 1 : 0;
        }
    }
    EXPECT_GT(text, 20) << "the text is there";
    for (int x = 0; x < 300; ++x) {
        EXPECT_EQ(canvas->Pixel(x, 9), vcl::clBlue) << "above, x=" << x;
        EXPECT_EQ(canvas->Pixel(x, 10 + height), vcl::clBlue) << "below, x=" << x;
    }
    for (int y = 10; y < 10 + height; ++y) {
        EXPECT_EQ(canvas->Pixel(19, y), vcl::clBlue);
        EXPECT_EQ(canvas->Pixel(20 + width, y), vcl::clBlue);
    }
}

TEST_F(Canvas, CopyRectMovesABlockOntoItselfInEitherDirection) {
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 30; ++x) {
            canvas->Brush->Color = static_cast<TColor>(x * 8 + y * 0x0800 + 0x100000);
            canvas->FillRect(vcl::Rect(x, y, x + 1, y + 1));
        }
    }
    const std::vector<TColor> pattern = pixels(0, 0, 30, 20);
    const auto at = [&](int x, int y) { return pattern[static_cast<std::size_t>(y * 30 + x)]; };
    canvas->CopyRect(vcl::Rect(0, 0, 27, 20), canvas, vcl::Rect(3, 0, 30, 20));
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 27; ++x)
            ASSERT_EQ(canvas->Pixel(x, y), at(x + 3, y)) << x << "," << y;
        for (int x = 27; x < 30; ++x)
            ASSERT_EQ(canvas->Pixel(x, y), at(x, y)) << "left as it was";
    }
    canvas->CopyRect(vcl::Rect(3, 0, 30, 20), canvas, vcl::Rect(0, 0, 27, 20));
    for (int y = 0; y < 20; ++y) {
        for (int x = 3; x < 30; ++x)
            ASSERT_EQ(canvas->Pixel(x, y), at(x, y)) << x << "," << y;
    }
    canvas->CopyRect(vcl::Rect(0, 2, 30, 20), canvas, vcl::Rect(0, 0, 30, 18));
    for (int y = 2; y < 20; ++y) {
        for (int x = 3; x < 30; ++x)
            ASSERT_EQ(canvas->Pixel(x, y), at(x, y - 2)) << x << "," << y;
    }
    const std::vector<TColor> before = pixels(0, 0, 40, 40);
    canvas->CopyRect(vcl::Rect(100, 100, 110, 110), canvas, vcl::Rect(-5, -5, 5, 5));
    EXPECT_EQ(canvas->Pixel(105, 105), before[0]);
    EXPECT_EQ(canvas->Pixel(109, 109), before[4 * 40 + 4]);
    EXPECT_EQ(canvas->Pixel(104, 104), background) << "not from outside the surface";
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
