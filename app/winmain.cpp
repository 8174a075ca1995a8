#include "app/winmain.h"

#include "platform/vcl/vcl.h"
#include "ui/frmDatos.h"
#include "ui/principal.h"

int run_guarded(const std::function<void()>& body) {
    try {
        body();
    } catch (vcl::Exception& exception) {
        vcl::Application->ShowException(&exception);
    } catch (...) {
        try {
            throw vcl::Exception("");
        } catch (vcl::Exception& exception) {
            vcl::Application->ShowException(&exception);
        }
    }
    return 0;
}

int WinMain() {
    return run_guarded([] {
        vcl::Application->Initialize();
        vcl::Application->CreateForm(&Form1);
        vcl::Application->CreateForm(&Form2);
        vcl::Application->Run();
    });
}
