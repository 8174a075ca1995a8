// What the window system shows, frame after frame, of views that move their
// pixels rather than paint them again: the memo against a plain text view of
// every entry, side by side, once the memo has moved its pixels up and
// painted only the new lines; and a form's canvas, whose blocks moved within
// it the window scrolls, against the canvas itself. The process runs on its
// own Xvfb when there is one (the window system's backing store is then the
// one users have), else offscreen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextCursor>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/vcl/qt/native.h"
#include "platform/vcl/qt/widgets.h"
#include "platform/vcl/vcl.h"
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

// A chart that scrolls left by a few columns each frame, draws its new
// columns, and now and then a line across the moved part, as the plot and
// timing windows do: what the window shows is what the canvas holds.
TEST(CanvasOnScreen, BlocksMovedWithinItShowWhatItHolds) {
    vcl::TForm form(nullptr);
    QWidget* window = vcl::qt::widget(&form);
    window->setGeometry(0, 0, 400, 200);
    vcl::qt::ensure_size(*form.Canvas, window->size());
    window->show();
    ASSERT_TRUE(wait_until([&] {
        return window->isVisible() && window->windowHandle() != nullptr &&
               window->windowHandle()->isExposed();
    }));
    vcl::TCanvas& canvas = *form.Canvas;
    const vcl::TRect chart = vcl::Rect(20, 30, 380, 150);
    canvas.Brush->Color = vcl::clWhite;
    canvas.FillRect(chart);
    const auto on_screen_is_canvas = [&] {
        QImage shown;
        return wait_until([&] {
            shown = QGuiApplication::primaryScreen()
                        ->grabWindow(window->winId(), 0, 0, 400, 200)
                        .toImage()
                        .convertToFormat(QImage::Format_RGB32);
            return shown == vcl::qt::image(canvas).copy(0, 0, 400, 200);
        });
    };
    for (int frame = 0; frame < 40; ++frame) {
        const int shift = 1 + frame % 5;
        canvas.CopyRect(vcl::Rect(chart.Left, chart.Top, chart.Right - shift, chart.Bottom),
                        &canvas,
                        vcl::Rect(chart.Left + shift, chart.Top, chart.Right, chart.Bottom));
        for (int c = 0; c < shift; ++c) {
            const int x = chart.Right - shift + c;
            canvas.Brush->Color = vcl::clWhite;
            canvas.FillRect(vcl::Rect(x, chart.Top, x + 1, chart.Bottom));
            canvas.Brush->Color = static_cast<vcl::TColor>(0x20 * (frame % 7)) << 8 | 0xC0;
            const int y = chart.Top + 10 + (frame * 13 + c * 7) % 100;
            canvas.FillRect(vcl::Rect(x, y, x + 1, y + 6));
        }
        if (frame % 9 == 4) {
            // Across the moved part, drawn after the move in the same frame.
            canvas.Brush->Color = vcl::clBlack;
            canvas.FillRect(vcl::Rect(chart.Left, 60 + frame, chart.Right, 61 + frame));
        }
        vcl::FramePacer::flush_all();
        ASSERT_TRUE(on_screen_is_canvas()) << "frame " << frame;
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
