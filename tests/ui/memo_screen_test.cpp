// The memo against a plain text view of every entry, side by side on the X
// server's screen: what the window system shows of each, frame after frame,
// once the memo has moved its pixels up and painted only the new lines. The
// process runs on its own Xvfb when there is one (the window system's backing
// store is then the one users have), else offscreen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextCursor>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/vcl/qt/widgets.h"
#include "tests/support/test_support.h"
#include "tests/support/xvfb.h"

namespace {

using testsupport::wait_until;

std::unique_ptr<testsupport::Xvfb> server;

std::string report_line(int mouse, int dx, int dy) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "Mouse: num %d, usFlags=0000 ulButtons=0000 usButtonFlags=0000 "
                  "usButtonData=0000 ulRawButtons=0000 lLastX=%04x lLastY=%04x "
                  "ulExtraInformation=0000",
                  mouse, static_cast<unsigned>(dx), static_cast<unsigned>(dy));
    return line;
}

// The memo and a plain text view of every entry, side by side on the screen:
// what the window system shows of each, frame after frame.
TEST(MemoOnScreen, ShowsWhatThePlainViewShowsFrameAfterFrame) {
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(11);
    QWidget window;
    window.setGeometry(0, 0, 800, 140);
    vcl::qt::Memo memo(&window);
    QPlainTextEdit reference(&window);
    int x = 8;
    for (QPlainTextEdit* view : {static_cast<QPlainTextEdit*>(&memo), &reference}) {
        view->setFont(font);
        view->setGeometry(x, 8, 377, 105);
        view->setEnabled(false);
        view->setReadOnly(true);
        view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        x += 400;
    }
    window.show();
    ASSERT_TRUE(wait_until([&] { return memo.isVisible() && !memo.visibleRegion().isEmpty(); }));
    vcl::TStrings& lines = *memo.control().Lines;
    QString all;
    // What the window system shows of a view, once it shows what the view
    // paints now (the plain view painted afresh, the memo as its frames left it).
    const auto on_screen = [&](QWidget& view) {
        QImage shown;
        const bool settled = wait_until([&] {
            shown =
                QGuiApplication::primaryScreen()
                    ->grabWindow(window.winId(), view.x(), view.y(), view.width(), view.height())
                    .toImage()
                    .convertToFormat(QImage::Format_RGB32);
            return shown == view.grab().toImage().convertToFormat(QImage::Format_RGB32);
        });
        return settled ? shown : QImage();
    };
    const QImage empty = on_screen(reference);
    ASSERT_FALSE(empty.isNull());
    const auto shows_the_same = [&] {
        reference.setPlainText(all);
        reference.moveCursor(QTextCursor::End);
        const QImage shown = on_screen(memo);
        const QImage expected = on_screen(reference);
        return !shown.isNull() && shown != empty && shown == expected;
    };
    int n = 0;
    for (int frame = 0; frame < 30; ++frame) {
        // A few motions a frame, coming back to the same values as a mouse does.
        for (int i = 0; i < 1 + frame % 4; ++i, ++n) {
            const std::string line = report_line(2, (n * 7) % 5 - 2, (n % 3) - 1);
            lines.Add(line + "\r\n");
            all += (all.isEmpty() ? "" : "\n") + QString::fromStdString(line) + "\n";
        }
        lines.flush_view();
        ASSERT_TRUE(shows_the_same()) << "frame " << frame;
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!::testing::GTEST_FLAG(list_tests) && testsupport::xvfb_available()) {
        server = std::make_unique<testsupport::Xvfb>();
        ::setenv("DISPLAY", server->display().c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    } else {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    ::unsetenv("WAYLAND_DISPLAY");
    int status = 0;
    {
        QApplication application(argc, argv);
        status = RUN_ALL_TESTS();
    }
    server.reset();
    return status;
}
