// The memo's lines drawn from what it keeps against the same text laid out
// and drawn afresh by the toolkit: lines composed from their words, lines
// laid out before, rows drawn once and then copied from their images, rows
// shared by different lines, on images, on pixmaps and on the X server's
// screen. The process runs on its own Xvfb when there is one (the
// window system's backing store is then the one users have), else offscreen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextCursor>
#include <QTextDocument>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/vcl/qt/memo_text.h"
#include "platform/vcl/qt/widgets.h"
#include "tests/support/test_support.h"
#include "tests/support/xvfb.h"

namespace {

using testsupport::wait_until;
using vcl::qt::LaidLine;
using vcl::qt::MemoText;

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

// The memo's view as the main window has it: its font, width and options.
class MemoTextTest : public ::testing::Test {
  protected:
    MemoTextTest() {
        QFont font(QStringLiteral("Liberation Sans"));
        font.setPixelSize(11);
        view_.setFont(font);
        view_.setGeometry(8, 8, 377, 105);
        font_ = view_.font();
        option_ = view_.document()->defaultTextOption();
        margin_ = view_.document()->documentMargin();
    }
    std::shared_ptr<const LaidLine> lay_out(MemoText& text, const std::string& line,
                                            qreal width = 367) {
        return text.lay_out(QString::fromStdString(line), font_, option_, margin_, width);
    }
    // `text` laid out by the toolkit alone, as the plain text view lays out a block.
    std::unique_ptr<QTextLayout> afresh(const std::string& text, qreal width = 367) const {
        auto layout = std::make_unique<QTextLayout>(QString::fromStdString(text), font_);
        layout->setTextOption(option_);
        qreal height = 0;
        layout->beginLayout();
        for (QTextLine row = layout->createLine(); row.isValid(); row = layout->createLine()) {
            row.setLeadingIncluded(true);
            row.setLineWidth(width);
            row.setPosition(QPointF(margin_, height));
            height += row.height();
        }
        layout->endLayout();
        return layout;
    }
    // `lines` one under the other from `top`, as a fresh layout of each draws them.
    QImage drawn_afresh(const std::vector<std::string>& lines, qreal top, QImage::Format format,
                        QColor background, QColor pen) {
        QImage image(view_width, view_height, format);
        image.fill(background);
        QPainter painter(&image);
        painter.setPen(pen);
        qreal y = top;
        for (const std::string& line : lines) {
            const auto layout = afresh(line);
            layout->draw(&painter, QPointF(0, y));
            const QTextLine last = layout->lineAt(layout->lineCount() - 1);
            y += last.y() + last.height();
        }
        return image;
    }
    // The same lines painted by `text` from its images; null when it declines.
    QImage copied(MemoText& text, const std::vector<std::string>& lines, qreal top,
                  QImage::Format format, QColor background, QColor pen) {
        QImage image(view_width, view_height, format);
        image.fill(background);
        QPainter painter(&image);
        painter.setPen(pen);
        std::vector<std::shared_ptr<const LaidLine>> kept;
        std::vector<MemoText::Placed> placed;
        qreal y = top;
        for (const std::string& line : lines) {
            kept.push_back(lay_out(text, line));
            placed.push_back({kept.back().get(), y});
            y += kept.back()->height;
        }
        if (!text.paint(painter, placed, image.rect(), view_width, QBrush(background)))
            return QImage();
        return image;
    }

    static constexpr int view_width = 375;
    static constexpr int view_height = 103;
    QPlainTextEdit view_;
    QFont font_;
    QTextOption option_;
    qreal margin_ = 0;
};

TEST_F(MemoTextTest, ALineComposedFromItsWordsIsTheLineTheToolkitLaysOut) {
    // Report lines of every kind of value, the listing's lines, at several
    // view widths: rows, glyphs, places and pixels as the toolkit's own.
    std::vector<std::string> lines;
    for (int mouse : {-1, 0, 2, 11})
        for (int dx : {0, 1, -1, 6, -6, 0x7f, -300, 70000})
            for (int dy : {0, 2, -5, 1000})
                lines.push_back(report_line(mouse, dx, dy));
    lines.push_back(
        "Mouse: num 1, usFlags=0000 ulButtons=780400 usButtonFlags=0400 "
        "usButtonData=0078 ulRawButtons=0000 lLastX=0000 lLastY=0000 "
        "ulExtraInformation=0000");
    for (int n = 0; n < 60; ++n)
        lines.push_back(report_line(2, (n * 7) % 5 - 2, n % 3 - 1));
    for (int n = 0; n < 100; ++n)
        lines.push_back(report_line(3, n % 10, n / 10));
    // Spaces the face kerns against the capital after them, pairs kerned inside words.
    for (const char* line : {"X = 540 , Y = 120", "X = 541 , Y = 121", "A T Y, AV AY. 11 1",
                             "  two spaces first", "ends with spaces   ", "Y"})
        lines.push_back(line);
    for (int i = 0; i < 12; ++i) {
        lines.push_back(std::to_string(i) + " " + std::to_string(65537 + i) + "  Mouse");
        lines.push_back("Amouse[" + std::to_string(i) + "] = " + std::to_string(65537 + i));
    }
    for (const qreal width : {367.0, 300.0, 180.0, 90.0, 700.0}) {
        MemoText text;
        for (const std::string& line : lines) {
            SCOPED_TRACE(line + " at " + std::to_string(width));
            const auto laid = lay_out(text, line, width);
            const auto fresh = afresh(line, width);
            ASSERT_EQ(static_cast<int>(laid->rows.size()), fresh->lineCount());
            for (int r = 0; r < fresh->lineCount(); ++r) {
                const QTextLine row = fresh->lineAt(r);
                const vcl::qt::LaidRow& same = laid->rows[static_cast<std::size_t>(r)];
                EXPECT_EQ(same.y, row.y());
                EXPECT_EQ(same.height, row.height());
                if (laid->layout == nullptr) {
                    const QList<QGlyphRun> runs = row.glyphRuns();
                    ASSERT_EQ(runs.size(), 1);
                    EXPECT_EQ(same.run.glyphIndexes(), runs[0].glyphIndexes());
                    EXPECT_EQ(same.run.positions(), runs[0].positions());
                    EXPECT_TRUE(same.run.rawFont() == runs[0].rawFont());
                }
            }
            for (const qreal top : {0.0, 3.5}) {
                QImage composed(view_width, 60, QImage::Format_RGB32);
                composed.fill(Qt::white);
                QImage expected = composed;
                QPainter on_composed(&composed);
                on_composed.setPen(Qt::black);
                laid->draw(on_composed, QPointF(0, top));
                on_composed.end();
                QPainter on_expected(&expected);
                on_expected.setPen(Qt::black);
                fresh->draw(&on_expected, QPointF(0, top));
                on_expected.end();
                EXPECT_EQ(composed, expected);
            }
        }
        EXPECT_EQ(text.counts().lines_composed + text.counts().lines_laid_out +
                      text.counts().lines_reused,
                  lines.size());
        if (width >= 180) {
            EXPECT_GT(text.counts().lines_composed, 90u) << "lines of one shape composed";
        }
    }
}

TEST_F(MemoTextTest, ALineComposedAlikeIsTakenFromItsWordsOtherTextFromTheToolkit) {
    MemoText text;
    // The first line of a shape is laid out by the toolkit, the next composed.
    EXPECT_NE(lay_out(text, report_line(2, 1, 0))->layout, nullptr);
    EXPECT_EQ(lay_out(text, report_line(2, 3, 0))->layout, nullptr) << "the same widths";
    EXPECT_NE(lay_out(text, report_line(2, 0xa, 0))->layout, nullptr) << "a wider letter";
    EXPECT_EQ(text.counts().lines_composed, 1u);

    // A word too long for a row is broken inside it: the toolkit's, always.
    EXPECT_NE(lay_out(text, "a wordtoolongforthiswidthandthennothing", 60)->layout, nullptr);
    EXPECT_NE(lay_out(text, "a wordtoolongforthiswidthandthennothinh", 60)->layout, nullptr);
    EXPECT_EQ(text.counts().shapes_refused, 1u);

    // So is a line with a word it may be broken inside (after a hyphen), and
    // what is not printable ASCII.
    for (const char* line : {"a well-known word", "a well-kn0wn word", "tab\there", "tab\thers",
                             "caf\u00e9 au lait", "caf\u00e8 au lait"})
        EXPECT_NE(lay_out(text, line, 60)->layout, nullptr) << line;
    EXPECT_EQ(text.counts().lines_composed, 1u);
}

TEST_F(MemoTextTest, RowsMetOnceAreMadeOfTheirWordsKeptWhenTheyComeAgainThenCopied) {
    struct Case {
        const char* what;
        qreal top;
        QImage::Format format;
        QColor background;
        QColor pen;
    };
    const Case cases[] = {
        {"at the top", 0, QImage::Format_RGB32, QColor(0xEF, 0xEF, 0xEF), QColor(0xBE, 0xBE, 0xBE)},
        {"scrolled up part of a row", -7, QImage::Format_RGB32, Qt::white, Qt::black},
        {"a quarter pixel down", 0.25, QImage::Format_RGB32, Qt::white, Qt::black},
        {"within a 64th of a pixel", 1 + 63 / 64.0, QImage::Format_RGB32, Qt::white,
         QColor(0x12, 0x34, 0x56)},
        {"above the top by a fraction", -20.5, QImage::Format_ARGB32_Premultiplied,
         QColor(0xEF, 0xEF, 0xEF), QColor(0xBE, 0xBE, 0xBE)},
        {"with alpha", 4, QImage::Format_ARGB32_Premultiplied, Qt::white, Qt::darkGreen},
    };
    // Rows shared between the lines (the same fields), rows of their own
    // (the motion), and a line of the listing.
    const std::vector<std::string> lines = {report_line(2, 1, 0), report_line(2, -1, 0),
                                            "Amouse[0] = 65537", report_line(2, -1, 0),
                                            report_line(0, 0x7f, -3)};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MemoText text;
        const QImage expected = drawn_afresh(lines, c.top, c.format, c.background, c.pen);
        const QImage first = copied(text, lines, c.top, c.format, c.background, c.pen);
        ASSERT_FALSE(first.isNull()) << "painted, not declined";
        EXPECT_EQ(first, expected) << "the first paint";
        EXPECT_GT(text.counts().rows_of_pieces, 0u) << "put together from the words' images";
        EXPECT_GT(text.counts().rows_copied, 0u) << "rows repeated within the paint";
        EXPECT_EQ(copied(text, lines, c.top, c.format, c.background, c.pen), expected)
            << "the second, keeping the rows";
        EXPECT_GT(text.counts().rows_kept, 0u);
        const MemoText::Counts before = text.counts();
        EXPECT_EQ(copied(text, lines, c.top, c.format, c.background, c.pen), expected)
            << "the third, from the images";
        EXPECT_EQ(text.counts().rows_drawn + text.counts().rows_of_pieces,
                  before.rows_drawn + before.rows_of_pieces)
            << "nothing drawn or put together again";
        EXPECT_EQ(text.counts().rows_kept, before.rows_kept);
        EXPECT_GT(text.counts().rows_copied, before.rows_copied);
        EXPECT_EQ(text.counts().lines_laid_out + text.counts().lines_composed, 4u)
            << "one layout per distinct line";
    }
}

TEST_F(MemoTextTest, ARowOfTheSameGlyphsIsKeptOnceWhateverLineItComesFrom) {
    MemoText text;
    const QColor background(0xEF, 0xEF, 0xEF);
    const QColor pen(0xBE, 0xBE, 0xBE);
    const std::vector<std::string> first = {report_line(2, 1, 0)};
    for (int i = 0; i < 2; ++i)
        ASSERT_FALSE(copied(text, first, 0, QImage::Format_RGB32, background, pen).isNull());
    const std::uint64_t kept = text.counts().rows_kept;
    EXPECT_GE(kept, 2u) << "a report line wraps";

    // Another motion: the rows of the other fields come from the images.
    const std::vector<std::string> second = {report_line(2, 5, -2)};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(copied(text, second, 0, QImage::Format_RGB32, background, pen),
                  drawn_afresh(second, 0, QImage::Format_RGB32, background, pen));
    }
    EXPECT_EQ(text.counts().rows_kept, kept + 1) << "only the motion's row is new";

    // The same rows at another place within a pixel are drawn anew.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(copied(text, second, 0.5, QImage::Format_RGB32, background, pen),
                  drawn_afresh(second, 0.5, QImage::Format_RGB32, background, pen));
    }
    EXPECT_GT(text.counts().rows_kept, kept + 1);
}

TEST_F(MemoTextTest, WordsWhoseInkMeetsAreDrawnTogether) {
    // Slanted slashes in a small face reach over the space between them: the
    // row is drawn as a whole, not put together from the two.
    QFont slanted(QStringLiteral("Liberation Serif"));
    slanted.setPixelSize(6);
    slanted.setItalic(true);
    MemoText text;
    const QString line = QStringLiteral("/ /");
    const auto laid = text.lay_out(line, slanted, option_, margin_, 367);
    QImage image(view_width, view_height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QImage expected = image;
    QPainter painter(&image);
    painter.setPen(Qt::black);
    ASSERT_TRUE(text.paint(painter, {{laid.get(), 10}}, image.rect(), view_width, Qt::white));
    painter.end();
    EXPECT_EQ(text.counts().rows_of_pieces, 0u);
    EXPECT_EQ(text.counts().rows_drawn, 1u);

    QTextLayout fresh(line, slanted);
    fresh.setTextOption(option_);
    fresh.beginLayout();
    QTextLine row = fresh.createLine();
    row.setLeadingIncluded(true);
    row.setLineWidth(367);
    row.setPosition(QPointF(margin_, 0));
    fresh.endLayout();
    QPainter on_expected(&expected);
    on_expected.setPen(Qt::black);
    fresh.draw(&on_expected, QPointF(0, 10));
    on_expected.end();
    EXPECT_EQ(image, expected);
}

TEST_F(MemoTextTest, ALineSeenLatelyIsNotLaidOutAgain) {
    MemoText text;
    const auto first = lay_out(text, report_line(1, 2, 3));
    EXPECT_EQ(lay_out(text, report_line(1, 2, 3)), first) << "the same line";
    EXPECT_NE(lay_out(text, report_line(1, 2, 4)), first);
    EXPECT_EQ(text.counts().lines_laid_out, 1u) << "the first of its shape";
    EXPECT_EQ(text.counts().lines_composed, 1u) << "the second, from its words";
    EXPECT_EQ(text.counts().lines_reused, 1u);

    // Another width lays everything out afresh.
    const auto narrower = lay_out(text, report_line(1, 2, 3), 200);
    EXPECT_NE(narrower, first);
    EXPECT_GT(narrower->rows.size(), first->rows.size());
    EXPECT_EQ(text.counts().lines_laid_out, 2u);

    // Once as many other lines came, it is made again.
    for (std::size_t i = 0; i < MemoText::kept_lines; ++i)
        lay_out(text, report_line(1, static_cast<int>(i) + 100, 0), 200);
    const MemoText::Counts before = text.counts();
    lay_out(text, report_line(1, 2, 3), 200);
    EXPECT_EQ(text.counts().lines_reused, before.lines_reused);
}

TEST_F(MemoTextTest, WhereACopyWouldNotBeTheSameItDeclinesAndPaintsNothing) {
    const QColor background(Qt::white);
    const QImage blank = [&] {
        QImage image(view_width, view_height, QImage::Format_RGB32);
        image.fill(background);
        return image;
    }();
    MemoText text;
    const auto line = lay_out(text, report_line(0, 1, 1));
    const std::vector<MemoText::Placed> placed = {{line.get(), 0}};
    const auto declines = [&](const std::function<void(QPainter&)>& set_up, const QBrush& brush) {
        QImage image = blank;
        QPainter painter(&image);
        painter.setPen(Qt::black);
        set_up(painter);
        const bool painted = text.paint(painter, placed, image.rect(), view_width, brush);
        painter.end();
        return !painted && image == blank;
    };
    EXPECT_TRUE(declines([](QPainter&) {}, QBrush(QLinearGradient(0, 0, 10, 10))))
        << "a background that is not one colour";
    EXPECT_TRUE(declines([](QPainter&) {}, QBrush(QColor(0, 0, 0, 128)))) << "see-through";
    EXPECT_TRUE(declines([](QPainter& p) { p.translate(0.5, 0); }, QBrush(background)))
        << "moved by part of a pixel";
    EXPECT_TRUE(declines([](QPainter& p) { p.scale(2, 2); }, QBrush(background))) << "scaled";
    EXPECT_TRUE(declines([](QPainter& p) { p.setOpacity(0.5); }, QBrush(background)));

    // Glyphs that reach out of their row are drawn in order by the caller,
    // never copied over their neighbours: a line whose ink, drawn alone,
    // reaches past its own row (the integral's halves, from a fallback font).
    std::shared_ptr<const LaidLine> tall;
    for (const char* candidate : {"\u2320\u2321", "\u23B2\u23B3", "\u222B\u2A0C"}) {
        const auto laid = lay_out(text, candidate);
        QImage alone(view_width, 3 * view_height, QImage::Format_RGB32);
        alone.fill(background);
        QPainter on_alone(&alone);
        on_alone.setPen(Qt::black);
        laid->draw(on_alone, QPointF(0, view_height));
        on_alone.end();
        for (int y = 0; y < alone.height() && tall == nullptr; ++y) {
            if (y >= view_height && y < view_height + laid->height)
                continue;
            for (int x = 0; x < alone.width() && tall == nullptr; ++x) {
                if (alone.pixel(x, y) != blank.pixel(0, 0))
                    tall = laid;
            }
        }
    }
    if (tall == nullptr)
        GTEST_SKIP() << "no font here draws a glyph past its row";
    QImage image = blank;
    QPainter painter(&image);
    painter.setPen(Qt::black);
    EXPECT_FALSE(text.paint(painter, {{placed[0]}, {tall.get(), placed[0].line->height}},
                            image.rect(), view_width, QBrush(background)));
    painter.end();
    EXPECT_EQ(image, blank);

    // An integer move is only another place on the device.
    QImage moved = blank;
    QPainter on_moved(&moved);
    on_moved.setPen(Qt::black);
    on_moved.translate(3, 2);
    EXPECT_TRUE(text.paint(on_moved, placed, QRect(0, 0, view_width, view_height), view_width,
                           QBrush(background)));
    on_moved.end();
    QImage expected = blank;
    QPainter on_expected(&expected);
    on_expected.setPen(Qt::black);
    on_expected.translate(3, 2);
    line->draw(on_expected, QPointF(0, 0));
    on_expected.end();
    EXPECT_EQ(moved, expected);
}

TEST_F(MemoTextTest, OnAPixmapTheRowsAreCopiedAlike) {
    MemoText text;
    const std::vector<std::string> lines = {report_line(2, 1, 0), report_line(2, 2, 0)};
    for (const bool alpha : {false, true}) {
        SCOPED_TRACE(alpha ? "with alpha" : "opaque");
        QPixmap pixmap(view_width, view_height);
        pixmap.fill(alpha ? QColor(Qt::transparent) : QColor(Qt::white));
        {
            QPainter painter(&pixmap);
            painter.fillRect(pixmap.rect(), Qt::white);
            painter.setPen(Qt::black);
            std::vector<std::shared_ptr<const LaidLine>> kept;
            std::vector<MemoText::Placed> placed;
            qreal y = 0;
            for (const std::string& line : lines) {
                kept.push_back(lay_out(text, line));
                placed.push_back({kept.back().get(), y});
                y += kept.back()->height;
            }
            ASSERT_TRUE(text.paint(painter, placed, pixmap.rect(), view_width, QBrush(Qt::white)));
        }
        const QImage expected = drawn_afresh(lines, 0, QImage::Format_RGB32, Qt::white, Qt::black);
        EXPECT_EQ(pixmap.toImage().convertToFormat(QImage::Format_RGB32), expected);
    }
}

// The memo and a plain text view of every entry, side by side on the screen:
// what the window system shows of each, frame after frame.
TEST_F(MemoTextTest, OnTheScreenTheMemoShowsWhatThePlainViewShows) {
    QWidget window;
    window.setGeometry(0, 0, 800, 140);
    vcl::qt::Memo memo(&window);
    QPlainTextEdit reference(&window);
    int x = 8;
    for (QPlainTextEdit* view : {static_cast<QPlainTextEdit*>(&memo), &reference}) {
        view->setFont(font_);
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
    EXPECT_GT(memo.kept().counts().rows_copied, 0u) << "rows were copied, not drawn";
    EXPECT_GT(memo.kept().counts().lines_reused, 0u) << "lines were taken again";
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
