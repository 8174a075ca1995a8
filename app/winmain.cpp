#include "app/winmain.h"

#include "platform/vcl/vcl.h"
#include "ui/frmDatos.h"
#include "ui/principal.h"

int run_guarded(const std::function<void()>& body) {
    // What escapes is shown; anything but the toolkit's Exception is replaced
    // by one with an empty message.
    vcl::guard(body, vcl::OtherExceptions::empty_message);
    return 0;
}

#ifdef _WIN32
int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*command_line*/,
                   int /*show*/) {
#else
int WinMain() {
#endif
    return run_guarded([] {
        vcl::Application->Initialize();
        vcl::Application->CreateForm(&Form1);
        vcl::Application->CreateForm(&Form2);
        vcl::Application->Run();
    });
}
