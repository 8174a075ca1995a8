// The data window: a large memo and a close button. Created hidden.
#pragma once

#include "platform/vcl/vcl.h"

class TForm2 : public vcl::TForm {
  public:
    vcl::TMemo* Memo1 = nullptr;
    vcl::TButton* btnCerrar = nullptr;

    void btnCerrarClick(vcl::TObject* Sender);
    void FormActivate(vcl::TObject* Sender);

    explicit TForm2(vcl::TComponent* Owner);
    ~TForm2() override;

    static const vcl::FormClass& form_class();
};

extern TForm2* Form2;
