#include "platform/vcl/vcl.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFont>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QTextDocument>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <iostream>

namespace vcl {

TApplication* Application = nullptr;

namespace {

QString qstring(const String& text) {
    return QString::fromStdString(text);
}
String string(const QString& text) {
    return text.toStdString();
}

// Windows' system colour indexes and the palette entries that stand for them.
// A form's background, clBtnFace, is Qt's Window role: on Windows both are the
// button face.
struct SystemColour {
    unsigned index;
    QPalette::ColorGroup group;
    QPalette::ColorRole role;
};
constexpr SystemColour system_colours[] = {
    {5, QPalette::Active, QPalette::Base},              // COLOR_WINDOW
    {8, QPalette::Active, QPalette::WindowText},        // COLOR_WINDOWTEXT
    {13, QPalette::Active, QPalette::Highlight},        // COLOR_HIGHLIGHT
    {14, QPalette::Active, QPalette::HighlightedText},  // COLOR_HIGHLIGHTTEXT
    {15, QPalette::Active, QPalette::Window},           // COLOR_BTNFACE
    {16, QPalette::Active, QPalette::Dark},             // COLOR_BTNSHADOW
    {17, QPalette::Disabled, QPalette::Text},           // COLOR_GRAYTEXT
    {18, QPalette::Active, QPalette::ButtonText},       // COLOR_BTNTEXT
    {20, QPalette::Active, QPalette::Light},            // COLOR_BTNHIGHLIGHT
    {21, QPalette::Active, QPalette::Shadow},           // COLOR_3DDKSHADOW
    {22, QPalette::Active, QPalette::Midlight},         // COLOR_3DLIGHT
    {23, QPalette::Active, QPalette::ToolTipText},      // COLOR_INFOTEXT
    {24, QPalette::Active, QPalette::ToolTipBase},      // COLOR_INFOBK
};

// A memo entry as its view shows it: every line break (CR LF, CR, LF, or a
// separator QTextDocument breaks at) starts a new line.
QString view_text(const String& entry) {
    QString text = qstring(entry);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    for (QChar& c : text) {
        if (c == QLatin1Char('\r') || c == QChar::ParagraphSeparator || c.unicode() == 0xfdd0 ||
            c.unicode() == 0xfdd1) {
            c = QLatin1Char('\n');
        }
    }
    return text;
}

void present_on_screen(const String& message) {
    const QString name = QCoreApplication::applicationName();
    std::cerr << string(name) << ": " << message << std::endl;
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return;
    QMessageBox::critical(nullptr, name, qstring(message));
}

// Frame n of the process's frame grid starts at n * frame_ms of the monotonic
// clock (CLOCK_MONOTONIC on Linux), a grid the input side meets by itself: it
// reads a busy input just as a frame starts, so both take one wake-up.
std::int64_t frame_clock_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int to_int(double value) {
    return static_cast<int>(std::clamp(std::floor(value), double{INT_MIN}, double{INT_MAX}));
}

}  // namespace

String IntToStr(int value) {
    return std::to_string(value);
}

QColor to_qcolor(TColor color) {
    if ((color & 0xFF000000u) != 0) {
        for (const SystemColour& system : system_colours) {
            if (system.index == (color & 0xFFu)) {
                return QGuiApplication::palette().color(system.group, system.role);
            }
        }
        return QColor(Qt::black);
    }
    return QColor(static_cast<int>(color & 0xFFu), static_cast<int>((color >> 8) & 0xFFu),
                  static_cast<int>((color >> 16) & 0xFFu));
}

TColor from_qcolor(QColor color) {
    const QRgb rgb = color.rgb();
    return static_cast<TColor>(qRed(rgb)) | static_cast<TColor>(qGreen(rgb)) << 8 |
           static_cast<TColor>(qBlue(rgb)) << 16;
}

void fire_event(TObject* sender, const std::function<void()>& handler) {
    try {
        handler();
    } catch (...) {
        if (Application != nullptr) {
            Application->HandleException(sender);
        } else {
            std::cerr << "vcl: an event handler failed with no application to report it"
                      << std::endl;
        }
    }
}

FramePacer::FramePacer(std::function<void()> update) : update_(std::move(update)) {
    timer_.setSingleShot(true);
    // Precise, so that every pacer of the process meets on the same frame boundary.
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { run(); });
}

void FramePacer::request() {
    if (timer_.isActive())
        return;
    timer_.start(static_cast<int>(frame_ms - frame_clock_ms() % frame_ms));
}

void FramePacer::run_or_request() {
    if (timer_.isActive())
        return;
    if (last_frame_ == frame_clock_ms() / frame_ms) {
        request();
    } else {
        run();
    }
}

void FramePacer::flush() {
    if (!timer_.isActive())
        return;
    timer_.stop();
    run();
}

void FramePacer::run() {
    last_frame_ = frame_clock_ms() / frame_ms;
    update_();
}

TControl::TControl(QWidget* self)
    : Enabled([self] { return !self->testAttribute(Qt::WA_ForceDisabled); },
              [self](const bool& on) { self->setEnabled(on); }),
      Visible(
          [self] {
              QWidget* parent = self->parentWidget();
              return parent != nullptr ? self->isVisibleTo(parent) : self->isVisible();
          },
          [self](const bool& on) { self->setVisible(on); }),
      self_(self) {}

void TControl::Show() {
    self_->show();
}

void TControl::Hide() {
    self_->hide();
}

TLabel::TLabel(QWidget* parent)
    : QLabel(parent),
      TControl(this),
      Caption([this] { return caption(); },
              [this](const String& caption) { set_caption(caption); }),
      shown_([this] { show_caption(); }) {}

String TLabel::caption() const {
    return shown_.pending() ? caption_ : string(text());
}

void TLabel::set_caption(const String& caption) {
    if (!shown_.pending() &&
        QAnyStringView::equal(
            text(), QUtf8StringView(caption.data(), static_cast<qsizetype>(caption.size())))) {
        return;  // shown already: no layout
    }
    caption_ = caption;
    shown_.run_or_request();
}

void TLabel::show_caption() {
    setText(qstring(caption_));
    resize(sizeHint());
}

TButton::TButton(QWidget* parent)
    : QPushButton(parent),
      TControl(this),
      Caption([this] { return string(text()); },
              [this](const String& caption) { setText(qstring(caption)); }) {
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (!OnClick)
            return;
        const TNotifyEvent handler = OnClick;
        fire_event(this, [&] { handler(this); });
    });
}

void TButton::Click() {
    click();
}

TEdit::TEdit(QWidget* parent)
    : QLineEdit(parent),
      TControl(this),
      Text([this] { return string(text()); },
           [this](const String& value) { setText(qstring(value)); }) {}

TStrings::TStrings(TMemo* view) : view_(view), repaint_([this] { view_->refresh(); }) {}

void TStrings::Add(const String& text) {
    Add(String(text));
}

void TStrings::Add(String&& text) {
    if (entries_.size() == static_cast<std::size_t>(capacity)) {
        entries_.pop_front();
        ++dropped_;
        ++removed_;
    }
    entries_.push_back(std::move(text));
    ++changes_;
    repaint_.request();
}

void TStrings::Clear() {
    removed_ += entries_.size();
    entries_.clear();
    ++changes_;
    repaint_.request();
}

void TStrings::flush_view() {
    repaint_.flush();
}

TMemo::TMemo(QWidget* parent)
    : QPlainTextEdit(parent),
      TControl(this),
      Lines(nullptr),
      lines_(std::make_unique<TStrings>(this)) {
    Lines = lines_.get();
}

TMemo::~TMemo() = default;

TMemo::ShownLine TMemo::lay_out(std::uint64_t entry, int line, const QString& text) const {
    // As the plain text view lays out a block: its document's options, font and
    // margins, the width of the view, leading included.
    const qreal margin = document()->documentMargin();
    const int view_width = viewport()->width();
    const qreal width = (view_width > 0 ? view_width : qreal(INT_MAX)) - 2 * margin;
    auto layout = std::make_unique<QTextLayout>(text, font());
    layout->setTextOption(document()->defaultTextOption());
    layout->setCacheEnabled(true);
    qreal height = 0;
    layout->beginLayout();
    for (QTextLine row = layout->createLine(); row.isValid(); row = layout->createLine()) {
        row.setLeadingIncluded(true);
        row.setLineWidth(width);
        row.setPosition(QPointF(margin, height));
        height += row.height();
        if (row.leading() < 0)
            height += std::ceil(row.leading());
    }
    layout->endLayout();
    return {entry, line, std::move(layout), height};
}

bool TMemo::arranged_now() const {
    return arranged_changes_ == lines_->changes_ && arranged_size_ == viewport()->size() &&
           arranged_font_ == font();
}

void TMemo::arrange() {
    const TStrings& lines = *lines_;
    if (arranged_size_.width() != viewport()->width() || arranged_font_ != font())
        shown_.clear();
    arranged_changes_ = lines.changes_;
    arranged_size_ = viewport()->size();
    arranged_font_ = font();
    const qreal view_height = viewport()->height();
    // The lines from the newest back, until they fill the view; a line laid
    // out for the last paint is taken over.
    std::vector<ShownLine> in_view;
    std::size_t reused_from = shown_.size();
    qreal filled = 0;
    bool at_top = false;
    for (int e = lines.Count() - 1; e >= 0 && filled <= view_height; --e) {
        const std::uint64_t entry = lines.removed_ + static_cast<std::uint64_t>(e);
        const QStringList parts = view_text(lines[e]).split(QLatin1Char('\n'));
        for (int l = static_cast<int>(parts.size()) - 1; l >= 0 && filled <= view_height; --l) {
            while (reused_from > 0 &&
                   (shown_[reused_from - 1].entry > entry ||
                    (shown_[reused_from - 1].entry == entry && shown_[reused_from - 1].line > l)))
                --reused_from;
            if (reused_from > 0 && shown_[reused_from - 1].entry == entry &&
                shown_[reused_from - 1].line == l) {
                in_view.push_back(std::move(shown_[--reused_from]));
            } else {
                in_view.push_back(lay_out(entry, l, parts[l]));
            }
            filled += in_view.back().height;
            at_top = e == 0 && l == 0;
        }
    }
    std::reverse(in_view.begin(), in_view.end());
    shown_ = std::move(in_view);

    // Scrolled to the end, the view starts at the first row from which every
    // row down to the last fits. As the plain text view does, a view that
    // starts inside a wrapped line starts below the natural bottom of the row
    // above (in whole pixels), and one that starts at the very first line has
    // the top margin.
    qreal top = 0;
    qreal block_top = 0;
    for (std::size_t b = 0; b < shown_.size(); ++b) {
        const QTextLayout& layout = *shown_[b].layout;
        int first_row = -1;
        for (int r = 0; r < layout.lineCount() && first_row < 0; ++r) {
            if (filled - (block_top + layout.lineAt(r).y()) <= view_height)
                first_row = r;
        }
        if (first_row >= 0) {
            top = first_row == 0
                      ? block_top
                      : block_top + static_cast<int>(
                                        layout.lineAt(first_row - 1).naturalTextRect().bottom());
            if (at_top && b == 0 && first_row == 0)
                top -= document()->documentMargin();
            break;
        }
        block_top += shown_[b].height;
    }
    top_ = top;
}

void TMemo::refresh() {
    QWidget* view = viewport();
    if (!view->isVisible()) {
        // Laid out when it shows again, and painted whole then.
        on_screen_known_ = false;
        view->update();
        return;
    }
    const bool can_scroll = on_screen_known_ && !paint_pending_ && arranged_size_ == view->size() &&
                            arranged_font_ == font();
    arrange();
    qreal last_y = -top_;
    for (std::size_t b = 0; b + 1 < shown_.size(); ++b)
        last_y += shown_[b].height;
    // Where the newest line on screen is now.
    qreal now_y = -top_;
    std::size_t b = 0;
    while (b < shown_.size() &&
           (shown_[b].entry != on_screen_entry_ || shown_[b].line != on_screen_line_))
        now_y += shown_[b++].height;
    const qreal dy = now_y - on_screen_y_;
    const qreal was_below = b < shown_.size() ? now_y + shown_[b].height : 0;

    on_screen_known_ = !shown_.empty();
    if (on_screen_known_) {
        on_screen_entry_ = shown_.back().entry;
        on_screen_line_ = shown_.back().line;
        on_screen_y_ = last_y;
    }
    paint_pending_ = true;
    const int height = view->height();
    // The lines that stay move up together: their pixels move, and the lines
    // below them are painted. Anything else (a line gone, a move by a fraction
    // of a pixel or by the whole view) is painted afresh.
    if (!can_scroll || b == shown_.size() || dy > 0 || dy != std::floor(dy) || -dy >= height) {
        view->update();
        return;
    }
    if (dy < 0)
        view->scroll(0, static_cast<int>(dy));
    const int strip_top = std::max(0, static_cast<int>(std::floor(was_below)));
    if (strip_top < height) {
        view->update(QRect(0, strip_top, view->width(), height - strip_top));
    } else if (dy == 0) {
        paint_pending_ = false;  // nothing on screen changes
    }
}

void TMemo::paintEvent(QPaintEvent* event) {
    paint_pending_ = false;
    if (lines_->Count() == 0) {
        shown_.clear();
        arranged_changes_ = lines_->changes_;
        QPlainTextEdit::paintEvent(event);
        return;
    }
    if (!arranged_now()) {
        // Entries came after the frame's refresh (or the view changed): what
        // is painted now must agree with the pixels around it, so all of it is.
        const bool partial = event->rect() != viewport()->rect();
        arrange();
        on_screen_known_ = false;
        if (partial) {
            paint_pending_ = true;
            viewport()->update();
        }
    }
    QPainter painter(viewport());
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    const QRect area = event->rect();
    qreal y = -top_;
    for (const ShownLine& shown : shown_) {
        if (y + shown.height >= area.top() && y <= area.bottom())
            shown.layout->draw(&painter, QPointF(0, y));
        y += shown.height;
    }
}

TForm::TForm(TComponent* Owner)
    : QWidget(nullptr),
      Canvas(nullptr),
      Caption([this] { return string(windowTitle()); },
              [this](const String& caption) { setWindowTitle(qstring(caption)); }),
      Visible([this] { return isVisible(); },
              [this](const bool& on) {
                  if (on) {
                      Show();
                  } else {
                      Hide();
                  }
              }) {
    // Forms are top-level windows; the application (the owner) keeps them.
    Q_UNUSED(Owner);
    canvas_ = std::make_unique<TCanvas>(this);
    Canvas = canvas_.get();
    setMouseTracking(true);
}

TForm::~TForm() = default;

void TForm::Show() {
    show();
    // Brought to the front as well, where the platform has a front to bring it to.
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
        raise();
}

void TForm::Hide() {
    hide();
}

void TForm::Close() {
    close();
}

void TForm::Dispatch(void* Message) {
    Q_UNUSED(Message);
}

TForm* TForm::active() {
    return qobject_cast<TForm*>(QApplication::activeWindow());
}

bool TForm::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::WindowActivate && OnActivate) {
        const TNotifyEvent handler = OnActivate;
        fire_event(this, [&] { handler(this); });
    }
    return handled;
}

void TForm::paintEvent(QPaintEvent* event) {
    const QImage& image = canvas_->image();
    const QRect area = event->rect() & image.rect();
    if (area.isEmpty())
        return;
    QPainter painter(this);
    painter.drawImage(area.topLeft(), image, area);
}

void TForm::resizeEvent(QResizeEvent* event) {
    canvas_->ensure_size(event->size());
    QWidget::resizeEvent(event);
}

void TForm::mouseMoveEvent(QMouseEvent* event) {
    if (OnMouseMove) {
        TShiftState shift = 0;
        const Qt::KeyboardModifiers modifiers = event->modifiers();
        if (modifiers & Qt::ShiftModifier)
            shift |= ssShift;
        if (modifiers & Qt::AltModifier)
            shift |= ssAlt;
        if (modifiers & Qt::ControlModifier)
            shift |= ssCtrl;
        const Qt::MouseButtons buttons = event->buttons();
        if (buttons & Qt::LeftButton)
            shift |= ssLeft;
        if (buttons & Qt::RightButton)
            shift |= ssRight;
        if (buttons & Qt::MiddleButton)
            shift |= ssMiddle;
        const int x = to_int(event->position().x());
        const int y = to_int(event->position().y());
        const TMouseMoveEvent handler = OnMouseMove;
        fire_event(this, [&] { handler(this, shift, x, y); });
    }
    QWidget::mouseMoveEvent(event);
}

void TForm::keyPressEvent(QKeyEvent* event) {
    // Esc presses the cancel button, as a dialog key with no shift state.
    if (event->key() == Qt::Key_Escape &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        for (QWidget* child : findChildren<QWidget*>()) {
            auto* button = qobject_cast<TButton*>(child);
            if (button != nullptr && button->Cancel && button->isEnabled() &&
                button->isVisibleTo(this)) {
                button->Click();
                event->accept();
                return;
            }
        }
    }
    QWidget::keyPressEvent(event);
}

void TForm::closeEvent(QCloseEvent* event) {
    TCloseAction action = caHide;
    if (OnClose) {
        const TCloseEvent handler = OnClose;
        // NOTE: a handler that throws is reported and the window still closes, so a
        // failing handler can never keep the program open.
        fire_event(this, [&] { handler(this, action); });
    }
    if (action == caNone) {
        event->ignore();
        return;
    }
    if (action == caMinimize) {
        event->ignore();
        showMinimized();
        return;
    }
    // Memos and labels may still wait for their frame: the window shows every
    // entry and the latest captions before it goes.
    for (TMemo* memo : findChildren<TMemo*>())
        memo->Lines->flush_view();
    for (TLabel* label : findChildren<TLabel*>())
        label->flush_caption();
    // caHide, and caFree too: the application keeps its forms until it ends.
    event->accept();
    if (Application != nullptr && Application->MainForm() == this) {
        Application->main_form_closed();
    }
}

void TForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!activated_once_) {
        activated_once_ = true;
        // Asked for once the window exists: without a window manager (offscreen,
        // a bare X server) nothing else would activate it.
        QTimer::singleShot(0, this, [this] {
            if (isVisible())
                activateWindow();
        });
    }
}

void FormClass::stream(TForm& form) const {
    if (!setup_)
        throw Exception("a form class without a layout");
    setup_(form);
    const String form_name = string(form.objectName());
    const auto failure = [&form_name](const String& what) {
        return Exception(form_name + ": " + what);
    };

    // What uic does not carry over: a window's position and a font size in pixels.
    const QVariant position = form.property("windowPosition");
    if (position.isValid())
        form.move(position.toPoint());
    const QVariant pixel_size = form.property("fontPixelSize");
    if (pixel_size.isValid()) {
        if (pixel_size.toInt() <= 0)
            throw failure("fontPixelSize must be a positive number");
        QFont font = form.font();
        font.setPixelSize(pixel_size.toInt());
        form.setFont(font);
    }

    for (const auto& [name, fill] : fields_) {
        QWidget* widget = form.findChild<QWidget*>(qstring(name));
        if (widget == nullptr)
            throw failure("the layout has no control for the field " + name);
        if (!fill(form, widget)) {
            throw failure("the control " + name + " is a " + widget->metaObject()->className() +
                          ", which does not fit the field " + name);
        }
    }

    const auto unknown_handler = [&](const String& event, const String& handler) {
        const bool other_kind =
            notify_.count(handler) + close_.count(handler) + mouse_.count(handler) > 0;
        return failure(other_kind ? "the handler " + handler + " does not fit the event " + event
                                  : "no handler named " + handler + " for the event " + event);
    };
    const auto bind = [&](const auto& handlers, const String& event, const String& handler) {
        const auto found = handlers.find(handler);
        if (found == handlers.end())
            throw unknown_handler(event, handler);
        return found->second(form);
    };

    for (const QByteArray& property : form.dynamicPropertyNames()) {
        if (!property.startsWith("On"))
            continue;
        const String event = property.toStdString();
        const String handler = string(form.property(property.constData()).toString());
        if (handler.empty())
            continue;
        if (event == "OnCreate") {
            form.OnCreate = bind(notify_, event, handler);
        } else if (event == "OnActivate") {
            form.OnActivate = bind(notify_, event, handler);
        } else if (event == "OnClose") {
            form.OnClose = bind(close_, event, handler);
        } else if (event == "OnMouseMove") {
            form.OnMouseMove = bind(mouse_, event, handler);
        } else {
            throw failure("a form has no event " + event);
        }
    }

    for (QWidget* widget : form.findChildren<QWidget*>()) {
        auto* button = qobject_cast<TButton*>(widget);
        for (const QByteArray& property : widget->dynamicPropertyNames()) {
            if (button != nullptr && property == "Cancel") {
                button->Cancel = widget->property("Cancel").toBool();
                continue;
            }
            if (!property.startsWith("On"))
                continue;
            const String event = property.toStdString();
            const String handler = string(widget->property(property.constData()).toString());
            if (handler.empty())
                continue;
            if (button == nullptr || event != "OnClick") {
                throw failure(string(widget->objectName()) + " has no event " + event);
            }
            button->OnClick = bind(notify_, string(widget->objectName()) + "." + event, handler);
        }
    }
}

TApplication::TApplication(int& argc, char** argv)
    : qt_(std::make_unique<QApplication>(argc, argv)),
      owner_(std::make_unique<QObject>()),
      presenter_(present_on_screen) {
    owner_->setObjectName(QStringLiteral("Application"));
    // The main form alone ends the run, whatever other windows are left.
    qt_->setQuitOnLastWindowClosed(false);
    Application = this;
}

TApplication::~TApplication() {
    destroy_forms();
    if (Application == this)
        Application = nullptr;
}

void TApplication::Initialize() {
    // The layouts name the Windows font; Liberation Sans is the free face the
    // system has closest to it.
    QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"));
}

void TApplication::Run() {
    if (main_form_ == nullptr || main_form_closed_)
        return;
    main_form_->Show();
    if (main_form_closed_)
        return;
    running_ = true;
    qt_->exec();
    running_ = false;
}

void TApplication::ShowException(Exception* E) {
    if (E == nullptr)
        return;
    if (presenter_) {
        presenter_(E->Message());
    } else {
        present_on_screen(E->Message());
    }
}

void TApplication::HandleException(TObject* Sender) {
    Q_UNUSED(Sender);
    if (!std::current_exception())
        return;
    try {
        throw;
    } catch (Exception& e) {
        ShowException(&e);
    } catch (std::exception& e) {
        Exception shown(e.what());
        ShowException(&shown);
    } catch (...) {
        Exception shown("");
        ShowException(&shown);
    }
}

TApplication::Presenter TApplication::set_exception_presenter(Presenter presenter) {
    Presenter previous = std::move(presenter_);
    presenter_ = std::move(presenter);
    return previous;
}

void TApplication::destroy_forms() {
    std::vector<TForm*> forms;
    forms.swap(forms_);
    main_form_ = nullptr;
    main_form_closed_ = false;
    for (auto form = forms.rbegin(); form != forms.rend(); ++form)
        delete *form;
}

QObject* TApplication::qt_owner() {
    return owner_.get();
}

void TApplication::adopt(TForm* form) {
    forms_.push_back(form);
    if (main_form_ == nullptr)
        main_form_ = form;
}

void TApplication::created(TForm& form) {
    // Sized now, so that OnCreate can already draw on it.
    form.Canvas->ensure_size(form.size());
    if (form.OnCreate) {
        const TNotifyEvent handler = form.OnCreate;
        handler(&form);
    }
}

void TApplication::main_form_closed() {
    main_form_closed_ = true;
    if (running_)
        qt_->exit(0);
}

}  // namespace vcl
