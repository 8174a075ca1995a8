// What the facade's tests do from outside a form, as its user would (or another
// program reading its files): choose an item of a combo box, answer the save
// dialog, read a PNG file back, wait on the message loop. The header names no
// toolkit; each backend's tests link its own implementation
// (tests/ui/facade_driver_qt.cpp, tests/win32/facade_driver_win32.cpp) beside
// what is the same on both (tests/ui/facade_driver.cpp), so a window's tests
// written against it run on either.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/vcl/vcl.h"

namespace facade_driver {

// Handles what comes to the message loop until `done` holds or 10 s pass;
// answers `done`.
bool run_loop_until(const std::function<bool()>& done);

// Chooses item `index` of the combo box as a user does with the mouse: its
// list is dropped down and the item picked from it (on Qt), or the combo box
// takes the item and tells its form the user chose it (CB_SETCURSEL and the
// CBN_SELCHANGE notification, on Win32). OnChange fires as for a user.
void choose_item(vcl::TComboBox& combo_box, int index);

// A picture as a PNG file holds it, decoded by the system's decoder (Qt's,
// WIC): its pixels row by row, top first, as TColors (0x00BBGGRR).
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<vcl::TColor> pixels;
    vcl::TColor at(int x, int y) const {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)];
    }
};
// Throws std::runtime_error saying why when the file cannot be read as a PNG.
Picture read_png(const std::string& path);

class DialogSteps;

// Answers the next save dialog titled `title` (TSaveDialog::Execute) as its
// user would, from a timer of the message loop that runs while the dialog is
// up. Made before Execute is called and kept until it returns:
//
//     facade_driver::SaveDialogUser user("Save the plot", "C:\\out\\plot.png");
//     ASSERT_TRUE(dialog.Execute());
//     EXPECT_TRUE(user.answered());
//
// Once the dialog is up, the user reads what it proposes, then types `typed`
// into its file name box (a name, which the dialog takes in the folder it
// shows, or a full path) and presses its Save button, answering Yes when the
// dialog asks whether to replace a file; with no name given, the user presses
// Cancel. A message box that says anything else after Save is pressed is
// closed and the dialog cancelled, the message kept in question(). A dialog not
// answered within 10 s is cancelled the same way, so a test that misses it
// fails rather than hangs.
class SaveDialogUser {
  public:
    SaveDialogUser(std::string title, std::optional<std::string> typed);
    ~SaveDialogUser();
    SaveDialogUser(const SaveDialogUser&) = delete;
    SaveDialogUser& operator=(const SaveDialogUser&) = delete;

    // The dialog came and went, answered as asked.
    bool answered() const;
    // What the dialog showed when it came: the name in its file name box and
    // the kind of file chosen in its list of kinds ("PNG picture (*.png)").
    std::string proposed() const;
    std::string file_type() const;
    // The text of the message box the dialog showed after Save was pressed
    // (whether to replace a file, or what was wrong), "" when none came.
    std::string question() const;

  private:
    std::unique_ptr<DialogSteps> steps_;
    // Last, so that it stops before the steps it takes go.
    std::unique_ptr<vcl::Timer> timer_;
};

}  // namespace facade_driver
