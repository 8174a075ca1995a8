// The toolkit facade through its header alone, on a real stored layout (the
// data window): what every backend must do the same way. Nothing here reaches
// behind the facade, and the same cases are built into the Qt tests and into
// the Win32 tests (run under Wine), so each backend is held to them.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/vcl/vcl.h"
#include "tests/ui/toolkit_test.h"
#include "ui/frmDatos.h"

namespace {

using vcl::Application;

class FacadeTest : public ToolkitTest {
  protected:
    void SetUp() override {
        ToolkitTest::SetUp();
        Application->CreateForm(&Form2);
    }
    void TearDown() override {
        ToolkitTest::TearDown();
        Form2 = nullptr;
    }
};

TEST_F(FacadeTest, TheLayoutFillsTheFieldsAndBindsTheHandlers) {
    ASSERT_NE(Form2->Memo1, nullptr);
    ASSERT_NE(Form2->btnCerrar, nullptr);
    EXPECT_EQ(Form2->Caption.get(), "Form2");
    EXPECT_EQ(Form2->btnCerrar->Caption.get(), "Cerrar");
    EXPECT_FALSE(Form2->btnCerrar->Cancel);
    EXPECT_TRUE(Form2->btnCerrar->OnClick);
    EXPECT_TRUE(Form2->OnActivate);
    EXPECT_FALSE(Form2->OnCreate || Form2->OnClose || Form2->OnMouseMove);
    EXPECT_EQ(Form2->controls().size(), 2u);
    EXPECT_EQ(Application->MainForm(), Form2);
    EXPECT_FALSE(Form2->Visible.get()) << "created hidden";
}

TEST_F(FacadeTest, ButtonsPressOnlyWhenEnabledAndHandlersThatThrowAreShown) {
    Form2->Show();
    EXPECT_TRUE(Form2->Visible.get());
    Form2->btnCerrar->Enabled = false;
    Form2->btnCerrar->Click();
    EXPECT_TRUE(Form2->Visible.get()) << "a disabled button does nothing";
    Form2->btnCerrar->Enabled = true;
    Form2->btnCerrar->Click();
    EXPECT_FALSE(Form2->Visible.get()) << "Cerrar hides the window";

    Form2->btnCerrar->OnClick = [](vcl::TObject*) { throw std::runtime_error("out of paper"); };
    Form2->btnCerrar->Click();
    EXPECT_EQ(shown_, std::vector<vcl::String>{"out of paper"});
}

TEST_F(FacadeTest, ControlsKeepTheirOwnSettings) {
    vcl::TButton* button = Form2->btnCerrar;
    button->Caption = "Cerrar ahora";
    EXPECT_EQ(button->Caption.get(), "Cerrar ahora");
    EXPECT_TRUE(button->Visible.get()) << "its own setting, its window hidden or not";
    button->Hide();
    EXPECT_FALSE(button->Visible.get());
    button->Visible = true;
    EXPECT_TRUE(button->Visible.get());
}

TEST_F(FacadeTest, CloseAsksOnCloseWhichCanKeepTheWindowOpen) {
    int asked = 0;
    vcl::TCloseAction answer = vcl::caNone;
    Form2->OnClose = [&](vcl::TObject* sender, vcl::TCloseAction& action) {
        ++asked;
        EXPECT_EQ(sender, Form2);
        EXPECT_EQ(action, vcl::caHide);
        action = answer;
    };
    Form2->Show();
    Form2->Close();
    EXPECT_TRUE(Form2->Visible.get());
    answer = vcl::caHide;
    Form2->Close();
    EXPECT_FALSE(Form2->Visible.get());
    EXPECT_EQ(asked, 2);
}

TEST_F(FacadeTest, TheMemoKeepsItsLatestEntries) {
    vcl::TStrings& lines = *Form2->Memo1->Lines;
    const int cap = vcl::TStrings::capacity;
    for (int i = 0; i < cap + 7; ++i)
        lines.Add("entry " + std::to_string(i));
    EXPECT_EQ(lines.Count(), cap);
    EXPECT_EQ(lines.dropped(), 7u);
    EXPECT_EQ(lines[0], "entry 7");
    EXPECT_EQ(lines[cap - 1], "entry " + std::to_string(cap + 6));
    lines.Clear();
    EXPECT_EQ(lines.Count(), 0);
    EXPECT_EQ(lines.dropped(), 7u) << "cleared entries were not dropped";
}

// The canvas's pixel rules, read back through Pixel.
class CanvasRulesTest : public FacadeTest {
  protected:
    vcl::TCanvas& canvas() { return *Form2->Canvas; }
    // The colours of a block of pixels, row by row.
    std::vector<vcl::TColor> block(int x, int y, int width, int height) {
        std::vector<vcl::TColor> pixels;
        for (int row = y; row < y + height; ++row) {
            for (int column = x; column < x + width; ++column)
                pixels.push_back(canvas().Pixel(column, row));
        }
        return pixels;
    }
};

TEST_F(CanvasRulesTest, ALineDrawsItsFirstPointAndLeavesOutItsLast) {
    vcl::TCanvas& c = canvas();
    c.Pen->Mode = vcl::pmCopy;
    c.Pen->Color = vcl::clRed;
    const vcl::TColor background = c.Pixel(30, 20);
    c.MoveTo(10, 20);
    c.LineTo(30, 20);
    EXPECT_EQ(c.Pixel(10, 20), vcl::clRed) << "colours are 0x00BBGGRR";
    EXPECT_EQ(c.Pixel(29, 20), vcl::clRed);
    EXPECT_EQ(c.Pixel(30, 20), background);
    EXPECT_EQ(c.Pixel(10, 21), background) << "one pixel wide";

    const std::vector<vcl::TColor> before = block(0, 0, 60, 60);
    c.MoveTo(40, 40);
    c.LineTo(40, 40);
    EXPECT_EQ(block(0, 0, 60, 60), before) << "a line to the current point draws nothing";
    EXPECT_EQ(c.Pixel(-1, 0), vcl::clBlack) << "outside the surface";
}

TEST_F(CanvasRulesTest, AnEllipseCoversItsRectangleLessTheRightAndBottomEdges) {
    vcl::TCanvas& c = canvas();
    c.Pen->Mode = vcl::pmCopy;
    c.Pen->Color = vcl::clBlue;
    c.Brush->Color = vcl::clLime;
    const vcl::TColor background = c.Pixel(200, 100);
    c.Ellipse(100, 50, 141, 91);
    EXPECT_EQ(c.Pixel(100, 70), vcl::clBlue) << "left edge";
    EXPECT_EQ(c.Pixel(140, 70), vcl::clBlue) << "right edge, x2 - 1";
    EXPECT_EQ(c.Pixel(141, 70), background);
    EXPECT_EQ(c.Pixel(120, 90), vcl::clBlue) << "bottom edge, y2 - 1";
    EXPECT_EQ(c.Pixel(120, 91), background);
    EXPECT_EQ(c.Pixel(120, 70), vcl::clLime) << "filled with the brush";
}

TEST_F(CanvasRulesTest, XorDrawnTwiceRestoresEveryPixel) {
    vcl::TCanvas& c = canvas();
    c.Pen->Mode = vcl::pmCopy;
    for (int y = 0; y < 60; ++y) {
        c.Pen->Color = (0x102030u + static_cast<vcl::TColor>(y) * 0x3F5A21u) & 0xFFFFFFu;
        c.MoveTo(0, y);
        c.LineTo(80, y);
    }
    const std::vector<vcl::TColor> before = block(0, 0, 80, 60);
    c.Pen->Mode = vcl::pmXor;
    c.Pen->Color = vcl::clLime;
    c.Brush->Color = vcl::clWhite;
    for (int pass = 0; pass < 2; ++pass) {
        c.Ellipse(10, 10, 40, 30);
        c.MoveTo(5, 50);
        c.LineTo(70, 5);
        if (pass == 0) {
            EXPECT_NE(block(0, 0, 80, 60), before) << "the first pass changes pixels";
        }
    }
    EXPECT_EQ(block(0, 0, 80, 60), before);
}

TEST_F(CanvasRulesTest, FillRectCoversItsRectangleLessTheRightAndBottomEdgesInAnyPenMode) {
    vcl::TCanvas& c = canvas();
    const vcl::TColor background = c.Pixel(5, 5);
    c.Pen->Mode = vcl::pmXor;  // a rectangle is filled, not combined
    c.Brush->Color = vcl::clRed;
    c.FillRect(vcl::Rect(10, 20, 14, 23));
    c.FillRect(vcl::Rect(10, 20, 14, 23));
    c.Pen->Mode = vcl::pmCopy;
    std::vector<vcl::TColor> expected(6 * 5, background);
    for (int y = 1; y < 4; ++y) {
        for (int x = 1; x < 5; ++x)
            expected[static_cast<std::size_t>(y * 6 + x)] = vcl::clRed;
    }
    EXPECT_EQ(block(9, 19, 6, 5), expected);
    const std::vector<vcl::TColor> before = block(0, 0, 40, 40);
    c.FillRect(vcl::Rect(30, 30, 30, 35));
    c.FillRect(vcl::Rect(30, 30, 20, 35));
    EXPECT_EQ(block(0, 0, 40, 40), before) << "an empty rectangle fills nothing";
    c.FillRect(vcl::Rect(-1000000, -1000000, 2, 2));
    EXPECT_EQ(c.Pixel(0, 0), vcl::clRed) << "cut to the surface";
    EXPECT_EQ(c.Pixel(2, 2), before[2 * 40 + 2]);
}

TEST_F(CanvasRulesTest, TextOutPaintsItsBoxInTheBrushAndTheTextInTheFont) {
    vcl::TCanvas& c = canvas();
    c.Brush->Color = vcl::clBlue;
    c.FillRect(vcl::Rect(0, 0, 300, 60));
    c.Brush->Color = vcl::clWhite;
    c.Font->Color = vcl::clRed;
    const int width = c.TextWidth("1000 Hz");
    const int height = c.TextHeight("1000 Hz");
    EXPECT_GT(width, c.TextWidth("10 Hz"));
    EXPECT_EQ(c.TextWidth(""), 0);
    ASSERT_GT(height, 8);
    c.TextOut(20, 10, "1000 Hz");
    int text = 0;
    for (int y = 10; y < 10 + height; ++y) {
        for (int x = 20; x < 20 + width; ++x) {
            const vcl::TColor pixel = c.Pixel(x, y);
            EXPECT_TRUE(pixel == vcl::clRed || pixel == vcl::clWhite) << x << "," << y;
            text += pixel == vcl::clRed ? 1 : 0;
        }
    }
    EXPECT_GT(text, 20) << "the text is there";
    for (int x = 0; x < 300; ++x) {
        EXPECT_EQ(c.Pixel(x, 9), vcl::clBlue) << "above, x=" << x;
        EXPECT_EQ(c.Pixel(x, 10 + height), vcl::clBlue) << "below, x=" << x;
    }
    for (int y = 10; y < 10 + height; ++y) {
        EXPECT_EQ(c.Pixel(19, y), vcl::clBlue);
        EXPECT_EQ(c.Pixel(20 + width, y), vcl::clBlue);
    }
}

TEST_F(CanvasRulesTest, CopyRectMovesABlockEvenOntoItselfAndOnlyWhatLiesOnTheSurfaces) {
    vcl::TCanvas& c = canvas();
    // A pattern no two columns or rows of which are alike.
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 30; ++x) {
            c.Brush->Color = static_cast<vcl::TColor>(x * 8 + y * 0x0800 + 0x100000);
            c.FillRect(vcl::Rect(x, y, x + 1, y + 1));
        }
    }
    const std::vector<vcl::TColor> pattern = block(0, 0, 30, 20);
    const auto at = [&](int x, int y) { return pattern[static_cast<std::size_t>(y * 30 + x)]; };
    // Left by 3 over itself, then the same block back right by 3.
    c.CopyRect(vcl::Rect(0, 0, 27, 20), &c, vcl::Rect(3, 0, 30, 20));
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 27; ++x)
            ASSERT_EQ(c.Pixel(x, y), at(x + 3, y)) << x << "," << y;
        for (int x = 27; x < 30; ++x)
            ASSERT_EQ(c.Pixel(x, y), at(x, y)) << "left as it was";
    }
    c.CopyRect(vcl::Rect(3, 0, 30, 20), &c, vcl::Rect(0, 0, 27, 20));
    for (int y = 0; y < 20; ++y) {
        for (int x = 3; x < 30; ++x)
            ASSERT_EQ(c.Pixel(x, y), at(x, y)) << x << "," << y;
    }
    // Down by 2 over itself.
    c.CopyRect(vcl::Rect(0, 2, 30, 20), &c, vcl::Rect(0, 0, 30, 18));
    for (int y = 2; y < 20; ++y) {
        for (int x = 3; x < 30; ++x)
            ASSERT_EQ(c.Pixel(x, y), at(x, y - 2)) << x << "," << y;
    }
    // From off the surface: only the part on it comes.
    const std::vector<vcl::TColor> before = block(0, 0, 40, 40);
    c.CopyRect(vcl::Rect(100, 100, 110, 110), &c, vcl::Rect(-5, -5, 5, 5));
    EXPECT_EQ(c.Pixel(105, 105), before[0]);
    EXPECT_EQ(c.Pixel(109, 109), before[4 * 40 + 4]);
    EXPECT_NE(c.Pixel(104, 104), before[0]) << "not from outside the surface";
}

}  // namespace
