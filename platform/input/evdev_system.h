// The evdev provider's only contact with the kernel: device numbers, opening
// event nodes through libevdev, and watching /dev/input. Tests put their own
// system here to stand in for devices this machine does not have.
#pragma once

#include <linux/input.h>
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/input/packets.h"
#include "platform/input/recorder.h"
#include "platform/input/unique_fd.h"

namespace input {

// The events of one open node, with libevdev's reading contract.
class EventSource {
  public:
    virtual ~EventSource() = default;
    // The descriptor to watch for readability.
    virtual int fd() const = 0;
    // As libevdev_next_event: LIBEVDEV_READ_STATUS_SUCCESS or _SYNC with an
    // event in `event`, -EAGAIN when none is waiting, or another -errno
    // (-ENODEV once the device is gone).
    virtual int next_event(unsigned flags, input_event& event) = 0;
    // Whether a key or button is down, in the device state as read so far.
    virtual bool key_down(unsigned code) const = 0;
    // An absolute axis's value, in the device state as read so far.
    virtual int abs_value(unsigned code) const = 0;
    virtual std::string name() const = 0;
    virtual Capabilities capabilities() const = 0;
    // The device's description for a recording: libevemu's reading of the
    // node behind fd() (describe_node); null when it cannot be had.
    virtual Description describe() const;
};

// What changed in a watched folder.
struct FolderChange {
    enum class Kind {
        added,    // created or moved in
        changed,  // attributes (owner, mode, ACL) changed
        removed,  // deleted or moved out
        rescan,   // changes were lost: look at the whole folder again
    };
    Kind kind;
    std::string name;  // entry name; empty for rescan
};

class FolderWatch {
  public:
    virtual ~FolderWatch() = default;
    virtual int fd() const = 0;
    // The changes waiting now, in order (empty when there are none).
    virtual std::vector<FolderChange> read_changes() = 0;
};

// The result of opening an event node: a source, or the errno of the failure.
struct OpenedSource {
    std::unique_ptr<EventSource> source;
    int error = 0;
};

class EvdevSystem {
  public:
    virtual ~EvdevSystem() = default;
    // The device number of the character device at `node`; 0 when the node is
    // missing or is not a character device.
    virtual dev_t device_number(const std::filesystem::path& node) = 0;
    // The name of the group that owns `node` (its number when the group has
    // no name); empty when the node cannot be looked at.
    virtual std::string node_group(const std::filesystem::path& node);
    // Opens an event node to read it: read-only, non-blocking, close-on-exec,
    // never grabbed, time stamps on CLOCK_MONOTONIC, key events other than
    // mouse buttons and absolute axes other than X and Y masked off where the
    // kernel allows it.
    virtual OpenedSource open_events(const std::filesystem::path& node) = 0;
    // Watches `folder` for entries added, changed and removed; null with
    // `error` set when it cannot.
    virtual std::unique_ptr<FolderWatch> watch_folder(const std::filesystem::path& folder,
                                                      int& error) = 0;
};

// The real system: stat, open + libevdev, inotify.
std::unique_ptr<EvdevSystem> make_linux_evdev_system();

}  // namespace input
