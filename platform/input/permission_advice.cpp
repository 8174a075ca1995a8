#include "platform/input/permission_advice.h"

namespace input {

std::string permission_hint(bool also_keyboard, const std::string& group, bool x11_alternative) {
    const bool default_owner = group.empty() || group == "input" || group == "root";
    std::string hint;
    if (default_owner) {
        hint = also_keyboard
                   ? "this mouse is also a keyboard, so the udev rule leaves it to the input "
                     "group: join the input group to read it, see README"
                   : "install udev/70-rawmice.rules or join the input group, see README";
    } else {
        hint = also_keyboard ? "this mouse is also a keyboard and its node belongs to the " +
                                   group + " group: join the " + group +
                                   " group to read it (then log in again), see README"
                             : "these mouse nodes belong to the " + group + " group: join the " +
                                   group + " group (then log in again), see README";
    }
    if (x11_alternative)
        hint += "; or try --input=x11";
    return hint;
}

}  // namespace input
