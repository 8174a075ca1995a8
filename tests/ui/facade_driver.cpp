// What the facade's tests' user does the same on every backend: the steps of
// answering a save dialog (tests/ui/dialog_steps.h), driven by a timer of the
// message loop.
#include "tests/ui/facade_driver.h"

#include "tests/ui/dialog_steps.h"

namespace facade_driver {

bool DialogSteps::look() {
    const bool late = std::chrono::steady_clock::now() >= deadline_;
    switch (step_) {
        case Step::waiting:
            if (find_dialog()) {
                proposed = name_shown();
                file_type = kind_shown();
                if (typed_) {
                    save_as(*typed_);
                    step_ = Step::saving;
                } else {
                    cancel();
                    step_ = Step::cancelling;
                }
            } else if (late) {
                // Some other dialog may hold Execute: it goes.
                give_up_on_others();
                step_ = Step::failed;
            }
            return true;
        case Step::saving:
        case Step::cancelling:
            if (dialog_gone())
                return false;  // answered: nothing more to do
            if (const std::optional<std::string> text = new_message_box()) {
                question = *text;
                if (box_has_yes()) {
                    press_yes();
                } else {
                    give_up();
                }
            } else if (late) {
                give_up();
            }
            return true;
        case Step::failed:
            break;
    }
    return false;
}

bool DialogSteps::answered() const {
    return (step_ == Step::saving || step_ == Step::cancelling) && dialog_gone();
}

void DialogSteps::give_up() {
    step_ = Step::failed;
    if (dialog_gone())
        return;
    close_box();
    cancel();
}

SaveDialogUser::SaveDialogUser(std::string title, std::optional<std::string> typed)
    : steps_(dialog_steps(title, std::move(typed))), timer_(std::make_unique<vcl::Timer>([this] {
          if (steps_->look())
              timer_->start(10);
      })) {
    timer_->start(0);
}

SaveDialogUser::~SaveDialogUser() = default;

bool SaveDialogUser::answered() const {
    return steps_->answered();
}

std::string SaveDialogUser::proposed() const {
    return steps_->proposed;
}

std::string SaveDialogUser::file_type() const {
    return steps_->file_type;
}

std::string SaveDialogUser::question() const {
    return steps_->question;
}

}  // namespace facade_driver
