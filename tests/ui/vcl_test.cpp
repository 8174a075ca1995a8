// The facade's Qt backend where it meets Qt: layouts as uic writes them and
// their mistakes, events as the window system delivers them, the application's
// run, labels and the memo against Qt's own widgets, and the canvas's image.
// The rules every backend keeps alike (drawing, the memo's cap, closing,
// buttons) are facade_test's.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QRegion>
#include <QScreen>
#include <QTextCursor>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "platform/frames/frames.h"
#include "platform/vcl/clip.h"
#include "platform/vcl/qt/native.h"
#include "platform/vcl/vcl.h"
#include "tests/support/test_support.h"
#include "tests/ui/toolkit_test.h"

namespace {

using testsupport::wait_until;
using vcl::Application;
using vcl::qt::widget;

// A layout written the way uic writes one; `Variant` spoils it on purpose.
enum class Variant {
    sound,
    no_memo,
    memo_is_label,
    misspelt_handler,
    handler_of_other_kind,
    odd_event,
    combo_box_odd_event,
    combo_box_handler_of_other_kind
};

template <Variant variant>
struct TestLayout {
    static void setupUi(QWidget* form) {
        form->setObjectName("TestForm");
        form->resize(320, 200);
        form->setProperty("windowPosition", QPoint(30, 40));
        form->setProperty("fontPixelSize", 11);
        form->setProperty("OnCreate",
                          variant == Variant::misspelt_handler ? "FormCreat" : "FormCreate");
        form->setProperty("OnActivate", "FormActivate");
        form->setProperty("OnClose",
                          variant == Variant::handler_of_other_kind ? "FormActivate" : "FormClose");
        form->setProperty("OnMouseMove", "FormMouseMove");
        if (variant == Variant::odd_event)
            form->setProperty("OnDblClick", "FormActivate");
        auto* label = new vcl::qt::Label(form);
        label->setObjectName("Label1");
        label->setGeometry(10, 150, 40, 13);
        label->setText("Label1");
        auto* ok = new vcl::qt::Button(form);
        ok->setObjectName("btnOk");
        ok->setGeometry(200, 150, 75, 25);
        ok->setProperty("OnClick", "btnOkClick");
        auto* cancel = new vcl::qt::Button(form);
        cancel->setObjectName("btnCancel");
        cancel->setGeometry(200, 175, 75, 25);
        cancel->setProperty("Cancel", true);
        cancel->setProperty("OnClick", "btnCancelClick");
        auto* mice = new vcl::qt::ComboBox(form);
        mice->setObjectName("cmbMouse");
        mice->setGeometry(60, 150, 120, 21);
        if (variant == Variant::combo_box_odd_event) {
            mice->setProperty("OnClick", "btnOkClick");
        } else {
            mice->setProperty("OnChange", variant == Variant::combo_box_handler_of_other_kind
                                              ? "FormClose"
                                              : "cmbMouseChange");
        }
        if (variant == Variant::memo_is_label) {
            (new vcl::qt::Label(form))->setObjectName("Memo1");
        } else if (variant != Variant::no_memo) {
            auto* memo = new vcl::qt::Memo(form);
            memo->setObjectName("Memo1");
            memo->setGeometry(10, 10, 150, 60);
        }
    }
};

class TestForm : public vcl::TForm {
  public:
    using vcl::TForm::TForm;
    vcl::TLabel* Label1 = nullptr;
    vcl::TButton* btnOk = nullptr;
    vcl::TButton* btnCancel = nullptr;
    vcl::TMemo* Memo1 = nullptr;
    vcl::TComboBox* cmbMouse = nullptr;

    std::vector<std::string> calls;
    bool visible_at_create = true;
    vcl::TCloseAction close_answer = vcl::caHide;
    std::function<void()> on_ok;

    void FormCreate(vcl::TObject* Sender) {
        calls.push_back("create");
        visible_at_create = Visible.get();
        EXPECT_EQ(Sender, this);
    }
    void FormActivate(vcl::TObject*) { calls.push_back("activate"); }
    void FormClose(vcl::TObject*, vcl::TCloseAction& Action) {
        calls.push_back(Action == vcl::caHide ? "close" : "close with a wrong action");
        Action = close_answer;
    }
    void FormMouseMove(vcl::TObject*, vcl::TShiftState Shift, int X, int Y) {
        calls.push_back("move " + std::to_string(X) + "," + std::to_string(Y) + " shift " +
                        std::to_string(Shift));
    }
    void btnOkClick(vcl::TObject* Sender) {
        calls.push_back("ok");
        EXPECT_EQ(Sender, btnOk);
        if (on_ok)
            on_ok();
    }
    void btnCancelClick(vcl::TObject*) { calls.push_back("cancel"); }
    void cmbMouseChange(vcl::TObject*) { calls.push_back("mouse chosen"); }
};

template <Variant variant = Variant::sound>
class Form : public TestForm {
  public:
    using TestForm::TestForm;
    static const vcl::FormClass& form_class() {
        // Each variant is a layout of its own; the form inside is TestForm in all.
        const std::string layout = "TestForm" + std::to_string(static_cast<int>(variant));
        vcl::qt::register_layout(layout, TestLayout<variant>::setupUi);
        static const vcl::FormClass form_class =
            vcl::FormClass::of<Form>(layout.c_str())
                .field("Label1", &Form::Label1)
                .field("btnOk", &Form::btnOk)
                .field("btnCancel", &Form::btnCancel)
                .field("Memo1", &Form::Memo1)
                .field("cmbMouse", &Form::cmbMouse)
                .handler("FormCreate", &Form::FormCreate)
                .handler("FormActivate", &Form::FormActivate)
                .handler("FormClose", &Form::FormClose)
                .handler("FormMouseMove", &Form::FormMouseMove)
                .handler("btnOkClick", &Form::btnOkClick)
                .handler("btnCancelClick", &Form::btnCancelClick)
                .handler("cmbMouseChange", &Form::cmbMouseChange);
        return form_class;
    }
};

using ApplicationTest = ToolkitTest;

// Runs the loop until the main form closes, failing (not hanging) if it never does.
void run_with_deadline() {
    EXPECT_TRUE(testsupport::ends_before_deadline([] { vcl::Application->Run(); }))
        << "Run did not end when the main form closed";
}

TEST_F(ApplicationTest, CreateFormStreamsTheLayoutAndRunsOnCreateBeforeReturning) {
    Form<>* first = nullptr;
    Application->CreateForm(&first);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->calls, std::vector<std::string>{"create"});
    EXPECT_FALSE(first->visible_at_create);
    EXPECT_EQ(first->Label1->Caption.get(), "Label1");
    EXPECT_TRUE(first->btnCancel->Cancel);
    EXPECT_FALSE(first->btnOk->Cancel);
    ASSERT_NE(first->cmbMouse, nullptr);
    EXPECT_TRUE(first->cmbMouse->OnChange);
    EXPECT_EQ(widget(first)->pos(), QPoint(30, 40));
    EXPECT_EQ(widget(first)->font().pixelSize(), 11);
    EXPECT_EQ(Application->MainForm(), first);

    Form<>* second = nullptr;
    Application->CreateForm(&second);
    EXPECT_EQ(Application->MainForm(), first);
    EXPECT_EQ(Application->forms(), (std::vector<vcl::TForm*>{first, second}));
}

TEST_F(ApplicationTest, LayoutMistakesAreReportedByName) {
    const auto failure = [](auto* form) -> std::string {
        try {
            Application->CreateForm(&form);
        } catch (vcl::Exception& e) {
            return e.Message();
        }
        return "no exception";
    };
    EXPECT_EQ(failure(static_cast<Form<Variant::no_memo>*>(nullptr)),
              "TestForm: the layout has no control for the field Memo1");
    EXPECT_EQ(failure(static_cast<Form<Variant::memo_is_label>*>(nullptr)),
              "TestForm: the control Memo1 is a vcl::TLabel, which does not fit the field Memo1");
    EXPECT_EQ(failure(static_cast<Form<Variant::misspelt_handler>*>(nullptr)),
              "TestForm: no handler named FormCreat for the event OnCreate");
    EXPECT_EQ(failure(static_cast<Form<Variant::handler_of_other_kind>*>(nullptr)),
              "TestForm: the handler FormActivate does not fit the event OnClose");
    EXPECT_EQ(failure(static_cast<Form<Variant::odd_event>*>(nullptr)),
              "TestForm: a form has no event OnDblClick");
    EXPECT_EQ(failure(static_cast<Form<Variant::combo_box_odd_event>*>(nullptr)),
              "TestForm: cmbMouse has no event OnClick");
    EXPECT_EQ(failure(static_cast<Form<Variant::combo_box_handler_of_other_kind>*>(nullptr)),
              "TestForm: the handler FormClose does not fit the event cmbMouse.OnChange");
}

TEST_F(ApplicationTest, RunShowsTheMainFormAndEndsWhenItCloses) {
    Form<>* main_form = nullptr;
    Form<>* other = nullptr;
    Application->CreateForm(&main_form);
    Application->CreateForm(&other);
    bool became_active = false;
    bool other_shown = true;
    QTimer::singleShot(0, [&] {
        became_active = wait_until([&] { return vcl::TForm::active() == main_form; });
        other_shown = widget(other)->isVisible();
        main_form->Close();
    });
    run_with_deadline();
    EXPECT_TRUE(became_active);
    EXPECT_FALSE(other_shown);
    EXPECT_EQ(main_form->calls, (std::vector<std::string>{"create", "activate", "close"}));
    EXPECT_FALSE(widget(main_form)->isVisible());
}

TEST_F(ApplicationTest, AWindowManagerCloseEndsTheRunToo) {
    Form<>* main_form = nullptr;
    Application->CreateForm(&main_form);
    QTimer::singleShot(0, [&] {
        ASSERT_TRUE(wait_until([&] { return vcl::TForm::active() == main_form; }));
        widget(main_form)->windowHandle()->close();
    });
    run_with_deadline();
    EXPECT_EQ(main_form->calls.back(), "close");
    EXPECT_FALSE(widget(main_form)->isVisible());
}

TEST_F(ApplicationTest, TheGuardShowsWhatEscapesByTheCallersRule) {
    const struct {
        const char* what;
        std::function<void()> body;
        const char* at_entry;    // OtherExceptions::empty_message
        const char* in_handler;  // OtherExceptions::by_what
    } cases[] = {
        {"toolkit exception", [] { throw vcl::Exception("disk full"); }, "disk full", "disk full"},
        {"standard exception", [] { throw std::runtime_error("out of paper"); }, "",
         "out of paper"},
        {"anything else", [] { throw 42; }, "", ""},
    };
    for (const auto& c : cases) {
        shown_.clear();
        EXPECT_FALSE(vcl::guard(c.body, vcl::OtherExceptions::empty_message)) << c.what;
        EXPECT_FALSE(vcl::guard(c.body, vcl::OtherExceptions::by_what)) << c.what;
        EXPECT_EQ(shown_, (std::vector<vcl::String>{c.at_entry, c.in_handler})) << c.what;
    }
    shown_.clear();
    int runs = 0;
    EXPECT_TRUE(vcl::guard([&] { ++runs; }, vcl::OtherExceptions::by_what));
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(shown_.empty());

    // With no application to show it, standard error still says so.
    vcl::TApplication* const application = Application;
    Application = nullptr;
    testing::internal::CaptureStderr();
    const bool ran_through = vcl::guard([] { throw 1; }, vcl::OtherExceptions::by_what);
    const std::string err = testing::internal::GetCapturedStderr();
    Application = application;
    EXPECT_FALSE(ran_through);
    EXPECT_NE(err.find("no application to report it"), std::string::npos) << err;
    EXPECT_TRUE(shown_.empty());
}

TEST_F(ApplicationTest, TheDefaultPresenterWritesToStandardError) {
    const auto capture = Application->set_exception_presenter(previous_);
    const QString platform = QGuiApplication::platformName();
    const bool on_screen = platform != "offscreen" && platform != "minimal";
    bool box_shown = false;
    if (on_screen) {
        // A real display gets a message box too; dismiss it as the user would.
        QTimer::singleShot(0, [&] {
            box_shown = wait_until([] { return QApplication::activeModalWidget() != nullptr; });
            if (box_shown)
                QApplication::activeModalWidget()->close();
        });
    }
    testing::internal::CaptureStderr();
    vcl::Exception e("the disk is full");
    Application->ShowException(&e);
    const std::string err = testing::internal::GetCapturedStderr();
    Application->set_exception_presenter(capture);
    EXPECT_NE(err.find(": the disk is full\n"), std::string::npos) << err;
    EXPECT_EQ(box_shown, on_screen);
}

TEST_F(ApplicationTest, MSSansSerifIsDrawnInLiberationSans) {
    QFont font("MS Sans Serif");
    font.setPixelSize(11);
    EXPECT_EQ(QFontInfo(font).family(), "Liberation Sans");
}

using EventTest = ToolkitTest;

TEST_F(EventTest, EscPressesTheCancelButtonWhileItIsEnabledAndVisible) {
    Form<>* form = nullptr;
    Application->CreateForm(&form);
    form->Show();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QKeyEvent control_escape(QEvent::KeyPress, Qt::Key_Escape, Qt::ControlModifier);

    // Sent to another button, the key travels up to the form.
    QCoreApplication::sendEvent(widget(form->btnOk), &escape);
    EXPECT_EQ(form->calls.back(), "cancel");
    form->calls.clear();
    QCoreApplication::sendEvent(widget(form), &control_escape);
    form->btnCancel->Enabled = false;
    QCoreApplication::sendEvent(widget(form), &escape);
    form->btnCancel->Enabled = true;
    form->btnCancel->Hide();
    QCoreApplication::sendEvent(widget(form), &escape);
    EXPECT_TRUE(form->calls.empty());
}

TEST_F(EventTest, MouseMovesReportClientPositionAndShiftState) {
    Form<>* form = nullptr;
    Application->CreateForm(&form);
    EXPECT_TRUE(widget(form)->hasMouseTracking());
    QMouseEvent move(QEvent::MouseMove, QPointF(12, 34), QPointF(112, 134), Qt::NoButton,
                     Qt::LeftButton | Qt::RightButton, Qt::ShiftModifier | Qt::ControlModifier);
    QCoreApplication::sendEvent(widget(form), &move);
    const auto expected = vcl::ssShift | vcl::ssCtrl | vcl::ssLeft | vcl::ssRight;
    EXPECT_EQ(form->calls.back(), "move 12,34 shift " + std::to_string(expected));
}

TEST_F(EventTest, AFormShownAsksToBeActivated) {
    Form<>* form = nullptr;
    Application->CreateForm(&form);
    form->Show();
    EXPECT_TRUE(wait_until([&] { return vcl::TForm::active() == form; }));
    EXPECT_EQ(form->calls.back(), "activate");
}

// A key as the window system delivers it: to the form's window, which hands
// it to whichever control has the focus.
void press(vcl::TForm* form, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWindow* window = widget(form)->windowHandle();
    ASSERT_NE(window, nullptr);
    QKeyEvent down(QEvent::KeyPress, key, modifiers);
    QCoreApplication::sendEvent(window, &down);
    QKeyEvent up(QEvent::KeyRelease, key, modifiers);
    QCoreApplication::sendEvent(window, &up);
}

TEST_F(EventTest, AFormThatPreviewsKeysSeesThemBeforeTheControlWithTheFocus) {
    Form<>* form = nullptr;
    Application->CreateForm(&form);
    form->Show();
    ASSERT_TRUE(wait_until([&] { return vcl::TForm::active() == form; }));
    widget(form->btnOk)->setFocus();
    ASSERT_TRUE(wait_until([&] { return QApplication::focusWidget() == widget(form->btnOk); }));
    form->OnKeyDown = [&](vcl::TObject* sender, WORD& key, vcl::TShiftState shift) {
        EXPECT_EQ(sender, form);
        form->calls.push_back("key " + std::to_string(key) + " shift " + std::to_string(shift));
        if (key == VK_SPACE)
            key = 0;  // used: the button never sees it
    };
    form->calls.clear();

    form->KeyPreview = true;
    press(form, Qt::Key_F2);
    press(form, Qt::Key_A, Qt::ShiftModifier | Qt::ControlModifier);
    press(form, Qt::Key_Space);
    EXPECT_EQ(form->calls, (std::vector<std::string>{
                               "key " + std::to_string(VK_F2) + " shift 0",
                               "key 65 shift " + std::to_string(vcl::ssShift | vcl::ssCtrl),
                               "key " + std::to_string(VK_SPACE) + " shift 0"}))
        << "a key the handler used does not press the button";

    // Without the preview, keys go to the control with the focus; only a form
    // holding the focus itself sees them.
    form->KeyPreview = false;
    form->calls.clear();
    press(form, Qt::Key_F2);
    press(form, Qt::Key_Space);
    EXPECT_EQ(form->calls, std::vector<std::string>{"ok"});
    widget(form->btnOk)->clearFocus();
    ASSERT_TRUE(wait_until([] { return QApplication::focusWidget() == nullptr; }));
    press(form, Qt::Key_F2);
    EXPECT_EQ(form->calls.back(), "key " + std::to_string(VK_F2) + " shift 0");

    // Esc is still the cancel button's when the handler leaves it alone.
    form->KeyPreview = true;
    press(form, Qt::Key_Escape);
    EXPECT_EQ(form->calls.back(), "cancel");
}

TEST_F(EventTest, AHandlerThatThrowsOnAKeyIsShownAndTheKeyGoesOn) {
    Form<>* form = nullptr;
    Application->CreateForm(&form);
    form->Show();
    form->KeyPreview = true;
    form->OnKeyDown = [](vcl::TObject*, WORD&, vcl::TShiftState) {
        throw std::runtime_error("no such key");
    };
    press(form, Qt::Key_Escape);
    EXPECT_EQ(shown_, std::vector<vcl::String>{"no such key"});
    EXPECT_EQ(form->calls.back(), "cancel") << "not used by the handler";
}

TEST_F(EventTest, SetFocusMakesAShownFormTheActiveOne) {
    Form<>* first = nullptr;
    Form<>* second = nullptr;
    Application->CreateForm(&first);
    Application->CreateForm(&second);
    first->Show();
    second->SetFocus();
    ASSERT_TRUE(wait_until([&] { return vcl::TForm::active() == first; }))
        << "a hidden form stays out of the way";
    second->Show();
    second->SetFocus();
    EXPECT_TRUE(wait_until([&] { return vcl::TForm::active() == second; }));
    first->SetFocus();
    EXPECT_TRUE(wait_until([&] { return vcl::TForm::active() == first; }));
}

TEST(ControlTest, PropertiesReadAndWriteTheirControls) {
    QWidget parent;
    vcl::qt::Label label_widget(&parent);
    vcl::TLabel& label = label_widget.control();
    label_widget.setGeometry(0, 0, 32, 13);
    label.Caption = "X = -2147483648 , 2147483647";
    EXPECT_EQ(label_widget.text(), "X = -2147483648 , 2147483647");
    EXPECT_GE(label_widget.width(), label_widget.sizeHint().width()) << "a label fits its caption";

    vcl::qt::Edit edit_widget(&parent);
    vcl::TEdit& edit = edit_widget.control();
    edit.Text = "Edit1";
    EXPECT_EQ(edit.Text.get(), "Edit1");
    EXPECT_TRUE(edit.Enabled.get());
    edit.Enabled = false;
    EXPECT_FALSE(edit_widget.isEnabled());
    EXPECT_FALSE(edit.Enabled.get());

    vcl::qt::Button button_widget(&parent);
    vcl::TButton& button = button_widget.control();
    button.Caption = "Cerrar";
    EXPECT_EQ(button_widget.text(), "Cerrar");

    button.Visible = false;
    EXPECT_TRUE(button_widget.isHidden());
}

// The grid's frames at each rate, worked out by hand: frame k of a grid from
// 0 starts at ceil(k * 10^6 / rate) µs, so 144 frames a second are 6,945 and
// 6,944 µs long in turn and 144 of them make a second exactly.
TEST(FrameGridTest, FramesStartAtTheExactMicrosecondOfTheirRate) {
    struct Row {
        int rate;
        std::int64_t frame;
        std::int64_t starts_us;
    };
    for (const Row& row :
         {Row{30, 1, 33'334}, Row{30, 30, 1'000'000}, Row{60, 1, 16'667}, Row{60, 2, 33'334},
          Row{60, 3, 50'000}, Row{144, 1, 6'945}, Row{144, 2, 13'889}, Row{144, 143, 993'056},
          Row{144, 144, 1'000'000}, Row{240, 1, 4'167}, Row{240, 5, 20'834}, Row{240, 6, 25'000}}) {
        SCOPED_TRACE(std::to_string(row.rate) + " Hz, frame " + std::to_string(row.frame));
        const frames::Grid grid{row.rate, 0, 0};
        EXPECT_EQ(grid.start_of(row.frame), row.starts_us);
        EXPECT_EQ(grid.frame_at(row.starts_us), row.frame) << "its first microsecond";
        EXPECT_EQ(grid.frame_at(row.starts_us - 1), row.frame - 1) << "the one before";
        EXPECT_EQ(grid.until_next_frame(row.starts_us - 1), 1);
        EXPECT_EQ(grid.until_next_frame(row.starts_us),
                  grid.start_of(row.frame + 1) - row.starts_us)
            << "a whole frame from its start";
    }
}

// A timer started with the milliseconds to the next boundary, rounded up,
// fires in the next frame: never before its boundary, at most a millisecond
// after it.
TEST(FrameGridTest, TheMillisecondsToTheNextFrameReachIt) {
    frames::reset();
    frames::fix_rate(240, 0);
    for (const std::int64_t us : {0, 1, 4'166, 4'167, 4'168, 20'833, 20'834}) {
        SCOPED_TRACE(us);
        const int ms = frames::until_next_frame_ms(us);
        EXPECT_GE(ms, 1);
        EXPECT_EQ(frames::frame_at(us + std::int64_t{ms} * 1000), frames::frame_at(us) + 1);
    }
    frames::reset();
}

TEST(FrameGridTest, ADisplaysRateIsRoundedToWholeHzWithinThirtyTo240) {
    struct Row {
        double hz;
        std::optional<int> rate;
    };
    const double not_a_number = std::numeric_limits<double>::quiet_NaN();
    for (const Row& row :
         {Row{59.94, 60}, Row{60.0, 60}, Row{74.97, 75}, Row{143.86, 144}, Row{144.0, 144},
          Row{239.76, 240}, Row{360.0, 240}, Row{24.0, 30}, Row{30.4, 30}, Row{0.0, std::nullopt},
          Row{1.0, std::nullopt}, Row{-60.0, std::nullopt}, Row{not_a_number, std::nullopt}}) {
        SCOPED_TRACE(row.hz);
        EXPECT_EQ(frames::rate_of_display(row.hz), row.rate);
    }
}

// A new rate takes over at the old grid's next boundary, and the frame numbers
// count on: at 60 Hz frame 1 runs from 16,667 to 33,334 µs; a change to
// 144 Hz at 20,000 µs leaves frame 1 whole, frame 2 starts at 33,334 and
// lasts 6,945 µs. Walking the boundaries from then on meets each frame once.
TEST(FrameGridTest, ARateChangeStartsANewGridAtTheNextBoundaryWithNoFrameLostOrTwice) {
    frames::reset();
    frames::set_display_rate(60, 0);
    EXPECT_EQ(frames::source(), frames::Source::display);
    frames::set_display_rate(144, 20'000);
    EXPECT_EQ(frames::rate(), 144);
    EXPECT_EQ(frames::rate_changes(), 1);
    EXPECT_EQ(frames::frame_at(20'000), 1) << "the frame under way stays";
    EXPECT_EQ(frames::frame_at(33'333), 1);
    EXPECT_EQ(frames::frame_at(33'334), 2);
    EXPECT_EQ(frames::grid().start_of(3), 33'334 + 6'945);
    EXPECT_EQ(frames::until_next_frame_ms(20'000), 14) << "13.334 ms to the old boundary";

    // Back to 60 within frame 2, and at once to 240 before that grid began:
    // the latest rate wins from the next boundary.
    frames::set_display_rate(60, 35'000);
    frames::set_display_rate(240, 36'000);
    EXPECT_EQ(frames::rate(), 240);
    EXPECT_EQ(frames::frame_at(40'278), 2);
    EXPECT_EQ(frames::frame_at(40'279), 3);
    EXPECT_EQ(frames::grid().start_of(4), 40'279 + 4'167);

    // From the time of the last change on, each boundary starts the next frame.
    std::int64_t us = 36'000;
    for (std::int64_t frame = 2; frame < 40; ++frame) {
        ASSERT_EQ(frames::frame_at(us), frame) << "at " << us << " µs";
        us += frames::grid().until_next_frame(us);
    }
    frames::reset();
}

// What --frame-rate fixes no display changes; a display that does not say
// gives 60 frames a second and says so.
TEST(FrameGridTest, AFixedRateStaysAndAnUnknownDisplayGivesSixty) {
    frames::reset();
    EXPECT_EQ(frames::rate(), frames::unknown_rate);
    EXPECT_EQ(frames::source(), frames::Source::unknown);
    frames::set_display_rate(0, 0);
    EXPECT_EQ(frames::rate(), 60);
    EXPECT_EQ(frames::source(), frames::Source::unknown);
    frames::set_display_rate(75, 1'000);
    EXPECT_EQ(frames::source(), frames::Source::display);
    frames::fix_rate(144, 2'000);
    frames::set_display_rate(60, 50'000);
    EXPECT_EQ(frames::rate(), 144);
    EXPECT_EQ(frames::source(), frames::Source::option);
    EXPECT_EQ(frames::rate_changes(), 2) << "60 to 75, 75 to 144";
    frames::reset();
}

// The pacer on a clock of the test's own: which frame it is in is the test's
// to say, so what runs at once and what waits never depends on the machine's speed.
class FramePacerTest : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override { frames::fix_rate(GetParam(), 0); }
    void TearDown() override { frames::reset(); }
    void next_frame() { now_us_ = frames::grid().start_of(frames::frame_at(now_us_) + 1); }

    std::int64_t now_us_ = 10'000'005;
    int runs_ = 0;
    vcl::FramePacer pacer_{[this] { ++runs_; }, [this] { return now_us_; }};
};

INSTANTIATE_TEST_SUITE_P(Rates, FramePacerTest, ::testing::Values(30, 60, 144, 240));

TEST_P(FramePacerTest, RequestsWithinAFrameRunTheUpdateOnceAtTheBoundary) {
    EXPECT_FALSE(pacer_.pending()) << "nothing asked, nothing waits";
    for (int i = 0; i < 100; ++i)
        pacer_.request();
    EXPECT_EQ(runs_, 0) << "not at the request";
    EXPECT_TRUE(pacer_.pending());
    next_frame();
    ASSERT_TRUE(wait_until([&] { return runs_ > 0; }));
    EXPECT_EQ(runs_, 1) << "once for the whole burst";
    EXPECT_FALSE(pacer_.pending()) << "and nothing more to come";

    pacer_.request();
    pacer_.flush();
    EXPECT_EQ(runs_, 2) << "flushed at once";
    EXPECT_FALSE(pacer_.pending()) << "and not again at the frame";
    pacer_.flush();
    EXPECT_EQ(runs_, 2) << "a flush with nothing pending runs nothing";
}

TEST_P(FramePacerTest, RunOrRequestRunsAtOnceOnlyTheFirstTimeInAFrame) {
    pacer_.run_or_request();
    EXPECT_EQ(runs_, 1) << "the first time in the frame";
    for (int i = 0; i < 100; ++i)
        pacer_.run_or_request();
    EXPECT_EQ(runs_, 1) << "the rest wait for the next frame";
    EXPECT_TRUE(pacer_.pending());
    next_frame();
    ASSERT_TRUE(wait_until([&] { return !pacer_.pending(); }));
    EXPECT_EQ(runs_, 2) << "once, at the boundary";

    // The run at the boundary counts for the frame it starts.
    pacer_.run_or_request();
    EXPECT_EQ(runs_, 2);
    EXPECT_TRUE(pacer_.pending());
    pacer_.flush();
    EXPECT_EQ(runs_, 3);
    next_frame();
    pacer_.run_or_request();
    EXPECT_EQ(runs_, 4) << "a frame later, at once again";
    EXPECT_FALSE(pacer_.pending());
}

// At most 30 a second: at 60 Hz every other frame, at 144 every fifth, at
// 240 every eighth; at once when asked at once, and in the first frame of
// a new grid.
TEST_P(FramePacerTest, AtMostThirtyASecondAnUpdateWaitsForItsFrame) {
    pacer_.at_most(30);
    const int every = std::max(1, static_cast<int>(std::lround(GetParam() / 30.0)));
    pacer_.run_or_request();
    ASSERT_EQ(runs_, 1);
    std::vector<int> runs_after, expected;
    for (int frame = 1; frame <= 3 * every; ++frame) {
        next_frame();
        pacer_.request();
        vcl::FramePacer::flush_all();
        runs_after.push_back(runs_);
        expected.push_back(1 + frame / every);
    }
    EXPECT_EQ(runs_after, expected);
    EXPECT_FALSE(pacer_.pending());
    next_frame();
    pacer_.run_or_request();
    EXPECT_EQ(runs_, 5) << "asked at once, run at once";
    pacer_.request();
    frames::fix_rate(GetParam() == 240 ? 60 : 240, now_us_);
    next_frame();
    vcl::FramePacer::flush_all();
    EXPECT_EQ(runs_, 6) << "the first frame of the new grid";
}

// A rate change between a run and the next request (60 to 144 Hz at 20,000
// µs, in frame 1): the update runs once in the frame under way and once in
// each frame of the new grid, and each counts as one frame drawn.
TEST(FramePacerRateTest, ARateChangeNeitherLosesNorDoublesAFrame) {
    frames::reset();
    frames::set_display_rate(60, 0);
    std::int64_t now_us = 20'000;
    int runs = 0;
    vcl::FramePacer pacer([&] { ++runs; }, [&] { return now_us; });
    pacer.run_or_request();
    frames::set_display_rate(144, now_us);
    pacer.run_or_request();
    EXPECT_EQ(runs, 1) << "not again in the frame under way";
    EXPECT_TRUE(pacer.pending());
    now_us = 33'334;
    ASSERT_TRUE(wait_until([&] { return !pacer.pending(); }));
    EXPECT_EQ(runs, 2) << "at the old grid's boundary, the new one's first frame";
    pacer.run_or_request();
    EXPECT_EQ(runs, 2);
    now_us = 33'334 + 6'945;
    ASSERT_TRUE(wait_until([&] { return !pacer.pending(); }));
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(frames::frames_drawn(), 3u) << "frames 1, 2 and 3";
    frames::reset();
}

class LabelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        label_widget_.setGeometry(0, 0, 32, 13);
        reference_.setGeometry(0, 0, 32, 13);
    }
    // The label's pixels against a plain label showing `text` at the same size.
    bool looks_like(const QString& text) {
        reference_.setText(text);
        reference_.resize(label_widget_.size());
        return label_widget_.grab().toImage() == reference_.grab().toImage();
    }
    QWidget parent_;
    vcl::qt::Label label_widget_{&parent_};
    vcl::TLabel& label_ = label_widget_.control();
    QLabel reference_{&parent_};
};

TEST_F(LabelTest, AFirstCaptionShowsAtOnceAndFitsTheLabel) {
    label_.Caption = "X = -2147483648 , Y = 2147483647";
    EXPECT_EQ(label_widget_.text(), "X = -2147483648 , Y = 2147483647");
    EXPECT_GE(label_widget_.width(), label_widget_.sizeHint().width());
    EXPECT_TRUE(looks_like("X = -2147483648 , Y = 2147483647"));
}

TEST_F(LabelTest, ACaptionChangingFasterThanFramesShowsTheLatestAtTheNextFrame) {
    label_.Caption = "X = 0 , Y = 0";
    for (int i = 1; i <= 500; ++i)
        label_.Caption = "X = " + std::to_string(i) + " , Y = 100000";
    EXPECT_EQ(label_.Caption.get(), "X = 500 , Y = 100000") << "read back at once";
    EXPECT_NE(label_widget_.text(), "X = 500 , Y = 100000") << "not laid out once per change";
    EXPECT_TRUE(wait_until([&] { return label_widget_.text() == "X = 500 , Y = 100000"; }));
    EXPECT_GE(label_widget_.width(), label_widget_.sizeHint().width()) << "fits its latest caption";
    EXPECT_TRUE(looks_like("X = 500 , Y = 100000"));

    // Set back to what it shows while a change waits: the wait ends showing it.
    label_.Caption = "A";
    label_.Caption = "B";
    label_.Caption = "A";
    EXPECT_EQ(label_.Caption.get(), "A");
    EXPECT_TRUE(wait_until([&] { return label_widget_.text() == "A"; }));
    EXPECT_EQ(label_.Caption.get(), "A");
}

TEST_F(LabelTest, ACaptionIsSizedAndPaintedAsThePlainLabelSizesAndPaintsIt) {
    // Sized and painted from one layout of its caption rather than the plain
    // label's one at each, to the same size and pixels, in its own size and in
    // a box of the window's; a label set up otherwise is sized and painted as
    // the plain label does it.
    struct Setup {
        const char* what;
        std::function<void(QLabel&)> apply;
    };
    const Setup setups[] = {
        {"as the main window's labels", [](QLabel&) {}},
        {"in the main window's font",
         [](QLabel& l) {
             QFont font(QStringLiteral("Liberation Sans"));
             font.setPixelSize(11);
             l.setFont(font);
         }},
        {"right-aligned", [](QLabel& l) { l.setAlignment(Qt::AlignRight | Qt::AlignBottom); }},
        {"with a margin", [](QLabel& l) { l.setMargin(3); }},
        {"indented", [](QLabel& l) { l.setIndent(5); }},
        {"framed", [](QLabel& l) { l.setFrameStyle(QFrame::Box | QFrame::Plain); }},
        {"wrapping", [](QLabel& l) { l.setWordWrap(true); }},
        {"with a minimum size", [](QLabel& l) { l.setMinimumSize(40, 20); }},
        {"selectable", [](QLabel& l) { l.setTextInteractionFlags(Qt::TextSelectableByMouse); }},
        {"in a font of a fractional size",
         [](QLabel& l) {
             QFont font = l.font();
             font.setPointSizeF(9.3);
             l.setFont(font);
         }},
        {"underlined",
         [](QLabel& l) {
             QFont font = l.font();
             font.setUnderline(true);
             l.setFont(font);
         }},
        {"in a colour of its own",
         [](QLabel& l) {
             QPalette palette = l.palette();
             palette.setColor(QPalette::WindowText, QColor(200, 30, 90));
             l.setPalette(palette);
         }},
        {"disabled", [](QLabel& l) { l.setEnabled(false); }},
        {"top-aligned", [](QLabel& l) { l.setAlignment(Qt::AlignLeft | Qt::AlignTop); }},
        {"centred", [](QLabel& l) { l.setAlignment(Qt::AlignCenter); }},
    };
    const char* captions[] = {
        "",
        "A",
        "Hola",
        "X = 540 , Y = 120",
        "X = -2147483648 , Y = 2147483647",
        "  spaces around  ",
        "tab\there",
        "two\nlines",
        "&not a mnemonic",
        "<b>rich</b> text",
        "\u00D1and\u00FA \u20AC \u00C5ngstr\u00F6m",
        "\u0645\u0631\u062D\u0628\u0627 right to left",
        "a long caption that is wider than any label in the window, and more"};
    for (const Setup& setup : setups) {
        vcl::qt::Label label(&parent_);
        QLabel plain(&parent_);
        setup.apply(label);
        setup.apply(plain);
        for (const char* caption : captions) {
            SCOPED_TRACE(std::string(setup.what) + ": " + caption);
            label.setText(QString::fromUtf8(caption));
            plain.setText(QString::fromUtf8(caption));
            EXPECT_EQ(label.sizeHint(), plain.sizeHint());
            EXPECT_EQ(label.sizeHint(), plain.sizeHint()) << "asked again";
            for (const QSize box : {plain.sizeHint(), QSize(300, 31)}) {
                label.resize(box);
                plain.resize(box);
                EXPECT_EQ(label.grab().toImage(), plain.grab().toImage())
                    << box.width() << "x" << box.height();
            }
        }
    }
}

TEST_F(LabelTest, PositionsOfOneShapeAreSizedAsThePlainLabelSizesEach) {
    // Positions as the readouts show them, digits that kern ("11") among
    // them: each caption sized like the one of its shape before it, and like
    // the plain label sizes it.
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(11);
    vcl::qt::Label label(&parent_);
    QLabel plain(&parent_);
    label.setFont(font);
    plain.setFont(font);
    const int values[] = {0,
                          1,
                          7,
                          11,
                          17,
                          71,
                          111,
                          150,
                          222,
                          540,
                          999,
                          1000,
                          1111,
                          4711,
                          -1,
                          -11,
                          -150,
                          2147483647,
                          -2147483647 - 1};
    for (const int x : values) {
        for (const int y : values) {
            const QString caption = QStringLiteral("X = %1 , Y = %2").arg(x).arg(y);
            SCOPED_TRACE(caption.toStdString());
            label.setText(caption);
            plain.setText(caption);
            EXPECT_EQ(label.sizeHint(), plain.sizeHint());
        }
    }
}

using FormCloseTest = ToolkitTest;

TEST_F(FormCloseTest, ClosingAWindowShowsItsLatestCaptionsFirst) {
    Form<>* form = nullptr;
    Application->CreateForm(&form);
    vcl::TLabel* label = form->Label1;
    auto* shown = static_cast<QLabel*>(widget(label));
    for (int i = 0; i < 100 && shown->text() == QString::fromStdString(label->Caption); ++i)
        label->Caption = "caption " + std::to_string(i);
    ASSERT_NE(shown->text(), QString::fromStdString(label->Caption)) << "waiting for its frame";
    form->Close();
    EXPECT_EQ(shown->text(), QString::fromStdString(label->Caption));
    EXPECT_GE(shown->width(), shown->sizeHint().width());
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
  public:
    PaintCounter(QWidget* widget, int& paints) : paints_(paints) {
        widget->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints_;
        return false;
    }

  private:
    int& paints_;
};

// The memo against a plain text view holding every entry it keeps, scrolled to
// its end: both set up as the main window's memo is.
class MemoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (QPlainTextEdit* view : {static_cast<QPlainTextEdit*>(&memo_), &reference_}) {
            QFont font(QStringLiteral("Liberation Sans"));
            font.setPixelSize(11);
            view->setFont(font);
            view->setGeometry(8, 8, 377, 105);
            view->setEnabled(false);
            view->setReadOnly(true);
            view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            view->show();
        }
    }
    bool looks_like_every_entry_scrolled_to_the_end() {
        QString text;
        for (int i = 0; i < lines_.Count(); ++i) {
            if (i > 0)
                text += QLatin1Char('\n');
            text += QString::fromStdString(lines_[i]).replace(QLatin1String("\r\n"),
                                                              QLatin1String("\n"));
        }
        reference_.setPlainText(text);
        reference_.moveCursor(QTextCursor::End);
        const QImage shown = memo_.grab().toImage();
        const QImage expected = reference_.grab().toImage();
        if (shown != expected) {
            static int failures = 0;
            const std::string name = testing::TempDir() + "memo-" + std::to_string(++failures);
            shown.save(QString::fromStdString(name + "-shown.png"));
            expected.save(QString::fromStdString(name + "-expected.png"));
        }
        return shown == expected;
    }
    static std::string report_line(int i) {
        return "Mouse: num " + std::to_string(i % 3) +
               ", usFlags=0000 ulButtons=0000 usButtonFlags=0000 usButtonData=0000 "
               "ulRawButtons=0000 lLastX=" +
               std::to_string(i) + " lLastY=0000 ulExtraInformation=0000\r\n";
    }

    vcl::qt::Memo memo_;
    QPlainTextEdit reference_;
    vcl::TStrings& lines_ = *memo_.control().Lines;
};

TEST_F(MemoTest, ABurstOfEntriesIsPaintedOnceAtTheNextFrame) {
    int paints = 0;
    PaintCounter counter(memo_.viewport(), paints);
    ASSERT_TRUE(wait_until([&] { return memo_.isVisible() && !memo_.visibleRegion().isEmpty(); }));
    EXPECT_FALSE(wait_until([&] { return paints > 1; }, std::chrono::milliseconds(100)))
        << "settled once shown";
    paints = 0;
    for (int i = 0; i < 1000; ++i)
        lines_.Add(report_line(i));
    EXPECT_EQ(lines_.Count(), 1000);
    EXPECT_EQ(lines_[999], report_line(999));
    EXPECT_EQ(paints, 0) << "not painted once per entry";
    EXPECT_TRUE(wait_until([&] { return paints > 0; }));
    EXPECT_FALSE(wait_until([&] { return paints > 1; }, std::chrono::milliseconds(100)))
        << "once for the burst, then nothing while nothing changes";
    EXPECT_TRUE(looks_like_every_entry_scrolled_to_the_end());
}

TEST_F(MemoTest, ItLooksLikeAViewOfEveryEntryScrolledToTheEnd) {
    // A listing that fits, then report lines that wrap and scroll it away.
    lines_.Add("0 65537  Mouse");
    lines_.Add("Amouse[0] = 65537");
    EXPECT_TRUE(looks_like_every_entry_scrolled_to_the_end()) << "fewer lines than fit";
    lines_.Add("Mouse: num 2\r\n");
    lines_.Add("Mouse: num 0\r\n");
    EXPECT_TRUE(looks_like_every_entry_scrolled_to_the_end()) << "an empty line after each";
    for (int i = 0; i < 2; ++i)
        lines_.Add(report_line(i));
    EXPECT_TRUE(looks_like_every_entry_scrolled_to_the_end()) << "just past the bottom";
    for (int i = 2; i < 500; ++i)
        lines_.Add(report_line(i));
    EXPECT_TRUE(looks_like_every_entry_scrolled_to_the_end()) << "long scrolled";
    lines_.Add("a line\rof three\nlines");
    EXPECT_TRUE(looks_like_every_entry_scrolled_to_the_end()) << "CR and LF each break";

    memo_.resize(377, 300);
    reference_.resize(377, 300);
    EXPECT_TRUE(looks_like_every_entry_scrolled_to_the_end()) << "taller";
    memo_.resize(200, 50);
    reference_.resize(200, 50);
    EXPECT_TRUE(looks_like_every_entry_scrolled_to_the_end()) << "narrower and shorter";
    QPalette textured = memo_.palette();
    textured.setBrush(QPalette::Base, QBrush(Qt::darkCyan, Qt::Dense4Pattern));
    memo_.setPalette(textured);
    reference_.setPalette(textured);
    EXPECT_TRUE(looks_like_every_entry_scrolled_to_the_end()) << "on a textured background";
    lines_.Clear();
    EXPECT_TRUE(looks_like_every_entry_scrolled_to_the_end()) << "emptied";
}

// Paints the region each paint event of a widget covers, in order.
class PaintAreas : public QObject {
  public:
    explicit PaintAreas(QWidget* widget) { widget->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            areas.push_back(static_cast<QPaintEvent*>(event)->rect());
            regions.push_back(static_cast<QPaintEvent*>(event)->region());
        }
        return false;
    }
    std::vector<QRect> areas;
    std::vector<QRegion> regions;
};

TEST_F(MemoTest, FrameByFrameTheScreenShowsWhatAFreshPaintShowsPaintingOnlyTheNewLines) {
    ASSERT_TRUE(wait_until([&] { return memo_.isVisible() && !memo_.visibleRegion().isEmpty(); }));
    // What the window system shows: the memo's pixels as the frames left them.
    const auto on_screen = [&] {
        return QGuiApplication::primaryScreen()->grabWindow(memo_.winId()).toImage();
    };
    const auto settled = [&] {
        return wait_until([&] {
            const QImage shown = on_screen();
            return !shown.isNull() && shown == memo_.grab().toImage();
        });
    };
    PaintAreas painted(memo_.viewport());
    const int view_height = memo_.viewport()->height();
    int n = 0;
    for (int frame = 0; frame < 40; ++frame) {
        // One or two entries a frame (less than the view holds), some wrapping
        // over two rows, some breaking into three lines.
        for (int i = 0; i <= frame % 2; ++i) {
            if (frame % 7 == 3) {
                lines_.Add("a line\rof three\nlines");
            } else if (frame % 10 == 4) {
                lines_.Add(report_line(n++));
            } else {
                lines_.Add("Mouse: num " + std::to_string(n++) + "\r\n");
            }
        }
        painted.areas.clear();
        lines_.flush_view();
        ASSERT_TRUE(wait_until([&] { return !painted.areas.empty(); })) << "frame " << frame;
        const std::vector<QRect> areas = painted.areas;
        ASSERT_TRUE(settled()) << "frame " << frame;
        if (frame >= 10) {
            // Full by now: the old lines moved up on screen, only new ones were painted.
            for (const QRect& area : areas)
                EXPECT_LT(area.height(), view_height) << "frame " << frame;
        }
    }
    EXPECT_TRUE(looks_like_every_entry_scrolled_to_the_end());

    // Hidden, then shown again after entries came: the whole view is right.
    memo_.hide();
    for (int i = 0; i < 5; ++i)
        lines_.Add(report_line(n++));
    lines_.flush_view();
    memo_.show();
    ASSERT_TRUE(wait_until([&] { return memo_.isVisible(); }));
    EXPECT_TRUE(settled());
    lines_.Add(report_line(n++));
    lines_.flush_view();
    EXPECT_TRUE(settled());
    EXPECT_TRUE(looks_like_every_entry_scrolled_to_the_end());
}

// What the memo keeps past its cap is the facade's rule (facade_test); here,
// that the view follows what it keeps.
TEST_F(MemoTest, PastTheCapAndAfterClearItLooksLikeAViewOfWhatItKeeps) {
    for (int i = 0; i < 2 * vcl::TStrings::capacity + 7; ++i)
        lines_.Add(report_line(i));
    EXPECT_TRUE(looks_like_every_entry_scrolled_to_the_end());

    lines_.Clear();
    EXPECT_TRUE(looks_like_every_entry_scrolled_to_the_end()) << "empty";
    lines_.Add("again");
    EXPECT_TRUE(looks_like_every_entry_scrolled_to_the_end());
}

class CanvasTest : public ::testing::Test {
  protected:
    void SetUp() override { window_->resize(120, 80); }

    vcl::TForm form_{nullptr};
    QWidget* window_ = widget(&form_);
    vcl::TCanvas& canvas_ = *form_.Canvas;
};

TEST_F(CanvasTest, AFreshCanvasIsTheFormsBackground) {
    vcl::qt::ensure_size(canvas_, window_->size());
    EXPECT_EQ(vcl::qt::image(canvas_).size(), QSize(120, 80));
    EXPECT_EQ(vcl::qt::image(canvas_).format(), QImage::Format_RGB32);
    EXPECT_EQ(canvas_.Pixel(60, 40), vcl::qt::from_qcolor(vcl::qt::to_qcolor(vcl::clBtnFace)));
    EXPECT_EQ(canvas_.Pixel(60, 40),
              vcl::qt::from_qcolor(window_->palette().color(QPalette::Window)));
    EXPECT_EQ(canvas_.Pixel(-1, 0), vcl::clBlack);
}

TEST_F(CanvasTest, ColoursLandAsBlueGreenRed) {
    const struct {
        vcl::TColor colour;
        QColor rgb;
    } rows[] = {{vcl::clRed, QColor(255, 0, 0)},
                {vcl::clLime, QColor(0, 255, 0)},
                {vcl::clGreen, QColor(0, 128, 0)},
                {vcl::clBlue, QColor(0, 0, 255)},
                {0x123456, QColor(0x56, 0x34, 0x12)}};
    int y = 10;
    for (const auto& row : rows) {
        canvas_.Pen->Color = row.colour;
        canvas_.MoveTo(10, y);
        canvas_.LineTo(50, y);
        EXPECT_EQ(QColor(vcl::qt::image(canvas_).pixel(20, y)), row.rgb) << std::hex << row.colour;
        EXPECT_EQ(canvas_.Pixel(20, y), row.colour);
        EXPECT_EQ(vcl::qt::to_qcolor(row.colour), row.rgb);
        y += 5;
    }
}

// Qt renders a figure, its outline over its fill, and combines it with the
// surface once: an outline pixel in exclusive or is the pen's colour combined
// once. (GDI combines the fill there too; facade_test leaves that to the backend.)
TEST_F(CanvasTest, AnOutlineInExclusiveOrCombinesThePenAloneWithThePixelUnder) {
    vcl::qt::ensure_size(canvas_, window_->size());
    const vcl::TColor background = canvas_.Pixel(0, 0);
    canvas_.Pen->Mode = vcl::pmXor;
    canvas_.Pen->Color = vcl::clLime;
    canvas_.Brush->Color = 0x00A0B0;
    canvas_.Ellipse(20, 20, 40, 40);
    EXPECT_EQ(canvas_.Pixel(30, 20), background ^ vcl::clLime) << "outline";
    EXPECT_EQ(canvas_.Pixel(20, 30), background ^ vcl::clLime) << "outline";
}

// The clipping both canvas backends draw far lines through.
TEST(ClipCopy, KeepsWhatLiesOnBothSurfacesWhereverTheRectanglesAre) {
    vcl::BlockCopy b{};
    ASSERT_TRUE(
        vcl::clip_copy(vcl::Rect(10, 10, 50, 30), 100, 100, vcl::Rect(-5, 0, 60, 100), 40, 40, b));
    // 40 wide and 20 high at most; the 5 source columns before 0 cut from both.
    EXPECT_EQ((std::array<int, 6>{b.from_x, b.from_y, b.to_x, b.to_y, b.width, b.height}),
              (std::array<int, 6>{0, 0, 15, 10, 35, 20}));
    ASSERT_TRUE(
        vcl::clip_copy(vcl::Rect(90, 95, 200, 200), 100, 100, vcl::Rect(0, 0, 50, 50), 40, 40, b));
    EXPECT_EQ((std::array<int, 6>{b.from_x, b.from_y, b.to_x, b.to_y, b.width, b.height}),
              (std::array<int, 6>{0, 0, 90, 95, 10, 5}));
    EXPECT_FALSE(vcl::clip_copy(vcl::Rect(INT_MIN, INT_MIN, INT_MAX, INT_MAX), 100, 100,
                                vcl::Rect(INT_MAX - 1, 0, INT_MAX, 10), 40, 40, b));
    EXPECT_FALSE(
        vcl::clip_copy(vcl::Rect(0, 0, 10, 10), 100, 100, vcl::Rect(5, 5, 5, 10), 40, 40, b));
    ASSERT_TRUE(vcl::clip_copy(vcl::Rect(INT_MIN, INT_MIN, INT_MAX, INT_MAX), 100, 100,
                               vcl::Rect(INT_MIN, INT_MIN, INT_MAX, INT_MAX), 40, 40, b));
    EXPECT_EQ((std::array<int, 6>{b.from_x, b.from_y, b.to_x, b.to_y, b.width, b.height}),
              (std::array<int, 6>{0, 0, 0, 0, 40, 40}));
}

TEST(DirtyAreas, KeepsChangesApartUnlessTheyMeetAndStayFew) {
    using vcl::Rect;
    using Rects = std::vector<vcl::TRect>;
    const struct {
        const char* what;
        Rects added;
        Rects kept;
    } rows[] = {
        {"apart",
         {Rect(0, 0, 10, 10), Rect(50, 50, 60, 60)},
         {Rect(0, 0, 10, 10), Rect(50, 50, 60, 60)}},
        {"touching", {Rect(0, 0, 10, 10), Rect(10, 0, 20, 5)}, {Rect(0, 0, 20, 10)}},
        {"overlapping", {Rect(0, 0, 10, 10), Rect(5, 5, 15, 15)}, {Rect(0, 0, 15, 15)}},
        {"inside", {Rect(0, 0, 10, 10), Rect(2, 2, 4, 4)}, {Rect(0, 0, 10, 10)}},
        {"a bridge joins all three",
         {Rect(0, 0, 10, 10), Rect(50, 0, 60, 10), Rect(8, 2, 52, 4)},
         {Rect(0, 0, 60, 10)}},
        {"empty",
         {Rect(0, 0, 10, 10), Rect(30, 30, 30, 40), Rect(40, 40, 30, 50)},
         {Rect(0, 0, 10, 10)}},
    };
    for (const auto& row : rows) {
        vcl::DirtyAreas dirty;
        for (const vcl::TRect& r : row.added)
            dirty.add(r);
        Rects kept = dirty.take();
        std::sort(kept.begin(), kept.end(), [](const vcl::TRect& a, const vcl::TRect& b) {
            return std::tie(a.Left, a.Top) < std::tie(b.Left, b.Top);
        });
        EXPECT_EQ(kept, row.kept) << row.what;
        EXPECT_TRUE(dirty.empty()) << row.what;
    }

    // Past the cap, a change joins the one it grows least, and every changed
    // pixel stays covered.
    vcl::DirtyAreas dirty;
    Rects added;
    for (int i = 0; i <= static_cast<int>(vcl::DirtyAreas::max_areas); ++i)
        added.push_back(Rect(i * 20, i % 2 * 100, i * 20 + 5, i % 2 * 100 + 5));
    for (const vcl::TRect& r : added)
        dirty.add(r);
    EXPECT_TRUE(dirty.meets(Rect(322, 2, 323, 3)));
    EXPECT_FALSE(dirty.meets(Rect(322, 102, 323, 103)));
    const Rects kept = dirty.take();
    EXPECT_EQ(kept.size(), vcl::DirtyAreas::max_areas);
    for (const vcl::TRect& r : added) {
        EXPECT_TRUE(std::any_of(kept.begin(), kept.end(), [&](const vcl::TRect& k) {
            return k.Left <= r.Left && k.Top <= r.Top && k.Right >= r.Right && k.Bottom >= r.Bottom;
        })) << r.Left;
    }
}

TEST(ClipSegment, CutsASegmentAtTheBoxAndLeavesEndsInsideExactlyAsTheyWere) {
    const vcl::Box box{0, 0, 10, 10};
    struct Case {
        const char* what;
        vcl::Segment segment;
        bool kept;
        vcl::Segment clipped;
    };
    const Case cases[] = {
        {"inside", {1.25, 2.5, 8.75, 9.5}, true, {1.25, 2.5, 8.75, 9.5}},
        {"a point inside", {3, 3, 3, 3}, true, {3, 3, 3, 3}},
        {"across", {-10, 5, 20, 5}, true, {0, 5, 10, 5}},
        {"backwards across", {20, 5, -10, 5}, true, {10, 5, 0, 5}},
        {"one end out", {5.1, 5.3, 5.1, 30}, true, {5.1, 5.3, 5.1, 10}},
        {"diagonal from afar", {-1e9, -1e9, 1e9, 1e9}, true, {0, 0, 10, 10}},
        {"beside the box", {-5, -1, 20, -1}, false, {}},
        {"past a corner", {-5, 4, 4, -5}, false, {}},
        {"a point outside", {11, 11, 11, 11}, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vcl::Segment segment = c.segment;
        ASSERT_EQ(vcl::clip_segment(segment, box), c.kept);
        if (!c.kept)
            continue;
        EXPECT_NEAR(segment.x1, c.clipped.x1, 1e-6);
        EXPECT_NEAR(segment.y1, c.clipped.y1, 1e-6);
        EXPECT_NEAR(segment.x2, c.clipped.x2, 1e-6);
        EXPECT_NEAR(segment.y2, c.clipped.y2, 1e-6);
        // An end that was inside comes back bit for bit.
        const auto inside = [](double x, double y) {
            return x >= 0 && x <= 10 && y >= 0 && y <= 10;
        };
        if (inside(c.segment.x1, c.segment.y1)) {
            EXPECT_EQ(segment.x1, c.segment.x1);
            EXPECT_EQ(segment.y1, c.segment.y1);
        }
        if (inside(c.segment.x2, c.segment.y2)) {
            EXPECT_EQ(segment.x2, c.segment.x2);
            EXPECT_EQ(segment.y2, c.segment.y2);
        }
    }
}

TEST_F(CanvasTest, TheSurfaceGrowsWithTheFormAndKeepsItsDrawing) {
    canvas_.Pen->Color = vcl::clRed;
    canvas_.MoveTo(5, 5);
    canvas_.LineTo(6, 5);
    form_.Show();
    window_->resize(300, 200);
    EXPECT_TRUE(wait_until([&] { return vcl::qt::image(canvas_).size() == QSize(300, 200); }));
    EXPECT_EQ(canvas_.Pixel(5, 5), vcl::clRed);
    EXPECT_EQ(canvas_.Pixel(250, 150), canvas_.Pixel(100, 5));
}

// The toolkit's painting threads: a paint that splits its copy across them
// wakes them at every frame.
int painting_threads() {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        count += name == "Thread (pooled)";
    }
    return count;
}

TEST_F(CanvasTest, AFrameRepaintsWhatChangedNotTheBoxAroundIt) {
    window_->resize(120, 240);
    {
        const PaintAreas shown(window_);
        form_.Show();
        ASSERT_TRUE(wait_until([&] { return !shown.regions.empty(); }));
    }
    const PaintAreas painted(window_);
    const int threads = painting_threads();
    // A table's cell at the top left, a chart's newest column down the right,
    // as tall as a plot's panel.
    canvas_.Brush->Color = vcl::clRed;
    canvas_.FillRect(vcl::Rect(2, 2, 12, 8));
    canvas_.Brush->Color = vcl::clBlue;
    canvas_.FillRect(vcl::Rect(100, 60, 104, 230));
    // One repaint holds both, and not the box around them (a late expose of
    // the whole window may come besides).
    const auto just_the_changes = [](const QRegion& region) {
        return region.contains(QPoint(5, 5)) && region.contains(QPoint(102, 70)) &&
               !region.contains(QPoint(60, 40));
    };
    ASSERT_TRUE(wait_until([&] {
        return std::any_of(painted.regions.begin(), painted.regions.end(), just_the_changes);
    }));
    // What the window shows is the canvas, where it repainted and elsewhere.
    ASSERT_TRUE(wait_until([&] {
        const QImage shown =
            QGuiApplication::primaryScreen()->grabWindow(window_->winId()).toImage();
        return QColor(shown.pixel(5, 5)) == QColor(255, 0, 0) &&
               QColor(shown.pixel(102, 70)) == QColor(0, 0, 255) &&
               QColor(shown.pixel(102, 229)) == QColor(0, 0, 255) &&
               QColor(shown.pixel(60, 40)) == window_->palette().color(QPalette::Window);
    }));
    EXPECT_EQ(painting_threads(), threads) << "the column copied in stripes on other threads";
}

TEST_F(CanvasTest, ATextsWidthFollowsTheFormsFont) {
    const int plain = canvas_.TextWidth("88888");
    QFont larger = window_->font();
    larger.setPixelSize(QFontInfo(larger).pixelSize() * 2);
    const QFont before = window_->font();
    window_->setFont(larger);
    EXPECT_GT(canvas_.TextWidth("88888"), plain) << "a width kept from the other font";
    window_->setFont(before);
    EXPECT_EQ(canvas_.TextWidth("88888"), plain);
    EXPECT_LT(canvas_.TextWidth("8"), plain);
}

TEST_F(CanvasTest, TheFormPaintsItsCanvasUnderItsControls) {
    auto* label = new vcl::qt::Label(window_);
    label->setGeometry(0, 0, 60, 20);
    label->setText("over");
    canvas_.Pen->Color = vcl::clRed;
    canvas_.MoveTo(0, 50);
    canvas_.LineTo(120, 50);
    const QImage shown = window_->grab().toImage();
    EXPECT_EQ(QColor(shown.pixel(90, 50)), QColor(255, 0, 0));
}

}  // namespace
