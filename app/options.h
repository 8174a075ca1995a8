// The command line: which input to watch, recordings to replay, and what to
// do at the end of a run.
#pragma once

#include <QStringList>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measures/buttons.h"

namespace app {

enum class InputKind { automatic, evdev, x11, replay };

struct Options {
    InputKind input = InputKind::automatic;
    std::vector<std::string> replay_files;
    double replay_speed = 1.0;  // input::ReplayProvider::max_speed: as fast as handled
    bool exit_after_replay = false;
    std::string screenshot;
    bool list_devices = false;
    bool stats = false;
    bool timing = false;    // open the timing window at start
    bool buttons = false;   // open the buttons window at start
    bool movement = false;  // open the movement window at start
    bool plot = false;      // open the plot window at start
    bool check = false;     // open the check window at start
    std::string report;     // the check's report is written there at exit, when not empty
    // The distance in mm the mice are moved, for their CPI; none when not given.
    std::optional<double> distance_mm;
    // The CPI speeds are read at: every mouse's (--cpi=N), and mouse M's
    // (--cpi=M:N), which wins for it.
    std::optional<int> cpi;
    std::vector<std::pair<int, int>> cpi_by_mouse;
    // A press less than this long after its button's release is chatter.
    int chatter_ms = measures::buttons::default_chatter_ms;
    // The frames drawn a second, in place of the display's refresh rate.
    std::optional<int> frame_rate;
    bool background = false;  // read the mice whatever window has the focus
    std::string csv;          // a CSV file of every packet, when not empty
    std::string record;       // the folder each mouse is recorded into, when not empty
    bool help = false;
    bool version = false;
};

struct ParsedOptions {
    Options options;
    std::string error;  // one line, empty when the command line is good
};

// Parses the arguments after the program name.
ParsedOptions parse_options(const QStringList& arguments);

// The CPI --cpi gives mouse `mouse_number` (-1: a mouse without one, plugged
// in later) for its speeds: its own, else every mouse's; none when neither.
std::optional<double> speed_cpi(const Options& options, int mouse_number);

// A line for each --cpi=M:N whose mouse M the run never numbered, when
// `mice` were numbered 0 to mice - 1.
std::string unknown_cpi_mice(const Options& options, int mice);

std::string help_text();

}  // namespace app
