// The part of the facade every backend shares: properties, the memo's entries,
// the frame pacer's arithmetic, streaming a form (fields and handlers bound by
// name), the forms' event logic, the application's forms and its exception
// guard. Nothing here names a toolkit; platform/vcl/qt and platform/vcl/win32
// provide the rest.
#include "platform/vcl/vcl.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>

#include "platform/frames/frames.h"
#include "platform/vcl/clip.h"

namespace vcl {

TApplication* Application = nullptr;

String IntToStr(int value) {
    return std::to_string(value);
}

void show_current_exception(OtherExceptions others) {
    if (!std::current_exception())
        return;
    if (Application == nullptr) {
        std::cerr << "vcl: an event handler failed with no application to report it" << std::endl;
        return;
    }
    try {
        throw;
    } catch (Exception& e) {
        Application->ShowException(&e);
    } catch (std::exception& e) {
        Exception shown(others == OtherExceptions::by_what ? e.what() : "");
        Application->ShowException(&shown);
    } catch (...) {
        Exception shown("");
        Application->ShowException(&shown);
    }
}

namespace {

CostClock& cost_clock() {
    static CostClock clock;
    return clock;
}

// Every pacer alive, for flush_all.
std::vector<FramePacer*>& pacers() {
    static std::vector<FramePacer*> all;
    return all;
}

bool alive(const FramePacer* pacer) {
    const auto& all = pacers();
    return std::find(all.begin(), all.end(), pacer) != all.end();
}

// The process's frames: one timer for every pacer and frame start, the
// pacers due at its next firing, and whether it is firing now (the frame
// starts running, then the updates).
struct Frames {
    std::unique_ptr<Timer> timer;
    std::vector<FramePacer*> due;
    bool starting = false;
    bool ticking = false;
};

// Made once and kept to the end of the process: its timer must not outlive
// the toolkit in a destructor run at exit.
Frames& process_frames() {
    static auto* frames = new Frames;
    return *frames;
}

}  // namespace

void set_cost_clock(CostClock clock) {
    cost_clock() = std::move(clock);
}

std::int64_t cost_clock_ns() {
    if (cost_clock())
        return cost_clock()();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

FramePacer::FramePacer(std::function<void()> update)
    : FramePacer(std::move(update), frames::clock_us) {}

FramePacer::FramePacer(std::function<void()> update, Clock clock)
    : update_(std::move(update)), clock_(std::move(clock)) {
    pacers().push_back(this);
}

FramePacer::~FramePacer() {
    std::erase(pacers(), this);
    std::erase(process_frames().due, this);
}

void FramePacer::follow_frames() {
    frames::set_waker([] {
        Frames& f = process_frames();
        if (!f.ticking && !f.timer->active())
            f.timer->start(frames::until_next_frame_ms());
    });
    Frames& f = process_frames();
    if (!f.timer)
        f.timer = std::make_unique<Timer>([] { tick(); });
}

void FramePacer::tick() {
    Frames& f = process_frames();
    if (!f.timer)
        follow_frames();
    f.ticking = true;
    f.starting = true;
    frames::run_frame_starts();
    f.starting = false;
    std::vector<FramePacer*> due;
    due.swap(f.due);
    for (FramePacer* pacer : due) {
        if (!alive(pacer) || !pacer->pending_)
            continue;
        if (!pacer->due_at(frames::frame_at(pacer->clock_()))) {
            f.due.push_back(pacer);  // still pending, for a later frame
            continue;
        }
        pacer->pending_ = false;
        pacer->run();
    }
    f.ticking = false;
    // What was asked for meanwhile, at the next boundary.
    if (!f.due.empty()) {
        f.timer->start(frames::until_next_frame_ms(f.due.front()->clock_()));
    } else if (frames::frame_starts_pending()) {
        f.timer->start(frames::until_next_frame_ms());
    }
}

void FramePacer::flush_all() {
    Frames& f = process_frames();
    if (f.timer)
        f.timer->stop();
    tick();
}

void FramePacer::request() {
    if (pending_)
        return;
    pending_ = true;
    Frames& f = process_frames();
    f.due.push_back(this);
    if (!f.timer)
        follow_frames();
    if (!f.ticking && !f.timer->active())
        f.timer->start(frames::until_next_frame_ms(clock_()));
}

void FramePacer::run_or_request() {
    if (pending_)
        return;
    // While the frame starts run, the frame's updates are to come in this
    // very wake-up: asked for, the update runs once, with all they bring.
    if (process_frames().starting || last_frame_ == frames::frame_at(clock_())) {
        request();
    } else {
        run();
    }
}

void FramePacer::flush() {
    if (!pending_)
        return;
    pending_ = false;
    std::erase(process_frames().due, this);
    run();
}

bool FramePacer::due_at(std::int64_t frame) const {
    // Frame numbers from before a rate change say nothing of the new grid.
    if (per_second_ <= 0 || last_frame_ < 0 || last_rate_changes_ != frames::rate_changes())
        return true;
    const auto every =
        std::max<std::int64_t>(1, std::lround(static_cast<double>(frames::rate()) / per_second_));
    return frame - last_frame_ >= every;
}

void FramePacer::run() {
    last_frame_ = frames::frame_at(clock_());
    last_rate_changes_ = frames::rate_changes();
    frames::drew(last_frame_);
    if (form_ == nullptr) {
        update_();
        return;
    }
    const std::int64_t began = cost_clock_ns();
    update_();
    form_->add_cost(FrameCost::drawing, cost_clock_ns() - began, last_frame_);
}

namespace {

DisplayRate& display_rate_source() {
    static DisplayRate source;
    return source;
}

}  // namespace

void set_display_rate_source(DisplayRate rate) {
    display_rate_source() = std::move(rate);
    display_rate_changed();
}

void display_rate_changed() {
    const DisplayRate& source = display_rate_source();
    frames::set_display_rate(source ? source() : system_display_rate());
}

bool clip_segment(Segment& segment, const Box& box) {
    const double dx = segment.x2 - segment.x1;
    const double dy = segment.y2 - segment.y1;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {segment.x1 - box.left, box.right - segment.x1, segment.y1 - box.top,
                         box.bottom - segment.y1};
    double t0 = 0.0;
    double t1 = 1.0;
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0.0) {
            if (q[i] < 0.0)
                return false;
            continue;
        }
        const double t = q[i] / p[i];
        if (p[i] < 0.0) {
            if (t > t1)
                return false;
            t0 = std::max(t0, t);
        } else {
            if (t < t0)
                return false;
            t1 = std::min(t1, t);
        }
    }
    const double from_x = segment.x1;
    const double from_y = segment.y1;
    if (t0 > 0.0) {
        segment.x1 = from_x + t0 * dx;
        segment.y1 = from_y + t0 * dy;
    }
    if (t1 < 1.0) {
        segment.x2 = from_x + t1 * dx;
        segment.y2 = from_y + t1 * dy;
    }
    return true;
}

namespace {

TRect bounds_of(const TRect& a, const TRect& b) {
    return {std::min(a.Left, b.Left), std::min(a.Top, b.Top), std::max(a.Right, b.Right),
            std::max(a.Bottom, b.Bottom)};
}

std::int64_t pixels_of(const TRect& r) {
    return static_cast<std::int64_t>(r.Width()) * r.Height();
}

}  // namespace

void DirtyAreas::add(const TRect& area) {
    if (area.Left >= area.Right || area.Top >= area.Bottom)
        return;
    TRect joined = area;
    for (bool grew = true; grew;) {
        grew = false;
        for (auto kept = areas_.begin(); kept != areas_.end(); ++kept) {
            const bool touches = kept->Left <= joined.Right && joined.Left <= kept->Right &&
                                 kept->Top <= joined.Bottom && joined.Top <= kept->Bottom;
            if (touches) {
                joined = bounds_of(*kept, joined);
                areas_.erase(kept);
                grew = true;
                break;
            }
        }
    }
    if (areas_.size() >= max_areas) {
        const auto growth = [&](const TRect& kept) {
            return pixels_of(bounds_of(kept, joined)) - pixels_of(kept);
        };
        const auto least =
            std::min_element(areas_.begin(), areas_.end(),
                             [&](const TRect& a, const TRect& b) { return growth(a) < growth(b); });
        joined = bounds_of(*least, joined);
        areas_.erase(least);
    }
    areas_.push_back(joined);
}

bool DirtyAreas::meets(const TRect& area) const {
    return std::any_of(areas_.begin(), areas_.end(), [&](const TRect& kept) {
        return kept.Left < area.Right && area.Left < kept.Right && kept.Top < area.Bottom &&
               area.Top < kept.Bottom;
    });
}

std::vector<TRect> DirtyAreas::take() {
    std::vector<TRect> taken = std::move(areas_);
    areas_.clear();
    return taken;
}

bool clip_copy(const TRect& dest, int dest_width, int dest_height, const TRect& source,
               int source_width, int source_height, BlockCopy& block) {
    // In 64 bits: the rectangles may lie anywhere in the int range.
    std::int64_t from_x = source.Left;
    std::int64_t from_y = source.Top;
    std::int64_t to_x = dest.Left;
    std::int64_t to_y = dest.Top;
    std::int64_t width = std::min<std::int64_t>(std::int64_t{source.Right} - source.Left,
                                                std::int64_t{dest.Right} - dest.Left);
    std::int64_t height = std::min<std::int64_t>(std::int64_t{source.Bottom} - source.Top,
                                                 std::int64_t{dest.Bottom} - dest.Top);
    // Each edge cut where either surface ends, on both sides at once.
    const auto cut_start = [](std::int64_t& a, std::int64_t& b, std::int64_t& length) {
        const std::int64_t by = std::max<std::int64_t>({0, -a, -b});
        a += by;
        b += by;
        length -= by;
    };
    cut_start(from_x, to_x, width);
    cut_start(from_y, to_y, height);
    width = std::min({width, source_width - from_x, dest_width - to_x});
    height = std::min({height, source_height - from_y, dest_height - to_y});
    if (width <= 0 || height <= 0)
        return false;
    block = {static_cast<int>(from_x), static_cast<int>(from_y), static_cast<int>(to_x),
             static_cast<int>(to_y),   static_cast<int>(width),  static_cast<int>(height)};
    return true;
}

void TCanvas::MoveTo(int x, int y) {
    pen_x_ = x;
    pen_y_ = y;
}

void TCanvas::LineTo(int x, int y) {
    const int from_x = pen_x_;
    const int from_y = pen_y_;
    pen_x_ = x;
    pen_y_ = y;
    if (from_x == x && from_y == y)
        return;
    draw_line(from_x, from_y, x, y);
}

int TCanvas::pen_width() const {
    return std::clamp(pen_.Width, 1, max_pen_width);
}

TControl::TControl(Native* native)
    : Enabled([this] { return enabled(); }, [this](const bool& on) { set_enabled(on); }),
      Visible([this] { return visible(); }, [this](const bool& on) { set_visible(on); }),
      native_(native) {}

void TControl::Show() {
    set_visible(true);
}

void TControl::Hide() {
    set_visible(false);
}

TLabel::TLabel(Native* native)
    : TControl(native),
      Caption([this] { return caption(); },
              [this](const String& caption) { set_caption(caption); }),
      shown_([this] { show_caption(caption_); }) {}

String TLabel::caption() const {
    return shown_.pending() ? caption_ : shown_caption();
}

void TLabel::set_caption(const String& caption) {
    if (!shown_.pending() && shows(caption))
        return;  // shown already: no layout
    caption_ = caption;
    shown_.run_or_request();
}

TButton::TButton(Native* native)
    : TControl(native),
      Caption([this] { return caption(); },
              [this](const String& caption) { set_caption(caption); }) {}

void TButton::clicked() {
    if (!OnClick)
        return;
    const TNotifyEvent handler = OnClick;
    guard([&] { handler(this); }, OtherExceptions::by_what);
}

TEdit::TEdit(Native* native)
    : TControl(native),
      Text([this] { return text(); }, [this](const String& value) { set_text(value); }) {}

TComboBox::TComboBox(Native* native)
    : TControl(native),
      ItemIndex([this] { return item_index(); },
                [this](const int& index) { set_item_index(index); }) {}

void TComboBox::changed() {
    if (!OnChange)
        return;
    const TNotifyEvent handler = OnChange;
    guard([&] { handler(this); }, OtherExceptions::by_what);
}

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

TMemo::TMemo(Native* native)
    : TControl(native), Lines(nullptr), lines_(std::make_unique<TStrings>(this)) {
    Lines = lines_.get();
}

TMemo::~TMemo() = default;

void TForm::Dispatch(void* /*Message*/) {}

void TForm::add_cost(FrameCost::Part part, std::int64_t ns, std::int64_t frame) {
    cost_.ns[part] += ns;
    if (frame != cost_frame_) {
        cost_frame_ = frame;
        ++cost_.frames;
    }
}

void TForm::set_visible(bool on) {
    if (on) {
        Show();
    } else {
        Hide();
    }
}

void TForm::activated() {
    if (!OnActivate)
        return;
    const TNotifyEvent handler = OnActivate;
    guard([&] { handler(this); }, OtherExceptions::by_what);
}

void TForm::mouse_moved(TShiftState shift, int x, int y) {
    if (!OnMouseMove)
        return;
    const TMouseMoveEvent handler = OnMouseMove;
    guard([&] { handler(this, shift, x, y); }, OtherExceptions::by_what);
}

bool TForm::key_down(KeyCode key, TShiftState shift) {
    if (!OnKeyDown)
        return false;
    const TKeyEvent handler = OnKeyDown;
    KeyCode Key = key;
    guard([&] { handler(this, Key, shift); }, OtherExceptions::by_what);
    return Key == 0;
}

bool TForm::escape_pressed() {
    for (TControl* control : controls_) {
        auto* button = dynamic_cast<TButton*>(control);
        if (button != nullptr && button->Cancel && button->Enabled && button->Visible) {
            button->Click();
            return true;
        }
    }
    return false;
}

TCloseAction TForm::closing() {
    TCloseAction action = caHide;
    if (OnClose) {
        const TCloseEvent handler = OnClose;
        // NOTE: a handler that throws is reported and the window still closes, so a
        // failing handler can never keep the program open.
        guard([&] { handler(this, action); }, OtherExceptions::by_what);
    }
    return action;
}

void TForm::closed() {
    // Memos and labels may still wait for their frame: the window shows every
    // entry and the latest captions before it goes.
    for (TControl* control : controls_) {
        if (auto* memo = dynamic_cast<TMemo*>(control)) {
            memo->Lines->flush_view();
        } else if (auto* label = dynamic_cast<TLabel*>(control)) {
            label->flush_caption();
        }
    }
    // caHide, and caFree too: the application keeps its forms until it ends.
    if (Application != nullptr && Application->MainForm() == this)
        Application->main_form_closed();
}

void FormClass::stream(TForm& form) const {
    if (layout_.empty())
        throw Exception("a form class without a layout");
    StreamedLayout layout = stream_layout(form, layout_);
    const String& form_name = layout.form_name;
    const auto failure = [&form_name](const String& what) {
        return Exception(form_name + ": " + what);
    };
    form.controls_.clear();
    for (const auto& [name, control] : layout.controls) {
        form.controls_.push_back(control);
        // The labels' and memos' updates are the form's drawing.
        if (auto* label = dynamic_cast<TLabel*>(control)) {
            label->shown_.charge_to(&form);
        } else if (auto* memo = dynamic_cast<TMemo*>(control)) {
            memo->Lines->repaint_.charge_to(&form);
        }
    }
    const auto control_named = [&layout](const String& name) -> TControl* {
        for (const auto& [control_name, control] : layout.controls) {
            if (control_name == name)
                return control;
        }
        return nullptr;
    };

    for (const auto& [name, fill] : fields_) {
        TControl* control = control_named(name);
        if (control == nullptr)
            throw failure("the layout has no control for the field " + name);
        if (!fill(form, control)) {
            throw failure("the control " + name + " is a " + control->ClassName() +
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

    // The form's own events first, then the controls'.
    for (const StreamedLayout::Binding& binding : layout.bindings) {
        if (!binding.control.empty() || binding.handler.empty())
            continue;
        const String& event = binding.event;
        if (event == "OnCreate") {
            form.OnCreate = bind(notify_, event, binding.handler);
        } else if (event == "OnActivate") {
            form.OnActivate = bind(notify_, event, binding.handler);
        } else if (event == "OnClose") {
            form.OnClose = bind(close_, event, binding.handler);
        } else if (event == "OnMouseMove") {
            form.OnMouseMove = bind(mouse_, event, binding.handler);
        } else {
            throw failure("a form has no event " + event);
        }
    }
    // A button's OnClick and a combo box's OnChange; no other control has events.
    for (const StreamedLayout::Binding& binding : layout.bindings) {
        if (binding.control.empty() || binding.handler.empty())
            continue;
        TControl* control = control_named(binding.control);
        const String event = binding.control + "." + binding.event;
        auto* button = dynamic_cast<TButton*>(control);
        auto* combo_box = dynamic_cast<TComboBox*>(control);
        if (button != nullptr && binding.event == "OnClick") {
            button->OnClick = bind(notify_, event, binding.handler);
        } else if (combo_box != nullptr && binding.event == "OnChange") {
            combo_box->OnChange = bind(notify_, event, binding.handler);
        } else {
            throw failure(binding.control + " has no event " + binding.event);
        }
    }
}

void TApplication::Run() {
    if (main_form_ == nullptr || main_form_closed_)
        return;
    main_form_->Show();
    if (main_form_closed_)
        return;
    running_ = true;
    run_loop();
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

void TApplication::HandleException(TObject* /*Sender*/) {
    show_current_exception(OtherExceptions::by_what);
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

void TApplication::adopt(TForm* form) {
    forms_.push_back(form);
    if (main_form_ == nullptr)
        main_form_ = form;
}

void TApplication::created(TForm& form) {
    if (form.OnCreate) {
        const TNotifyEvent handler = form.OnCreate;
        handler(&form);
    }
}

void TApplication::main_form_closed() {
    main_form_closed_ = true;
    if (running_)
        quit_loop();
}

}  // namespace vcl
