// rawmice: watch several mice at once, packet by packet.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QImage>
#include <QLibraryInfo>
#include <QStringList>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/csv_log.h"
#include "app/form_windows.h"
#include "app/options.h"
#include "app/providers.h"
#include "app/signals.h"
#include "app/stats.h"
#include "app/winmain.h"
#include "measures/feed.h"
#include "platform/frames/frames.h"
#include "platform/input/clock.h"
#include "platform/input/recorder.h"
#include "platform/input/service.h"
#include "platform/vcl/qt/native.h"
#include "platform/vcl/vcl.h"
#include "rawinput/rawinput.h"
#include "rawinput/report.h"
#include "ui/frmButtons.h"
#include "ui/frmCheck.h"
#include "ui/frmMovement.h"
#include "ui/frmPlot.h"
#include "ui/frmTiming.h"
#include "ui/principal.h"

// Last: Xlib's macros (None, Bool, Status) would trip the headers above.
#include <X11/Xlib.h>

namespace {

// What --list-devices prints: the device lines exactly as the memo shows them
// (the first ten devices, and a line for each mouse among them), then a table
// of every device with where it is and its name, so each handle can be told
// apart. Returns false, after saying why on standard error, when there is no
// device at all.
bool print_listing(input::Provider& provider) {
    const std::vector<input::Device> devices = provider.devices();
    if (devices.empty()) {
        std::cerr << "rawmice: no input device found on the " << provider.name() << " input"
                  << app::input_texts(provider.name()).no_device << '\n';
        return false;
    }
    // The engine's own listing step numbers the mice.
    std::vector<RAWINPUTDEVICELIST> list;
    for (const input::Device& d : devices)
        list.push_back({d.handle, d.type});
    rawinput::list_devices(list.data(), static_cast<UINT>(list.size()),
                           [](const std::string& line) { std::cout << line << '\n'; });

    std::vector<std::array<std::string, 5>> rows = {{"index", "handle", "kind", "where", "name"}};
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const input::Device& d = devices[i];
        rows.push_back({std::to_string(i), std::to_string(report::handle_as_int(d.handle)),
                        report::kind_name(d.type), d.path, '"' + d.name + '"'});
    }
    std::array<std::size_t, 4> width{};
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < width.size(); ++c)
            width[c] = std::max(width[c], row[c].size());
    }
    std::cout << '\n';
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < width.size(); ++c)
            line += row[c] + std::string(width[c] - row[c].size() + 2, ' ');
        std::cout << line << row[4] << '\n';
    }
    return true;
}

// Says in the window, as well as on standard error, when no mouse can be read,
// since someone who started rawmice from a menu sees nothing else.
void report_input_problems(input::Service& service) {
    const app::InputTexts& says = app::input_texts(service.provider().name());
    if (!service.registered()) {
        const DWORD error = service.start_error();
        if (error == ERROR_ACCESS_DENIED && says.refused != nullptr) {
            show_notice(says.refused);
        } else if (error != ERROR_SUCCESS) {
            show_notice("No mouse can be read: the mice could not be opened (error " +
                        std::to_string(error) + "); standard error names them.");
        } else {
            show_notice("No mouse can be read: the registration for raw mouse input failed.");
        }
    } else if (raw_input_state.raw_mouse_count == 0) {
        if (says.none_listed_line != nullptr) {
            report_problem(says.none_listed_line, says.none_listed);
        } else {
            show_notice(says.none_listed);
        }
    }
}

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool x_display_opens(const std::string& name) {
    Display* display = XOpenDisplay(name.c_str());
    if (display == nullptr)
        return false;
    XCloseDisplay(display);
    return true;
}

// Whether a Wayland compositor listens on $WAYLAND_DISPLAY.
bool wayland_compositor_answers() {
    const std::string name = env("WAYLAND_DISPLAY");
    if (name.empty())
        return false;
    const std::string path = name.front() == '/' ? name : env("XDG_RUNTIME_DIR") + "/" + name;
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool answers =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return answers;
}

// Whether Qt has its Wayland platform plugin (Debian: qt6-wayland).
bool qt_wayland_installed() {
    std::vector<std::string> folders{QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString()};
    const std::string extra = env("QT_PLUGIN_PATH");
    for (std::size_t start = 0; start < extra.size();) {
        const std::size_t end = std::min(extra.find(':', start), extra.size());
        folders.push_back(extra.substr(start, end - start));
        start = end + 1;
    }
    for (const std::string& folder : folders) {
        std::error_code error;
        if (std::filesystem::exists(folder + "/platforms/libqwayland-generic.so", error))
            return true;
    }
    return false;
}

// Checks, before Qt tries (and aborts), that the window has somewhere to go:
// the X display, or else a Wayland compositor that Qt can talk to. Platforms
// without a display (offscreen, vnc, framebuffers...) need no check. Returns
// the line to print when there is nowhere; may pick Qt's Wayland platform.
std::optional<std::string> display_problem() {
    const std::string platform = env("QT_QPA_PLATFORM");
    // The first platform of a list "a;b", without its ":options".
    const std::string wanted = platform.substr(0, platform.find_first_of(";:"));
    const bool any = wanted.empty();
    const bool wayland = wanted.rfind("wayland", 0) == 0;
    if (!any && wanted != "xcb" && !wayland)
        return std::nullopt;

    const std::string display = env("DISPLAY");
    if (!wayland && !display.empty() && x_display_opens(display))
        return std::nullopt;
    if ((any || wayland) && wayland_compositor_answers() && qt_wayland_installed()) {
        if (any)
            ::setenv("QT_QPA_PLATFORM", "wayland", 1);
        return std::nullopt;
    }

    const std::string what_to_do =
        "run it in a desktop session, or set QT_QPA_PLATFORM=offscreen to replay recordings "
        "without a window";
    const bool compositor = wayland_compositor_answers();
    if (wayland && !compositor)
        return "no Wayland compositor answers on WAYLAND_DISPLAY: " + what_to_do;
    if (compositor && wanted != "xcb") {
        // Wayland, without X (no XWayland) and without Qt's Wayland platform.
        return "no X display, and Qt's Wayland platform is not installed (Debian: qt6-wayland): "
               "install it, or " +
               what_to_do;
    }
    if (display.empty())
        return "no display for the window (DISPLAY is not set): " + what_to_do;
    return "cannot open the display '" + display + "': " + what_to_do;
}

// The number the engine gave the mouse `device` at start, as the log says it;
// -1 when it has none.
int mouse_number(HANDLE device) {
    for (int i = 0; i < raw_input_state.raw_mouse_count; ++i) {
        if (raw_input_state.raw_mouse_handles[i] == device)
            return i;
    }
    return -1;
}

bool save_window(vcl::TForm* form, const std::string& path) {
    const QImage image = vcl::qt::widget(form)->grab().toImage();
    if (!image.save(QString::fromStdString(path), "PNG")) {
        std::cerr << "rawmice: cannot save the screenshot to " << path << '\n';
        return false;
    }
    return true;
}

// The main window to `path`; the timing, buttons, movement, plot and check
// windows, when they were opened, beside it (shot.png: shot-timing.png,
// shot-buttons.png, shot-movement.png, shot-plot.png, shot-check.png).
bool save_screenshot(const std::string& path) {
    if (Form1 == nullptr)
        return false;
    Form1->Memo1->Lines->flush_view();
    bool saved = save_window(Form1, path);
    const bool png = path.size() > 4 && path.compare(path.size() - 4, 4, ".png") == 0;
    const auto beside = [&](const char* what) {
        return (png ? path.substr(0, path.size() - 4) : path) + "-" + what + (png ? ".png" : "");
    };
    if (Form3 != nullptr) {
        Form3->draw();
        saved = save_window(Form3, beside("timing")) && saved;
    }
    if (Form4 != nullptr) {
        Form4->draw();
        saved = save_window(Form4, beside("buttons")) && saved;
    }
    if (Form5 != nullptr) {
        Form5->compare_pairs();
        Form5->draw();
        saved = save_window(Form5, beside("movement")) && saved;
    }
    if (Form6 != nullptr) {
        Form6->refresh();
        saved = save_window(Form6, beside("plot")) && saved;
    }
    if (Form7 != nullptr) {
        measures::feed().compare_pairs();
        Form7->refresh();
        saved = save_window(Form7, beside("check")) && saved;
    }
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const app::ParsedOptions parsed = app::parse_options(arguments);
    if (!parsed.error.empty()) {
        std::cerr << "rawmice: " << parsed.error << " (see --help)\n";
        return 2;
    }
    const app::Options& options = parsed.options;
    if (options.help) {
        std::cout << app::help_text();
        return 0;
    }
    if (options.version) {
        std::cout << "rawmice " << RAWMICE_VERSION << '\n';
        return 0;
    }

    if (!options.list_devices) {
        if (const std::optional<std::string> problem = display_problem()) {
            std::cerr << "rawmice: " << *problem << '\n';
            return 2;
        }
    }

    std::string error;
    std::unique_ptr<input::Provider> provider = app::make_provider(options, error);
    if (provider == nullptr) {
        std::cerr << "rawmice: " << error << '\n';
        return 2;
    }
    if (options.list_devices)
        return print_listing(*provider) ? 0 : 1;

    // What the run writes besides log.txt; every file checked before any window opens.
    std::shared_ptr<input::Recorder> recorder;
    if (!options.record.empty()) {
        // The run's start, before any mouse node is opened to be read.
        recorder = input::Recorder::open(options.record, input::monotonic_ns() / 1000, error);
        if (recorder == nullptr || !provider->record_into(recorder)) {
            std::cerr << "rawmice: "
                      << (recorder == nullptr
                              ? error
                              : std::string("--record records the evdev and replay inputs: the ") +
                                    provider->name() + " input reads no device's own events")
                      << '\n';
            return 2;
        }
    }
    std::unique_ptr<app::CsvLog> csv;
    if (!options.csv.empty() && (csv = app::CsvLog::create(options.csv, error)) == nullptr) {
        std::cerr << "rawmice: " << error << '\n';
        return 2;
    }
    if (!options.report.empty() && !report_path_usable(options.report, error)) {
        std::cerr << "rawmice: --report: " << error << '\n';
        return 2;
    }

    // The frame grid at the rate asked for; else the display's, as the main
    // window shows it.
    if (options.frame_rate)
        frames::fix_rate(*options.frame_rate);
    vcl::TApplication application(argc, argv);
    app::FormWindows windows;
    input::Service service(std::move(provider), windows);
    service.install();
    // The measures on the input's clock, asking it what its mice declare and
    // what overflowed.
    const app::MeasuredInput measured_input(service.provider());
    measures::feed().start(measured_input, std::int64_t{options.chatter_ms} * 1000);
    measures::feed().set_distance_mm(options.distance_mm);
    // The check compares the mice in pairs from their first packet on.
    if (options.check || !options.report.empty())
        measures::feed().start_check();
    // Each mouse's CPI for speed, by the number the engine gave it at start.
    measures::feed().set_cpi_source([&options](measures::Handle mouse) {
        return app::speed_cpi(options, mouse_number(reinterpret_cast<HANDLE>(mouse)));
    });
    // What escapes the hooks is shown, as the message loop shows it, and the run goes on.
    service.on_batch_handled = [&csv] {
        vcl::guard(
            [&] {
                flush_log();
                measures::feed().batch_handled();
                if (csv)
                    csv->flush();
            },
            vcl::OtherExceptions::by_what);
    };
    if (options.exit_after_replay) {
        service.on_finished = [] {
            vcl::guard(
                [] {
                    if (Form1 != nullptr)
                        Form1->Close();
                },
                vcl::OtherExceptions::by_what);
        };
    }
    app::PacketStats stats;
    // The names the measures windows show: those of the devices the service
    // listed for the engine at start; a mouse plugged in later has none.
    measures::feed().set_names([&service](measures::Handle mouse) {
        for (const input::Device& device : service.listed()) {
            if (measures::handle_of(device.handle) == mouse)
                return device.name;
        }
        return std::string();
    });
    service.on_packet_handled = [&](const input::Packet& packet, WPARAM code,
                                    std::int64_t handled) {
        measures::feed().packet(app::to_measures(packet, code));
        if (csv) {
            csv->add(mouse_number(packet.device), packet.device, packet.own_time_ns() / 1000,
                     packet.same_report, packet.mouse);
        }
        if (options.stats)
            stats.add(packet.device, packet.time_ns, handled);
    };
    app::close_on_signals([] {
        if (Form1 != nullptr)
            Form1->Close();
    });

    // Once the windows exist and before anything else runs in the loop.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [&] {
            report_input_problems(service);
            if (options.background && service.registered())
                show_background_notice();
            if (options.timing)
                show_measures_window(Form3);
            if (options.buttons)
                show_measures_window(Form4);
            if (options.movement)
                show_measures_window(Form5);
            if (options.plot)
                show_measures_window(Form6);
            if (options.check)
                show_measures_window(Form7);
        },
        Qt::QueuedConnection);

    rawinput::background = options.background;
    int result = WinMain();
    // A batch run that lost its log has not done its job.
    if (options.exit_after_replay && log_incomplete() && result == 0)
        result = 1;
    // A screenshot asked for and not saved is a failed run; so is a CSV file
    // or a recording not written whole.
    if (!options.screenshot.empty() && !save_screenshot(options.screenshot) && result == 0)
        result = 1;
    if (csv && !csv->close() && result == 0)
        result = 1;
    if (recorder && !recorder->finish() && result == 0)
        result = 1;
    if (!options.report.empty() && !write_check_report(options.report, error)) {
        std::cerr << "rawmice: --report: " << error << '\n';
        if (result == 0)
            result = 1;
    }
    std::fflush(stdout);
    std::cerr << app::unknown_cpi_mice(options, raw_input_state.raw_mouse_count);
    if (options.stats) {
        // The mice as the engine numbered them, at start-up.
        const std::vector<app::MouseLabel> mice =
            app::mouse_labels(raw_input_state, service.listed());
        const measures::Store& measured = measures::feed().store();
        std::cerr << stats.report(mice, measured, measured.options().clock,
                                  service.dropped_unfocused())
                  << app::frames_line(frames::rate(), frames::source(), frames::rate_changes(),
                                      frames::frames_drawn())
                  << app::syn_dropped_line(mice, service.provider().syn_dropped_by_mouse())
                  << measures::buttons_table(mice, measured)
                  << measures::movement_tables(mice, measured, measures::feed().distance_mm())
                  << measures::tracking_table(mice, measured)
                  << measures::strokes_table(mice, measured, measures::feed().distance_mm())
                  << std::flush;
        // What each measures window's frames cost, for those that were made.
        for (const MeasuresWindow* window :
             std::initializer_list<const MeasuresWindow*>{Form3, Form4, Form5, Form6, Form7}) {
            if (window != nullptr)
                std::cerr << window->cost_line();
        }
        std::cerr << std::flush;
    } else if (service.dropped_unfocused() > 0) {
        std::cerr << "rawmice: " << service.dropped_unfocused()
                  << " packets dropped because no window of rawmice was active\n"
                  << std::flush;
    }
    return result;
}
