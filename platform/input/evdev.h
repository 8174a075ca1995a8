// The evdev provider: every /dev/input/event* node listed, mouse nodes read
// through libevdev, nodes plugged in and out followed while running.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/input/device.h"
#include "platform/input/evdev_system.h"
#include "platform/input/packets.h"

class QSocketNotifier;

namespace input {

// A node under <root>/dev/input and what is known of it (defined in evdev.cpp).
struct EvdevNode;

// The capability bits that sysfs publishes for an input device
// (<device>/capabilities/{ev,key,rel}), which anyone may read; nullopt when a
// file is missing or malformed.
std::optional<Capabilities> read_sysfs_capabilities(const std::filesystem::path& device_dir);

// The handle of an evdev node: its device number.
HANDLE handle_of_device_number(dev_t number);

// Reads one mouse: its events become packets through FrameAssembler. After
// SYN_DROPPED the device is resynced through the source, the partial frame is
// discarded and the held buttons are taken from the device state.
class MouseReader {
  public:
    MouseReader(HANDLE handle, std::unique_ptr<EventSource> source);

    enum class Status { waiting, more, gone };
    // Reads up to `max_events` events that are waiting, handing each packet to
    // `deliver`. Returns waiting when none is left, more when it stopped at the
    // limit, gone when the device went away or failed (see error()).
    Status read_available(const std::function<void(const Packet&)>& deliver, int max_events = 4096);

    HANDLE handle() const { return handle_; }
    int fd() const { return source_->fd(); }
    // The errno that ended reading, once gone.
    int error() const { return error_; }
    std::uint64_t packets() const { return packets_; }
    std::uint64_t syn_dropped() const { return syn_dropped_; }
    // Events that fed no packet (keys, scan codes, unknown codes, discarded frames).
    std::uint64_t ignored() const { return assembler_.ignored(); }

  private:
    void resync();
    ULONG buttons_held_by_device() const;

    HANDLE handle_;
    std::unique_ptr<EventSource> source_;
    FrameAssembler assembler_;
    bool discarding_frame_ = false;
    int error_ = 0;
    std::uint64_t packets_ = 0;
    std::uint64_t syn_dropped_ = 0;
};

class EvdevProvider final : public Provider {
  public:
    // `root` prefixes /dev/input and /sys/class/input, so that tests can
    // build a tree of their own.
    explicit EvdevProvider(std::filesystem::path root = "/",
                           std::unique_ptr<EvdevSystem> system = make_linux_evdev_system());
    ~EvdevProvider() override;
    EvdevProvider(const EvdevProvider&) = delete;
    EvdevProvider& operator=(const EvdevProvider&) = delete;

    const char* name() const override { return "evdev"; }
    std::vector<Device> devices() override;
    DWORD start(PacketSink& sink) override;

    // Mouse nodes being read now.
    std::size_t open_mice() const;
    // SYN_DROPPED seen on every mouse so far, closed ones included.
    std::uint64_t syn_dropped() const;

  private:
    struct OpenMouse {
        std::string node_name;
        dev_t device_number = 0;
        std::string name;
        std::unique_ptr<MouseReader> reader;
        std::unique_ptr<QSocketNotifier> notifier;  // once started
    };

    // Opens `node` when sysfs says it is a mouse not being read yet, and fills
    // in the name libevdev gives; returns the errno of a failed open (0 when
    // opened or when there was nothing to open).
    int open_if_mouse(EvdevNode& node);
    void watch(OpenMouse& mouse);
    void read_mouse(const std::string& node_name);
    void close_mouse(const std::string& node_name, int error);
    void on_folder_changes();
    void rescan();
    std::filesystem::path node_path(const std::string& node_name) const;

    std::filesystem::path root_;
    std::unique_ptr<EvdevSystem> system_;
    PacketSink* sink_ = nullptr;
    // Mouse nodes opened, by node name (event5); watched once started.
    std::map<std::string, OpenMouse> mice_;
    std::unique_ptr<FolderWatch> folder_watch_;
    std::unique_ptr<QSocketNotifier> folder_notifier_;
    std::uint64_t syn_dropped_closed_ = 0;
};

// Whether at least one mouse node under `root` can be opened for reading
// (keyboard nodes are never opened to find out).
bool any_mouse_readable(const std::filesystem::path& root = "/");
bool any_mouse_readable(const std::filesystem::path& root, EvdevSystem& system);

}  // namespace input
