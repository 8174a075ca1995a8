// The x11 provider: the slave devices of an X display through XInput 2, and
// the raw events of its slave pointers as packets; needs no privileges.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/input/device.h"

namespace input {

class X11Provider final : public Provider {
  public:
    // Opens `display_name` (empty: $DISPLAY) and negotiates XInput 2.2 or
    // later. Returns null with `error` set to one line when that fails.
    static std::unique_ptr<X11Provider> open(const std::string& display_name, std::string& error);

    ~X11Provider() override;

    const char* name() const override { return "x11"; }
    // Slave pointers as mice, slave keyboards as keyboards, floating slaves as
    // other devices, each group in XI device id order with the server's XTest
    // devices after the others; masters are left out.
    std::vector<Device> devices() override;
    // Selects the raw pointer events of every master (so each reaches us once,
    // with the slave that made it as its source) and hierarchy changes.
    DWORD start(PacketSink& sink) override;

    // The XInput version the server agreed to, as major * 1000 + minor.
    int xi_version() const;
    std::uint64_t packets() const;
    // The times the connection was read: once per event after a quiet period,
    // then about once a frame (30 to 240 a second) while events keep coming.
    std::uint64_t reads() const;
    // Raw events that made no packet (see RawPointer), and events of devices
    // that are not slave pointers.
    std::uint64_t ignored() const;
    // Whether the connection to the X server was lost; nothing is read after.
    bool connection_lost() const;

    struct Connection;

  private:
    explicit X11Provider(std::unique_ptr<Connection> connection);
    std::unique_ptr<Connection> x_;
};

// The provider on $DISPLAY, or null with `error` set.
std::unique_ptr<Provider> make_x11_provider(std::string& error);

// Whether this is an X11 session: DISPLAY is set and not empty.
bool x11_session();

}  // namespace input
