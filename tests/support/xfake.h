// Fake mice on a real X server: master devices added through XInput 2, each
// with its own XTEST slave pointer, moved, clicked and scrolled one at a time
// through XTest device events.
#pragma once

#include <map>
#include <string>
#include <vector>

struct _XDisplay;

namespace xfake {

// A master device pair that the driver added, with its XTEST slaves.
struct Master {
    std::string name;
    int pointer = 0;  // the master pointer's XI id
    int keyboard = 0;
    int xtest_pointer = 0;  // the slave that XTest device events move
    int xtest_keyboard = 0;
};

// A device of the display as XIQueryDevice reports it.
struct XiDevice {
    int id = 0;
    int use = 0;  // XIMasterPointer, XISlavePointer, ... (XI2.h)
    int attachment = 0;
    std::string name;
};

class Driver {
  public:
    // Connects to `display` (empty: $DISPLAY). Throws std::runtime_error when
    // it cannot, or when the server lacks XInput 2.2 or XTEST.
    explicit Driver(const std::string& display = {});
    // Removes the masters it added (unless keep_masters() was called).
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    _XDisplay* display() const { return display_; }

    // Adds `count` masters named "<prefix> <n>" and returns them in order.
    std::vector<Master> add_masters(int count, const std::string& prefix = "xfake");
    // Removes a master this driver added (its XTEST slaves go with it).
    void remove_master(const Master& master);
    // Leaves the added masters on the display when the driver goes.
    void keep_masters() { keep_ = true; }
    const std::vector<Master>& masters() const { return masters_; }

    // Every device of the display, in id order.
    std::vector<XiDevice> devices() const;
    // Leaves a slave floating (detached from its master).
    void detach(int slave);

    // Relative motion of one XTEST slave pointer by (dx, dy).
    void move(int xtest_pointer, int dx, int dy);
    // Motion of one XTEST slave pointer to (x, y) on the root window, as an
    // absolute device reports it (no acceleration).
    void move_to(int xtest_pointer, int x, int y);
    void press(int xtest_pointer, int button);
    void release(int xtest_pointer, int button);
    void click(int xtest_pointer, int button);
    // A wheel step: press and release of button 4 (up), 5 (down), 6 (left) or 7 (right).
    void wheel(int xtest_pointer, int button);
    // Puts a master pointer at (x, y) on the root window; makes no raw event.
    void warp(int master_pointer, int x, int y);
    // Gives the keyboard focus of the core keyboard to `window` (0: none).
    void focus(unsigned long window);
    // The window that has that focus now (0: none).
    unsigned long focused_window();
    // A mapped top-level window of the process `pid` (by _NET_WM_PID), titled
    // `title` when one is given, or 0; found inside a window manager's frames too.
    unsigned long window_of(long pid, const std::string& title = {});
    // Presses and releases a key of the core keyboard, named by its keysym ("F2").
    void key(const std::string& keysym);
    // Waits until the server has handled every request sent so far.
    void sync();

    // Runs a script of steps, one per line (blank lines and # comments are
    // skipped). An ID is an XI device id, or @k for the XTEST pointer of the
    // k-th master added by the script (from 1); M@k is that master's pointer.
    //   add N [PREFIX]        add N masters (prints "added <name> <master> <xtest>")
    //   move ID DX DY [TIMES]
    //   shake ID TIMES        TIMES moves alternating (+1, 0) and (-1, 0)
    //   press ID B | release ID B | click ID B | wheel ID B [TIMES]
    //   warp M X Y            put master pointer M at (X, Y)
    //   remove ID             remove the master that ID belongs to
    //   detach ID             float a slave
    //   sync
    // Returns what the steps print. Throws std::runtime_error naming the
    // line on a bad step.
    std::string run(const std::string& script);

  private:
    void* device(int xtest_pointer);
    void check(const char* what);

    _XDisplay* display_ = nullptr;
    bool keep_ = false;
    std::vector<Master> masters_;
    std::vector<Master> script_masters_;
    // XI 1 handles of the XTEST slaves that device events go to, by id.
    std::map<int, void*> opened_;
    int next_number_ = 1;
};

}  // namespace xfake
