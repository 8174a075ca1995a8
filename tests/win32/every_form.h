// The test forms of the Win32 backend: forms streamed from the program's and
// the tests' layouts, which record what reaches their handlers.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/vcl/vcl.h"
#include "platform/vcl/win32/native.h"
#include "tests/win32/pump_until.h"

// A message the form's map turns into an exception, to see what the loop does with it.
constexpr UINT WM_THROW = WM_APP + 1;
// A message the form posts to itself again while `streaming` holds: a queue
// that never runs dry, as under a flood of raw input.
constexpr UINT WM_STREAM = WM_APP + 2;

// A form that records the events reaching its handlers: the form's own, bound
// under the names every layout here gives them, and its buttons' clicks.
class RecordingForm : public vcl::TForm {
  public:
    std::vector<std::string> calls;
    vcl::TCloseAction close_action = vcl::caHide;

    explicit RecordingForm(vcl::TComponent* owner) : vcl::TForm(owner) {}

    void FormCreate(vcl::TObject*) { calls.push_back("FormCreate"); }
    void FormActivate(vcl::TObject*) { calls.push_back("FormActivate"); }
    void FormClose(vcl::TObject*, vcl::TCloseAction& action) {
        calls.push_back("FormClose");
        action = close_action;
    }
    void FormMouseMove(vcl::TObject*, vcl::TShiftState shift, int x, int y) {
        calls.push_back("FormMouseMove " + std::to_string(shift) + " " + std::to_string(x) + " " +
                        std::to_string(y));
    }
    // Any button's OnClick.
    void ButtonClick(vcl::TObject*) { calls.push_back("ButtonClick"); }

  protected:
    // The class of the form F streamed from `layout`: its form events bound,
    // and ButtonClick under each name in `clicks`.
    template <class F>
    static vcl::FormClass form_class_of(const char* layout,
                                        std::initializer_list<const char*> clicks) {
        vcl::FormClass form_class = vcl::FormClass::of<F>(layout)
                                        .handler("FormCreate", &F::FormCreate)
                                        .handler("FormActivate", &F::FormActivate)
                                        .handler("FormClose", &F::FormClose)
                                        .handler("FormMouseMove", &F::FormMouseMove);
        for (const char* click : clicks)
            form_class.handler(click, &F::ButtonClick);
        return form_class;
    }
};

// A form streamed from every_control.ui (one control of each kind), which also
// records what reaches its message map and its combo box's OnChange.
class EveryForm : public RecordingForm {
  public:
    vcl::TLabel* Title = nullptr;
    vcl::TButton* Press = nullptr;
    vcl::TEdit* Entry = nullptr;
    vcl::TMemo* Notes = nullptr;
    vcl::TComboBox* Choice = nullptr;

    std::vector<LPARAM> inputs;
    bool streaming = false;
    ULONGLONG stream_ends = 0;  // a stream stops by itself then at the latest

    explicit EveryForm(vcl::TComponent* owner) : RecordingForm(owner) {}

    void ChoiceChange(vcl::TObject*) { calls.push_back("ChoiceChange"); }
    void WMInput(vcl::TMessage& message) { inputs.push_back(message.LParam); }
    void WMStream(vcl::TMessage&) {
        if (streaming && GetTickCount64() < stream_ends) {
            PostMessageW(hwnd(), WM_STREAM, 0, 0);
        } else {
            streaming = false;
        }
    }
    void WMThrow(vcl::TMessage& message) {
        throw std::runtime_error("thrown for message " + std::to_string(message.LParam));
    }

    static const vcl::FormClass& form_class() {
        static const vcl::FormClass form_class =
            form_class_of<EveryForm>("Every", {"PressClick"})
                .field("Title", &EveryForm::Title)
                .field("Press", &EveryForm::Press)
                .field("Entry", &EveryForm::Entry)
                .field("Notes", &EveryForm::Notes)
                .field("Choice", &EveryForm::Choice)
                .handler("ChoiceChange", &EveryForm::ChoiceChange);
        return form_class;
    }

    HWND hwnd() const { return native().hwnd; }

    BEGIN_MESSAGE_MAP
    VCL_MESSAGE_HANDLER(WM_INPUT, vcl::TMessage, WMInput)
    VCL_MESSAGE_HANDLER(WM_THROW, vcl::TMessage, WMThrow)
    VCL_MESSAGE_HANDLER(WM_STREAM, vcl::TMessage, WMStream)
    END_MESSAGE_MAP(vcl::TForm)
};

// Each test starts with no forms and ends with none.
class WithForms : public testing::Test {
  protected:
    void TearDown() override {
        vcl::Application->destroy_forms();
        vcl::win32::process_messages();
    }
    EveryForm* make_every() {
        EveryForm* form = nullptr;
        vcl::Application->CreateForm(&form);
        return form;
    }
};
