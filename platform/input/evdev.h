// The evdev provider: every /dev/input/event* node listed, mouse nodes read
// through libevdev on a reader thread, nodes plugged in and out followed while
// running.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/input/device.h"
#include "platform/input/evdev_system.h"
#include "platform/input/handoff_queue.h"
#include "platform/input/packets.h"
#include "platform/input/sysfs.h"

class QObject;

namespace input {

// A node under <root>/dev/input and what is known of it (defined in evdev.cpp).
struct EvdevNode;

// The handle of an evdev node: its parent inputN number plus one. The kernel
// never gives an inputN number to another device while it runs (event node
// numbers, and so device numbers, are reused), and input0 exists: a handle is
// never null.
HANDLE handle_of_input_number(unsigned number);

// Reads one mouse: its events become packets through FrameAssembler. After
// SYN_DROPPED the device is resynced through libevdev (which has dropped what
// was queued), a fresh frame starts, and what the overflow hid becomes one
// packet: DOWN/UP for each button that changed, an absolute mouse's new position.
class MouseReader {
  public:
    MouseReader(HANDLE handle, std::unique_ptr<EventSource> source);

    enum class Status { waiting, more, gone };
    // Reads up to `max_events` events that are waiting, handing each packet to
    // `deliver`. Returns waiting when none is left, more when it stopped at the
    // limit, gone when the device went away or failed (see error()).
    Status read_available(const std::function<void(const Packet&)>& deliver, int max_events = 4096);

    int fd() const { return source_->fd(); }
    // The errno that ended reading, once gone.
    int error() const { return error_; }
    std::uint64_t syn_dropped() const { return syn_dropped_; }
    // Events that fed no packet (keys, scan codes, unknown codes, discarded frames).
    std::uint64_t ignored() const { return assembler_.ignored(); }

    // From now on, every event read goes to `recorder` as mouse `id`'s (see
    // Recorder). An overflow is written as it was read, SYN_DROPPED, closed by
    // a SYN_REPORT, then the resync's packet as a frame of the buttons that
    // changed (and an absolute mouse's position), so that a replay of the
    // file reports what this reader reported.
    void record_into(Recorder* recorder, Recorder::Id id);
    // The device's description, for a recording.
    Description describe() const { return source_->describe(); }

  private:
    void resync(const input_event& dropped, const std::function<void(const Packet&)>& deliver);
    void record(const input_event& event) const;
    void record(const input_event& at, unsigned type, unsigned code, int value) const;
    ULONG buttons_held_by_device() const;
    // The packets of one frame, or of a resync (which belong to the report before them).
    void deliver_packets(int count, const RAWMOUSE out[2], const input_event& event, bool resync,
                         const std::function<void(const Packet&)>& deliver);

    HANDLE handle_;
    std::unique_ptr<EventSource> source_;
    FrameAssembler assembler_;
    int error_ = 0;
    std::uint64_t syn_dropped_ = 0;
    Recorder* recorder_ = nullptr;
    Recorder::Id recording_ = 0;
};

// Mouse nodes are read on a thread of their own, blocking in poll, so that a
// busy GUI thread never lets a kernel buffer overflow; the packets reach the
// sink on the thread that called start(), in the order the kernel stamped
// them across mice whenever one wake-up reads several.
class EvdevProvider final : public Provider {
  public:
    // `root` prefixes /dev/input and /sys/class/input, so that tests can
    // build a tree of their own.
    explicit EvdevProvider(std::filesystem::path root = "/",
                           std::unique_ptr<EvdevSystem> system = make_linux_evdev_system());
    ~EvdevProvider() override;

    const char* name() const override { return "evdev"; }
    std::vector<Device> devices() override;
    DWORD start(PacketSink& sink) override;
    std::vector<std::pair<HANDLE, std::uint64_t>> syn_dropped_by_mouse() const override;
    std::uint64_t syn_dropped_total() const override { return syn_dropped_total_; }
    std::string declared_interval(HANDLE device) const override;
    bool record_into(std::shared_ptr<Recorder> recorder) override;
    // Whether the permission hints may suggest --input=x11 (not in a Wayland
    // session, whose X server shows only XWayland's virtual pointers).
    void set_x11_alternative(bool offered) { x11_alternative_ = offered; }

  private:
    struct OpenMouse {
        std::string node_name;
        HANDLE handle = nullptr;
        std::string name;
        std::string declared_interval;  // as sysfs says it, when it says one
        std::unique_ptr<MouseReader> reader;
        std::optional<Recorder::Id> recording;
        bool overflow_reported = false;
    };

    // These run with mutex_ held.
    // Opens `node` when sysfs says it is a mouse not being read yet, and fills
    // in the name libevdev gives; returns the errno of a failed open (0 when
    // opened or when there was nothing to open).
    int open_if_mouse(EvdevNode& node);
    // Reads what the mouse has waiting into `read`; returns whether more may be waiting.
    bool read_mouse(const std::string& node_name, std::vector<Packet>& read);
    void close_mouse(const std::string& node_name, int error);
    // Once started: says that `mouse` is read, and records it when a recorder
    // is set, as the index it had in the last listing, or the next one after
    // every index given so far.
    void start_reading(OpenMouse& mouse);
    void on_folder_changes();
    void rescan();

    // The reader thread's loop, until stopping_.
    void run();
    void wake_reader();
    std::filesystem::path node_path(const std::string& node_name) const;

    std::filesystem::path root_;
    std::unique_ptr<EvdevSystem> system_;
    bool x11_alternative_ = true;
    PacketSink* sink_ = nullptr;

    mutable std::mutex mutex_;
    // Mouse nodes opened, by node name (event5).
    std::map<std::string, OpenMouse> mice_;
    // SYN_DROPPED of every mouse read so far, by handle (handles are never
    // reused), and of all of them.
    std::map<HANDLE, std::uint64_t> syn_dropped_;
    std::atomic<std::uint64_t> syn_dropped_total_{0};
    // --record: where, and each device's index in the last listing.
    std::shared_ptr<Recorder> recorder_;
    std::map<HANDLE, int> listing_index_;
    int next_index_ = 0;
    std::unique_ptr<FolderWatch> folder_watch_;

    // Reader thread to GUI thread: never blocks the reader, which must keep
    // draining the kernel's buffers.
    HandoffQueue<Packet> packets_;
    // What one wake-up read, per mouse (reader thread only).
    std::vector<std::vector<Packet>> read_;
    std::vector<Packet> taken_;  // GUI thread only
    // Lives on the GUI thread: the hand-over of the packets is queued to it.
    std::unique_ptr<QObject> gui_context_;
    UniqueFd wake_fd_;
    std::atomic<bool> stopping_{false};
    std::thread reader_;
};

// Whether at least one mouse node under `root` can be opened for reading
// (keyboard nodes are never opened to find out).
bool any_mouse_readable(const std::filesystem::path& root = "/");
bool any_mouse_readable(const std::filesystem::path& root, EvdevSystem& system);

}  // namespace input
