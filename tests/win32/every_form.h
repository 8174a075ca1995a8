// A form streamed from tests/win32/data/every_control.ui (one control of each
// kind), which records what reaches its handlers and its message map.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/vcl/vcl.h"
#include "platform/vcl/win32/native.h"

// A message the form's map turns into an exception, to see what the loop does with it.
constexpr UINT WM_THROW = WM_APP + 1;
// A message the form posts to itself again while `streaming` holds: a queue
// that never runs dry, as under a flood of raw input.
constexpr UINT WM_STREAM = WM_APP + 2;

class EveryForm : public vcl::TForm {
  public:
    vcl::TLabel* Title = nullptr;
    vcl::TButton* Press = nullptr;
    vcl::TEdit* Entry = nullptr;
    vcl::TMemo* Notes = nullptr;

    std::vector<std::string> calls;
    std::vector<LPARAM> inputs;
    vcl::TCloseAction close_action = vcl::caHide;
    bool streaming = false;
    ULONGLONG stream_ends = 0;  // a stream stops by itself then at the latest

    explicit EveryForm(vcl::TComponent* owner) : vcl::TForm(owner) {}

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
    void PressClick(vcl::TObject*) { calls.push_back("PressClick"); }
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
            vcl::FormClass::of<EveryForm>("Every")
                .field("Title", &EveryForm::Title)
                .field("Press", &EveryForm::Press)
                .field("Entry", &EveryForm::Entry)
                .field("Notes", &EveryForm::Notes)
                .handler("FormCreate", &EveryForm::FormCreate)
                .handler("FormActivate", &EveryForm::FormActivate)
                .handler("FormClose", &EveryForm::FormClose)
                .handler("FormMouseMove", &EveryForm::FormMouseMove)
                .handler("PressClick", &EveryForm::PressClick);
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

// Handles messages until `done` holds or the deadline (5 s) passes; answers `done`.
template <class Done>
bool pump_until(Done&& done) {
    const ULONGLONG deadline = GetTickCount64() + 5000;
    vcl::win32::process_messages();
    while (!done()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now),
                                  QS_ALLINPUT);
        vcl::win32::process_messages();
    }
    return true;
}
