#include "fuzz/recording_check.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/input/packets.h"
#include "platform/input/recording.h"
#include "platform/input/recording_stderr.h"

namespace fuzzcheck {

namespace {

// What every packet must hold, whatever the events said; empty when it does.
// An absolute mouse's packets all carry its position, scaled to 0..65535.
std::string check_packet(const RAWMOUSE& mouse, bool absolute, bool horizontal_only) {
    if (mouse.usFlags != (absolute ? MOUSE_MOVE_ABSOLUTE : MOUSE_MOVE_RELATIVE) ||
        mouse.ulExtraInformation != 0) {
        return "a packet with the wrong flags or extra information set";
    }
    if (absolute &&
        (mouse.lLastX < 0 || mouse.lLastX > 65535 || mouse.lLastY < 0 || mouse.lLastY > 65535)) {
        return "an absolute position outside 0..65535";
    }
    if (mouse.ulRawButtons > 0x1f)
        return "a packet holding a button that is not a mouse button";
    if (horizontal_only && (mouse.usButtonFlags != RI_MOUSE_HWHEEL ||
                            (!absolute && (mouse.lLastX != 0 || mouse.lLastY != 0)))) {
        return "the second packet of a frame holds more than the horizontal wheel";
    }
    return {};
}

std::string check_one(const input::Recording& recording) {
    const DWORD type = input::classify(recording.capabilities());
    if (type != RIM_TYPEMOUSE && type != RIM_TYPEKEYBOARD && type != RIM_TYPEHID)
        return "classified as " + std::to_string(type);

    // Every recording's events are read, mouse or not, so the stream of any
    // file that loads is exercised.
    input::EventStream stream(recording);
    input::FrameAssembler assembler(recording.capabilities());
    input_event event{};
    std::uint64_t events = 0;
    std::int64_t last_us = recording.first_event_us();
    while (stream.next(event)) {
        if (input::event_time_us(event) < last_us)
            return "event " + std::to_string(events + 1) + " streamed out of time order";
        last_us = input::event_time_us(event);
        ++events;
        RAWMOUSE out[2] = {};
        const int made = assembler.feed(event, out);
        if (made < 0 || made > 2)
            return "a frame made " + std::to_string(made) + " packets";
        for (int i = 0; i < made; ++i) {
            if (std::string problem = check_packet(out[i], assembler.absolute(), i == 1);
                !problem.empty())
                return problem;
        }
    }
    assembler.drop_frame();
    // The stream must read the events the load counted from a file that has
    // not changed.
    if (!stream.error().empty())
        return "a file that loaded does not stream: " + stream.error();
    if (events != recording.event_count()) {
        return std::to_string(events) + " events streamed, " +
               std::to_string(recording.event_count()) + " counted when loading";
    }
    return {};
}

// As --replay loads it: an evemu recording, or a libinput record file's devices.
std::string check_loaded(const std::string& path) {
    const input::LoadAllResult loaded = input::load_recording_file(path);
    if (!loaded) {
        const std::string message = loaded.error->to_string();
        for (const char c : message) {
            const auto byte = static_cast<unsigned char>(c);
            if ((byte < 0x20 && c != '\t') || byte == 0x7f)
                return "error message with a control character: " + message;
        }
        if (message.rfind(path + ":", 0) != 0)
            return "error message that does not start with the file: " + message;
        // The check's own parse and a device's parser disagree where its events are.
        if (message.find("do not read apart from the rest of the file") != message.npos)
            return "a file whose events the check found where a device's parser does not: " +
                   message;
        return {};
    }
    if (loaded.recordings.empty())
        return "a file that loaded with no device";
    for (const input::Recording& recording : loaded.recordings) {
        if (std::string problem = check_one(recording); !problem.empty())
            return recording.path() + ": " + problem;
    }
    return {};
}

}  // namespace

std::string check_recording(const std::string& path) {
    const input::StderrCapture said;
    std::string problem = check_loaded(path);
    if (problem.empty() && !said.text().empty())
        problem = "written to standard error: " + said.text();
    return problem;
}

}  // namespace fuzzcheck
