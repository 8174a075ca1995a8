#include "ui/frmDatos.h"

TForm2* Form2 = nullptr;

TForm2::TForm2(vcl::TComponent* Owner) : vcl::TForm(Owner) {}

TForm2::~TForm2() = default;

const vcl::FormClass& TForm2::form_class() {
    static const vcl::FormClass form_class = vcl::FormClass::of<TForm2>("Form2")
                                                 .field("Memo1", &TForm2::Memo1)
                                                 .field("btnCerrar", &TForm2::btnCerrar)
                                                 .handler("btnCerrarClick", &TForm2::btnCerrarClick)
                                                 .handler("FormActivate", &TForm2::FormActivate);
    return form_class;
}

void TForm2::btnCerrarClick(vcl::TObject* /*Sender*/) {
    Hide();
}

// Shows the data window held in Form2: the window being activated, already visible.
void TForm2::FormActivate(vcl::TObject* /*Sender*/) {
    if (Form2 != nullptr)
        Form2->Show();
}
