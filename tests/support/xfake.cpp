#include "tests/support/xfake.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace xfake {

namespace {

// The first X error since the last check; requests are checked one sync at a time.
int pending_error = 0;
int pending_request = 0;

int record_error(Display*, XErrorEvent* event) {
    if (pending_error == 0) {
        pending_error = event->error_code;
        pending_request = event->request_code;
    }
    return 0;
}

std::vector<XiDevice> query_devices(Display* display) {
    int count = 0;
    XIDeviceInfo* info = XIQueryDevice(display, XIAllDevices, &count);
    std::vector<XiDevice> devices;
    for (int i = 0; i < count; ++i) {
        devices.push_back({info[i].deviceid, info[i].use, info[i].attachment, info[i].name});
    }
    XIFreeDeviceInfo(info);
    std::sort(devices.begin(), devices.end(),
              [](const XiDevice& a, const XiDevice& b) { return a.id < b.id; });
    return devices;
}

int id_named(const std::vector<XiDevice>& devices, const std::string& name) {
    for (const XiDevice& d : devices) {
        if (d.name == name)
            return d.id;
    }
    return 0;
}

}  // namespace

Driver::Driver(const std::string& display) {
    std::string name = display;
    if (name.empty()) {
        const char* env = std::getenv("DISPLAY");
        if (env == nullptr || *env == '\0')
            throw std::runtime_error("xfake: DISPLAY is not set");
        name = env;
    }
    display_ = XOpenDisplay(name.c_str());
    if (display_ == nullptr)
        throw std::runtime_error("xfake: cannot open display " + name);
    XSetErrorHandler(record_error);
    int opcode = 0;
    int event = 0;
    int error = 0;
    int major = 2;
    int minor = 2;
    if (!XQueryExtension(display_, "XInputExtension", &opcode, &event, &error) ||
        XIQueryVersion(display_, &major, &minor) != Success || major * 1000 + minor < 2002) {
        XCloseDisplay(display_);
        throw std::runtime_error("xfake: display " + name + " lacks XInput 2.2");
    }
    int xtest_major = 0;
    int xtest_minor = 0;
    if (!XTestQueryExtension(display_, &event, &error, &xtest_major, &xtest_minor)) {
        XCloseDisplay(display_);
        throw std::runtime_error("xfake: display " + name + " lacks XTEST");
    }
}

Driver::~Driver() {
    for (auto& [id, device] : opened_)
        XCloseDevice(display_, static_cast<XDevice*>(device));
    opened_.clear();
    if (!keep_) {
        for (const Master& master : std::vector<Master>(masters_)) {
            try {
                remove_master(master);
            } catch (const std::exception&) {
                // Already gone with the server, or removed by someone else.
            }
        }
    }
    XSync(display_, False);
    XCloseDisplay(display_);
}

void Driver::check(const char* what) {
    XSync(display_, False);
    if (pending_error != 0) {
        char text[128] = {};
        XGetErrorText(display_, pending_error, text, sizeof text);
        const int request = pending_request;
        pending_error = 0;
        throw std::runtime_error(std::string("xfake: ") + what + " failed: " + text + " (request " +
                                 std::to_string(request) + ")");
    }
}

std::vector<XiDevice> Driver::devices() const {
    return query_devices(display_);
}

std::vector<Master> Driver::add_masters(int count, const std::string& prefix) {
    std::vector<Master> added;
    for (int i = 0; i < count; ++i) {
        std::vector<XiDevice> before = query_devices(display_);
        std::string name;
        do {
            name = prefix + " " + std::to_string(next_number_++);
        } while (id_named(before, name + " pointer") != 0);

        XIAddMasterInfo add{};
        add.type = XIAddMaster;
        add.name = name.data();
        add.send_core = True;
        add.enable = True;
        XIChangeHierarchy(display_, reinterpret_cast<XIAnyHierarchyChangeInfo*>(&add), 1);
        check("adding a master");

        const std::vector<XiDevice> after = query_devices(display_);
        Master master;
        master.name = name;
        master.pointer = id_named(after, name + " pointer");
        master.keyboard = id_named(after, name + " keyboard");
        master.xtest_pointer = id_named(after, name + " XTEST pointer");
        master.xtest_keyboard = id_named(after, name + " XTEST keyboard");
        if (master.pointer == 0 || master.xtest_pointer == 0) {
            throw std::runtime_error("xfake: the master " + name + " did not appear");
        }
        masters_.push_back(master);
        added.push_back(master);
    }
    return added;
}

void Driver::remove_master(const Master& master) {
    const auto it = opened_.find(master.xtest_pointer);
    if (it != opened_.end()) {
        XCloseDevice(display_, static_cast<XDevice*>(it->second));
        opened_.erase(it);
    }
    std::erase_if(masters_, [&](const Master& m) { return m.pointer == master.pointer; });
    XIRemoveMasterInfo remove{};
    remove.type = XIRemoveMaster;
    remove.deviceid = master.pointer;
    remove.return_mode = XIFloating;
    XIChangeHierarchy(display_, reinterpret_cast<XIAnyHierarchyChangeInfo*>(&remove), 1);
    check("removing a master");
}

void Driver::detach(int slave) {
    XIDetachSlaveInfo detach{};
    detach.type = XIDetachSlave;
    detach.deviceid = slave;
    XIChangeHierarchy(display_, reinterpret_cast<XIAnyHierarchyChangeInfo*>(&detach), 1);
    check("detaching a slave");
}

void* Driver::device(int xtest_pointer) {
    const auto it = opened_.find(xtest_pointer);
    if (it != opened_.end())
        return it->second;
    XDevice* opened = XOpenDevice(display_, static_cast<XID>(xtest_pointer));
    check("opening an XTEST pointer");
    if (opened == nullptr) {
        throw std::runtime_error("xfake: cannot open device " + std::to_string(xtest_pointer));
    }
    opened_[xtest_pointer] = opened;
    return opened;
}

void Driver::move(int xtest_pointer, int dx, int dy) {
    int axes[2] = {dx, dy};
    XTestFakeDeviceMotionEvent(display_, static_cast<XDevice*>(device(xtest_pointer)), True, 0,
                               axes, 2, CurrentTime);
}

void Driver::move_to(int xtest_pointer, int x, int y) {
    int axes[2] = {x, y};
    XTestFakeDeviceMotionEvent(display_, static_cast<XDevice*>(device(xtest_pointer)), False, 0,
                               axes, 2, CurrentTime);
}

void Driver::press(int xtest_pointer, int button) {
    XTestFakeDeviceButtonEvent(display_, static_cast<XDevice*>(device(xtest_pointer)),
                               static_cast<unsigned>(button), True, nullptr, 0, CurrentTime);
}

void Driver::release(int xtest_pointer, int button) {
    XTestFakeDeviceButtonEvent(display_, static_cast<XDevice*>(device(xtest_pointer)),
                               static_cast<unsigned>(button), False, nullptr, 0, CurrentTime);
}

void Driver::click(int xtest_pointer, int button) {
    press(xtest_pointer, button);
    release(xtest_pointer, button);
}

void Driver::wheel(int xtest_pointer, int button) {
    if (button < 4 || button > 7) {
        throw std::runtime_error("xfake: wheel buttons are 4 to 7, not " + std::to_string(button));
    }
    click(xtest_pointer, button);
}

void Driver::warp(int master_pointer, int x, int y) {
    XIWarpPointer(display_, master_pointer, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
    check("warping a pointer");
}

void Driver::focus(unsigned long window) {
    XSetInputFocus(display_, window == 0 ? None : window, RevertToNone, CurrentTime);
    check("setting the focus");
}

unsigned long Driver::focused_window() {
    Window window = None;
    int revert = 0;
    XGetInputFocus(display_, &window, &revert);
    return window == PointerRoot ? None : window;
}

namespace {

// The _NET_WM_PID of a window, or -1.
long pid_of(Display* display, Window window) {
    const Atom net_wm_pid = XInternAtom(display, "_NET_WM_PID", False);
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(display, window, net_wm_pid, 0, 1, False, XA_CARDINAL, &type, &format,
                           &items, &after, &data) == Success &&
        data != nullptr && items == 1 && format == 32) {
        pid = static_cast<long>(*reinterpret_cast<unsigned long*>(data));
    }
    if (data != nullptr)
        XFree(data);
    return pid;
}

std::string title_of(Display* display, Window window) {
    char* name = nullptr;
    std::string title;
    if (XFetchName(display, window, &name) && name != nullptr)
        title = name;
    if (name != nullptr)
        XFree(name);
    return title;
}

// A viewable window of `pid` (titled `title`, when not empty) at or below
// `window`: top-level windows are the root's children, or inside a window
// manager's frames.
Window find_window(Display* display, Window window, long pid, const std::string& title, int depth) {
    if (depth > 0 && pid_of(display, window) == pid &&
        (title.empty() || title_of(display, window) == title)) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display, window, &attributes) &&
            attributes.map_state == IsViewable) {
            return window;
        }
    }
    if (depth >= 3)
        return None;
    Window root = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned count = 0;
    Window found = None;
    if (XQueryTree(display, window, &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count && found == None; ++i)
            found = find_window(display, children[i], pid, title, depth + 1);
        if (children != nullptr)
            XFree(children);
    }
    return found;
}

}  // namespace

unsigned long Driver::window_of(long pid, const std::string& title) {
    const Window found = find_window(display_, DefaultRootWindow(display_), pid, title, 0);
    // A window may vanish while it is looked at; that is no error here.
    XSync(display_, False);
    pending_error = 0;
    return found;
}

void Driver::key(const std::string& keysym) {
    const KeySym sym = XStringToKeysym(keysym.c_str());
    const KeyCode code = sym == NoSymbol ? 0 : XKeysymToKeycode(display_, sym);
    if (code == 0)
        throw std::runtime_error("xfake: no key for the keysym " + keysym);
    XTestFakeKeyEvent(display_, code, True, CurrentTime);
    XTestFakeKeyEvent(display_, code, False, CurrentTime);
    check("pressing a key");
}

void Driver::sync() {
    check("sync");
}

std::string Driver::run(const std::string& script) {
    std::istringstream lines(script);
    std::ostringstream printed;
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (const auto hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        std::istringstream words(line);
        std::string step;
        if (!(words >> step))
            continue;
        const auto fail = [&](const std::string& what) {
            return std::runtime_error("xfake: line " + std::to_string(number) + " (" + step +
                                      "): " + what);
        };
        const auto id = [&] {
            std::string word;
            if (!(words >> word))
                throw fail("a device id is missing");
            const bool master = word.rfind("M@", 0) == 0;
            if (master || word[0] == '@') {
                const int k = std::atoi(word.c_str() + (master ? 2 : 1));
                if (k < 1 || k > static_cast<int>(script_masters_.size())) {
                    throw fail("no master " + word);
                }
                const Master& m = script_masters_[static_cast<std::size_t>(k - 1)];
                return master ? m.pointer : m.xtest_pointer;
            }
            const int value = std::atoi(word.c_str());
            if (value <= 0)
                throw fail("bad device id " + word);
            return value;
        };
        const auto integer = [&](const char* what, bool optional, int fallback) {
            long value = 0;
            if (!(words >> value)) {
                if (optional)
                    return fallback;
                throw fail(std::string(what) + " is missing");
            }
            return static_cast<int>(value);
        };

        if (step == "add") {
            const int count = integer("the count", false, 0);
            std::string prefix = "xfake";
            words >> prefix;
            for (const Master& m : add_masters(count, prefix)) {
                script_masters_.push_back(m);
                printed << "added " << m.name << ' ' << m.pointer << ' ' << m.xtest_pointer << '\n';
            }
        } else if (step == "move") {
            const int device = id();
            const int dx = integer("dx", false, 0);
            const int dy = integer("dy", false, 0);
            const int times = integer("times", true, 1);
            for (int i = 0; i < times; ++i) {
                move(device, dx, dy);
                if (i % 1024 == 1023)
                    XFlush(display_);
            }
        } else if (step == "shake") {
            const int device = id();
            const int times = integer("times", false, 0);
            for (int i = 0; i < times; ++i) {
                move(device, i % 2 == 0 ? 1 : -1, 0);
                if (i % 1024 == 1023)
                    XFlush(display_);
            }
        } else if (step == "press" || step == "release" || step == "click" || step == "wheel") {
            const int device = id();
            const int button = integer("the button", false, 0);
            const int times = step == "wheel" ? integer("times", true, 1) : 1;
            for (int i = 0; i < times; ++i) {
                if (step == "press")
                    press(device, button);
                if (step == "release")
                    release(device, button);
                if (step == "click")
                    click(device, button);
                if (step == "wheel")
                    wheel(device, button);
            }
        } else if (step == "warp") {
            const int device = id();
            const int x = integer("x", false, 0);
            const int y = integer("y", false, 0);
            warp(device, x, y);
        } else if (step == "remove") {
            const int device = id();
            const auto owner = std::find_if(masters_.begin(), masters_.end(), [&](const Master& m) {
                return m.pointer == device || m.xtest_pointer == device;
            });
            if (owner == masters_.end())
                throw fail("no added master holds device " + std::to_string(device));
            remove_master(*owner);
        } else if (step == "detach") {
            detach(id());
        } else if (step == "sync") {
            sync();
        } else {
            throw fail("unknown step");
        }
    }
    sync();
    return printed.str();
}

}  // namespace xfake
