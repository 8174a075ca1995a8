// How the facade's tests answer a save dialog as its user would, whatever
// the backend: the steps of facade_driver::SaveDialogUser, once. Each
// backend's driver gives the dialog's own windows and controls (Qt's widgets,
// comdlg32's windows) through this interface, and makes it for the user.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace facade_driver {

class DialogSteps {
  public:
    explicit DialogSteps(std::optional<std::string> typed) : typed_(std::move(typed)) {}
    virtual ~DialogSteps() = default;
    DialogSteps(const DialogSteps&) = delete;
    DialogSteps& operator=(const DialogSteps&) = delete;

    // One look at the dialog, from a timer of the message loop that runs
    // while it is up: once it comes, what it proposes is read and the name
    // typed and saved (or the dialog cancelled); a question to replace a file
    // is answered Yes, any other message box given up on, as is a dialog not
    // answered within 10 s. False once there is nothing more to do.
    bool look();
    // The dialog came and went, answered as asked.
    bool answered() const;

    std::string proposed;   // its file name box, when it came
    std::string file_type;  // the kind of file chosen in its list
    std::string question;   // the text of its message box, "" when none came

  protected:
    // The dialog the test waits for, once it is up: found and kept.
    virtual bool find_dialog() = 0;
    // At the deadline, with that one not found: gives up on any other file
    // dialog that holds Execute.
    virtual void give_up_on_others() = 0;
    virtual bool dialog_gone() const = 0;
    // The kept dialog's name box and list of kinds.
    virtual std::string name_shown() const = 0;
    virtual std::string kind_shown() const = 0;
    // Types into its name box and presses Save; presses Cancel.
    virtual void save_as(const std::string& name) = 0;
    virtual void cancel() = 0;
    // A message box over it not seen before: kept, its text; nothing when none.
    virtual std::optional<std::string> new_message_box() = 0;
    // The kept box has a Yes button, pressed then; closed by its No or OK.
    virtual bool box_has_yes() const = 0;
    virtual void press_yes() = 0;
    virtual void close_box() = 0;
    // Closes what is up (the box by No or OK, the dialog by Cancel) and marks
    // the answer failed.
    void give_up();

  private:
    enum class Step { waiting, saving, cancelling, failed };
    const std::optional<std::string> typed_;
    const std::chrono::steady_clock::time_point deadline_ =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    Step step_ = Step::waiting;
};

// The backend's steps for the save dialog titled `title`.
std::unique_ptr<DialogSteps> dialog_steps(const std::string& title,
                                          std::optional<std::string> typed);

}  // namespace facade_driver
