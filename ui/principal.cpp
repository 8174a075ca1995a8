#include "ui/principal.h"

#include "ui_principal.h"

TForm1* Form1 = nullptr;

TForm1::TForm1(vcl::TComponent* Owner) : vcl::TForm(Owner) {}

TForm1::~TForm1() = default;

const vcl::FormClass& TForm1::form_class() {
    static const vcl::FormClass form_class = vcl::FormClass::of<TForm1, Ui::Form1>()
                                                 .field("Label1", &TForm1::Label1)
                                                 .field("btnCopy", &TForm1::btnCopy)
                                                 .field("Label2", &TForm1::Label2)
                                                 .field("Label3", &TForm1::Label3)
                                                 .field("Label4", &TForm1::Label4)
                                                 .field("Label5", &TForm1::Label5)
                                                 .field("Label6", &TForm1::Label6)
                                                 .field("Edit1", &TForm1::Edit1)
                                                 .field("Memo1", &TForm1::Memo1)
                                                 .handler("FormCreate", &TForm1::FormCreate)
                                                 .handler("FormActivate", &TForm1::FormActivate)
                                                 .handler("FormClose", &TForm1::FormClose)
                                                 .handler("FormMouseMove", &TForm1::FormMouseMove)
                                                 .handler("btnCopyClick", &TForm1::btnCopyClick);
    return form_class;
}

// The window's handlers, its WM_INPUT method, the tracked cursor and the log.

std::ofstream log_file;

void flush_log() {}

void TForm1::FormCreate(vcl::TObject* /*Sender*/) {}

void TForm1::FormActivate(vcl::TObject* /*Sender*/) {}

void TForm1::FormClose(vcl::TObject* /*Sender*/, vcl::TCloseAction& /*Action*/) {}

void TForm1::FormMouseMove(vcl::TObject* /*Sender*/, vcl::TShiftState /*Shift*/, int /*X*/,
                           int /*Y*/) {}

void TForm1::btnCopyClick(vcl::TObject* /*Sender*/) {}

void TForm1::WMInput(vcl::TMessage& /*Message*/) {}

void draw_cursor_marker(TForm1* /*form*/, vcl::TColor /*colour*/, std::int32_t /*x*/,
                        std::int32_t /*y*/) {}

void move_tracking_cursor(TForm1* /*form*/, int /*mouse_number*/, std::int32_t /*dx*/,
                          std::int32_t /*dy*/) {}
