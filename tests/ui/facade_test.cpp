// The toolkit facade through its header alone, on a real stored layout (the
// data window): what every backend must do the same way. Nothing here reaches
// behind the facade, so the same cases check each backend.
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

}  // namespace
