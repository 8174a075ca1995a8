// The facade over Qt 6 Widgets: timers, controls, the memo view, forms and
// their windows, stored layouts compiled by uic, and the application.
#include "platform/vcl/qt/native.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QTextDocument>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <climits>
#include <cmath>
#include <iostream>
#include <map>

namespace vcl {

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

// Qt's keys as Windows' virtual-key codes; 0 for a key without one here.
WORD virtual_key(int key) {
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return static_cast<WORD>(VK_F1 + (key - Qt::Key_F1));
    if ((key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9))
        return static_cast<WORD>(key);  // 'A'..'Z', '0'..'9', as in Windows
    static const std::map<int, WORD> others = {
        {Qt::Key_Backspace, VK_BACK}, {Qt::Key_Tab, VK_TAB},       {Qt::Key_Backtab, VK_TAB},
        {Qt::Key_Return, VK_RETURN},  {Qt::Key_Enter, VK_RETURN},  {Qt::Key_Escape, VK_ESCAPE},
        {Qt::Key_Space, VK_SPACE},    {Qt::Key_PageUp, VK_PRIOR},  {Qt::Key_PageDown, VK_NEXT},
        {Qt::Key_End, VK_END},        {Qt::Key_Home, VK_HOME},     {Qt::Key_Left, VK_LEFT},
        {Qt::Key_Up, VK_UP},          {Qt::Key_Right, VK_RIGHT},   {Qt::Key_Down, VK_DOWN},
        {Qt::Key_Insert, VK_INSERT},  {Qt::Key_Delete, VK_DELETE},
    };
    const auto found = others.find(key);
    return found != others.end() ? found->second : 0;
}

TShiftState key_shift_state(Qt::KeyboardModifiers modifiers) {
    TShiftState shift = 0;
    if (modifiers & Qt::ShiftModifier)
        shift |= ssShift;
    if (modifiers & Qt::AltModifier)
        shift |= ssAlt;
    if (modifiers & Qt::ControlModifier)
        shift |= ssCtrl;
    return shift;
}

int to_int(double value) {
    return static_cast<int>(std::clamp(std::floor(value), double{INT_MIN}, double{INT_MAX}));
}

// The layouts uic compiled, by name.
std::map<String, std::function<void(QWidget*)>>& layouts() {
    static std::map<String, std::function<void(QWidget*)>> registered;
    return registered;
}

}  // namespace

QColor qt::to_qcolor(TColor color) {
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

TColor qt::from_qcolor(QColor color) {
    const QRgb rgb = color.rgb();
    return static_cast<TColor>(qRed(rgb)) | static_cast<TColor>(qGreen(rgb)) << 8 |
           static_cast<TColor>(qBlue(rgb)) << 16;
}

struct Timer::Native {
    QTimer timer;
};

Timer::Timer(std::function<void()> fire) : native_(std::make_unique<Native>()) {
    native_->timer.setSingleShot(true);
    // Precise, so that every pacer of the process meets on the same frame boundary.
    native_->timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&native_->timer, &QTimer::timeout, &native_->timer, std::move(fire));
}

Timer::~Timer() = default;

void Timer::start(int ms) {
    native_->timer.start(ms);
}

void Timer::stop() {
    native_->timer.stop();
}

bool Timer::active() const {
    return native_->timer.isActive();
}

bool TControl::enabled() const {
    return !native_->widget->testAttribute(Qt::WA_ForceDisabled);
}

void TControl::set_enabled(bool on) {
    native_->widget->setEnabled(on);
}

bool TControl::visible() const {
    QWidget* self = native_->widget;
    QWidget* parent = self->parentWidget();
    return parent != nullptr ? self->isVisibleTo(parent) : self->isVisible();
}

void TControl::set_visible(bool on) {
    native_->widget->setVisible(on);
}

namespace qt {

Label::Label(QWidget* parent) : QLabel(parent), Carrying(this) {}

QSize Label::sizeHint() const {
    // As the plain label sizes a caption it shows whole on one line: the
    // bounds of its text, left-aligned in an ample box, and nothing around
    // them. Anything else is left to it.
    ensurePolished();
    const QString caption = text();
    const bool plain = textFormat() == Qt::PlainText ||
                       (textFormat() == Qt::AutoText && !Qt::mightBeRichText(caption));
    const QMargins around = contentsMargins();
    const bool interactive =
        (textInteractionFlags() &
         (Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard | Qt::TextEditable)) != 0;
    if (!plain || caption.isEmpty() || interactive || wordWrap() || !pixmap().isNull() ||
        margin() != 0 || indent() > 0 || frameWidth() != 0 || !around.isNull() ||
        minimumSize() != QSize(0, 0) || buddy() != nullptr || caption.isRightToLeft())
        return QLabel::sizeHint();
    // A label expands tabs; its centring is left out, as it changes no size.
    const int flags = (QStyle::visualAlignment(Qt::LeftToRight, alignment()) &
                       ~(Qt::AlignVCenter | Qt::AlignHCenter)) |
                      Qt::TextExpandTabs;
    return fontMetrics().boundingRect(0, 0, 2000, 2000, flags, caption).size();
}

Button::Button(QWidget* parent) : QPushButton(parent), Carrying(this) {
    connect(this, &QAbstractButton::clicked, this, [this] { control().clicked(); });
}

Edit::Edit(QWidget* parent) : QLineEdit(parent), Carrying(this) {}

Memo::Memo(QWidget* parent) : QPlainTextEdit(parent), Carrying(this) {}

Memo::~Memo() = default;

}  // namespace qt

String TLabel::shown_caption() const {
    return string(static_cast<QLabel*>(native()->widget)->text());
}

bool TLabel::shows(const String& caption) const {
    return QAnyStringView::equal(
        static_cast<QLabel*>(native()->widget)->text(),
        QUtf8StringView(caption.data(), static_cast<qsizetype>(caption.size())));
}

void TLabel::show_caption(const String& caption) {
    auto* label = static_cast<QLabel*>(native()->widget);
    label->setText(qstring(caption));
    label->resize(label->sizeHint());
}

void TButton::Click() {
    static_cast<QPushButton*>(native()->widget)->click();
}

String TButton::caption() const {
    return string(static_cast<QPushButton*>(native()->widget)->text());
}

void TButton::set_caption(const String& caption) {
    static_cast<QPushButton*>(native()->widget)->setText(qstring(caption));
}

String TEdit::text() const {
    return string(static_cast<QLineEdit*>(native()->widget)->text());
}

void TEdit::set_text(const String& text) {
    static_cast<QLineEdit*>(native()->widget)->setText(qstring(text));
}

void TMemo::refresh() {
    static_cast<qt::Memo*>(native()->widget)->refresh();
}

namespace qt {

Memo::ShownLine Memo::lay_out(std::uint64_t entry, int line, const QString& text) {
    // As the plain text view lays out a block: its document's options, font
    // and margins, the width of the view, leading included.
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

bool Memo::arranged_now() const {
    return arranged_changes_ == control().Lines->changes() &&
           arranged_size_ == viewport()->size() && arranged_font_ == font();
}

void Memo::arrange() {
    const TStrings& lines = *control().Lines;
    if (arranged_size_.width() != viewport()->width() || arranged_font_ != font()) {
        shown_.clear();
    }
    arranged_changes_ = lines.changes();
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
        const std::uint64_t entry = lines.removed() + static_cast<std::uint64_t>(e);
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
            const QTextLine above = layout.lineAt(std::max(first_row - 1, 0));
            top = first_row == 0
                      ? block_top
                      : block_top + static_cast<int>(above.y() + above.naturalTextRect().height());
            if (at_top && b == 0 && first_row == 0)
                top -= document()->documentMargin();
            break;
        }
        block_top += shown_[b].height;
    }
    top_ = top;
}

void Memo::refresh() {
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

void Memo::paintEvent(QPaintEvent* event) {
    paint_pending_ = false;
    if (control().Lines->Count() == 0) {
        shown_.clear();
        arranged_changes_ = control().Lines->changes();
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

FormWidget::FormWidget(TForm& form) : form_(form) {
    setMouseTracking(true);
}

bool FormWidget::event(QEvent* event) {
    if (event->type() == QEvent::Show && windowHandle() != filtered_window_) {
        // The window exists once the widget shows: its keys come to it first.
        filtered_window_ = windowHandle();
        if (filtered_window_ != nullptr)
            filtered_window_->installEventFilter(this);
    }
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::WindowActivate)
        form_.activated();
    return handled;
}

bool FormWidget::eventFilter(QObject* watched, QEvent* event) {
    if (watched == filtered_window_ && event->type() == QEvent::KeyPress && form_.KeyPreview &&
        key_down(static_cast<const QKeyEvent&>(*event))) {
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

bool FormWidget::key_down(const QKeyEvent& event) {
    const WORD key = virtual_key(event.key());
    return key != 0 && form_.key_down(key, key_shift_state(event.modifiers()));
}

void FormWidget::paintEvent(QPaintEvent* event) {
    const QImage& surface = image(*form_.Canvas);
    const QRect area = event->rect() & surface.rect();
    if (area.isEmpty())
        return;
    QPainter painter(this);
    painter.drawImage(area.topLeft(), surface, area);
}

void FormWidget::resizeEvent(QResizeEvent* event) {
    ensure_size(*form_.Canvas, event->size());
    QWidget::resizeEvent(event);
}

void FormWidget::mouseMoveEvent(QMouseEvent* event) {
    if (form_.OnMouseMove) {
        TShiftState shift = key_shift_state(event->modifiers());
        const Qt::MouseButtons buttons = event->buttons();
        if (buttons & Qt::LeftButton)
            shift |= ssLeft;
        if (buttons & Qt::RightButton)
            shift |= ssRight;
        if (buttons & Qt::MiddleButton)
            shift |= ssMiddle;
        form_.mouse_moved(shift, to_int(event->position().x()), to_int(event->position().y()));
    }
    QWidget::mouseMoveEvent(event);
}

void FormWidget::keyPressEvent(QKeyEvent* event) {
    // Without a preview the form sees the keys that come to it with the focus.
    QWidget* focus = QApplication::focusWidget();
    if (!form_.KeyPreview && (focus == nullptr || focus == this) && key_down(*event)) {
        event->accept();
        return;
    }
    // Esc presses the cancel button, as a dialog key with no shift state.
    if (event->key() == Qt::Key_Escape &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier && form_.escape_pressed()) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void FormWidget::closeEvent(QCloseEvent* event) {
    const TCloseAction action = form_.closing();
    if (action == caNone) {
        event->ignore();
        return;
    }
    if (action == caMinimize) {
        event->ignore();
        showMinimized();
        return;
    }
    event->accept();
    form_.closed();
}

void FormWidget::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    pointer_.start();
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

QWidget* widget(const TControl* control) {
    return control->native()->widget;
}

QWidget* widget(const TForm* form) {
    return &form->native().widget;
}

void register_layout(const String& name, std::function<void(QWidget* form)> setup) {
    layouts()[name] = std::move(setup);
}

}  // namespace qt

namespace {

// The forms by Handle. Handles count up from 1 and are never given again, so
// a handle kept past its form's end names no form rather than another one.
std::map<HWND, TForm*>& forms_by_handle() {
    static std::map<HWND, TForm*> forms;
    return forms;
}
std::uintptr_t last_handle = 0;

}  // namespace

TForm::TForm(TComponent* /*Owner*/)
    : Canvas(nullptr),
      Caption([this] { return caption(); },
              [this](const String& caption) { set_caption(caption); }),
      Visible([this] { return visible(); }, [this](const bool& on) { set_visible(on); }),
      Handle([this] { return handle(); }),
      native_(std::make_unique<Native>(*this)) {
    // Forms are top-level windows; the application (the owner) keeps them.
    canvas_ = std::make_unique<TCanvas>(this);
    Canvas = canvas_.get();
    native_->handle = reinterpret_cast<HWND>(++last_handle);
    forms_by_handle()[native_->handle] = this;
}

TForm::~TForm() {
    forms_by_handle().erase(native_->handle);
    canvas_.reset();  // before the window it paints on
}

HWND TForm::handle() const {
    return native_->handle;
}

TForm* TForm::from_handle(HWND handle) {
    const auto found = forms_by_handle().find(handle);
    return found != forms_by_handle().end() ? found->second : nullptr;
}

String TForm::caption() const {
    return string(native_->widget.windowTitle());
}

void TForm::set_caption(const String& caption) {
    native_->widget.setWindowTitle(qstring(caption));
}

bool TForm::visible() const {
    return native_->widget.isVisible();
}

void TForm::Show() {
    native_->widget.show();
    // Brought to the front as well, where the platform has a front to bring it to.
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
        native_->widget.raise();
}

void TForm::Hide() {
    native_->widget.hide();
}

void TForm::Close() {
    native_->widget.close();
}

void TForm::SetFocus() {
    QWidget& window = native_->widget;
    if (!window.isVisible())
        return;
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
        window.raise();
    window.activateWindow();
}

TForm* TForm::active() {
    auto* window = qobject_cast<qt::FormWidget*>(QApplication::activeWindow());
    return window != nullptr ? &window->form() : nullptr;
}

StreamedLayout stream_layout(TForm& form, const String& name) {
    const auto found = layouts().find(name);
    if (found == layouts().end())
        throw Exception("no layout named " + name);
    QWidget& window = form.native().widget;
    found->second(&window);
    StreamedLayout layout;
    layout.form_name = string(window.objectName());
    const auto failure = [&layout](const String& what) {
        return Exception(layout.form_name + ": " + what);
    };

    // What uic does not carry over: a window's position and a font size in pixels.
    const QVariant position = window.property("windowPosition");
    if (position.isValid())
        window.move(position.toPoint());
    const QVariant pixel_size = window.property("fontPixelSize");
    if (pixel_size.isValid()) {
        if (pixel_size.toInt() <= 0)
            throw failure("fontPixelSize must be a positive number");
        QFont font = window.font();
        font.setPixelSize(pixel_size.toInt());
        window.setFont(font);
    }
    // Sized now, so that OnCreate can already draw on it.
    qt::ensure_size(*form.Canvas, window.size());

    const auto bindings = [&layout](const QObject& object, const String& control) {
        for (const QByteArray& property : object.dynamicPropertyNames()) {
            if (property.startsWith("On")) {
                layout.bindings.push_back(
                    {control, property.toStdString(),
                     string(object.property(property.constData()).toString())});
            }
        }
    };
    bindings(window, "");
    for (QWidget* child : window.findChildren<QWidget*>()) {
        const String child_name = string(child->objectName());
        if (auto* control = dynamic_cast<qt::ControlWidget*>(child)) {
            layout.controls.emplace_back(child_name, &control->control());
            auto* button = dynamic_cast<TButton*>(&control->control());
            const QVariant cancel = child->property("Cancel");
            if (button != nullptr && cancel.isValid())
                button->Cancel = cancel.toBool();
        }
        bindings(*child, child_name);
    }
    return layout;
}

struct TApplication::Native {
    Native(int& argc, char** argv) : app(argc, argv) {}
    QApplication app;
};

TApplication::TApplication(int& argc, char** argv)
    : native_(std::make_unique<Native>(argc, argv)), presenter_(present_on_screen) {
    // The main form alone ends the run, whatever other windows are left.
    native_->app.setQuitOnLastWindowClosed(false);
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

void TApplication::run_loop() {
    native_->app.exec();
}

void TApplication::quit_loop() {
    native_->app.exit(0);
}

void TApplication::present_on_screen(const String& message) {
    const QString name = QCoreApplication::applicationName();
    std::cerr << string(name) << ": " << message << std::endl;
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return;
    QMessageBox::critical(nullptr, name, qstring(message));
}

}  // namespace vcl
