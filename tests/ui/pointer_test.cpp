// The system pointer over the main window on a real X server: what
// FormMouseMove gets and what the pointer readout (Label2) shows as the
// pointer crosses the form, its child controls and its edges, and in drags.
// The process runs on its own Xvfb, with openbox managing the window when
// RAWMICE_TEST_WINDOW_MANAGER=openbox (focus and placement then come late, as
// on a desktop).
#include <gtest/gtest.h>

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QCursor>
#include <QPushButton>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/frames/frames.h"
#include "platform/vcl/qt/native.h"
#include "tests/engine/main_window_test.h"
#include "tests/support/test_support.h"
#include "tests/support/xfake.h"
#include "tests/support/xvfb.h"

// Xlib last: its macros (None, Bool, ...) would clash with the toolkit's headers.
#include <X11/Xlib.h>
#include <X11/extensions/XI2.h>
#include <xcb/xcb.h>

namespace {

using namespace std::chrono_literals;

std::unique_ptr<testsupport::Xvfb> server;
std::unique_ptr<testsupport::Openbox> window_manager;
std::string skip_reason;

struct Move {
    vcl::TShiftState shift;
    int x;
    int y;
};

std::string describe(const std::vector<Move>& moves) {
    std::string text;
    for (const Move& m : moves) {
        text += "(" + std::to_string(m.x) + ", " + std::to_string(m.y) + " shift " +
                std::to_string(m.shift) + ") ";
    }
    return text.empty() ? "no move" : text;
}

// Counts the pointer motion events the toolkit's X connection hands to the
// program: core MotionNotify and XInput 2 motion.
class MotionCounter : public QAbstractNativeEventFilter {
  public:
    explicit MotionCounter(int xi_opcode) : xi_opcode_(xi_opcode) {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~MotionCounter() override { QCoreApplication::instance()->removeNativeEventFilter(this); }
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        // Every X event starts with response_type; extension and event_type
        // are read only from an extension's generic event.
        const auto* event = static_cast<const xcb_ge_generic_event_t*>(message);
        const int kind = type == "xcb_generic_event_t" ? event->response_type & 0x7f : 0;
        count += kind == XCB_MOTION_NOTIFY ||
                 (kind == XCB_GE_GENERIC && event->extension == xi_opcode_ &&
                  event->event_type == XI_Motion);
        return false;
    }
    int count = 0;

  private:
    int xi_opcode_;
};

// Counts the button releases the toolkit delivers to widgets.
class ReleaseCounter : public QObject {
  public:
    ReleaseCounter() { QCoreApplication::instance()->installEventFilter(this); }
    ~ReleaseCounter() override { QCoreApplication::instance()->removeEventFilter(this); }
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonRelease && object->isWidgetType())
            ++count;
        return false;
    }
    int count = 0;
};

class PointerTest : public MainWindowTest {
  protected:
    void SetUp() override {
        if (server == nullptr)
            GTEST_SKIP() << skip_reason;
        MainWindowTest::SetUp();
        driver_ = std::make_unique<xfake::Driver>(server->display());
        for (const xfake::XiDevice& d : driver_->devices()) {
            if (d.name == "Virtual core pointer")
                core_ = d.id;
            if (d.name == "Virtual core XTEST pointer")
                xtest_ = d.id;
        }
        ASSERT_NE(core_, 0);
        ASSERT_NE(xtest_, 0);
        // Away from where the window comes, so that it maps with no pointer over it.
        driver_->move_to(xtest_, 1020, 760);
        driver_->sync();

        const vcl::TMouseMoveEvent handler = form_->OnMouseMove;
        ASSERT_TRUE(handler);
        form_->OnMouseMove = [this, handler](vcl::TObject* sender, vcl::TShiftState shift, int x,
                                             int y) {
            moves_.push_back({shift, x, y});
            handler(sender, shift, x, y);
        };
        form_->Show();
        window_ = vcl::qt::widget(form_);
        ASSERT_TRUE(testsupport::wait_until(
            [&] {
                return window_->windowHandle() != nullptr && window_->windowHandle()->isExposed();
            },
            30s))
            << "the main window was never shown";
        if (window_manager != nullptr) {
            // Framed by the window manager: its frame is around the window.
            ASSERT_TRUE(testsupport::wait_until([&] { return framed(); }, 30s))
                << "openbox did not frame the window";
        }
        locate();
    }

    // Where the window manager put the window (or the layout's place without one).
    void locate() {
        Window child = None;
        ASSERT_TRUE(XTranslateCoordinates(driver_->display(), window_->winId(),
                                          DefaultRootWindow(driver_->display()), 0, 0, &left_,
                                          &top_, &child));
    }

    bool framed() const {
        Window root = None;
        Window parent = None;
        Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(driver_->display(), window_->winId(), &root, &parent, &children, &count))
            return false;
        if (children != nullptr)
            XFree(children);
        return parent != root;
    }

    void TearDown() override {
        if (server == nullptr)
            return;
        if (driver_ != nullptr) {
            driver_->release(xtest_, 1);
            driver_.reset();
        }
        MainWindowTest::TearDown();
        vcl::Application->destroy_forms();
    }

    // Moves the pointer to (x, y) of the form in one motion.
    void move_to(int x, int y) { driver_->move_to(xtest_, left_ + x, top_ + y); }
    // Moves it in `steps` motions from where it is told to be to (x, y), and
    // has the server take them all.
    void move_along(int from_x, int from_y, int x, int y, int steps) {
        for (int i = 1; i <= steps; ++i)
            move_to(from_x + (x - from_x) * i / steps, from_y + (y - from_y) * i / steps);
        driver_->sync();
    }

    static std::string readout(int x, int y) {
        return "X = " + std::to_string(x) + " , " + std::to_string(y);
    }
    std::string label2() const { return form_->Label2->Caption; }
    // Waits until the readout shows (x, y).
    ::testing::AssertionResult shows(int x, int y) {
        if (testsupport::wait_until([&] { return label2() == readout(x, y); }, 20s))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the readout shows \"" << label2() << "\", not \""
                                             << readout(x, y) << "\"; moves: " << describe(moves_);
    }
    bool over(const QWidget* widget) const { return widget->underMouse(); }
    QWidget* control(vcl::TControl* control) const { return vcl::qt::widget(control); }

    std::unique_ptr<xfake::Driver> driver_;
    int core_ = 0;
    int xtest_ = 0;
    QWidget* window_ = nullptr;
    int left_ = 0;
    int top_ = 0;
    std::vector<Move> moves_;
};

TEST_F(PointerTest, TheReadoutFollowsEachBurstOfMotionsToItsLastPosition) {
    move_along(0, 0, 200, 180, 1);
    ASSERT_TRUE(shows(200, 180));
    // Bursts one after another: each ends where the readout must end up.
    const int ends[][2] = {{420, 200}, {430, 150}, {250, 240}, {251, 240}};
    int x = 200;
    int y = 180;
    for (const auto& end : ends) {
        move_along(x, y, end[0], end[1], 40);
        x = end[0];
        y = end[1];
        ASSERT_TRUE(shows(x, y));
        EXPECT_EQ(moves_.back().x, x);
        EXPECT_EQ(moves_.back().y, y);
        EXPECT_EQ(moves_.back().shift, 0);
    }
}

// With more busy processes than cores, frames come late and reads with them:
// the readout still ends where each burst did, and where the pointer left.
TEST_F(PointerTest, UnderALoadedCpuTheReadoutEndsWhereThePointerDid) {
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    testsupport::BusyLoops busy(std::max(3, cores + 1));
    move_along(0, 0, 200, 180, 1);
    ASSERT_TRUE(shows(200, 180));
    move_along(200, 180, 480, 220, 200);
    ASSERT_TRUE(shows(480, 220));
    const int width = window_->width();
    move_along(480, 220, width - 2, 240, 50);
    move_to(width + 30, 240);
    driver_->sync();
    ASSERT_TRUE(testsupport::wait_until([&] { return !over(window_); }));
    EXPECT_TRUE(shows(width - 2, 240));
}

TEST_F(PointerTest, TheToolkitTakesAtMostOneMotionEventAFrameWhileThePointerMoves) {
    int opcode = 0;
    int first_event = 0;
    int first_error = 0;
    ASSERT_TRUE(XQueryExtension(driver_->display(), "XInputExtension", &opcode, &first_event,
                                &first_error));
    move_along(0, 0, 200, 200, 1);
    ASSERT_TRUE(shows(200, 200));
    MotionCounter counter(opcode);
    // Motions sent one at a time, each taken by the server while the program
    // goes on with its events: without a pause the program could take each.
    const int motions = 300;
    const auto frame = [] { return frames::current_frame(); };
    const auto first_frame = frame();
    for (int i = 1; i <= motions; ++i) {
        move_to(200 + i, 200);
        driver_->sync();
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(shows(200 + motions, 200));
    const auto frames = frame() - first_frame + 1;
    EXPECT_LE(counter.count, frames + 1) << motions << " motions over " << frames << " frames";
    EXPECT_GT(counter.count, 0) << "no motion counted";
    EXPECT_LT(counter.count, motions);
}

// Over a child control the toolkit gives the motion to the control: the form
// gets none over a label, the memo or the button, and the readout keeps the
// last position over the form itself; the edit box passes it on to the form.
TEST_F(PointerTest, OverChildControlsTheFormGetsWhatTheControlsPassOn) {
    struct Row {
        const char* name;
        vcl::TControl* control;
        bool passed_on;
    };
    const Row rows[] = {{"Label1", form_->Label1, false},
                        {"Memo1", form_->Memo1, false},
                        {"btnCopy", form_->btnCopy, false},
                        {"Edit1", form_->Edit1, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QWidget* child = control(row.control);
        const QRect area = child->geometry();
        const QPoint middle = area.center();
        // Beside the control, then onto its middle and about inside it.
        const int beside_x = area.left() - 3;
        const int beside_y = middle.y();
        move_along(0, 0, beside_x, beside_y, 1);
        ASSERT_TRUE(shows(beside_x, beside_y));
        moves_.clear();
        move_along(beside_x, beside_y, middle.x(), middle.y(), 6);
        move_along(middle.x(), middle.y(), middle.x() + 2, middle.y() + 1, 2);
        ASSERT_TRUE(testsupport::wait_until([&] { return over(child); }))
            << "the pointer never came over " << row.name;
        if (row.passed_on) {
            EXPECT_TRUE(shows(middle.x() + 2, middle.y() + 1));
            continue;
        }
        // Back over the form: what came before this move has been handled.
        move_to(beside_x, beside_y + 1);
        driver_->sync();
        ASSERT_TRUE(shows(beside_x, beside_y + 1));
        for (const Move& m : moves_) {
            EXPECT_FALSE(area.contains(m.x, m.y))
                << "FormMouseMove at (" << m.x << ", " << m.y << ") over " << row.name;
        }
    }
}

// The pointer leaves across each edge, several pixels a motion: the readout
// stays at the last position inside the window, and nothing comes after.
TEST_F(PointerTest, LeavingTheWindowLeavesTheLastPositionInsideOnTheReadout) {
    struct Row {
        const char* edge;
        int x, y;    // start, inside
        int dx, dy;  // per motion
    };
    const int width = window_->width();
    const int height = window_->height();
    const Row rows[] = {{"right", width - 40, 200, 7, 1},
                        {"bottom", 500, height - 30, -1, 7},
                        {"left", 36, 200, -9, 0},
                        {"top", 450, 25, 2, -6}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.edge);
        move_along(0, 0, row.x, row.y, 1);
        ASSERT_TRUE(shows(row.x, row.y));
        ASSERT_TRUE(testsupport::wait_until([&] { return over(window_); }));
        int x = row.x;
        int y = row.y;
        int last_x = x;
        int last_y = y;
        for (int i = 0; i < 20; ++i) {
            x += row.dx;
            y += row.dy;
            move_to(x, y);
            if (x >= 0 && y >= 0 && x < width && y < height) {
                last_x = x;
                last_y = y;
            }
        }
        driver_->sync();
        ASSERT_TRUE(testsupport::wait_until([&] { return !over(window_); }))
            << "the window never saw the pointer leave";
        EXPECT_TRUE(shows(last_x, last_y));
        EXPECT_EQ(moves_.back().x, last_x);
        EXPECT_EQ(moves_.back().y, last_y);
        moves_.clear();
        // Further motion outside reaches no handler; coming back in does.
        move_along(x, y, x + row.dx * 3, y + row.dy * 3, 3);
        move_along(x + row.dx * 3, y + row.dy * 3, 300, 150, 1);
        ASSERT_TRUE(shows(300, 150));
        for (const Move& m : moves_) {
            EXPECT_TRUE(m.x >= 0 && m.y >= 0 && m.x < width && m.y < height)
                << "FormMouseMove outside at (" << m.x << ", " << m.y << ")";
        }
    }
}

// A click on the form, then motion over it and out at once: the click is no
// drag, so the readout stays at the last position inside.
TEST_F(PointerTest, AfterAClickTheLastPositionInsideStaysOnLeaving) {
    ReleaseCounter releases;
    move_along(0, 0, 300, 150, 1);
    ASSERT_TRUE(shows(300, 150));
    driver_->click(xtest_, 1);
    driver_->sync();
    ASSERT_TRUE(testsupport::wait_until([&] { return releases.count > 0; }))
        << "the click never reached the toolkit";
    move_to(310, 160);
    move_to(window_->width() + 100, 160);
    driver_->sync();
    ASSERT_TRUE(testsupport::wait_until([&] { return !over(window_); }));
    EXPECT_TRUE(shows(310, 160));
    EXPECT_EQ(moves_.back().x, 310);
    EXPECT_EQ(moves_.back().y, 160);
    EXPECT_EQ(moves_.back().shift, 0);
}

// A drag that starts on the form follows the pointer outside the window, with
// the button in the shift state, up to the release.
TEST_F(PointerTest, ADragFromTheFormFollowsThePointerOutsideTheWindow) {
    move_along(0, 0, 300, 200, 1);
    ASSERT_TRUE(shows(300, 200));
    driver_->press(xtest_, 1);
    const int width = window_->width();
    move_along(300, 200, width + 60, 230, 12);
    ASSERT_TRUE(shows(width + 60, 230));
    EXPECT_EQ(moves_.back().shift, vcl::ssLeft);
    move_along(width + 60, 230, width + 90, -20, 5);
    ASSERT_TRUE(shows(width + 90, -20));
    EXPECT_EQ(moves_.back().shift, vcl::ssLeft);
    driver_->release(xtest_, 1);
    driver_->sync();
    ASSERT_TRUE(testsupport::wait_until([&] { return !over(window_); }));
    // Once released outside, motion there reaches no handler.
    const std::size_t before = moves_.size();
    move_along(width + 90, -20, width + 120, -30, 3);
    move_along(width + 120, -30, 200, 150, 1);
    ASSERT_TRUE(shows(200, 150));
    for (std::size_t i = before; i < moves_.size(); ++i) {
        EXPECT_TRUE(moves_[i].x < width && moves_[i].y >= 0)
            << "FormMouseMove at (" << moves_[i].x << ", " << moves_[i].y << ")";
    }
}

// A drag that starts on the button is the button's while the pointer is over
// it; off the button, once it has come up, the button passes the motion on to
// the form, inside the window or out.
TEST_F(PointerTest, ADragFromTheButtonReachesTheFormOnlyOffTheButton) {
    auto* button = static_cast<QPushButton*>(control(form_->btnCopy));
    const QRect area = button->geometry();
    const QPoint middle = area.center();
    move_along(0, 0, middle.x(), middle.y(), 1);
    ASSERT_TRUE(testsupport::wait_until([&] { return over(button); }));
    moves_.clear();
    driver_->press(xtest_, 1);
    driver_->sync();
    ASSERT_TRUE(testsupport::wait_until([&] { return button->isDown(); }));
    // Off the button, which comes up...
    move_along(middle.x(), middle.y(), area.left() - 40, area.top() - 60, 8);
    ASSERT_TRUE(testsupport::wait_until([&] { return !button->isDown(); }));
    // ...then out of the window: the form follows.
    move_along(area.left() - 40, area.top() - 60, -50, -40, 8);
    ASSERT_TRUE(shows(-50, -40));
    EXPECT_EQ(moves_.back().shift, vcl::ssLeft);
    // Back over the button, which goes down again and keeps the motion.
    move_along(-50, -40, middle.x() + 1, middle.y(), 8);
    ASSERT_TRUE(testsupport::wait_until([&] { return button->isDown(); }));
    move_along(middle.x() + 1, middle.y(), middle.x() - 3, middle.y() + 2, 3);
    // Released off the button: no click, the memo stays.
    move_along(middle.x() - 3, middle.y() + 2, area.left() - 30, area.top() - 30, 2);
    driver_->release(xtest_, 1);
    driver_->sync();
    ASSERT_TRUE(testsupport::wait_until([&] { return !button->isDown(); }));
    EXPECT_TRUE(form_->Memo1->Visible);
    move_along(area.left() - 30, area.top() - 30, area.left() - 31, area.top() - 30, 1);
    EXPECT_TRUE(shows(area.left() - 31, area.top() - 30));
    for (const Move& m : moves_) {
        EXPECT_FALSE(area.contains(m.x, m.y))
            << "FormMouseMove at (" << m.x << ", " << m.y << ") over the button";
    }
}

// A window shown under a pointer at rest: the first motion reaches the form.
TEST_F(PointerTest, AWindowShownUnderThePointerFollowsItFromTheFirstMotion) {
    form_->Hide();
    ASSERT_TRUE(testsupport::wait_until([&] { return !window_->isVisible(); }));
    move_to(320, 160);
    driver_->sync();
    form_->Show();
    ASSERT_TRUE(testsupport::wait_until([&] { return over(window_); }))
        << "the window never saw the pointer over it";
    const int x = left_ + 320;
    const int y = top_ + 160;
    locate();  // a window manager may place it anew
    move_along(x - left_, y - top_, 330, 170, 2);
    EXPECT_TRUE(shows(330, 170));
}

// A second master pointer (an MPX setup, or the benchmark's own fake pointer)
// over the window moves the readout as the first does.
TEST_F(PointerTest, AnotherMasterPointerMovesTheReadoutToo) {
    const xfake::Master second = driver_->add_masters(1, "second").front();
    driver_->warp(second.pointer, left_ + 320, top_ + 180);
    driver_->sync();
    ASSERT_TRUE(shows(320, 180));
    int x = 320;
    for (int burst = 0; burst < 3; ++burst) {
        for (int i = 0; i < 4; ++i)
            driver_->move(second.xtest_pointer, 1, 0);
        driver_->sync();
        x += 4;
        ASSERT_TRUE(shows(x, 180)) << "burst " << burst;
    }
}

}  // namespace

// One Xvfb (and openbox when asked) for the whole run, started before the
// toolkit connects to it; listing the cases needs neither.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const bool listing = ::testing::GTEST_FLAG(list_tests);
    const char* manager = std::getenv("RAWMICE_TEST_WINDOW_MANAGER");
    const bool with_openbox = manager != nullptr && std::string(manager) == "openbox";
    if (listing) {
        skip_reason = "listing only";
    } else if (!testsupport::xvfb_available()) {
        skip_reason = "Xvfb is not installed";
    } else if (with_openbox && !testsupport::program_available("openbox")) {
        skip_reason = "openbox is not installed (scripts/install-deps installs it)";
    } else {
        server = std::make_unique<testsupport::Xvfb>();
        if (with_openbox)
            window_manager = std::make_unique<testsupport::Openbox>(server->display());
        ::setenv("DISPLAY", server->display().c_str(), 1);
    }
    ::setenv("QT_QPA_PLATFORM", server != nullptr ? "xcb" : "offscreen", 1);
    ::unsetenv("WAYLAND_DISPLAY");
    int status = 0;
    {
        vcl::TApplication application(argc, argv);
        status = RUN_ALL_TESTS();
    }
    window_manager.reset();
    server.reset();
    return status;
}
