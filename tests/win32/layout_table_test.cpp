// The table the generator makes of a layout with every kind of control,
// compiled from its real output: each value as the .ui file gives it.
#include <gtest/gtest.h>

#include <string>

#include "platform/vcl/win32/layout.h"

using namespace vcl::win32;

namespace {

const FormLayout& every() {
    const FormLayout* layout = find_layout("Every");
    if (layout == nullptr)
        throw std::runtime_error("no layout Every");
    return *layout;
}

const ControlLayout& control(const char* name) {
    const FormLayout& form = every();
    for (std::size_t i = 0; i < form.control_count; ++i) {
        if (std::string(form.controls[i].name) == name)
            return form.controls[i];
    }
    throw std::runtime_error(std::string("no control ") + name);
}

}  // namespace

TEST(LayoutTable, FindsLayoutsByFormName) {
    EXPECT_NE(find_layout("Every"), nullptr);
    EXPECT_EQ(find_layout("every"), nullptr);
    EXPECT_EQ(find_layout(""), nullptr);
}

TEST(LayoutTable, FormKeepsSizePositionCaptionFontAndVisibility) {
    const FormLayout& form = every();
    EXPECT_STREQ(form.caption, "Every control \"quoted\" \\ \xC3\xA9");
    EXPECT_STREQ(form.source, "tests/win32/data/every_control.ui");
    EXPECT_TRUE(form.has_position);
    EXPECT_EQ(form.left, 12);
    EXPECT_EQ(form.top, 34);
    EXPECT_EQ(form.client_width, 300);
    EXPECT_EQ(form.client_height, 200);
    EXPECT_STREQ(form.font.family, "Tahoma");
    EXPECT_EQ(form.font.pixel_size, 13);
    EXPECT_EQ(form.colour, layout_clBtnFace);
    EXPECT_EQ(form.text_colour, layout_clWindowText);
    EXPECT_FALSE(form.visible);
}

TEST(LayoutTable, FormEventsNameTheirHandlers) {
    const FormLayout& form = every();
    ASSERT_EQ(form.event_count, 4u);
    const char* events[] = {"OnCreate", "OnActivate", "OnClose", "OnMouseMove"};
    const char* handlers[] = {"FormCreate", "FormActivate", "FormClose", "FormMouseMove"};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_STREQ(form.events[i].event, events[i]);
        EXPECT_STREQ(form.events[i].handler, handlers[i]);
    }
}

TEST(LayoutTable, ControlsComeInLayoutOrderWithTheirKinds) {
    const FormLayout& form = every();
    ASSERT_EQ(form.control_count, 5u);
    const char* names[] = {"Title", "Press", "Entry", "Notes", "Choice"};
    const ControlKind kinds[] = {ControlKind::Label, ControlKind::Button, ControlKind::Edit,
                                 ControlKind::Memo, ControlKind::ComboBox};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_STREQ(form.controls[i].name, names[i]);
        EXPECT_EQ(form.controls[i].kind, kinds[i]) << names[i];
    }
}

TEST(LayoutTable, LabelKeepsGeometryCaptionAndOwnColour) {
    const ControlLayout& label = control("Title");
    EXPECT_EQ(label.geometry.left, 1);
    EXPECT_EQ(label.geometry.top, 2);
    EXPECT_EQ(label.geometry.width, 30);
    EXPECT_EQ(label.geometry.height, 13);
    EXPECT_STREQ(label.text, "Line one");
    EXPECT_EQ(label.text_colour, 0x000180FFu);  // red 255, green 128, blue 1 as 0x00BBGGRR
    EXPECT_STREQ(label.font.family, "Tahoma");  // the form's font
    EXPECT_FALSE(label.tab_stop);
}

TEST(LayoutTable, ButtonKeepsCancelClickAndTabOrder) {
    const ControlLayout& button = control("Press");
    EXPECT_STREQ(button.text, "Press");
    EXPECT_TRUE(button.cancel);
    EXPECT_STREQ(button.on_click, "PressClick");
    EXPECT_STREQ(button.on_change, "");
    EXPECT_TRUE(button.tab_stop);
    EXPECT_EQ(button.tab_order, 1);
    EXPECT_EQ(button.text_colour, layout_clWindowText);
}

TEST(LayoutTable, EditKeepsItsOwnFontAndDisabledState) {
    const ControlLayout& edit = control("Entry");
    EXPECT_STREQ(edit.text, "typed");
    EXPECT_FALSE(edit.enabled);
    EXPECT_TRUE(edit.visible);
    EXPECT_FALSE(edit.tab_stop);  // Qt::NoFocus
    EXPECT_EQ(edit.tab_order, -1);
    EXPECT_STREQ(edit.font.family, "Courier New");
    EXPECT_EQ(edit.font.pixel_size, 12);  // 9 points at 96 pixels per inch
}

TEST(LayoutTable, MemoKeepsTextScrollBarsAndReadOnly) {
    const ControlLayout& memo = control("Notes");
    EXPECT_STREQ(memo.text, "first\nsecond");
    EXPECT_TRUE(memo.read_only);
    EXPECT_EQ(memo.scroll_bars, unsigned{VerticalScrollBar});
    EXPECT_EQ(memo.tab_order, 0);
    EXPECT_STREQ(memo.on_click, "");
}

TEST(LayoutTable, ComboBoxKeepsItsChangeHandlerAndIsATabStop) {
    const ControlLayout& combo_box = control("Choice");
    EXPECT_EQ(combo_box.geometry.left, 210);
    EXPECT_EQ(combo_box.geometry.height, 26);
    EXPECT_STREQ(combo_box.on_change, "ChoiceChange");
    EXPECT_STREQ(combo_box.on_click, "");
    EXPECT_STREQ(combo_box.text, "");
    EXPECT_TRUE(combo_box.tab_stop);
    EXPECT_EQ(combo_box.tab_order, 2);
    EXPECT_EQ(combo_box.text_colour, layout_clWindowText);
}
