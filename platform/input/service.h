// The raw input service on platforms without one: the user32 entry points
// GetRawInputDeviceList, RegisterRawInputDevices and GetRawInputData over a
// provider, and the delivery of each packet as WM_INPUT to the program's
// active window, or to the window the registration names as its target
// (hwndTarget): while a window of the program is active, or, with
// RIDEV_INPUTSINK, whichever program has the focus (wParam RIM_INPUTSINK
// while none of the program's windows is active), as user32 delivers it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/input/device.h"
#include "platform/input/program_windows.h"
#include "platform/win32/win32.h"

class QObject;

namespace input {

class Service final : public PacketSink {
  public:
    // Delivers to `windows`, which outlives the service.
    Service(std::unique_ptr<Provider> provider, ProgramWindows& windows);
    ~Service() override;
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Makes this service the one behind "user32.dll" (LoadLibraryA finds it).
    void install();

    UINT get_device_list(PRAWINPUTDEVICELIST list, PUINT count, UINT entry_size);
    BOOL register_devices(PCRAWINPUTDEVICE devices, UINT count, UINT entry_size);
    UINT get_data(HRAWINPUT handle, UINT command, LPVOID data, PUINT size, UINT header_size);

    // PacketSink: called by the provider on the GUI thread.
    void push(const Packet& packet) override;
    void source_finished() override;
    void burst_begin() override;
    void burst_end() override;

    // The hooks run on the GUI thread from the event loop: what they let
    // escape is theirs to catch.
    // Called after each burst of queued packets has been dispatched.
    std::function<void()> on_batch_handled;
    // Called once the provider has finished and its last packet has been handled.
    std::function<void()> on_finished;
    // Called for each packet once its dispatch returns: the packet, the input
    // code its WM_INPUT carried (RIM_INPUTSINK: no window of the program was
    // active) and the CLOCK_MONOTONIC time its handling ended.
    std::function<void(const Packet&, WPARAM code, std::int64_t handled_ns)> on_packet_handled;

    Provider& provider() { return *provider_; }
    // The devices as the last full GetRawInputDeviceList gave them.
    const std::vector<Device>& listed() const { return listed_; }
    bool registered() const { return registration_ != Registration::none; }
    // Why the provider could not start (a Win32 error code), or ERROR_SUCCESS.
    DWORD start_error() const { return start_error_; }
    std::uint64_t delivered() const { return delivered_; }
    // Packets dropped because no window of the program was active (those of
    // a provider that follows the focus; the others wait).
    std::uint64_t dropped_unfocused() const { return dropped_unfocused_; }
    // Whether packets reach a window now (a window of the program is active,
    // or the registration reads in the background), as last told to the provider.
    bool window_active() const { return activity_ == Activity::active; }

    // Dispatches every queued packet now (normally done from the event loop).
    void drain();

  private:
    // How the program asked for the mice: not at all (or removed), packets
    // following the focus, or also while another program has it (RIDEV_INPUTSINK).
    enum class Registration { none, focus, background };
    // The provider: not started, sending, finished with packets perhaps still
    // queued, finished and on_finished called.
    enum class Source { idle, running, finished, finish_reported };
    // What the provider was last told: nothing yet, a window takes packets, none does.
    enum class Activity { unknown, active, inactive };

    struct Pending {
        std::uint64_t id;
        Packet packet;
        WPARAM code = RIM_INPUT;  // RIM_INPUTSINK: delivered while no window was active
    };
    // The window a packet goes to now, or null, and the input code it carries.
    HWND recipient(WPARAM& code) const;
    void schedule_drain();
    // Looks whether a window of the program is active now, tells the provider
    // when that changed, and resumes the packets that waited for one.
    void update_window_activity();
    bool has_pending() const { return next_ < batch_.size() || !incoming_.empty(); }

    std::unique_ptr<Provider> provider_;
    ProgramWindows& windows_;
    std::vector<Device> listed_;
    // Receives the queued drain calls; deleting it cancels any still pending.
    std::unique_ptr<QObject> context_;
    std::unique_ptr<ProgramWindows::Watch> activation_;
    // The packets waiting for dispatch, oldest first: those of the batch being
    // dispatched (from next_ on), then those pushed since (all on the GUI
    // thread). The two trade buffers, so steady traffic allocates nothing.
    std::vector<Pending> incoming_;
    std::vector<Pending> batch_;
    std::size_t next_ = 0;
    // The packet whose WM_INPUT is being dispatched: its handle is the live one.
    const Pending* dispatching_ = nullptr;
    std::uint64_t next_id_ = 1;
    Registration registration_ = Registration::none;
    // The registration's target window (null: packets go to the active window).
    HWND target_ = nullptr;
    Source source_ = Source::idle;
    DWORD start_error_ = ERROR_SUCCESS;
    Activity activity_ = Activity::unknown;
    // Open bursts of the provider: their packets wait for the burst's end.
    int bursts_ = 0;
    // A drain is queued on the event loop; one is running (it may be both:
    // a handler that runs the event loop lets a queued drain start inside).
    bool drain_scheduled_ = false;
    bool draining_ = false;
    std::uint64_t delivered_ = 0;
    std::uint64_t dropped_unfocused_ = 0;
};

}  // namespace input
