// What every input provider hands to the raw input service: devices and packets.
#pragma once

#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/win32.h"

namespace input {

class Recorder;

struct Device {
    HANDLE handle;  // stable while the device stays plugged; never a file descriptor
    DWORD type;     // RIM_TYPEMOUSE, RIM_TYPEKEYBOARD or RIM_TYPEHID
    std::string name;
    std::string path;  // node, X device or recording it came from
};

// The handle that stands for a device: a number, never an address.
inline HANDLE device_handle(std::uintptr_t number) {
    return reinterpret_cast<HANDLE>(number);
}

// Mice first, then keyboards, then other devices; each group keeps its order.
void order_for_listing(std::vector<Device>& devices);

struct Packet {
    HANDLE device;
    RAWMOUSE mouse;
    // When the device produced it, CLOCK_MONOTONIC nanoseconds (for a replay,
    // when the replay clock made it due).
    std::int64_t time_ns;
    // The packet's own time stamp on its device's clock, where it differs
    // from time_ns: a replayed packet's recorded time from the file's first
    // event, whatever the replay speed; an x11 packet's X server time, in
    // whole milliseconds. Rates and intervals are measured on this clock.
    std::int64_t own_stamp_ns = no_own_stamp;
    static constexpr std::int64_t no_own_stamp = INT64_MIN;
    // It belongs to the report of the packet before it from the same device:
    // the second packet of a frame that turns both wheels, or the packet a
    // resync after a kernel buffer overflow makes. Not a report of its own.
    bool same_report = false;

    std::int64_t own_time_ns() const {
        return own_stamp_ns == no_own_stamp ? time_ns : own_stamp_ns;
    }
};

// Where a provider sends what it reads, always on the GUI thread (a provider
// that reads on a thread of its own hands its packets over first).
class PacketSink {
  public:
    virtual ~PacketSink() = default;
    virtual void push(const Packet& packet) = 0;
    // The provider has nothing more to send (a replay has played out).
    virtual void source_finished() {}
    // A provider that reads on the GUI thread brackets the packets of one
    // wake-up: the sink may hold them until the burst ends and handle them
    // then, in one go, rather than through a trip round the event loop.
    virtual void burst_begin() {}
    virtual void burst_end() {}
};

// A provider owns a source of packets (a thread, an X connection, open
// files): it is never copied.
class Provider {
  public:
    Provider() = default;
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    virtual ~Provider() = default;
    virtual const char* name() const = 0;
    // The devices present now, ordered for listing.
    virtual std::vector<Device> devices() = 0;
    // Starts sending mouse packets to `sink` from the GUI thread's event loop.
    // Returns ERROR_SUCCESS or a Win32 error code (ERROR_ACCESS_DENIED when no
    // mouse may be read). Called at most once.
    virtual DWORD start(PacketSink& sink) = 0;
    // How often each mouse's kernel buffer overflowed (SYN_DROPPED), by handle,
    // for every mouse read so far; empty for inputs that have no such buffer.
    virtual std::vector<std::pair<HANDLE, std::uint64_t>> syn_dropped_by_mouse() const {
        return {};
    }
    // How many overflows syn_dropped_by_mouse() counts in all, cheap to ask
    // after every batch: the counts are worth reading again when it changed.
    virtual std::uint64_t syn_dropped_total() const { return 0; }
    // The polling interval `device` declares, as the text of its USB
    // endpoint's sysfs `interval` file ("1ms", "125us"); empty when it
    // declares none (not USB, not a mouse read now, or an input that cannot tell).
    virtual std::string declared_interval([[maybe_unused]] HANDLE device) const { return {}; }
    // Records each mouse's description and the events read from it from
    // start() on into `recorder`. False for an input that reads no events
    // (its devices cannot be recorded). Called before start().
    virtual bool record_into([[maybe_unused]] std::shared_ptr<Recorder> recorder) { return false; }

    // Whether packets that come while no window of the program is active are
    // dropped, as for a live device (that is what focus means), or wait for
    // one, as a recording played into the window does.
    virtual bool follows_focus() const { return true; }
    // Told on the GUI thread, from start() on, whenever a window of the
    // program becomes active (true) or none is any more (false).
    virtual void window_active([[maybe_unused]] bool active) {}
};

}  // namespace input
