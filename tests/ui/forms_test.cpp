// The two windows as the application creates them from their layouts, and the
// program's entry around them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QTimer>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/winmain.h"
#include "platform/vcl/qt/native.h"
#include "platform/vcl/vcl.h"
#include "tests/support/test_support.h"
#include "ui/frmDatos.h"
#include "ui/principal.h"

namespace {

using testsupport::ends_before_deadline;
using testsupport::wait_until;
using vcl::Application;
using vcl::qt::widget;

enum class Kind { label, button, edit, memo };

struct ControlRow {
    const char* name;
    Kind kind;
    QRect geometry;
    const char* text;
    std::optional<vcl::TColor> colour;  // labels with a colour of their own
    bool enabled;
    bool read_only;
    Qt::ScrollBarPolicy scroll_bars;
    int tab_order;  // -1: not a tab stop
};

constexpr auto no_bars = Qt::ScrollBarAlwaysOff;
constexpr auto both_bars = Qt::ScrollBarAlwaysOn;

// The stored layouts, in the order their controls are created.
const std::vector<ControlRow> main_window_controls = {
    {"Label1", Kind::label, {104, 328, 32, 13}, "Label1", {}, true, false, no_bars, -1},
    {"Label2", Kind::label, {40, 248, 32, 13}, "Label2", vcl::clFuchsia, true, false, no_bars, -1},
    {"Label3", Kind::label, {40, 264, 32, 13}, "Label3", vcl::clBlue, true, false, no_bars, -1},
    {"Label4", Kind::label, {40, 280, 32, 13}, "Label4", vcl::clGreen, true, false, no_bars, -1},
    {"Label5", Kind::label, {40, 296, 32, 13}, "Label5", vcl::clRed, true, false, no_bars, -1},
    {"Label6", Kind::label, {416, 304, 32, 13}, "Label6", {}, true, false, no_bars, -1},
    {"btnCopy", Kind::button, {272, 296, 75, 25}, "Copy", {}, true, false, no_bars, 0},
    {"Edit1", Kind::edit, {464, 88, 121, 21}, "Edit1", {}, false, false, no_bars, 1},
    {"Memo1", Kind::memo, {8, 8, 377, 105}, "", {}, false, true, no_bars, 2},
};

const std::vector<ControlRow> data_window_controls = {
    {"Memo1", Kind::memo, {0, 0, 561, 161}, "", {}, true, false, both_bars, 0},
    {"btnCerrar", Kind::button, {240, 168, 75, 25}, "Cerrar", {}, true, false, no_bars, 1},
};

// Each case runs in a scratch folder (the main window writes its log there),
// with the presenter collecting what would be shown to the user.
class EntryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_dir_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
        Application->destroy_forms();
        previous_ = Application->set_exception_presenter(
            [this](const vcl::String& message) { shown_.push_back(message); });
    }
    void TearDown() override {
        Application->destroy_forms();
        Form1 = nullptr;
        Form2 = nullptr;
        log_file.close();
        Application->set_exception_presenter(previous_);
        std::filesystem::current_path(previous_dir_);
    }

    testsupport::TempDir dir_;
    std::filesystem::path previous_dir_;
    std::vector<vcl::String> shown_;
    vcl::TApplication::Presenter previous_;
};

class FormsTest : public EntryTest {
  protected:
    void SetUp() override {
        EntryTest::SetUp();
        Application->Initialize();
        Application->CreateForm(&Form1);
        Application->CreateForm(&Form2);
    }
};

std::string text_of(QWidget* widget) {
    if (auto* label = qobject_cast<vcl::qt::Label*>(widget))
        return label->control().Caption;
    if (auto* button = qobject_cast<vcl::qt::Button*>(widget))
        return button->control().Caption;
    if (auto* edit = qobject_cast<vcl::qt::Edit*>(widget))
        return edit->control().Text;
    if (auto* memo = qobject_cast<vcl::qt::Memo*>(widget))
        return memo->toPlainText().toStdString();
    return "?";
}

bool is_kind(QWidget* widget, Kind kind) {
    switch (kind) {
        case Kind::label:
            return qobject_cast<vcl::qt::Label*>(widget) != nullptr;
        case Kind::button:
            return qobject_cast<vcl::qt::Button*>(widget) != nullptr;
        case Kind::edit:
            return qobject_cast<vcl::qt::Edit*>(widget) != nullptr;
        case Kind::memo:
            return qobject_cast<vcl::qt::Memo*>(widget) != nullptr;
    }
    return false;
}

void expect_layout(vcl::TForm* form, const std::vector<ControlRow>& rows) {
    std::vector<std::string> created;
    for (QObject* child : widget(form)->children()) {
        if (child->isWidgetType())
            created.push_back(child->objectName().toStdString());
    }
    std::vector<std::string> expected_order;
    for (const ControlRow& row : rows)
        expected_order.push_back(row.name);
    EXPECT_EQ(created, expected_order) << "controls in creation order";

    for (const ControlRow& row : rows) {
        SCOPED_TRACE(row.name);
        auto* widget = vcl::qt::widget(form)->findChild<QWidget*>(row.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_TRUE(is_kind(widget, row.kind));
        EXPECT_EQ(widget->geometry(), row.geometry);
        EXPECT_EQ(text_of(widget), row.text);
        EXPECT_EQ(widget->isEnabled(), row.enabled);
        if (row.kind == Kind::label || row.kind == Kind::memo || !row.enabled) {
            EXPECT_EQ(widget->focusPolicy(), Qt::NoFocus) << "cannot take the focus";
        }
        EXPECT_TRUE(widget->isVisibleTo(vcl::qt::widget(form)));
        const QColor text_colour = widget->palette().color(QPalette::Active, QPalette::WindowText);
        if (row.colour) {
            EXPECT_EQ(text_colour, vcl::qt::to_qcolor(*row.colour));
        } else {
            EXPECT_EQ(text_colour, vcl::qt::to_qcolor(vcl::clWindowText));
        }
        if (auto* memo = qobject_cast<vcl::qt::Memo*>(widget)) {
            EXPECT_EQ(memo->isReadOnly(), row.read_only);
            EXPECT_EQ(memo->verticalScrollBarPolicy(), row.scroll_bars);
            EXPECT_EQ(memo->horizontalScrollBarPolicy(), row.scroll_bars);
        }
        EXPECT_EQ(widget->font().family(), "MS Sans Serif");
        EXPECT_EQ(widget->font().pixelSize(), 11);
    }

    // Tab stops follow their order along the focus chain.
    std::vector<std::string> chain;
    for (QWidget* w = widget(form)->nextInFocusChain(); w != widget(form);
         w = w->nextInFocusChain()) {
        for (const ControlRow& row : rows) {
            if (row.tab_order >= 0 && w->objectName() == row.name)
                chain.push_back(row.name);
        }
    }
    std::vector<std::string> tab_order(chain.size());
    for (const ControlRow& row : rows) {
        if (row.tab_order >= 0)
            tab_order.at(static_cast<std::size_t>(row.tab_order)) = row.name;
    }
    EXPECT_EQ(chain, tab_order);
}

void expect_window(vcl::TForm* form, const char* name, QSize client) {
    const QWidget* window = widget(form);
    EXPECT_EQ(window->objectName(), name);
    EXPECT_EQ(form->Caption.get(), name);
    EXPECT_EQ(window->pos(), QPoint(192, 114));
    EXPECT_EQ(window->size(), client);
    EXPECT_EQ(window->palette().color(QPalette::Window), vcl::qt::to_qcolor(vcl::clBtnFace));
    EXPECT_EQ(window->palette().color(QPalette::WindowText), vcl::qt::to_qcolor(vcl::clWindowText));
    EXPECT_EQ(window->font().family(), "MS Sans Serif");
    EXPECT_EQ(window->font().pixelSize(), 11);
    EXPECT_EQ(QFontInfo(window->font()).family(), "Liberation Sans");
}

TEST_F(FormsTest, TheMainWindowIsBuiltFromItsLayout) {
    expect_window(Form1, "Form1", {696, 376});
    expect_layout(Form1, main_window_controls);
    EXPECT_EQ(widget(Form1->Label1), widget(Form1)->findChild<QWidget*>("Label1"));
    EXPECT_EQ(widget(Form1->btnCopy), widget(Form1)->findChild<QWidget*>("btnCopy"));
    EXPECT_EQ(widget(Form1->Memo1), widget(Form1)->findChild<QWidget*>("Memo1"));
    EXPECT_TRUE(Form1->btnCopy->Cancel);
    EXPECT_EQ(Application->MainForm(), Form1);
}

TEST_F(FormsTest, TheDataWindowIsBuiltFromItsLayoutAndStaysHidden) {
    expect_window(Form2, "Form2", {569, 244});
    expect_layout(Form2, data_window_controls);
    EXPECT_EQ(widget(Form2->btnCerrar), widget(Form2)->findChild<QWidget*>("btnCerrar"));
    EXPECT_FALSE(Form2->btnCerrar->Cancel);
    EXPECT_FALSE(Form2->Visible.get());
}

TEST_F(FormsTest, EventsAreBoundToTheNamedHandlers) {
    const std::vector<std::pair<const char*, const char*>> main_window = {
        {"OnActivate", "FormActivate"},
        {"OnClose", "FormClose"},
        {"OnCreate", "FormCreate"},
        {"OnMouseMove", "FormMouseMove"}};
    for (const auto& [event, handler] : main_window) {
        EXPECT_EQ(widget(Form1)->property(event).toString(), handler) << event;
    }
    EXPECT_TRUE(Form1->OnActivate && Form1->OnClose && Form1->OnCreate && Form1->OnMouseMove);
    EXPECT_EQ(widget(Form1->btnCopy)->property("OnClick").toString(), "btnCopyClick");
    EXPECT_TRUE(Form1->btnCopy->OnClick);

    EXPECT_EQ(widget(Form2)->property("OnActivate").toString(), "FormActivate");
    EXPECT_EQ(widget(Form2->btnCerrar)->property("OnClick").toString(), "btnCerrarClick");
    EXPECT_TRUE(Form2->OnActivate && Form2->btnCerrar->OnClick);
    EXPECT_FALSE(Form2->OnCreate || Form2->OnClose || Form2->OnMouseMove);
}

TEST_F(FormsTest, OnlyTheCopyButtonCanTakeTheFocus) {
    for (QWidget* child : widget(Form1)->findChildren<QWidget*>()) {
        const bool focusable = child->isEnabled() && (child->focusPolicy() & Qt::TabFocus);
        EXPECT_EQ(focusable, child == widget(Form1->btnCopy)) << child->objectName().toStdString();
    }
    Form1->Show();
    ASSERT_TRUE(wait_until([] { return vcl::TForm::active() == Form1; }));
    EXPECT_TRUE(wait_until([] { return QApplication::focusWidget() == widget(Form1->btnCopy); }));
}

TEST_F(FormsTest, EscDoesWhatAClickOnCopyDoes) {
    int presses = 0;
    ASSERT_TRUE(Form1->btnCopy->OnClick) << "bound by the layout";
    // Count the presses only: the bound handler disables the button.
    Form1->btnCopy->OnClick = [&](vcl::TObject*) { ++presses; };
    Form1->Show();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(widget(Form1), &escape);
    EXPECT_EQ(presses, 1);
    Form1->btnCopy->Click();
    EXPECT_EQ(presses, 2);
    Form1->btnCopy->Enabled = false;
    QCoreApplication::sendEvent(widget(Form1), &escape);
    EXPECT_EQ(presses, 2);
}

TEST_F(FormsTest, TheDataWindowShowsWhenActivatedAndItsButtonHidesIt) {
    Form2->FormActivate(Form2);
    EXPECT_TRUE(Form2->Visible.get());
    EXPECT_TRUE(wait_until([] { return vcl::TForm::active() == Form2; }));
    Form2->btnCerrar->Click();
    EXPECT_FALSE(Form2->Visible.get());
    EXPECT_EQ(Application->forms().size(), 2u) << "hidden, not destroyed";
}

TEST_F(FormsTest, RunShowsOnlyTheMainWindowAndEndsWhenItCloses) {
    int closes = 0;
    const vcl::TCloseEvent bound = Form1->OnClose;
    Form1->OnClose = [&](vcl::TObject* sender, vcl::TCloseAction& action) {
        ++closes;
        bound(sender, action);
    };
    bool main_active = false;
    bool data_visible = true;
    QTimer::singleShot(0, [&] {
        main_active = wait_until([] { return vcl::TForm::active() == Form1; });
        data_visible = widget(Form2)->isVisible();
        Form1->Close();
    });
    EXPECT_TRUE(ends_before_deadline([] { Application->Run(); }))
        << "Run ended by the deadline, not by the close";
    EXPECT_TRUE(main_active);
    EXPECT_FALSE(data_visible);
    EXPECT_EQ(closes, 1);
}

TEST_F(EntryTest, WinMainCreatesBothWindowsRunsAndReturnsZero) {
    bool data_visible = true;
    QTimer::singleShot(0, [&] {
        ASSERT_TRUE(wait_until([] { return vcl::TForm::active() == Form1; }));
        data_visible = widget(Form2)->isVisible();
        Form1->Close();
    });
    int exit_code = -1;
    EXPECT_TRUE(ends_before_deadline([&] { exit_code = WinMain(); }));
    EXPECT_EQ(exit_code, 0);
    ASSERT_NE(Form1, nullptr);
    ASSERT_NE(Form2, nullptr);
    EXPECT_EQ(Application->forms(), (std::vector<vcl::TForm*>{Form1, Form2}));
    EXPECT_EQ(Application->MainForm(), Form1);
    EXPECT_FALSE(data_visible);
    EXPECT_TRUE(shown_.empty());
}

// A window whose creation handler fails in a chosen way.
void failing_layout(QWidget* form) {
    form->setObjectName("FailingForm");
    form->setProperty("OnCreate", "FormCreate");
}

class FailingForm : public vcl::TForm {
  public:
    using vcl::TForm::TForm;
    static inline std::function<void()> failure;
    void FormCreate(vcl::TObject*) { failure(); }
    static const vcl::FormClass& form_class() {
        vcl::qt::register_layout("FailingForm", failing_layout);
        static const vcl::FormClass form_class =
            vcl::FormClass::of<FailingForm>("FailingForm")
                .handler("FormCreate", &FailingForm::FormCreate);
        return form_class;
    }
};

TEST_F(EntryTest, WhatEscapesCreationIsShownAndTheEntryReturnsZero) {
    const struct {
        const char* what;
        std::function<void()> failure;
        const char* shown;
    } cases[] = {
        {"toolkit exception", [] { throw vcl::Exception("raw input is gone"); },
         "raw input is gone"},
        {"standard exception", [] { throw std::runtime_error("bad_alloc"); }, ""},
        {"anything else", [] { throw 7; }, ""},
    };
    for (const auto& c : cases) {
        shown_.clear();
        FailingForm::failure = c.failure;
        FailingForm* form = nullptr;
        bool ran_on = false;
        const int result = run_guarded([&] {
            Application->CreateForm(&form);
            ran_on = true;
        });
        EXPECT_EQ(result, 0) << c.what;
        EXPECT_FALSE(ran_on) << c.what;
        EXPECT_EQ(shown_, std::vector<vcl::String>{c.shown}) << c.what;
    }
}

}  // namespace
