// What a user can do about a mouse node rawmice may not read.
#pragma once

#include <string>

namespace input {

// What to do about a mouse node that cannot be read, owned by `group`. The
// input group owns input nodes by default; a node that a udev rule gave to
// another group (the read-only rule's rawmice) is read by joining that group.
// `x11_alternative`: the session's X server shows the real mice (not
// XWayland's virtual pointers), so --input=x11 is worth a try.
std::string permission_hint(bool also_keyboard, const std::string& group, bool x11_alternative);

}  // namespace input
