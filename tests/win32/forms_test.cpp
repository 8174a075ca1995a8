// Forms over Win32: the stored layouts as the windows show them, messages
// reaching the form's message map and its events, the loop going on after a
// handler throws, Esc and the cancel button, timers, and the memo.
#include <gtest/gtest.h>

#include <windowsx.h>

#include <string>
#include <tuple>
#include <utility>

#include "tests/win32/every_form.h"

using vcl::win32::ControlKind;
using vcl::win32::ControlLayout;
using vcl::win32::FormLayout;

namespace {

// Any layout of the program, with handlers of the names its layouts bind.
template <const char* Layout>
class ProgramForm : public RecordingForm {
  public:
    explicit ProgramForm(vcl::TComponent* owner) : RecordingForm(owner) {}
    static const vcl::FormClass& form_class() {
        static const vcl::FormClass form_class = form_class_of<ProgramForm>(
            Layout, {"btnCopyClick", "btnCerrarClick", "btnCloseClick", "btnResetClick"});
        return form_class;
    }
};
constexpr char form1[] = "Form1";
constexpr char form2[] = "Form2";
constexpr char form3[] = "Form3";
constexpr char form4[] = "Form4";
constexpr char form5[] = "Form5";

std::wstring class_of(HWND hwnd) {
    wchar_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    return name;
}

std::string text_of(HWND hwnd) {
    wchar_t text[256] = {};
    const int length = GetWindowTextW(hwnd, text, 256);
    return vcl::win32::narrow(text, length);
}

RECT client_rect_of(HWND child) {
    RECT area;
    GetWindowRect(child, &area);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&area), 2);
    return area;
}

// The width and height of a window's client area.
std::pair<long, long> client_size_of(HWND hwnd) {
    RECT client;
    GetClientRect(hwnd, &client);
    return {client.right, client.bottom};
}

// The text and background colours the form gives a control when it is drawn.
std::pair<COLORREF, COLORREF> colours_of(HWND form, HWND child, UINT message) {
    HDC dc = CreateCompatibleDC(nullptr);
    SendMessageW(form, message, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(child));
    const auto colours = std::make_pair(GetTextColor(dc), GetBkColor(dc));
    DeleteDC(dc);
    return colours;
}

HWND hwnd_of(vcl::TControl* control) {
    return control->native()->hwnd;
}

class Layouts : public WithForms {};

TEST_F(Layouts, Form1HasItsClientSizePositionAndCaption) {
    ProgramForm<form1>* form = nullptr;
    vcl::Application->CreateForm(&form);
    HWND hwnd = form->native().hwnd;
    EXPECT_EQ(client_size_of(hwnd), std::make_pair(696L, 376L));
    RECT outer;
    GetWindowRect(hwnd, &outer);
    EXPECT_EQ(outer.left, 192);
    EXPECT_EQ(outer.top, 114);
    EXPECT_EQ(std::string(form->Caption), "Form1");
    EXPECT_FALSE(IsWindowVisible(hwnd)) << "shown by Run, not by CreateForm";
}

TEST_F(Layouts, TheTimingWindowHasItsCaptionClientSizeAndCloseButtonAndStartsHidden) {
    ProgramForm<form3>* form = nullptr;
    vcl::Application->CreateForm(&form);
    HWND hwnd = form->native().hwnd;
    EXPECT_EQ(client_size_of(hwnd), std::make_pair(880L, 470L));
    EXPECT_EQ(std::string(form->Caption), "Timing");
    ASSERT_EQ(form->controls().size(), 1u);
    EXPECT_EQ(text_of(hwnd_of(form->controls()[0])), "Close");
    EXPECT_FALSE(IsWindowVisible(hwnd));
    EXPECT_EQ(form->calls, std::vector<std::string>{"FormCreate"});
    form->Show();
    form->Close();
    EXPECT_FALSE(IsWindowVisible(hwnd)) << "the title bar's close hides it";
    EXPECT_EQ(form->calls.back(), "FormClose");
}

// Clicking the button `reset` (as Windows reports a click) runs the handler
// its layout binds.
void expect_bound_click(HWND form, vcl::TControl* reset, const std::vector<std::string>& calls) {
    SendMessageW(form, WM_COMMAND, MAKEWPARAM(0, BN_CLICKED),
                 reinterpret_cast<LPARAM>(hwnd_of(reset)));
    EXPECT_EQ(calls, (std::vector<std::string>{"FormCreate", "ButtonClick"})) << "Reset is bound";
}

TEST_F(Layouts, TheButtonsWindowHasItsCaptionClientSizeAndButtonsAndStartsHidden) {
    ProgramForm<form4>* form = nullptr;
    vcl::Application->CreateForm(&form);
    HWND hwnd = form->native().hwnd;
    EXPECT_EQ(client_size_of(hwnd), std::make_pair(720L, 470L));
    EXPECT_EQ(std::string(form->Caption), "Buttons");
    ASSERT_EQ(form->controls().size(), 2u);
    EXPECT_EQ(text_of(hwnd_of(form->controls()[0])), "Reset");
    EXPECT_EQ(text_of(hwnd_of(form->controls()[1])), "Close");
    EXPECT_FALSE(IsWindowVisible(hwnd));
    expect_bound_click(hwnd, form->controls()[0], form->calls);
}

TEST_F(Layouts, TheMovementWindowHasItsCaptionClientSizeDistanceBoxAndButtons) {
    ProgramForm<form5>* form = nullptr;
    vcl::Application->CreateForm(&form);
    HWND hwnd = form->native().hwnd;
    EXPECT_EQ(client_size_of(hwnd), std::make_pair(720L, 600L));
    EXPECT_EQ(std::string(form->Caption), "Movement");
    ASSERT_EQ(form->controls().size(), 4u);
    EXPECT_EQ(text_of(hwnd_of(form->controls()[0])), "Distance mm:");
    EXPECT_EQ(class_of(hwnd_of(form->controls()[1])), L"Edit");
    EXPECT_EQ(text_of(hwnd_of(form->controls()[2])), "Reset");
    EXPECT_EQ(text_of(hwnd_of(form->controls()[3])), "Close");
    EXPECT_FALSE(IsWindowVisible(hwnd));
    expect_bound_click(hwnd, form->controls()[2], form->calls);
}

TEST_F(Layouts, EveryControlOfEveryFormStandsWhereTheLayoutSays) {
    ProgramForm<form1>* main_form = nullptr;
    ProgramForm<form2>* data_form = nullptr;
    ProgramForm<form3>* timing_form = nullptr;
    ProgramForm<form4>* buttons_form = nullptr;
    ProgramForm<form5>* movement_form = nullptr;
    vcl::Application->CreateForm(&main_form);
    vcl::Application->CreateForm(&data_form);
    vcl::Application->CreateForm(&timing_form);
    vcl::Application->CreateForm(&buttons_form);
    vcl::Application->CreateForm(&movement_form);
    for (vcl::TForm* form :
         {static_cast<vcl::TForm*>(main_form), static_cast<vcl::TForm*>(data_form),
          static_cast<vcl::TForm*>(timing_form), static_cast<vcl::TForm*>(buttons_form),
          static_cast<vcl::TForm*>(movement_form)}) {
        const FormLayout& layout = *form->native().layout;
        ASSERT_EQ(form->controls().size(), layout.control_count);
        for (std::size_t i = 0; i < layout.control_count; ++i) {
            const ControlLayout& entry = layout.controls[i];
            SCOPED_TRACE(std::string(layout.name) + "." + entry.name);
            HWND child = hwnd_of(form->controls()[i]);
            EXPECT_EQ(GetParent(child), form->native().hwnd);
            const wchar_t* expected_class = entry.kind == ControlKind::Label      ? L"Static"
                                            : entry.kind == ControlKind::Button   ? L"Button"
                                            : entry.kind == ControlKind::Edit     ? L"Edit"
                                            : entry.kind == ControlKind::ComboBox ? L"ComboBox"
                                                                                  : L"rawmice.Memo";
            EXPECT_EQ(_wcsicmp(class_of(child).c_str(), expected_class), 0);
            const RECT area = client_rect_of(child);
            EXPECT_EQ(area.left, entry.geometry.left);
            EXPECT_EQ(area.top, entry.geometry.top);
            EXPECT_EQ(area.right - area.left, entry.geometry.width);
            EXPECT_EQ(area.bottom - area.top, entry.geometry.height);
            if (entry.kind != ControlKind::Memo) {
                EXPECT_EQ(text_of(child), entry.text);
            }
            EXPECT_EQ(IsWindowEnabled(child) != FALSE, entry.enabled);
            EXPECT_EQ((GetWindowLongW(child, GWL_STYLE) & WS_TABSTOP) != 0, entry.tab_stop);
            LOGFONTW font{};
            GetObjectW(reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)), sizeof font,
                       &font);
            EXPECT_EQ(font.lfHeight, -entry.font.pixel_size);
            EXPECT_EQ(vcl::win32::narrow(font.lfFaceName), entry.font.family);
        }
    }
}

TEST_F(Layouts, LabelsCarryTheirOwnColoursOnTheFormsFace) {
    ProgramForm<form1>* form = nullptr;
    vcl::Application->CreateForm(&form);
    // As ui/principal.ui gives them: Label2 fuchsia, Label3 blue, Label4 green,
    // Label5 red; Label1 and Label6 in the window text colour.
    const COLORREF expected[] = {GetSysColor(COLOR_WINDOWTEXT),
                                 RGB(255, 0, 255),
                                 RGB(0, 0, 255),
                                 RGB(0, 128, 0),
                                 RGB(255, 0, 0),
                                 GetSysColor(COLOR_WINDOWTEXT)};
    for (int i = 0; i < 6; ++i) {
        HWND label = hwnd_of(form->controls()[static_cast<std::size_t>(i)]);
        EXPECT_EQ(text_of(label), "Label" + std::to_string(i + 1));
        const auto [text, back] = colours_of(form->native().hwnd, label, WM_CTLCOLORSTATIC);
        EXPECT_EQ(text, expected[i]) << "Label" << i + 1;
        EXPECT_EQ(back, GetSysColor(COLOR_BTNFACE));
    }
    EXPECT_EQ(form->Canvas->Pixel(600, 350), GetSysColor(COLOR_BTNFACE));
}

TEST_F(Layouts, MemoAndEditOfTheMainFormAreDisabledAndTheMemoHasNoScrollBars) {
    ProgramForm<form1>* main_form = nullptr;
    ProgramForm<form2>* data_form = nullptr;
    vcl::Application->CreateForm(&main_form);
    vcl::Application->CreateForm(&data_form);
    HWND edit = hwnd_of(main_form->controls()[7]);
    HWND memo = hwnd_of(main_form->controls()[8]);
    EXPECT_EQ(text_of(edit), "Edit1");
    EXPECT_FALSE(IsWindowEnabled(edit));
    EXPECT_FALSE(IsWindowEnabled(memo));
    EXPECT_EQ(GetWindowLongW(memo, GWL_STYLE) & (WS_VSCROLL | WS_HSCROLL), 0);
    HWND data_memo = hwnd_of(data_form->controls()[0]);
    EXPECT_EQ(GetWindowLongW(data_memo, GWL_STYLE) & (WS_VSCROLL | WS_HSCROLL),
              WS_VSCROLL | WS_HSCROLL);
    EXPECT_EQ(text_of(hwnd_of(data_form->controls()[1])), "Cerrar");
    EXPECT_FALSE(data_form->Visible);
}

TEST_F(Layouts, ALabelSizesItselfToACaptionSetAtRunTime) {
    EveryForm* form = make_every();
    HWND label = hwnd_of(form->Title);
    form->Title->Caption = "A caption much longer than the layout's";
    form->Title->flush_caption();
    RECT area = client_rect_of(label);
    EXPECT_GT(area.right - area.left, 100);
    EXPECT_EQ(area.left, 1) << "it keeps its place";
    EXPECT_EQ(text_of(label), "A caption much longer than the layout's");
    form->Title->Caption = "A";
    form->Title->flush_caption();
    area = client_rect_of(label);
    EXPECT_LT(area.right - area.left, 20);
}

TEST_F(Layouts, AComboBoxIsADropDownListAsHighAsTheLayoutSaysWhoseListShowsEightItems) {
    EveryForm* form = make_every();
    HWND combo_box = hwnd_of(form->Choice);
    EXPECT_EQ(_wcsicmp(class_of(combo_box).c_str(), L"ComboBox"), 0);
    const LONG style = GetWindowLongW(combo_box, GWL_STYLE);
    EXPECT_EQ(style & (CBS_DROPDOWNLIST | CBS_SIMPLE | CBS_DROPDOWN), CBS_DROPDOWNLIST)
        << "nothing can be typed";
    EXPECT_TRUE(style & WS_TABSTOP);
    const RECT closed = client_rect_of(combo_box);
    EXPECT_EQ(closed.left, 210);
    EXPECT_EQ(closed.top, 50);
    EXPECT_EQ(closed.right - closed.left, 80);
    EXPECT_EQ(closed.bottom - closed.top, 26) << "closed, as high as every_control.ui says";

    std::vector<std::string> items;
    for (int i = 0; i < 20; ++i)
        items.push_back("Mouse " + std::to_string(i));
    form->Choice->SetItems(items);
    form->Show();
    ASSERT_TRUE(pump_until([&] { return GetActiveWindow() == form->hwnd(); }));
    SendMessageW(combo_box, CB_SHOWDROPDOWN, TRUE, 0);
    COMBOBOXINFO info{};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetComboBoxInfo(combo_box, &info));
    RECT list;
    GetClientRect(info.hwndList, &list);
    const auto item = static_cast<LONG>(SendMessageW(combo_box, CB_GETITEMHEIGHT, 0, 0));
    EXPECT_EQ(list.bottom / item, 8) << "items in view at once";
    EXPECT_TRUE(GetWindowLongW(info.hwndList, GWL_STYLE) & WS_VSCROLL) << "the rest scrolls";

    // Esc closes the dropped list; it does not press the cancel button.
    const std::size_t calls = form->calls.size();
    SetFocus(combo_box);
    PostMessageW(combo_box, WM_KEYDOWN, VK_ESCAPE, 0);
    ASSERT_TRUE(pump_until([&] { return !SendMessageW(combo_box, CB_GETDROPPEDSTATE, 0, 0); }));
    EXPECT_EQ(form->calls.size(), calls) << "no OnClick, no OnChange";
}

TEST_F(Layouts, ANoticeRunsAlongTheBottomUntilDismissed) {
    EveryForm* form = make_every();
    vcl::ShowNotice(form, "log.txt cannot be created here.");
    vcl::ShowNotice(form, "No mouse can be read.");
    vcl::ShowNotice(form, "log.txt cannot be created here.");
    const vcl::Notice& notice = *form->native().notice;
    EXPECT_EQ(text_of(notice.text), "log.txt cannot be created here.\r\nNo mouse can be read.")
        << "a paragraph shown already is not repeated";
    EXPECT_TRUE(GetWindowLongW(notice.text, GWL_STYLE) & WS_VISIBLE);
    EXPECT_EQ(text_of(notice.dismiss), "Dismiss");
    RECT client;
    GetClientRect(form->hwnd(), &client);
    const RECT strip = client_rect_of(notice.text);
    EXPECT_GT(strip.bottom, client.bottom - 20);
    EXPECT_LE(strip.bottom, client.bottom);
    EXPECT_GE(strip.bottom - strip.top, 2 * 13) << "room for both paragraphs";
    const RECT button = client_rect_of(notice.dismiss);
    EXPECT_TRUE(button.left > strip.left && button.right < strip.right && button.top > strip.top &&
                button.bottom < strip.bottom)
        << "the Dismiss button sits on the strip's right end";
    SendMessageW(form->hwnd(), WM_COMMAND, MAKEWPARAM(0, BN_CLICKED),
                 reinterpret_cast<LPARAM>(notice.dismiss));
    EXPECT_FALSE(GetWindowLongW(notice.text, GWL_STYLE) & WS_VISIBLE);
    EXPECT_FALSE(GetWindowLongW(notice.dismiss, GWL_STYLE) & WS_VISIBLE);
}

class Messages : public WithForms {
  protected:
    void SetUp() override { form = make_every(); }
    EveryForm* form = nullptr;
};

TEST_F(Messages, OnCreateRunsBeforeCreateFormReturns) {
    ASSERT_FALSE(form->calls.empty());
    EXPECT_EQ(form->calls.front(), "FormCreate");
}

TEST_F(Messages, APostedWmInputReachesTheMessageMap) {
    PostMessageW(form->hwnd(), WM_INPUT, RIM_INPUT, 77);
    ASSERT_TRUE(pump_until([&] { return !form->inputs.empty(); }));
    EXPECT_EQ(form->inputs, std::vector<LPARAM>{77});
}

TEST_F(Messages, AWmInputSentToAControlWithTheFocusReachesTheForm) {
    PostMessageW(hwnd_of(form->Press), WM_INPUT, RIM_INPUT, 78);
    ASSERT_TRUE(pump_until([&] { return !form->inputs.empty(); }));
    EXPECT_EQ(form->inputs, std::vector<LPARAM>{78});
}

TEST_F(Messages, AThrowingHandlerIsShownAndTheLoopGoesOn) {
    std::vector<std::string> shown;
    auto previous = vcl::Application->set_exception_presenter(
        [&](const vcl::String& message) { shown.push_back(message); });
    // The main form's close ends Run; a deadline closes it if nothing else does.
    bool deadline_hit = false;
    vcl::Timer deadline([&] {
        deadline_hit = true;
        form->Close();
    });
    deadline.start(5000);
    PostMessageW(form->hwnd(), WM_THROW, 0, 5);
    PostMessageW(form->hwnd(), WM_INPUT, RIM_INPUT, 6);
    PostMessageW(form->hwnd(), WM_CLOSE, 0, 0);
    vcl::Application->Run();
    vcl::Application->set_exception_presenter(previous);
    EXPECT_FALSE(deadline_hit);
    EXPECT_EQ(shown, std::vector<std::string>{"thrown for message 5"});
    EXPECT_EQ(form->inputs, std::vector<LPARAM>{6});
    EXPECT_FALSE(form->Visible);
}

TEST_F(Messages, MouseMovesCarryThePositionAndShiftState) {
    PostMessageW(form->hwnd(), WM_MOUSEMOVE, MK_SHIFT | MK_LBUTTON, MAKELPARAM(12, 34));
    PostMessageW(form->hwnd(), WM_MOUSEMOVE, MK_RBUTTON | MK_CONTROL, MAKELPARAM(-5, 7));
    ASSERT_TRUE(pump_until([&] { return form->calls.size() >= 3; }));
    EXPECT_EQ(form->calls[1], "FormMouseMove 9 12 34");  // ssShift | ssLeft
    EXPECT_EQ(form->calls[2], "FormMouseMove 20 -5 7");  // ssCtrl | ssRight
}

TEST_F(Messages, ActivationFiresOnActivate) {
    SendMessageW(form->hwnd(), WM_ACTIVATE, WA_ACTIVE, 0);
    EXPECT_EQ(form->calls.back(), "FormActivate");
    SendMessageW(form->hwnd(), WM_ACTIVATE, WA_INACTIVE, 0);
    EXPECT_EQ(form->calls.back(), "FormActivate") << "no event on deactivation";
    EXPECT_EQ(std::count(form->calls.begin(), form->calls.end(), "FormActivate"), 1);
}

TEST_F(Messages, EscPressesTheCancelButtonOnlyWhileItIsEnabledAndVisible) {
    const auto escape = [&](HWND target) {
        const std::size_t before = form->calls.size();
        PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 0);
        PostMessageW(form->hwnd(), WM_NULL, 0, 0);
        vcl::win32::process_messages();
        return form->calls.size() > before && form->calls.back() == "ButtonClick";
    };
    EXPECT_TRUE(escape(form->hwnd()));
    EXPECT_TRUE(escape(hwnd_of(form->Press))) << "with the focus on a control too";
    form->Press->Enabled = false;
    EXPECT_FALSE(escape(form->hwnd()));
    form->Press->Enabled = true;
    form->Press->Hide();
    EXPECT_FALSE(escape(form->hwnd()));
}

TEST_F(Messages, AFormThatPreviewsKeysSeesThemBeforeTheControlWithTheFocus) {
    form->Show();
    ASSERT_TRUE(pump_until([&] { return GetActiveWindow() == form->hwnd(); }));
    SetFocus(hwnd_of(form->Press));
    std::vector<WORD> keys;
    form->OnKeyDown = [&](vcl::TObject*, WORD& key, vcl::TShiftState) {
        keys.push_back(key);
        if (key == VK_SPACE)
            key = 0;  // used: the button never sees it
    };
    const auto press = [&](HWND target, WORD key) {
        PostMessageW(target, WM_KEYDOWN, key, 0);
        PostMessageW(target, WM_KEYUP, key, 0xC0000000);
        PostMessageW(form->hwnd(), WM_NULL, 0, 0);
        vcl::win32::process_messages();
    };
    form->KeyPreview = true;
    press(hwnd_of(form->Press), VK_F2);
    press(hwnd_of(form->Press), VK_SPACE);
    EXPECT_EQ(keys, (std::vector<WORD>{VK_F2, VK_SPACE}));
    EXPECT_NE(form->calls.back(), "ButtonClick") << "a key the handler used does not press it";

    // Without the preview, only keys that come to the form itself reach it.
    form->KeyPreview = false;
    keys.clear();
    press(hwnd_of(form->Press), VK_F2);
    EXPECT_TRUE(keys.empty());
    press(form->hwnd(), VK_F2);
    EXPECT_EQ(keys, std::vector<WORD>{VK_F2});
    // A window without a focused control receives keys as WM_SYSKEYDOWN.
    PostMessageW(form->hwnd(), WM_SYSKEYDOWN, VK_F2, 0);
    PostMessageW(form->hwnd(), WM_NULL, 0, 0);
    vcl::win32::process_messages();
    EXPECT_EQ(keys, (std::vector<WORD>{VK_F2, VK_F2}));

    // Esc is still the cancel button's when the handler leaves it alone.
    form->KeyPreview = true;
    const std::size_t before = form->calls.size();
    press(hwnd_of(form->Press), VK_ESCAPE);
    EXPECT_EQ(form->calls.size(), before + 1);
    EXPECT_EQ(form->calls.back(), "ButtonClick");
}

TEST_F(Messages, SetFocusMakesAShownFormTheActiveOne) {
    EveryForm* other = make_every();
    form->Show();
    ASSERT_TRUE(pump_until([&] { return GetActiveWindow() == form->hwnd(); }));
    other->SetFocus();
    vcl::win32::process_messages();
    EXPECT_EQ(GetActiveWindow(), form->hwnd()) << "a hidden form stays out of the way";
    other->Show();
    form->SetFocus();
    EXPECT_TRUE(pump_until([&] { return GetActiveWindow() == form->hwnd(); }));
    other->SetFocus();
    EXPECT_TRUE(pump_until([&] { return GetActiveWindow() == other->hwnd(); }));
    EXPECT_EQ(vcl::TForm::active(), other);
}

TEST_F(Messages, TabMovesTheFocusThroughTheTabStopsInTheirOrder) {
    form->Show();
    ASSERT_TRUE(pump_until([&] { return GetActiveWindow() == form->hwnd(); }));
    const auto tab = [&] {
        PostMessageW(GetFocus(), WM_KEYDOWN, VK_TAB, 0);
        vcl::win32::process_messages();
        return GetFocus();
    };
    // As every_control.ui lists them: Notes, Press, then Choice; Entry takes no focus.
    EXPECT_EQ(tab(), hwnd_of(form->Notes));
    EXPECT_EQ(tab(), hwnd_of(form->Press));
    EXPECT_EQ(tab(), hwnd_of(form->Choice));
    EXPECT_EQ(tab(), hwnd_of(form->Notes));
}

TEST_F(Messages, AButtonsClickNotificationFiresOnClick) {
    SendMessageW(form->hwnd(), WM_COMMAND, MAKEWPARAM(0, BN_CLICKED),
                 reinterpret_cast<LPARAM>(hwnd_of(form->Press)));
    EXPECT_EQ(form->calls.back(), "ButtonClick");
}

TEST(Timers, FireOnceAfterTheirTimeAndNotWhenStopped) {
    int fired = 0;
    int stopped_fired = 0;
    vcl::Timer timer([&] { ++fired; });
    vcl::Timer stopped([&] { ++stopped_fired; });
    stopped.start(10);
    stopped.stop();
    EXPECT_FALSE(stopped.active());
    timer.start(30);
    EXPECT_TRUE(timer.active());
    ASSERT_TRUE(pump_until([&] { return fired > 0; }));
    EXPECT_FALSE(timer.active());
    // A second timer run past the first one's time shows neither fires again.
    bool later = false;
    vcl::Timer after([&] { later = true; });
    after.start(60);
    ASSERT_TRUE(pump_until([&] { return later; }));
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(stopped_fired, 0);
}

TEST_F(Messages, TimersFireWhileTheQueueNeverRunsDry) {
    form->streaming = true;
    form->stream_ends = GetTickCount64() + 3000;
    bool fired_while_streaming = false;
    vcl::Timer timer([&] {
        fired_while_streaming = form->streaming;
        form->streaming = false;
    });
    timer.start(20);
    PostMessageW(form->hwnd(), WM_STREAM, 0, 0);
    ASSERT_TRUE(pump_until([&] { return !form->streaming; }));
    EXPECT_TRUE(fired_while_streaming);
}

class Memo : public WithForms {
  protected:
    void SetUp() override {
        form = make_every();
        memo = form->Notes;
        std::tie(width, height) = client_size_of(hwnd_of(memo));
        HDC dc = GetDC(hwnd_of(memo));
        HGDIOBJ old = SelectObject(dc, memo->native()->font);
        TEXTMETRICW metrics{};
        GetTextMetricsW(dc, &metrics);
        SelectObject(dc, old);
        ReleaseDC(hwnd_of(memo), dc);
        row = metrics.tmHeight;
    }

    // The rows of text the memo shows now: for each row of the view, whether any ink is in it.
    std::vector<bool> inked_rows() {
        memo->Lines->flush_view();
        HDC screen = GetDC(nullptr);
        HDC dc = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
        ReleaseDC(nullptr, screen);
        HGDIOBJ old = SelectObject(dc, bitmap);
        SendMessageW(hwnd_of(memo), WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
        std::vector<bool> rows(static_cast<std::size_t>(height / row), false);
        const COLORREF paper = GetSysColor(COLOR_WINDOW);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                if (GetPixel(dc, x, y) != paper && static_cast<std::size_t>(y / row) < rows.size())
                    rows[static_cast<std::size_t>(y / row)] = true;
            }
        }
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
        return rows;
    }

    EveryForm* form = nullptr;
    vcl::TMemo* memo = nullptr;
    int width = 0;
    int height = 0;
    int row = 1;
};

// What the memo keeps past its cap is the facade's rule (facade_test); here,
// that the view still ends with the newest entry.
TEST_F(Memo, ShowsTheNewestEntryOnTheBottomRowPastItsCap) {
    for (int i = 0; i < vcl::TStrings::capacity + 25; ++i)
        memo->Lines->Add("entry " + std::to_string(i));
    const std::vector<bool> rows = inked_rows();
    EXPECT_TRUE(rows.back()) << "the newest entry is on the bottom row";
}

TEST_F(Memo, ShowsItsLayoutTextUntilEntriesCome) {
    std::vector<bool> rows = inked_rows();
    ASSERT_GE(rows.size(), 4u);
    EXPECT_TRUE(rows[0]);  // "first"
    EXPECT_TRUE(rows[1]);  // "second"
    EXPECT_FALSE(rows[2]);
    memo->Lines->Add("only");
    rows = inked_rows();
    EXPECT_TRUE(rows[0]);
    EXPECT_FALSE(rows[1]);
}

TEST_F(Memo, ShowsTheNewestLinesAtTheBottomWithTheirLineBreaks) {
    for (int i = 0; i < 40; ++i)
        memo->Lines->Add("line " + std::to_string(i));
    std::vector<bool> rows = inked_rows();
    EXPECT_TRUE(rows.back());
    EXPECT_TRUE(rows[rows.size() - 2]);
    // A report ends with its line break: an empty line shows after it.
    memo->Lines->Add("Mouse: num 2\r\n");
    rows = inked_rows();
    EXPECT_FALSE(rows.back());
    EXPECT_TRUE(rows[rows.size() - 2]);
    // Every line break starts a line: CR LF, CR and LF alike.
    memo->Lines->Add("a\r\nb\rc\nd");
    rows = inked_rows();
    for (std::size_t r = rows.size() - 4; r < rows.size(); ++r)
        EXPECT_TRUE(rows[r]) << r;
    EXPECT_FALSE(rows[rows.size() - 5]) << "the empty line of the report before";
}

}  // namespace
