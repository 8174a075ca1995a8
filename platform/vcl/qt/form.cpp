// Forms over Qt: the window that carries a form's canvas and passes its
// events on, the forms by handle, stored layouts streamed into a form.
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>
#include <QTimer>
#include <QWindow>

#include <xcb/xcb.h>

#include <map>
#include <memory>

#include "platform/frames/frames.h"
#include "platform/vcl/qt/backend.h"
#include "platform/vcl/qt/native.h"

namespace vcl {

using qt::qstring;
using qt::string;

namespace {

// The layouts uic compiled, by name.
std::map<String, std::function<void(QWidget*)>>& layouts() {
    static std::map<String, std::function<void(QWidget*)>> registered;
    return registered;
}

// Whether some window of the X server holds the input focus (a window
// manager's own, or another program's). Only where none does, as on a server
// with no window manager, is a new window left without the focus unless it
// asks: elsewhere asking would take the focus from whatever the user turned
// to while the program was starting.
bool x_focus_taken() {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
    if (connection == nullptr)
        return false;
    const std::unique_ptr<xcb_get_input_focus_reply_t, decltype(&std::free)> reply(
        xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr),
        &std::free);
    if (!reply || reply->focus == XCB_NONE || reply->focus == XCB_INPUT_FOCUS_POINTER_ROOT)
        return false;
    const xcb_setup_t* setup = xcb_get_setup(connection);
    for (auto screens = xcb_setup_roots_iterator(setup); screens.rem != 0;
         xcb_screen_next(&screens)) {
        if (reply->focus == screens.data->root)
            return false;
    }
    return true;
}

}  // namespace

namespace qt {

FormWidget::FormWidget(TForm& form) : form_(form) {
    setMouseTracking(true);
    // The paint event covers its whole area from the canvas, so the toolkit
    // need not fill it with the background first: a fill as large as every
    // repaint, on every frame.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

bool FormWidget::event(QEvent* event) {
    if (event->type() == QEvent::UpdateRequest) {
        // The window brought up to date: its paint events, then the flush of
        // the backing store to the window system, the form's frame cost.
        PaintTiming& timing = paint_timing();
        const PaintTiming outer = timing;
        timing = PaintTiming{true, false, 0};
        const std::int64_t began = cost_clock_ns();
        const bool handled = QWidget::event(event);
        const std::int64_t took = cost_clock_ns() - began;
        const std::int64_t painting = timing.painting_ns;
        timing = outer;
        const std::int64_t frame = frames::current_frame();
        form_.add_cost(FrameCost::painting, painting, frame);
        form_.add_cost(FrameCost::flushing, took - painting, frame);
        return handled;
    }
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
    return key != 0 && form_.key_down(key, shift_state(event.modifiers()));
}

void FormWidget::paintEvent(QPaintEvent* event) {
    const QImage& surface = image(*form_.Canvas);
    const QRegion area = event->region() & surface.rect();
    QPainter painter(this);
    // Each part is copied clipped to itself. Clipped to a region of several
    // rectangles, the raster engine leaves its plain copy for its span fill,
    // which splits a part taller than about a hundred rows (a chart's newest
    // columns) across its thread pool: threads woken at every frame to copy a
    // few pixels of each row.
    for (const QRect& part : area) {
        painter.setClipRect(part);
        painter.drawImage(part.topLeft(), surface, part);
    }
    // The canvas grows with the widget, so this is only a guard: what it
    // does not cover shows the background, not what the window held before.
    for (const QRect& uncovered : event->region().subtracted(area)) {
        painter.setClipRect(uncovered);
        painter.fillRect(uncovered, palette().color(backgroundRole()));
    }
}

void FormWidget::resizeEvent(QResizeEvent* event) {
    ensure_size(*form_.Canvas, event->size());
    QWidget::resizeEvent(event);
}

void FormWidget::mouseMoveEvent(QMouseEvent* event) {
    if (form_.OnMouseMove) {
        form_.mouse_moved(shift_state(event->modifiers(), event->buttons()),
                          to_int(event->position().x()), to_int(event->position().y()));
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
    if (Application != nullptr && Application->MainForm() == &form_)
        follow_display(*this);
    if (!activated_once_) {
        activated_once_ = true;
        // Asked for once the window exists: without a window manager (offscreen,
        // a bare X server) nothing else would activate it. Where a window
        // manager runs, it gives new windows the focus by its own rules, and a
        // program that starts slowly must not take it back from the window
        // the user went on to.
        QTimer::singleShot(0, this, [this] {
            if (isVisible() && !x_focus_taken())
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

TForm::TForm(TComponent* /*Owner*/) : Canvas(nullptr), native_(std::make_unique<Native>(*this)) {
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

}  // namespace vcl
