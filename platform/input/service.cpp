#include "platform/input/service.h"

#include <QObject>

#include <cstring>
#include <ctime>
#include <utility>

#include "platform/input/clock.h"

namespace input {
namespace {

Service* current_service = nullptr;

constexpr UINT failed = static_cast<UINT>(-1);

UINT fail(DWORD error) {
    SetLastError(error);
    return failed;
}

// A user32 export: forwards to the installed service, and fails as an
// unloaded module would when there is none.
template <auto Method, auto Failed, class = decltype(Method)>
struct Export;
template <auto Method, auto Failed, class Result, class... Args>
struct Export<Method, Failed, Result (Service::*)(Args...)> {
    static Result WINAPI call(Args... args) {
        if (current_service == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return Failed;
        }
        return (current_service->*Method)(args...);
    }
};

}  // namespace

Service::Service(std::unique_ptr<Provider> provider, ProgramWindows& windows)
    : provider_(std::move(provider)), windows_(windows), context_(std::make_unique<QObject>()) {}

Service::~Service() {
    if (current_service == this) {
        current_service = nullptr;
        win32::register_module("user32.dll", {});
    }
}

void Service::install() {
    current_service = this;
    win32::register_module(
        "user32.dll",
        {{"GetRawInputDeviceList",
          win32::export_of(Export<&Service::get_device_list, failed>::call)},
         {"RegisterRawInputDevices",
          win32::export_of(Export<&Service::register_devices, FALSE>::call)},
         {"GetRawInputData", win32::export_of(Export<&Service::get_data, failed>::call)}});
}

UINT Service::get_device_list(PRAWINPUTDEVICELIST list, PUINT count, UINT entry_size) {
    if (count == nullptr || entry_size != sizeof(RAWINPUTDEVICELIST)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    const std::vector<Device> devices = provider_->devices();
    const auto n = static_cast<UINT>(devices.size());
    if (list == nullptr) {
        *count = n;
        return 0;
    }
    if (*count < n) {
        *count = n;
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    for (UINT i = 0; i < n; ++i) {
        list[i].hDevice = devices[i].handle;
        list[i].dwType = devices[i].type;
    }
    listed_ = devices;
    return n;
}

BOOL Service::register_devices(PCRAWINPUTDEVICE devices, UINT count, UINT entry_size) {
    if (devices == nullptr || count == 0 || entry_size != sizeof(RAWINPUTDEVICE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Registration registration = Registration::none;
    HWND target = nullptr;
    for (UINT i = 0; i < count; ++i) {
        const RAWINPUTDEVICE& d = devices[i];
        // Mice only: keyboards are never read, whatever is asked for.
        if (d.usUsagePage != 1 || d.usUsage != 2) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if ((d.dwFlags & ~(RIDEV_REMOVE | RIDEV_INPUTSINK)) != 0) {
            SetLastError(ERROR_INVALID_FLAGS);
            return FALSE;
        }
        // As user32 checks them: a removal names no window, and reading in
        // the background needs the window that is to get the packets.
        const bool removal = (d.dwFlags & RIDEV_REMOVE) != 0;
        const bool sink = (d.dwFlags & RIDEV_INPUTSINK) != 0;
        if ((removal && d.hwndTarget != nullptr) || (sink && d.hwndTarget == nullptr)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (d.hwndTarget != nullptr && !windows_.is_window(d.hwndTarget)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        // The last entry for the mouse is the one that holds.
        registration = removal ? Registration::none
                       : sink  ? Registration::background
                               : Registration::focus;
        target = d.hwndTarget;
    }
    if (registration == Registration::none) {
        registration_ = Registration::none;
        target_ = nullptr;
        return TRUE;
    }
    if (source_ == Source::idle) {
        const DWORD error = provider_->start(*this);
        start_error_ = error;
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return FALSE;
        }
        source_ = Source::running;
        activation_ = windows_.watch_activation([this] { update_window_activity(); });
    }
    registration_ = registration;
    target_ = target;
    update_window_activity();
    return TRUE;
}

UINT Service::get_data(HRAWINPUT handle, UINT command, LPVOID data, PUINT size, UINT header_size) {
    if (size == nullptr || header_size != sizeof(RAWINPUTHEADER) ||
        (command != RID_INPUT && command != RID_HEADER)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    // Only the packet whose WM_INPUT is being handled can be read.
    const Pending* pending = dispatching_;
    if (pending == nullptr || pending->id != reinterpret_cast<std::uintptr_t>(handle))
        return fail(ERROR_INVALID_HANDLE);

    RAWINPUT raw{};
    const UINT needed = command == RID_INPUT
                            ? static_cast<UINT>(sizeof(RAWINPUTHEADER) + sizeof(RAWMOUSE))
                            : static_cast<UINT>(sizeof(RAWINPUTHEADER));
    if (data == nullptr) {
        *size = needed;
        return 0;
    }
    if (*size < needed) {
        *size = needed;
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    raw.header.dwType = RIM_TYPEMOUSE;
    raw.header.dwSize = static_cast<DWORD>(sizeof(RAWINPUTHEADER) + sizeof(RAWMOUSE));
    raw.header.hDevice = pending->packet.device;
    raw.header.wParam = pending->code;
    raw.data.mouse = pending->packet.mouse;
    std::memcpy(data, &raw, needed);
    return needed;
}

void Service::push(const Packet& packet) {
    incoming_.push_back({next_id_++, packet});
    if (bursts_ == 0)
        schedule_drain();
}

void Service::burst_begin() {
    ++bursts_;
}

void Service::burst_end() {
    if (bursts_ > 0)
        --bursts_;
    if (bursts_ > 0 || !has_pending())
        return;
    // Handled now, in the provider's own wake-up; a burst that ends inside a
    // dispatch (a handler that ran the event loop) waits for the next turn.
    if (draining_) {
        schedule_drain();
    } else {
        drain();
    }
}

void Service::source_finished() {
    if (source_ == Source::running)
        source_ = Source::finished;
    schedule_drain();
}

void Service::schedule_drain() {
    if (drain_scheduled_)
        return;
    drain_scheduled_ = true;
    QMetaObject::invokeMethod(
        context_.get(), [this] { drain(); }, Qt::QueuedConnection);
}

HWND Service::recipient(WPARAM& code) const {
    const HWND active = windows_.active();
    code = RIM_INPUT;
    const bool background = registration_ == Registration::background;
    if (target_ != nullptr && (active != nullptr || background)) {
        // A target that is gone takes nothing: the packet follows the focus.
        if (windows_.is_window(target_)) {
            if (active == nullptr)
                code = RIM_INPUTSINK;
            return target_;
        }
    }
    return active;
}

void Service::update_window_activity() {
    // Reading in the background, the target window takes packets whoever has the focus.
    const bool active = windows_.active() != nullptr ||
                        (registration_ == Registration::background && windows_.is_window(target_));
    const Activity now = active ? Activity::active : Activity::inactive;
    if (now != activity_) {
        activity_ = now;
        provider_->window_active(active);
    }
    if (active && has_pending())
        schedule_drain();
}

void Service::drain() {
    drain_scheduled_ = false;
    struct Draining {
        bool& flag;
        bool was;
        explicit Draining(bool& f) : flag(f), was(f) { flag = true; }
        ~Draining() { flag = was; }
    } draining(draining_);
    // Packets that arrive while this batch is dispatched wait for the next turn.
    if (next_ == batch_.size()) {
        next_ = 0;
        batch_.clear();
        std::swap(batch_, incoming_);
    }
    bool waiting = false;
    while (next_ < batch_.size()) {
        WPARAM code = RIM_INPUT;
        const bool registered = registration_ != Registration::none;
        const HWND target = registered ? recipient(code) : nullptr;
        if (target == nullptr && registered && !provider_->follows_focus()) {
            // It waits, first in line, for a window to be active again (the
            // provider has paused meanwhile, so few wait); the activation
            // resumes the drain.
            waiting = true;
            break;
        }
        // A copy, taken off the batch first: a handler may run the event loop,
        // which may drain again.
        Pending pending = batch_[next_++];
        if (target != nullptr) {
            pending.code = code;
            const Pending* outer = dispatching_;
            dispatching_ = &pending;
            windows_.send(target, WM_INPUT, code,
                          static_cast<LPARAM>(static_cast<std::intptr_t>(pending.id)));
            dispatching_ = outer;
            ++delivered_;
            if (on_packet_handled)
                on_packet_handled(pending.packet, code, monotonic_ns());
        } else {
            ++dropped_unfocused_;
        }
    }
    if (on_batch_handled)
        on_batch_handled();
    if (has_pending()) {
        if (!waiting) {
            schedule_drain();
        } else if (activity_ == Activity::active) {
            // No window is active, and the provider has not been told yet.
            QMetaObject::invokeMethod(
                context_.get(), [this] { update_window_activity(); }, Qt::QueuedConnection);
        }
    } else if (source_ == Source::finished) {
        source_ = Source::finish_reported;
        if (on_finished)
            on_finished();
    }
}

}  // namespace input
