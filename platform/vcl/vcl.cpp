#include "platform/vcl/vcl.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cmath>
#include <iostream>
#include <limits>

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

bool is_ascii(const String& entry) {
    for (const char c : entry) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

// The separators other than CR and LF are beyond ASCII, so an ASCII entry
// (every report line) is converted a run at a time without decoding UTF-8.
void append_view_text(QString& out, const String& entry) {
    if (!is_ascii(entry)) {
        out += view_text(entry);
        return;
    }
    const char* p = entry.data();
    const char* const end = p + entry.size();
    while (p < end) {
        const char* run = p;
        while (p < end && *p != '\r' && *p != '\n')
            ++p;
        out += QLatin1StringView(run, p - run);
        if (p == end)
            break;
        out += QLatin1Char('\n');
        if (*p == '\r' && p + 1 < end && p[1] == '\n')
            ++p;
        ++p;
    }
}

int view_lines(const String& entry) {
    if (!is_ascii(entry))
        return static_cast<int>(view_text(entry).count('\n')) + 1;
    int lines = 1;
    for (std::size_t i = 0; i < entry.size(); ++i) {
        if (entry[i] == '\n' ||
            (entry[i] == '\r' && (i + 1 == entry.size() || entry[i + 1] != '\n')))
            ++lines;
    }
    return lines;
}

void present_on_screen(const String& message) {
    const QString name = QCoreApplication::applicationName();
    std::cerr << string(name) << ": " << message << std::endl;
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return;
    QMessageBox::critical(nullptr, name, qstring(message));
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
      Caption([this] { return string(text()); },
              [this](const String& caption) { set_caption(caption); }) {}

void TLabel::set_caption(const String& caption) {
    if (!QAnyStringView::equal(
            text(), QUtf8StringView(caption.data(), static_cast<qsizetype>(caption.size())))) {
        setText(qstring(caption));
        if (fitted_this_turn_) {
            fit_pending_ = true;
            return;
        }
        fitted_this_turn_ = true;
        QTimer::singleShot(0, this, [this] {
            fitted_this_turn_ = false;
            if (fit_pending_) {
                fit_pending_ = false;
                fit();
            }
        });
    } else if (fit_pending_) {
        return;  // the end of the turn sizes it
    }
    fit();
}

void TLabel::fit() {
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

TStrings::TStrings(QPlainTextEdit* view) : view_(view) {
    // A memo only ever grows at its end; an undo history would grow with it.
    view_->setUndoRedoEnabled(false);
    clock_.start();
}

void TStrings::Add(const String& text) {
    Add(String(text));
}

void TStrings::Add(String&& text) {
    if (slots_.empty())
        slots_.resize(capacity);
    if (count_ == static_cast<std::size_t>(capacity)) {
        if (pending_ < count_) {
            stale_lines_ += view_lines(entry(0));
        } else {
            --pending_;  // dropped before it was ever shown
        }
        slots_[first_] = std::move(text);
        first_ = (first_ + 1) % capacity;
        ++dropped_;
    } else {
        slots_[(first_ + count_) % capacity] = std::move(text);
        ++count_;
    }
    ++pending_;
    schedule_flush();
}

void TStrings::Clear() {
    slots_.clear();
    first_ = 0;
    count_ = 0;
    pending_ = 0;
    stale_lines_ = 0;
    view_->clear();
}

void TStrings::schedule_flush() {
    if (flush_scheduled_)
        return;
    flush_scheduled_ = true;
    const std::int64_t wait_ns =
        std::max<std::int64_t>(0, next_refresh_ns_ - clock_.nsecsElapsed());
    QTimer::singleShot(static_cast<int>((wait_ns + 999'999) / 1'000'000), view_, [this] {
        flush_scheduled_ = false;
        const std::int64_t took = refresh(entries_per_step);
        const std::int64_t now = clock_.nsecsElapsed();
        if (pending_ > 0) {
            next_refresh_ns_ = now + refresh_pace * took;
            schedule_flush();
        } else {
            next_refresh_ns_ =
                now + std::max<std::int64_t>(min_refresh_ms * 1'000'000, refresh_pace * took);
        }
    });
}

void TStrings::flush_view() {
    refresh(std::numeric_limits<std::size_t>::max());
}

std::int64_t TStrings::refresh(std::size_t limit) {
    if (pending_ == 0 && stale_lines_ == 0)
        return 0;
    const std::int64_t started = clock_.nsecsElapsed();
    QTextDocument* document = view_->document();
    const std::size_t shown = count_ - pending_;
    // Every line goes: a fresh document, as removing them all would leave the
    // old text in the document's buffers.
    if (shown == 0)
        document->clear();
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    if (shown > 0 && stale_lines_ > 0) {
        // By block number: moving the cursor block by block would lay out each one.
        QTextBlock keep = document->findBlockByNumber(stale_lines_);
        if (!keep.isValid())
            keep = document->lastBlock();
        cursor.setPosition(0);
        cursor.setPosition(keep.position(), QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    // Inserted a few hundred entries at a time: one text of thousands would be a
    // large block allocated and freed at every refresh.
    constexpr std::size_t entries_per_insert = 256;
    const std::size_t end = shown + std::min(pending_, limit);
    cursor.setPosition(document->characterCount() - 1);
    QString text;
    for (std::size_t i = shown; i < end; ++i) {
        if (i > 0)
            text += QLatin1Char('\n');
        append_view_text(text, entry(i));
        if ((i - shown) % entries_per_insert == entries_per_insert - 1) {
            cursor.insertText(text);
            text.clear();
        }
    }
    if (!text.isEmpty())
        cursor.insertText(text);
    cursor.endEditBlock();
    pending_ -= end - shown;
    stale_lines_ = 0;
    // As a memo does after an Add: the caret at the end, the latest lines in view.
    view_->moveCursor(QTextCursor::End);
    return clock_.nsecsElapsed() - started;
}

TMemo::TMemo(QWidget* parent)
    : QPlainTextEdit(parent),
      TControl(this),
      Lines(nullptr),
      lines_(std::make_unique<TStrings>(this)) {
    Lines = lines_.get();
}

TMemo::~TMemo() = default;

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
    // A memo's refresh may still be waiting for its turn: the window shows every
    // entry before it goes.
    for (TMemo* memo : findChildren<TMemo*>())
        memo->Lines->flush_view();
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
