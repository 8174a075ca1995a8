#include "app/options.h"

#include <QCommandLineParser>

#include <algorithm>
#include <optional>
#include <tuple>

#include "app/providers.h"
#include "measures/buttons.h"
#include "measures/movement.h"
#include "measures/tracking.h"
#include "platform/frames/frames.h"
#include "platform/input/replay.h"

namespace app {
namespace {

// A whole number from `low` to `high`, in decimal digits alone; nullopt for
// anything else.
std::optional<int> parse_whole(const std::string& text, int low, int high) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const std::string digits = text.substr(std::min(text.find_first_not_of('0'), text.size()));
    if (digits.size() > 6)
        return std::nullopt;  // past any bound here, and past what stoi takes
    const int value = digits.empty() ? 0 : std::stoi(digits);
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

// Every --cpi into `o`: N for every mouse, M:N for mouse M; the error, or ""
// when each is good and no mouse is given twice.
std::string parse_cpi(const QStringList& values, Options& o) {
    using measures::tracking::max_cpi;
    using measures::tracking::min_cpi;
    for (const QString& value : values) {
        const std::string text = value.toStdString();
        const std::size_t colon = text.find(':');
        const std::string cpi_text = colon == std::string::npos ? text : text.substr(colon + 1);
        const std::optional<int> cpi = parse_whole(cpi_text, min_cpi, max_cpi);
        const std::optional<int> mouse = colon == std::string::npos
                                             ? std::optional<int>(-1)
                                             : parse_whole(text.substr(0, colon), 0, 999'999);
        if (!cpi || !mouse) {
            return "--cpi: '" + text +
                   "' is not N or M:N (N a whole number of counts per inch from " +
                   std::to_string(min_cpi) + " to " + std::to_string(max_cpi) +
                   ", M a mouse number from the listing)";
        }
        if (*mouse < 0) {
            if (o.cpi)
                return "--cpi: the CPI of every mouse is given twice ('" + std::to_string(*o.cpi) +
                       "' and '" + text + "')";
            o.cpi = cpi;
            continue;
        }
        for (const auto& [given, given_cpi] : o.cpi_by_mouse) {
            if (given == *mouse)
                return "--cpi: mouse " + std::to_string(*mouse) + " is given twice ('" +
                       std::to_string(given) + ":" + std::to_string(given_cpi) + "' and '" + text +
                       "')";
        }
        o.cpi_by_mouse.emplace_back(*mouse, *cpi);
    }
    return {};
}

struct Parser {
    QCommandLineParser parser;
    QCommandLineOption input{"input", "Where mice are read from: auto, evdev, x11 or replay.",
                             "auto|evdev|x11|replay", "auto"};
    QCommandLineOption replay{"replay",
                              "Replay an evemu recording (description then events) as one "
                              "device, or a libinput record file, each of its devices a device. "
                              "Repeat for several files; implies --input=replay.",
                              "FILE"};
    QCommandLineOption speed{"replay-speed",
                             "Replay at N times the recorded speed, or as fast as possible.",
                             "N|max", "1"};
    QCommandLineOption exit_after{"exit-after-replay",
                                  "Close the window once every replayed packet is handled."};
    QCommandLineOption screenshot{"screenshot",
                                  "Save the main window as PNG when it closes (and the timing, "
                                  "buttons, movement, plot and check windows, when they were "
                                  "opened, as FILE with -timing, -buttons, -movement, -plot and "
                                  "-check before .png).",
                                  "FILE"};
    QCommandLineOption list{"list-devices",
                            "Print the device listing, then where each device is and its name, "
                            "and exit."};
    QCommandLineOption stats{"stats", "At exit, print per-mouse packet statistics to stderr."};
    QCommandLineOption timing{"timing",
                              "Open the timing window at start (F2 opens and hides it): how "
                              "often each mouse sends, live."};
    QCommandLineOption buttons{"buttons",
                               "Open the buttons window at start (F3 opens and hides it): each "
                               "button's presses, chatter and hold times, live."};
    QCommandLineOption chatter{"chatter-ms",
                               "A press less than N ms after the same button's release is "
                               "chatter, a switch bouncing (1 to 500; 25 by default).",
                               "N", "25"};
    QCommandLineOption movement{"movement",
                                "Open the movement window at start (F4 opens and hides it): each "
                                "mouse's counts, angle and CPI, and the mice moved together, "
                                "live."};
    QCommandLineOption plot{"plot",
                            "Open the plot window at start (F5 opens and hides it): each "
                            "mouse's counts, speed, intervals or path over its last 30 s, "
                            "saved as a PNG picture or CSV data."};
    QCommandLineOption check{"check",
                             "Open the check window at start (F6 opens and hides it): a verdict "
                             "for each mouse and test (polling, buttons, CPI, CPI at speed, "
                             "speed, together), and what to do next."};
    QCommandLineOption report{"report",
                              "At exit, write the check's verdicts and figures of every numbered "
                              "mouse to FILE as JSON (with a replay: the recording's).",
                              "FILE"};
    QCommandLineOption distance{"distance-mm",
                                "The distance in mm the mice are moved, for their CPI in the "
                                "movement window and --stats; between two stops, D, the "
                                "mouse's travel: the gap less its length (above 0, at most "
                                "10000).",
                                "D"};
    QCommandLineOption cpi{"cpi",
                           "The CPI mouse M's speeds are read at in m/s (M:N), or every "
                           "mouse's (N); N from 50 to 100000. Repeat for several mice.",
                           "N|M:N"};
    QCommandLineOption frame_rate{"frame-rate",
                                  "Draw at most N frames a second (30 to 240) rather than at the "
                                  "refresh rate of the display the main window is on (60 where "
                                  "the display does not say).",
                                  "N"};
    QCommandLineOption background{"background",
                                  "Read the mice whichever window has the focus, not only while "
                                  "rawmice's own has it."};
    QCommandLineOption csv{"csv",
                           "Write every packet to FILE as CSV (one line per log.txt line): "
                           "mouse,handle,time_us,interval_us,flags,dx,dy,button_flags,wheel.",
                           "FILE"};
    QCommandLineOption record{"record",
                              "Record each mouse (evdev and replay inputs) into DIR, an existing "
                              "folder with no recording in it: one evemu recording per mouse, "
                              "which --replay plays back.",
                              "DIR"};
    QCommandLineOption help{{"h", "help"}, "Show this help and exit."};
    QCommandLineOption version{"version", "Show the version and exit."};

    Parser() {
        parser.setApplicationDescription(
            "Watch several mice at once: every raw packet of every mouse, one line each, in "
            "the window and in log.txt.");
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.addOptions({input, replay, speed,    exit_after, screenshot, list,
                           stats, timing, buttons,  chatter,    movement,   plot,
                           check, report, distance, cpi,        frame_rate, background,
                           csv,   record, help,     version});
    }
};

}  // namespace

std::optional<double> speed_cpi(const Options& options, int mouse_number) {
    for (const auto& [mouse, cpi] : options.cpi_by_mouse) {
        if (mouse == mouse_number)
            return cpi;
    }
    if (options.cpi)
        return *options.cpi;
    return std::nullopt;
}

std::string unknown_cpi_mice(const Options& options, int mice) {
    std::string lines;
    for (const auto& [mouse, cpi] : options.cpi_by_mouse) {
        if (mouse < mice)
            continue;
        lines += "rawmice: --cpi=" + std::to_string(mouse) + ":" + std::to_string(cpi) +
                 ": no mouse numbered " + std::to_string(mouse) + " (" +
                 (mice == 0 ? std::string("no mouse was numbered")
                            : "the mice were numbered 0 to " + std::to_string(mice - 1)) +
                 ")\n";
    }
    return lines;
}

std::string help_text() {
    Parser p;
    // NOTE: without a QCoreApplication yet, Qt names the program "<executable_name>".
    return p.parser.helpText().replace("<executable_name>", "rawmice").toStdString();
}

ParsedOptions parse_options(const QStringList& arguments) {
    Parser p;
    ParsedOptions result;
    Options& o = result.options;
    if (!p.parser.parse(QStringList{"rawmice"} + arguments)) {
        result.error = p.parser.errorText().toStdString();
        return result;
    }
    if (!p.parser.positionalArguments().isEmpty()) {
        result.error = "unexpected argument '" +
                       p.parser.positionalArguments().first().toStdString() +
                       "' (recordings are given with --replay=FILE)";
        return result;
    }
    o.help = p.parser.isSet(p.help);
    o.version = p.parser.isSet(p.version);
    o.list_devices = p.parser.isSet(p.list);
    o.stats = p.parser.isSet(p.stats);
    o.timing = p.parser.isSet(p.timing);
    o.buttons = p.parser.isSet(p.buttons);
    o.movement = p.parser.isSet(p.movement);
    o.plot = p.parser.isSet(p.plot);
    o.check = p.parser.isSet(p.check);
    o.background = p.parser.isSet(p.background);
    o.exit_after_replay = p.parser.isSet(p.exit_after);
    o.screenshot = p.parser.value(p.screenshot).toStdString();
    for (auto [option, value, what] :
         {std::tuple{&p.csv, &o.csv, "--csv: the file name is empty (give one: --csv=FILE)"},
          std::tuple{&p.record, &o.record,
                     "--record: the folder is empty (give an existing folder: --record=DIR)"},
          std::tuple{&p.report, &o.report,
                     "--report: the file name is empty (give one: --report=FILE)"}}) {
        *value = p.parser.value(*option).toStdString();
        if (p.parser.isSet(*option) && value->empty()) {
            result.error = what;
            return result;
        }
    }
    for (const QString& file : p.parser.values(p.replay)) {
        if (file.isEmpty()) {
            result.error = "--replay: the file name is empty (give a recording: --replay=FILE)";
            return result;
        }
        o.replay_files.push_back(file.toStdString());
    }

    const std::string input = p.parser.value(p.input).toStdString();
    const std::optional<InputKind> kind = input_named(input);
    if (!kind) {
        result.error = "--input: unknown input '" + input + "' (use auto, evdev, x11 or replay)";
        return result;
    }
    o.input = *kind;
    if (o.input == InputKind::x11 && !o.record.empty()) {
        result.error =
            "--record records the evdev and replay inputs: the x11 input reads no "
            "device's own events";
        return result;
    }
    if (!o.replay_files.empty()) {
        if (p.parser.isSet(p.input) && o.input != InputKind::replay) {
            result.error =
                std::string("--replay cannot be used with --input=") + input_name(o.input);
            return result;
        }
        o.input = InputKind::replay;
    } else if (o.input == InputKind::replay) {
        result.error = "--input=replay needs at least one --replay=FILE";
        return result;
    }

    const std::string chatter = p.parser.value(p.chatter).toStdString();
    const std::optional<int> chatter_ms =
        parse_whole(chatter, measures::buttons::min_chatter_ms, measures::buttons::max_chatter_ms);
    if (!chatter_ms) {
        result.error = "--chatter-ms: '" + chatter +
                       "' is not a whole number of milliseconds from " +
                       std::to_string(measures::buttons::min_chatter_ms) + " to " +
                       std::to_string(measures::buttons::max_chatter_ms);
        return result;
    }
    o.chatter_ms = *chatter_ms;

    if (p.parser.isSet(p.distance)) {
        const std::string distance = p.parser.value(p.distance).toStdString();
        o.distance_mm = measures::movement::parse_distance_mm(distance);
        if (!o.distance_mm) {
            result.error = "--distance-mm: '" + distance +
                           "' is not a distance in mm above 0 and at most 10000";
            return result;
        }
    }

    result.error = parse_cpi(p.parser.values(p.cpi), o);
    if (!result.error.empty())
        return result;

    if (p.parser.isSet(p.frame_rate)) {
        const std::string rate = p.parser.value(p.frame_rate).toStdString();
        o.frame_rate = parse_whole(rate, frames::min_rate, frames::max_rate);
        if (!o.frame_rate) {
            result.error =
                "--frame-rate: '" + rate + "' is not a whole number of frames a second from " +
                std::to_string(frames::min_rate) + " to " + std::to_string(frames::max_rate);
            return result;
        }
    }

    const QString speed = p.parser.value(p.speed);
    const std::optional<double> parsed_speed = input::parse_replay_speed(speed.toStdString());
    if (!parsed_speed) {
        result.error =
            "--replay-speed: '" + speed.toStdString() + "' is not a positive number or 'max'";
        return result;
    }
    o.replay_speed = *parsed_speed;
    if (o.input != InputKind::replay && (p.parser.isSet(p.speed) || o.exit_after_replay)) {
        result.error =
            std::string(p.parser.isSet(p.speed) ? "--replay-speed" : "--exit-after-replay") +
            " needs --replay=FILE";
        return result;
    }
    return result;
}

}  // namespace app
