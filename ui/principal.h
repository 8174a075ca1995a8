// The main window: the device listing and mouse reports in Memo1, the labels
// that follow the system pointer and the tracked cursor, and the log file.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "platform/vcl/vcl.h"
#include "platform/win32/win32.h"
#include "ui/log_file.h"

class TForm1 : public vcl::TForm {
  public:
    vcl::TLabel* Label1 = nullptr;
    vcl::TButton* btnCopy = nullptr;
    vcl::TLabel* Label2 = nullptr;
    vcl::TLabel* Label3 = nullptr;
    vcl::TLabel* Label4 = nullptr;
    vcl::TLabel* Label5 = nullptr;
    vcl::TLabel* Label6 = nullptr;
    vcl::TEdit* Edit1 = nullptr;
    vcl::TMemo* Memo1 = nullptr;

    std::int32_t origin_mark_x = 0;
    std::int32_t origin_mark_y = 0;
    std::int32_t cursor_x = 0;
    std::int32_t cursor_y = 0;

    void FormCreate(vcl::TObject* Sender);
    void FormActivate(vcl::TObject* Sender);
    void FormClose(vcl::TObject* Sender, vcl::TCloseAction& Action);
    void FormMouseMove(vcl::TObject* Sender, vcl::TShiftState Shift, int X, int Y);
    // F2 (whatever control has the focus) opens or hides the timing window,
    // F3 the buttons window, F4 the movement window, F5 the plot window, F6
    // the check window.
    void FormKeyDown(vcl::TObject* Sender, WORD& Key, vcl::TShiftState Shift);
    void btnCopyClick(vcl::TObject* Sender);

    void WMInput(vcl::TMessage& Message);

    explicit TForm1(vcl::TComponent* Owner);
    ~TForm1() override;

    // The stored layout, published fields and handlers of this class.
    static const vcl::FormClass& form_class();

    BEGIN_MESSAGE_MAP
    VCL_MESSAGE_HANDLER(WM_INPUT, vcl::TMessage, WMInput)
    END_MESSAGE_MAP(vcl::TForm)
};

extern TForm1* Form1;

// Every mouse report line of the run, in the order the packets were handled.
extern LogStream log_file;

// Writes out what the log holds so far; called once each burst of packets has
// been handled, never per line.
void flush_log();

// Whether this run's log is missing lines: log.txt could not be created, another
// rawmice holds it, or a write to it failed.
bool log_incomplete();

// Says what keeps the window from doing its job: one line on standard error and,
// while the main window exists, the same in its notice.
void report_problem(const std::string& line, const std::string& notice);
// The same in the main window's notice only, for a problem standard error has
// already been told.
void show_notice(const std::string& notice);
// Says in the main window's notice that it reads the mice in the background,
// so that nobody wonders why it logs while hidden behind another program.
void show_background_notice();

// The tracked cursor of mouse number 2.
void draw_cursor_marker(TForm1* form, vcl::TColor colour, std::int32_t x, std::int32_t y);
void move_tracking_cursor(TForm1* form, int mouse_number, std::int32_t dx, std::int32_t dy);
