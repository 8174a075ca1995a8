// The toolkit facade through its header alone, on real stored layouts (the
// data window, and the tests' own with an edit, a combo box and a button):
// what every backend must do the same way. Nothing here reaches behind the
// facade; what a user does to the windows (choosing an item, answering the
// save dialog) and reading a PNG back go through tests/ui/facade_driver.h. The
// same cases are built into the Qt tests and into the Win32 tests (run under
// Wine), so each backend is held to them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/frames/frames.h"
#include "platform/vcl/vcl.h"
#include "tests/ui/facade_driver.h"
#include "tests/ui/toolkit_test.h"
#include "ui/frmDatos.h"

namespace vcl {
// Rectangles in failure messages as their edges.
void PrintTo(const TRect& r, std::ostream* out) {
    *out << "(" << r.Left << "," << r.Top << ")-(" << r.Right << "," << r.Bottom << ")";
}
}  // namespace vcl

namespace {

using vcl::Application;
using vcl::TColor;

// Paths as the facade takes them, UTF-8, both ways.
std::filesystem::path from_utf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}
std::string to_utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// A fresh folder under the system's temporary folder, removed with what it holds.
class ScratchFolder {
  public:
    ScratchFolder() {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() /
                ("rawmice-facade-" + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    // A file in it, by its UTF-8 name, as a UTF-8 path.
    std::string operator/(const std::string& name) const {
        return to_utf8(path_ / from_utf8(name));
    }
    // The names of what it holds.
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            found.push_back(to_utf8(entry.path().filename()));
        return found;
    }

  private:
    std::filesystem::path path_;
};

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

// A form class whose layout is not stored under the name it gives.
class UnstoredForm : public vcl::TForm {
  public:
    using vcl::TForm::TForm;
    static inline const char* layout = "";
    static const vcl::FormClass& form_class() {
        static vcl::FormClass form_class;
        form_class = vcl::FormClass::of<UnstoredForm>(layout);
        return form_class;
    }
};

TEST_F(FacadeTest, ALayoutThatIsNotStoredIsNamedInTheError) {
    const auto failure = [](const char* layout) -> std::string {
        UnstoredForm::layout = layout;
        UnstoredForm* form = nullptr;
        try {
            Application->CreateForm(&form);
        } catch (const vcl::Exception& e) {
            return e.Message();
        }
        return "no exception";
    };
    EXPECT_EQ(failure("Nowhere"), "no layout named Nowhere");
    EXPECT_EQ(failure(""), "a form class without a layout");
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

    // The toolkit's exception by its message, a standard one by what(), anything
    // else with an empty message; the button goes on working after each.
    int clicks = 0;
    const struct {
        void (*raise)();
        const char* shown;
    } rows[] = {
        {[] { throw vcl::Exception("cannot copy"); }, "cannot copy"},
        {[] { throw std::runtime_error("out of paper"); }, "out of paper"},
        {[] { throw 42; }, ""},
    };
    for (const auto& row : rows) {
        Form2->btnCerrar->OnClick = [&](vcl::TObject*) {
            ++clicks;
            row.raise();
        };
        Form2->btnCerrar->Click();
    }
    EXPECT_EQ(shown_, (std::vector<vcl::String>{"cannot copy", "out of paper", ""}));
    Form2->btnCerrar->OnClick = [&](vcl::TObject*) { ++clicks; };
    Form2->btnCerrar->Click();
    EXPECT_EQ(clicks, 4);
    EXPECT_EQ(shown_.size(), 3u);
}

TEST_F(FacadeTest, ControlsKeepTheirOwnSettings) {
    vcl::TButton* button = Form2->btnCerrar;
    button->Caption = "Cerrar ahora";
    EXPECT_EQ(button->Caption.get(), "Cerrar ahora");
    EXPECT_TRUE(button->Enabled.get());
    button->Enabled = false;
    EXPECT_FALSE(button->Enabled.get());
    EXPECT_TRUE(button->Visible.get()) << "its own setting, its window hidden or not";
    button->Hide();
    EXPECT_FALSE(button->Visible.get());
    button->Show();
    EXPECT_TRUE(button->Visible.get());
    button->Visible = false;
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
    for (int i = 0; i < cap; ++i)
        lines.Add("entry " + std::to_string(i));
    EXPECT_EQ(lines.Count(), cap);
    EXPECT_EQ(lines.dropped(), 0u) << "full, nothing dropped yet";
    for (int i = cap; i < cap + 7; ++i)
        lines.Add("entry " + std::to_string(i));
    EXPECT_EQ(lines.Count(), cap);
    EXPECT_EQ(lines.dropped(), 7u);
    EXPECT_EQ(lines[0], "entry 7");
    EXPECT_EQ(lines[cap - 1], "entry " + std::to_string(cap + 6));
    lines.Clear();
    EXPECT_EQ(lines.Count(), 0);
    EXPECT_EQ(lines.dropped(), 7u) << "cleared entries were not dropped";
}

// The tests' own layout (tests/ui/facade_form.ui): an edit, a combo box whose
// OnChange it binds, and a button, tab stops in that order.
class FacadeForm : public vcl::TForm {
  public:
    using vcl::TForm::TForm;
    vcl::TEdit* Entry = nullptr;
    vcl::TComboBox* Choice = nullptr;
    vcl::TButton* Press = nullptr;

    // Choice's ItemIndex each time its OnChange fired.
    std::vector<int> changes;
    std::function<void()> on_change;

    void ChoiceChange(vcl::TObject* Sender) {
        EXPECT_EQ(Sender, Choice);
        changes.push_back(Choice->ItemIndex);
        if (on_change)
            on_change();
    }

    static const vcl::FormClass& form_class() {
        static const vcl::FormClass form_class =
            vcl::FormClass::of<FacadeForm>("FacadeForm")
                .field("Entry", &FacadeForm::Entry)
                .field("Choice", &FacadeForm::Choice)
                .field("Press", &FacadeForm::Press)
                .handler("ChoiceChange", &FacadeForm::ChoiceChange);
        return form_class;
    }
};

// The frame grid at the rate of the main form's display, through the
// facade's stand-in for what the display says.
class DisplayRateTest : public FacadeTest {
  protected:
    void SetUp() override {
        FacadeTest::SetUp();
        frames::reset();
    }
    void TearDown() override {
        vcl::set_display_rate_source({});
        frames::reset();
        FacadeTest::TearDown();
    }
};

TEST_F(DisplayRateTest, TheGridRunsAtTheRateTheDisplaySaysAndSixtyWhereItSaysNothing) {
    struct Row {
        double hz;
        int rate;
        frames::Source source;
    };
    for (const Row& row :
         {Row{60, 60, frames::Source::display}, Row{144, 144, frames::Source::display},
          Row{239.76, 240, frames::Source::display}, Row{0, 60, frames::Source::unknown}}) {
        SCOPED_TRACE(row.hz);
        vcl::set_display_rate_source([&] { return row.hz; });
        EXPECT_EQ(frames::rate(), row.rate);
        EXPECT_EQ(frames::source(), row.source);
    }
    // What the system itself says (offscreen Qt: 60; Wine: its X display's mode).
    vcl::set_display_rate_source({});
    const double system = vcl::system_display_rate();
    std::cout << "the system's display says " << system << " Hz\n";
    EXPECT_EQ(frames::rate(), frames::rate_of_display(system).value_or(frames::unknown_rate));
}

// The main form's first show reads the display; a change of its rate is
// followed from the next boundary, and a pacer that asks for frame after
// frame across it runs once in each, never twice in one.
TEST_F(DisplayRateTest, TheMainFormsDisplayIsReadAsItShowsAndFollowedWhenItChanges) {
    double hz = 144;
    vcl::set_display_rate_source([&] { return hz; });
    frames::reset();
    Form2->Show();
    EXPECT_EQ(frames::rate(), 144) << "read as the main form showed";
    std::vector<std::int64_t> ran;
    vcl::FramePacer* self = nullptr;
    vcl::FramePacer pacer([&] {
        ran.push_back(frames::current_frame());
        if (ran.size() == 10) {
            hz = 240;
            vcl::display_rate_changed();
        }
        if (ran.size() < 30)
            self->request();
    });
    self = &pacer;
    pacer.request();
    ASSERT_TRUE(facade_driver::run_loop_until([&] { return ran.size() == 30; }));
    EXPECT_EQ(frames::rate(), 240);
    EXPECT_EQ(frames::rate_changes(), 1);
    for (std::size_t i = 1; i < ran.size(); ++i)
        EXPECT_GT(ran[i], ran[i - 1]) << "run " << i << ": a frame of its own";
}

// The message loop's timers keep a grid of 144 frames a second: a pacer that
// asks for the next frame from its own update runs in the very next frame
// whenever the machine gives the thread its turn on time. Windows' SetTimer
// waits at least 10 ms, longer than a 6.9 ms frame: on it, no run at all
// would follow in the very next frame. (On a quiet machine nearly all do; at
// a load of 12 on two cores, 61 of 144 did.)
TEST_F(DisplayRateTest, TheTimersKeepAGridOf144FramesASecond) {
    frames::fix_rate(144);
    constexpr std::size_t runs = 145;
    std::vector<std::int64_t> ran;
    vcl::FramePacer* self = nullptr;
    vcl::FramePacer pacer([&] {
        ran.push_back(frames::current_frame());
        if (ran.size() < runs)
            self->request();
    });
    self = &pacer;
    pacer.request();
    ASSERT_TRUE(facade_driver::run_loop_until([&] { return ran.size() == runs; }));
    std::size_t next = 0;
    for (std::size_t i = 1; i < ran.size(); ++i) {
        EXPECT_GT(ran[i], ran[i - 1]) << "never twice in a frame";
        next += ran[i] == ran[i - 1] + 1 ? 1 : 0;
    }
    std::cout << next << " of " << runs - 1 << " runs in the very next frame\n";
    EXPECT_GE(next, (runs - 1) / 8);
}

// A form's frame cost, on a cost clock that moves on a microsecond at each
// reading: a pacer charged to it is its drawing (two readings, one
// microsecond, each run); the window's paint events its painting (a
// microsecond each); on Qt, the backing store's flush after them its
// flushing. Another form's frames are not in it.
TEST_F(FacadeTest, AFormsFrameCostIsItsDrawingItsPaintingAndItsFlushing) {
    FacadeForm* other = nullptr;
    Application->CreateForm(&other);
    std::int64_t now_ns = 0;
    vcl::set_cost_clock([&] { return now_ns += 1000; });
    Form2->Show();
    other->Show();
    ASSERT_TRUE(facade_driver::run_loop_until([&] {
        return Form2->frame_cost().ns[vcl::FrameCost::painting] > 0;
    })) << "painted as it showed";
    const vcl::FrameCost before = Form2->frame_cost();
    const vcl::FrameCost other_before = other->frame_cost();

    vcl::FramePacer pacer([&] {
        Form2->Canvas->Brush->Color = vcl::clRed;
        Form2->Canvas->FillRect(vcl::Rect(0, 0, 10, 10));
    });
    pacer.charge_to(Form2);
    pacer.request();
    ASSERT_TRUE(facade_driver::run_loop_until([&] {
        return Form2->frame_cost().ns[vcl::FrameCost::painting] >
               before.ns[vcl::FrameCost::painting];
    }));
    vcl::set_cost_clock({});
    const vcl::FrameCost after = Form2->frame_cost();
    EXPECT_EQ(after.ns[vcl::FrameCost::drawing] - before.ns[vcl::FrameCost::drawing], 1000)
        << "the pacer's run";
    EXPECT_GE(after.ns[vcl::FrameCost::painting] - before.ns[vcl::FrameCost::painting], 1000);
#ifdef _WIN32
    EXPECT_EQ(after.ns[vcl::FrameCost::flushing], 0) << "GDI's paint is the hand-over";
#else
    EXPECT_GE(after.ns[vcl::FrameCost::flushing] - before.ns[vcl::FrameCost::flushing], 1000);
#endif
    EXPECT_GE(after.frames, before.frames + 1);
    EXPECT_LE(after.frames, before.frames + 2) << "the drawing's frame, and the paint's";
    EXPECT_EQ(other->frame_cost().total_ns(), other_before.total_ns()) << "nothing of the other";
}

class ControlsTest : public ToolkitTest {
  protected:
    void SetUp() override {
        ToolkitTest::SetUp();
        Application->CreateForm(&form);
    }
    // Shows the form and waits until it is the active one.
    void show() {
        form->Show();
        ASSERT_TRUE(facade_driver::run_loop_until([this] { return vcl::TForm::active() == form; }))
            << "the form was never activated";
    }

    FacadeForm* form = nullptr;
};

// The same layout with Choice taken for an edit.
class MistakenForm : public vcl::TForm {
  public:
    using vcl::TForm::TForm;
    vcl::TEdit* Choice = nullptr;
    void ChoiceChange(vcl::TObject*) {}
    static const vcl::FormClass& form_class() {
        static const vcl::FormClass form_class =
            vcl::FormClass::of<MistakenForm>("FacadeForm")
                .field("Choice", &MistakenForm::Choice)
                .handler("ChoiceChange", &MistakenForm::ChoiceChange);
        return form_class;
    }
};

TEST_F(ControlsTest, AComboBoxIsStreamedEmptyWithItsOnChangeBoundAndFillsOnlyItsOwnKindOfField) {
    ASSERT_NE(form->Choice, nullptr);
    EXPECT_EQ(form->Choice->ClassName(), "vcl::TComboBox");
    EXPECT_TRUE(form->Choice->OnChange);
    EXPECT_TRUE(form->Choice->Items().empty());
    EXPECT_EQ(form->Choice->ItemIndex.get(), -1);
    EXPECT_EQ(form->controls().size(), 3u);

    MistakenForm* mistaken = nullptr;
    try {
        Application->CreateForm(&mistaken);
        ADD_FAILURE() << "a combo box filled an edit's field";
    } catch (const vcl::Exception& e) {
        EXPECT_EQ(e.Message(),
                  "FacadeForm: the control Choice is a vcl::TComboBox, which does not fit the "
                  "field Choice");
    }
}

TEST_F(ControlsTest, AComboBoxChoosesOnlyAmongItsItemsAndKeepsTheItemChosenWhileItIsThere) {
    vcl::TComboBox& choice = *form->Choice;
    const std::vector<vcl::String> mice = {"Mouse 1", "Mouse 2", "Ratón 3"};
    choice.SetItems(mice);
    EXPECT_EQ(choice.Items(), mice);
    EXPECT_EQ(choice.ItemIndex.get(), -1) << "new items choose none";
    choice.ItemIndex = 2;
    EXPECT_EQ(choice.ItemIndex.get(), 2);
    // Out of range on either side: none.
    for (const int outside : {3, 100, -2, INT_MIN}) {
        choice.ItemIndex = 1;
        choice.ItemIndex = outside;
        EXPECT_EQ(choice.ItemIndex.get(), -1) << outside;
    }
    choice.ItemIndex = 2;
    choice.SetItems({"Ratón 3", "Mouse 1", "Ratón 3"});
    EXPECT_EQ(choice.ItemIndex.get(), 0) << "the item chosen, where it is now (its first place)";
    choice.SetItems({"Mouse 4", "Mouse 5"});
    EXPECT_EQ(choice.ItemIndex.get(), -1) << "the item chosen is gone";
    choice.SetItems({"Mouse 5", "Mouse 4"});
    EXPECT_EQ(choice.ItemIndex.get(), -1) << "none chosen stays none";
    choice.ItemIndex = 1;
    choice.SetItems({});
    EXPECT_TRUE(choice.Items().empty());
    EXPECT_EQ(choice.ItemIndex.get(), -1);
    choice.ItemIndex = 0;
    EXPECT_EQ(choice.ItemIndex.get(), -1) << "nothing to choose";
    EXPECT_TRUE(form->changes.empty()) << "none of this was the user's choice";
}

TEST_F(ControlsTest, OnChangeFiresWhenTheUserChoosesAnItemAndHandlersThatThrowAreShown) {
    show();
    vcl::TComboBox& choice = *form->Choice;
    choice.SetItems({"Mouse 1", "Mouse 2", "Mouse 3"});
    facade_driver::choose_item(choice, 1);
    EXPECT_EQ(form->changes, std::vector<int>{1}) << "fired once, the item chosen already";
    choice.ItemIndex = 2;
    choice.SetItems({"Mouse 3", "Mouse 2"});
    EXPECT_EQ(form->changes, std::vector<int>{1});
    facade_driver::choose_item(choice, 0);
    EXPECT_EQ(form->changes, (std::vector<int>{1, 0}));

    form->on_change = [] { throw vcl::Exception("no such mouse"); };
    facade_driver::choose_item(choice, 1);
    EXPECT_EQ(shown_, std::vector<vcl::String>{"no such mouse"});
    EXPECT_EQ(choice.ItemIndex.get(), 1);
}

TEST_F(ControlsTest, TheFocusGoesWhereSetFocusPutsItButNotToADisabledOrHiddenControl) {
    // Given before the window is active: taken when it is.
    form->Entry->SetFocus();
    EXPECT_FALSE(form->Entry->Focused());
    show();
    ASSERT_TRUE(facade_driver::run_loop_until([this] { return form->Entry->Focused(); }));
    vcl::TControl* const controls[] = {form->Entry, form->Choice, form->Press};
    const auto focused = [&] {
        std::vector<bool> which;
        for (vcl::TControl* control : controls)
            which.push_back(control->Focused());
        return which;
    };
    EXPECT_EQ(focused(), (std::vector<bool>{true, false, false}));
    form->Press->SetFocus();
    EXPECT_EQ(focused(), (std::vector<bool>{false, false, true}));
    form->Choice->SetFocus();
    EXPECT_EQ(focused(), (std::vector<bool>{false, true, false}));
    form->Entry->SetFocus();
    EXPECT_EQ(focused(), (std::vector<bool>{true, false, false}));

    form->Press->Enabled = false;
    form->Press->SetFocus();
    form->Choice->Hide();
    form->Choice->SetFocus();
    EXPECT_EQ(focused(), (std::vector<bool>{true, false, false}));
}

// The save dialog answered by its user (facade_driver::SaveDialogUser) through
// the dialog's own window, as a user at the keyboard and mouse would.
class SaveDialogTest : public ControlsTest {
  protected:
    void SetUp() override {
        ControlsTest::SetUp();
        dialog = std::make_unique<vcl::TSaveDialog>(form);
        dialog->Title = title;
        dialog->Filter = "PNG picture (*.png)|*.png|Any file|*";
        dialog->DefaultExt = "png";
        dialog->FileName = folder / "proposed.png";
    }
    void TearDown() override {
        dialog.reset();
        ControlsTest::TearDown();
    }

    static constexpr const char* title = "Save the plot";
    ScratchFolder folder;
    std::unique_ptr<vcl::TSaveDialog> dialog;
};

TEST_F(SaveDialogTest, AnswersThePathChosen) {
    {
        facade_driver::SaveDialogUser user(title, folder / "chosen.png");
        EXPECT_TRUE(dialog->Execute());
        EXPECT_TRUE(user.answered());
        EXPECT_EQ(user.proposed(), "proposed.png") << "in the folder FileName names";
        EXPECT_EQ(user.file_type(), "PNG picture (*.png)");
        EXPECT_EQ(user.question(), "");
    }
    EXPECT_EQ(dialog->FileName, folder / "chosen.png");
    EXPECT_TRUE(folder.names().empty()) << "the dialog itself writes nothing";
}

TEST_F(SaveDialogTest, AddsTheDefaultExtensionToANameWithoutOneInTheFolderShown) {
    {
        facade_driver::SaveDialogUser user(title, "gráfico");
        EXPECT_TRUE(dialog->Execute());
        EXPECT_TRUE(user.answered());
    }
    EXPECT_EQ(dialog->FileName, folder / "gráfico.png") << "UTF-8 both ways";
}

TEST_F(SaveDialogTest, AsksBeforeReplacingAFile) {
    { std::ofstream(from_utf8(folder / "taken.png")) << "taken"; }
    {
        facade_driver::SaveDialogUser user(title, "taken.png");
        EXPECT_TRUE(dialog->Execute());
        EXPECT_TRUE(user.answered());
        EXPECT_NE(user.question(), "") << "whether to replace it";
    }
    EXPECT_EQ(dialog->FileName, folder / "taken.png");
}

TEST_F(SaveDialogTest, CancellingAnswersFalseAndChangesNothing) {
    {
        facade_driver::SaveDialogUser user(title, std::nullopt);
        EXPECT_FALSE(dialog->Execute());
        EXPECT_TRUE(user.answered());
        EXPECT_EQ(user.proposed(), "proposed.png");
    }
    EXPECT_EQ(dialog->FileName, folder / "proposed.png");
}

// The canvas's pixel rules, read back through Pixel on the data window's
// canvas, which covers its client area.
class CanvasRulesTest : public FacadeTest {
  protected:
    // The data window's client size, as ui/frmDatos.ui gives it.
    static constexpr int width = 569;
    static constexpr int height = 244;

    void SetUp() override {
        FacadeTest::SetUp();
        face_ = canvas().Pixel(0, 0);
    }
    vcl::TCanvas& canvas() { return *Form2->Canvas; }
    // The colours of a block of pixels, row by row.
    std::vector<TColor> block(int x, int y, int block_width, int block_height) {
        std::vector<TColor> pixels;
        for (int row = y; row < y + block_height; ++row) {
            for (int column = x; column < x + block_width; ++column)
                pixels.push_back(canvas().Pixel(column, row));
        }
        return pixels;
    }
    // Where the block at (x, y) of `before`'s size differs from `before` now:
    // the pixels that changed, and the smallest rectangle holding them.
    struct Changes {
        int count = 0;
        vcl::TRect bounds{INT_MAX, INT_MAX, INT_MIN, INT_MIN};
    };
    Changes changes(const std::vector<TColor>& before, int x, int y, int block_width) {
        Changes found;
        const int block_height = static_cast<int>(before.size()) / block_width;
        for (int row = 0; row < block_height; ++row) {
            for (int column = 0; column < block_width; ++column) {
                if (canvas().Pixel(x + column, y + row) ==
                    before[static_cast<std::size_t>(row * block_width + column)])
                    continue;
                ++found.count;
                found.bounds.Left = std::min(found.bounds.Left, x + column);
                found.bounds.Top = std::min(found.bounds.Top, y + row);
                found.bounds.Right = std::max(found.bounds.Right, x + column + 1);
                found.bounds.Bottom = std::max(found.bounds.Bottom, y + row + 1);
            }
        }
        return found;
    }
    // Rows and columns of many colours over the top left, so that exclusive or
    // has something to restore.
    void paint_pattern(int pattern_width, int pattern_height) {
        vcl::TCanvas& c = canvas();
        c.Pen->Mode = vcl::pmCopy;
        for (int y = 0; y < pattern_height; ++y) {
            c.Pen->Color = (0x102030u + static_cast<TColor>(y) * 0x3F5A21u) & 0xFFFFFFu;
            c.MoveTo(0, y);
            c.LineTo(pattern_width, y);
        }
        for (int x = 0; x < pattern_width; x += 3) {
            c.Pen->Color = (static_cast<TColor>(x) * 0x1B2C3Du) & 0xFFFFFFu;
            c.MoveTo(x, 0);
            c.LineTo(x, pattern_height);
        }
    }

    TColor face_ = 0;  // the fresh canvas's colour
};

TEST_F(CanvasRulesTest, AFreshCanvasCoversTheClientAreaInOneColourWithTheDefaultTools) {
    vcl::TCanvas& c = canvas();
    EXPECT_NE(face_, vcl::clBlack);
    const std::vector<TColor> all = block(0, 0, width, height);
    EXPECT_EQ(std::count(all.begin(), all.end(), face_), width * height);
    const std::array<std::array<int, 2>, 4> outside = {{{-1, 0}, {0, -1}, {width, 0}, {0, height}}};
    for (const auto& [x, y] : outside)
        EXPECT_EQ(c.Pixel(x, y), vcl::clBlack) << "outside the surface: " << x << "," << y;
    EXPECT_EQ(c.Pen->Color, vcl::clBlack);
    EXPECT_EQ(c.Pen->Mode, vcl::pmCopy);
    EXPECT_EQ(c.Pen->Width, 1);
    EXPECT_EQ(c.Brush->Color, vcl::clWhite);
}

TEST_F(CanvasRulesTest, ALineDrawsItsFirstPointAndLeavesOutItsLast) {
    vcl::TCanvas& c = canvas();
    c.Pen->Color = vcl::clRed;
    c.MoveTo(10, 20);
    c.LineTo(30, 20);
    for (int x = 10; x < 30; ++x)
        EXPECT_EQ(c.Pixel(x, 20), vcl::clRed) << "colours are 0x00BBGGRR; x=" << x;
    EXPECT_EQ(c.Pixel(9, 20), face_);
    EXPECT_EQ(c.Pixel(30, 20), face_) << "the end point is left out";
    EXPECT_EQ(c.Pixel(10, 21), face_) << "one pixel wide";
    // The next line starts where this one ended: joined lines do not overlap.
    c.LineTo(30, 25);
    EXPECT_EQ(c.Pixel(30, 20), vcl::clRed);
    EXPECT_EQ(c.Pixel(30, 24), vcl::clRed);
    EXPECT_EQ(c.Pixel(30, 25), face_);

    const std::vector<TColor> before = block(0, 0, 60, 60);
    c.MoveTo(40, 40);
    c.LineTo(40, 40);
    EXPECT_EQ(block(0, 0, 60, 60), before) << "a line to the current point draws nothing";
}

TEST_F(CanvasRulesTest, ALineInAnyDirectionDrawsOnePixelForEachStepAlongItsLongerSide) {
    vcl::TCanvas& c = canvas();
    c.Pen->Color = vcl::clRed;
    for (int dx = -9; dx <= 9; dx += 3) {
        for (int dy = -9; dy <= 9; dy += 3) {
            if (dx == 0 && dy == 0)
                continue;
            SCOPED_TRACE(std::to_string(dx) + "," + std::to_string(dy));
            const std::vector<TColor> before = block(40, 20, 41, 41);
            c.MoveTo(60, 40);
            c.LineTo(60 + dx, 40 + dy);
            EXPECT_EQ(c.Pixel(60, 40), vcl::clRed);
            EXPECT_NE(c.Pixel(60 + dx, 40 + dy), vcl::clRed);
            EXPECT_EQ(changes(before, 40, 20, 41).count, std::max(std::abs(dx), std::abs(dy)));
            // Undone in the face colour for the next direction.
            c.Pen->Color = face_;
            c.MoveTo(60, 40);
            c.LineTo(60 + dx, 40 + dy);
            c.Pen->Color = vcl::clRed;
        }
    }
}

TEST_F(CanvasRulesTest, JoinedLinesMeetOnceEvenInExclusiveOr) {
    vcl::TCanvas& c = canvas();
    c.Pen->Color = vcl::clLime;
    c.Pen->Mode = vcl::pmXor;
    const std::vector<TColor> before = block(0, 0, 60, 60);
    c.MoveTo(10, 10);
    c.LineTo(30, 10);
    c.LineTo(30, 30);
    c.LineTo(30, 30);
    // The corner is drawn once, by the second line, so exclusive or leaves it coloured.
    EXPECT_EQ(c.Pixel(30, 10), face_ ^ vcl::clLime);
    EXPECT_EQ(c.Pixel(30, 30), face_);
    EXPECT_EQ(changes(before, 0, 0, 60).count, 40);
}

TEST_F(CanvasRulesTest, AnEllipseCoversItsRectangleLessTheRightAndBottomEdges) {
    vcl::TCanvas& c = canvas();
    c.Pen->Color = vcl::clBlue;
    c.Brush->Color = vcl::clLime;
    const vcl::TRect rows[] = {vcl::Rect(100, 50, 141, 91), vcl::Rect(20, 30, 26, 36),
                               vcl::Rect(30, 100, 40, 106), vcl::Rect(200, 20, 203, 23)};
    for (const vcl::TRect& r : rows) {
        SCOPED_TRACE(std::to_string(r.Left) + "," + std::to_string(r.Top) + "," +
                     std::to_string(r.Right) + "," + std::to_string(r.Bottom));
        const std::vector<TColor> before =
            block(r.Left - 5, r.Top - 5, r.Width() + 10, r.Height() + 10);
        c.Ellipse(r.Left, r.Top, r.Right, r.Bottom);
        EXPECT_EQ(changes(before, r.Left - 5, r.Top - 5, r.Width() + 10).bounds, r);
        const int middle_x = (r.Left + r.Right) / 2;
        const int middle_y = (r.Top + r.Bottom) / 2;
        EXPECT_EQ(c.Pixel(r.Left, middle_y), vcl::clBlue) << "outlined with the pen";
        EXPECT_EQ(c.Pixel(r.Right - 1, middle_y), vcl::clBlue);
        EXPECT_EQ(c.Pixel(middle_x, r.Top), vcl::clBlue);
        EXPECT_EQ(c.Pixel(middle_x, r.Bottom - 1), vcl::clBlue);
        if (r.Width() > 4) {
            EXPECT_EQ(c.Pixel(middle_x, middle_y), vcl::clLime) << "filled with the brush";
        }
    }

    const std::vector<TColor> drawn = block(0, 0, 250, 150);
    c.Ellipse(26, 36, 20, 30);
    c.Ellipse(141, 91, 100, 50);
    EXPECT_EQ(block(0, 0, 250, 150), drawn) << "corners given in any order";
    c.Brush->Color = vcl::clRed;
    c.Ellipse(60, 30, 60, 50);
    c.Ellipse(60, 30, 80, 30);
    EXPECT_EQ(block(0, 0, 250, 150), drawn) << "an empty rectangle draws nothing";
}

// How an outline pixel combines with the fill under it is the backend's: Qt
// combines the pen alone there, GDI the brush and then the pen (vcl_test
// holds Qt to its rule).
TEST_F(CanvasRulesTest, ExclusiveOrCombinesPenAndBrushWithThePixelsUnderThem) {
    vcl::TCanvas& c = canvas();
    c.Pen->Mode = vcl::pmXor;
    c.Pen->Color = vcl::clLime;
    c.Brush->Color = 0x00A0B0;
    c.Ellipse(20, 20, 40, 40);
    EXPECT_EQ(c.Pixel(30, 30), face_ ^ 0x00A0B0u) << "inside";
    EXPECT_EQ(c.Pixel(20, 20), face_) << "outside, in the corner";
    EXPECT_NE(c.Pixel(30, 20), face_) << "outline";
    EXPECT_NE(c.Pixel(30, 20), face_ ^ 0x00A0B0u) << "the pen reaches the outline";

    paint_pattern(120, 80);
    const TColor under = c.Pixel(60, 55);
    c.Pen->Mode = vcl::pmXor;
    c.Pen->Color = vcl::clWhite;
    c.MoveTo(60, 55);
    c.LineTo(61, 55);
    EXPECT_EQ(c.Pixel(60, 55), under ^ 0xFFFFFFu) << "the pixel under it, whatever it is";

    const std::vector<TColor> before = block(0, 0, 120, 80);
    c.Pen->Color = vcl::clBlack;
    c.Brush->Color = vcl::clBlack;
    c.Ellipse(45, 42, 75, 68);
    c.MoveTo(35, 35);
    c.LineTo(85, 75);
    EXPECT_EQ(block(0, 0, 120, 80), before) << "black pen and brush change nothing";
}

TEST_F(CanvasRulesTest, EveryFigureDrawnTwiceByExclusiveOrRestoresEveryPixel) {
    // A path (MoveTo its first point, LineTo the others) and ellipses, with a pen width.
    struct Figure {
        const char* what;
        int pen_width;
        std::vector<std::array<int, 2>> path;
        std::vector<std::array<int, 4>> ellipses;
        bool visible;
    };
    const Figure figures[] = {
        {"line", 1, {{5, 7}, {90, 61}}, {}, true},
        {"backward line", 1, {{90, 7}, {5, 61}}, {}, true},
        {"closed path", 1, {{5, 5}, {50, 40}, {10, 70}, {5, 5}}, {}, true},
        {"wide line", 5, {{10, 60}, {100, 20}}, {}, true},
        {"wide path", 7, {{10, 10}, {60, 70}, {110, 10}}, {}, true},
        {"mark", 1, {}, {{50, 37, 56, 43}}, true},
        {"ellipse and a line across it", 1, {{5, 50}, {70, 5}}, {{10, 10, 40, 30}}, true},
        {"tiny ellipses", 1, {}, {{1, 1, 3, 3}, {5, 1, 8, 4}, {10, 1, 11, 9}}, true},
        {"wide outline over its own fill", 6, {}, {{30, 30, 38, 36}}, true},
        {"ellipse across the edge", 3, {}, {{100, -20, 160, 30}}, true},
        {"ellipse around the surface", 1, {}, {{INT_MIN, INT_MIN, INT_MAX, INT_MAX}}, true},
        {"lines from afar", 2, {{INT_MIN, INT_MIN}, {INT_MAX, INT_MAX}, {INT_MIN, 40}}, {}, true},
        {"far away",
         9,
         {{INT_MIN, -12}, {INT_MAX, -12}},
         {{INT_MAX - 6, INT_MIN, INT_MAX, INT_MIN + 6}},
         false},
    };
    vcl::TCanvas& c = canvas();
    const auto draw = [&c](const Figure& figure) {
        for (std::size_t i = 0; i < figure.path.size(); ++i) {
            const auto [x, y] = figure.path[i];
            if (i == 0) {
                c.MoveTo(x, y);
            } else {
                c.LineTo(x, y);
            }
        }
        for (const auto& [x1, y1, x2, y2] : figure.ellipses)
            c.Ellipse(x1, y1, x2, y2);
    };
    paint_pattern(160, 100);
    c.Brush->Color = 0x5A5A5A;
    c.Pen->Mode = vcl::pmXor;
    c.Pen->Color = 0x33CC99;
    for (const Figure& figure : figures) {
        SCOPED_TRACE(figure.what);
        const std::vector<TColor> before = block(0, 0, 200, 120);
        c.Pen->Width = figure.pen_width;
        draw(figure);
        EXPECT_EQ(block(0, 0, 200, 120) != before, figure.visible);
        draw(figure);
        EXPECT_EQ(block(0, 0, 200, 120), before);
    }
}

TEST_F(CanvasRulesTest, PenSettingsStayUntilChanged) {
    vcl::TCanvas& c = canvas();
    c.Pen->Color = vcl::clRed;
    c.Pen->Width = 3;
    c.Pen->Mode = vcl::pmCopy;
    c.MoveTo(10, 40);
    c.LineTo(60, 40);
    c.Ellipse(70, 30, 80, 40);
    EXPECT_EQ(c.Pen->Color, vcl::clRed);
    EXPECT_EQ(c.Pen->Width, 3);
    EXPECT_EQ(c.Pen->Mode, vcl::pmCopy);
    c.MoveTo(10, 60);
    c.LineTo(60, 60);
    EXPECT_EQ(c.Pixel(30, 61), vcl::clRed) << "still three pixels wide";

    c.Pen->Width = 1;
    c.Pen->Color = vcl::clGreen;
    c.MoveTo(5, 100);
    c.LineTo(10, 100);
    c.LineTo(15, 100);
    EXPECT_EQ(c.Pixel(12, 100), vcl::clGreen) << "the second line in the same colour";
}

TEST_F(CanvasRulesTest, FarCoordinatesAreClippedToTheSurface) {
    vcl::TCanvas& c = canvas();
    c.Pen->Color = vcl::clBlue;
    c.MoveTo(INT_MIN, INT_MIN);
    c.LineTo(INT_MAX, INT_MAX);
    for (int k = 0; k < height; k += 7)
        EXPECT_EQ(c.Pixel(k, k), vcl::clBlue) << k;
    c.MoveTo(INT_MAX, 7);
    c.LineTo(INT_MIN, 7);
    for (int x = 0; x < width; ++x)
        ASSERT_EQ(c.Pixel(x, 7), vcl::clBlue) << x;
    c.Pen->Color = vcl::clRed;
    c.MoveTo(INT_MIN, 150);
    c.LineTo(INT_MAX, 150);
    EXPECT_EQ(c.Pixel(0, 150), vcl::clRed);
    EXPECT_EQ(c.Pixel(width - 1, 150), vcl::clRed);
    EXPECT_EQ(c.Pixel(0, 149), face_);
    c.MoveTo(300, 170);
    c.LineTo(300, INT_MAX);
    EXPECT_EQ(c.Pixel(300, 170), vcl::clRed);
    EXPECT_EQ(c.Pixel(300, height - 1), vcl::clRed);

    // A flat ellipse reaching far past both sides: its middle is on the surface.
    c.Ellipse(-30000, 20, 30120, 40);
    EXPECT_EQ(c.Pixel(60, 20), vcl::clRed);
    EXPECT_EQ(c.Pixel(60, 30), vcl::clWhite);
    EXPECT_EQ(c.Pixel(60, 39), vcl::clRed);

    // Farther than the rasteriser places exactly: filled where it encloses the
    // whole surface, left out where its outline crosses it.
    c.Pen->Color = vcl::clBlack;
    c.Brush->Color = vcl::clWhite;
    c.Ellipse(INT_MIN / 2, INT_MIN / 2, INT_MAX / 2, INT_MAX / 2);
    EXPECT_EQ(c.Pixel(0, 0), vcl::clWhite);
    EXPECT_EQ(c.Pixel(150, 150), vcl::clWhite);
    EXPECT_EQ(c.Pixel(width - 1, height - 1), vcl::clWhite);
    c.Brush->Color = vcl::clRed;
    c.Ellipse(-2000000000, 100, 300, 200);
    EXPECT_EQ(c.Pixel(150, 150), vcl::clWhite);
}

TEST_F(CanvasRulesTest, FillRectCoversItsRectangleLessTheRightAndBottomEdgesInAnyPenMode) {
    vcl::TCanvas& c = canvas();
    c.Pen->Mode = vcl::pmXor;  // a rectangle is filled, not combined
    c.Brush->Color = vcl::clRed;
    c.FillRect(vcl::Rect(10, 20, 14, 23));
    c.FillRect(vcl::Rect(10, 20, 14, 23));
    c.Pen->Mode = vcl::pmCopy;
    std::vector<TColor> expected(6 * 5, face_);
    for (int y = 1; y < 4; ++y) {
        for (int x = 1; x < 5; ++x)
            expected[static_cast<std::size_t>(y * 6 + x)] = vcl::clRed;
    }
    EXPECT_EQ(block(9, 19, 6, 5), expected);
    const std::vector<TColor> before = block(0, 0, 40, 40);
    c.FillRect(vcl::Rect(30, 30, 30, 35));
    c.FillRect(vcl::Rect(30, 30, 20, 35));
    EXPECT_EQ(block(0, 0, 40, 40), before) << "an empty rectangle fills nothing";
    for (const int far : {-1000000, INT_MIN}) {
        c.Brush->Color = vcl::clRed;
        c.FillRect(vcl::Rect(far, far, 2, 2));
        EXPECT_EQ(c.Pixel(0, 0), vcl::clRed) << "cut to the surface from " << far;
        EXPECT_EQ(c.Pixel(1, 1), vcl::clRed) << far;
        EXPECT_EQ(c.Pixel(2, 2), face_) << far;
        c.Brush->Color = face_;
        c.FillRect(vcl::Rect(0, 0, 2, 2));
    }
    c.Brush->Color = vcl::clLime;
    c.FillRect(vcl::Rect(width - 1, height - 1, INT_MAX, INT_MAX));
    EXPECT_EQ(c.Pixel(width - 1, height - 1), vcl::clLime);
    EXPECT_EQ(c.Pixel(width - 2, height - 2), face_);
}

TEST_F(CanvasRulesTest, TextOutPaintsItsBoxInTheBrushAndTheTextInTheFont) {
    vcl::TCanvas& c = canvas();
    c.Brush->Color = vcl::clBlue;
    c.FillRect(vcl::Rect(0, 0, 300, 60));
    c.Brush->Color = vcl::clWhite;
    c.Font->Color = vcl::clRed;
    const int text_width = c.TextWidth("1000 Hz");
    const int text_height = c.TextHeight("1000 Hz");
    EXPECT_GT(text_width, c.TextWidth("10 Hz"));
    EXPECT_EQ(c.TextWidth(""), 0);
    ASSERT_GT(text_height, 8);
    c.TextOut(20, 10, "1000 Hz");
    int text = 0;
    for (int y = 10; y < 10 + text_height; ++y) {
        for (int x = 20; x < 20 + text_width; ++x) {
            const TColor pixel = c.Pixel(x, y);
            EXPECT_TRUE(pixel == vcl::clRed || pixel == vcl::clWhite) << x << "," << y;
            text += pixel == vcl::clRed ? 1 : 0;
        }
    }
    EXPECT_GT(text, 20) << "the text is there";
    for (int x = 0; x < 300; ++x) {
        EXPECT_EQ(c.Pixel(x, 9), vcl::clBlue) << "above, x=" << x;
        EXPECT_EQ(c.Pixel(x, 10 + text_height), vcl::clBlue) << "below, x=" << x;
    }
    for (int y = 10; y < 10 + text_height; ++y) {
        EXPECT_EQ(c.Pixel(19, y), vcl::clBlue);
        EXPECT_EQ(c.Pixel(20 + text_width, y), vcl::clBlue);
    }
}

TEST_F(CanvasRulesTest, CopyRectMovesABlockEvenOntoItselfAndOnlyWhatLiesOnTheSurfaces) {
    vcl::TCanvas& c = canvas();
    // A pattern no two columns or rows of which are alike.
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 30; ++x) {
            c.Brush->Color = static_cast<TColor>(x * 8 + y * 0x0800 + 0x100000);
            c.FillRect(vcl::Rect(x, y, x + 1, y + 1));
        }
    }
    const std::vector<TColor> pattern = block(0, 0, 30, 20);
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
    const std::vector<TColor> before = block(0, 0, 40, 40);
    c.CopyRect(vcl::Rect(100, 100, 110, 110), &c, vcl::Rect(-5, -5, 5, 5));
    EXPECT_EQ(c.Pixel(105, 105), before[0]);
    EXPECT_EQ(c.Pixel(109, 109), before[4 * 40 + 4]);
    EXPECT_EQ(c.Pixel(104, 104), face_) << "not from outside the surface";
    EXPECT_EQ(c.Pixel(100, 109), face_);
}

// The first bytes of a PNG file: its signature, and the width and height its
// header chunk (IHDR, first) gives.
struct PngHeader {
    bool signed_as_png = false;
    int width = 0;
    int height = 0;
};
PngHeader png_header(const std::string& path) {
    std::ifstream file(from_utf8(path), std::ios::binary);
    std::vector<unsigned char> bytes(24);
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (file.gcount() != static_cast<std::streamsize>(bytes.size()))
        return {};
    const auto big_endian = [&bytes](std::size_t at) {
        return static_cast<int>(bytes[at] << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 |
                                bytes[at + 3]);
    };
    const unsigned char signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    PngHeader header;
    header.signed_as_png = std::equal(std::begin(signature), std::end(signature), bytes.begin()) &&
                           std::string(bytes.begin() + 12, bytes.begin() + 16) == "IHDR";
    header.width = big_endian(16);
    header.height = big_endian(20);
    return header;
}

TEST_F(CanvasRulesTest, SaveToPNGWritesThePixelsOfTheAreaCutToTheSurface) {
    paint_pattern(120, 80);
    ScratchFolder folder;
    const struct {
        const char* name;
        vcl::TRect area;
        vcl::TRect on_surface;
    } rows[] = {
        {"inside.png", vcl::Rect(5, 3, 45, 33), vcl::Rect(5, 3, 45, 33)},
        {"whole é.png", vcl::Rect(INT_MIN, INT_MIN, INT_MAX, INT_MAX),
         vcl::Rect(0, 0, width, height)},
        {"corner.png", vcl::Rect(width - 10, height - 6, width + 50, height + 9),
         vcl::Rect(width - 10, height - 6, width, height)},
        {"inside.png", vcl::Rect(0, 0, 1, 1), vcl::Rect(0, 0, 1, 1)},  // replaced
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = folder / row.name;
        canvas().SaveToPNG(path, row.area);
        const vcl::TRect& r = row.on_surface;
        const PngHeader header = png_header(path);
        EXPECT_TRUE(header.signed_as_png);
        EXPECT_EQ(header.width, r.Width());
        EXPECT_EQ(header.height, r.Height());
        const facade_driver::Picture picture = facade_driver::read_png(path);
        ASSERT_EQ(picture.width, r.Width());
        ASSERT_EQ(picture.height, r.Height());
        EXPECT_TRUE(picture.pixels == block(r.Left, r.Top, r.Width(), r.Height()))
            << "the pixels differ from the canvas's";
    }
    std::vector<std::string> names = folder.names();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"corner.png", "inside.png", "whole é.png"}))
        << "nothing else left beside them";
}

TEST_F(CanvasRulesTest, SaveToPNGRefusesAnAreaWithoutPixelsAndAPathItCannotWriteLeavingNothing) {
    ScratchFolder folder;
    const std::string path = folder / "plot.png";
    const std::string nowhere = to_utf8(from_utf8(folder / "missing") / "plot.png");
    const auto failure = [this](const std::string& to, const vcl::TRect& area) -> std::string {
        try {
            canvas().SaveToPNG(to, area);
        } catch (const vcl::Exception& e) {
            return e.Message();
        }
        return "no exception";
    };
    const std::string no_pixel = "cannot save " + path + ": the area holds no pixel of the canvas";
    EXPECT_EQ(failure(path, vcl::Rect(10, 10, 10, 20)), no_pixel) << "no width";
    EXPECT_EQ(failure(path, vcl::Rect(10, 10, 20, 10)), no_pixel) << "no height";
    EXPECT_EQ(failure(path, vcl::Rect(20, 20, 10, 10)), no_pixel) << "negative";
    EXPECT_EQ(failure(path, vcl::Rect(-50, -50, -10, -10)), no_pixel) << "off the surface";
    EXPECT_EQ(failure(path, vcl::Rect(width, 0, width + 10, 10)), no_pixel) << "past its edge";
    const std::string cannot = failure(nowhere, vcl::Rect(0, 0, 10, 10));
    EXPECT_EQ(cannot.rfind("cannot save " + nowhere + ": ", 0), 0u) << cannot;
    EXPECT_GT(cannot.size(), ("cannot save " + nowhere + ": ").size()) << "and why";
    EXPECT_TRUE(folder.names().empty()) << "nothing left behind";
}

}  // namespace
