// rawmice: watch several mice at once, packet by packet.
#include <malloc.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <QImage>
#include <QLibraryInfo>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/options.h"
#include "app/providers.h"
#include "app/signals.h"
#include "app/stats.h"
#include "app/winmain.h"
#include "platform/input/service.h"
#include "platform/vcl/vcl.h"
#include "rawinput/report.h"
#include "ui/principal.h"

// Last: Xlib's macros (None, Bool, Status) would trip the headers above.
#include <X11/Xlib.h>

namespace {

// The device lines as the memo shows them: the first ten devices, and a line
// for each mouse recorded among them.
void print_listing(input::Provider& provider) {
    const std::vector<input::Device> devices = provider.devices();
    int mice = 0;
    for (std::size_t i = 0; i < devices.size() && i < 10; ++i) {
        const input::Device& d = devices[i];
        std::cout << report::device_line(static_cast<UINT>(i), d.handle, d.type) << '\n';
        if (d.handle != nullptr && d.type == RIM_TYPEMOUSE) {
            std::cout << report::mouse_line(mice++, d.handle) << '\n';
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

bool save_screenshot(const std::string& path) {
    if (Form1 == nullptr)
        return false;
    Form1->Memo1->Lines->flush_view();
    const QImage image = Form1->grab().toImage();
    if (!image.save(QString::fromStdString(path), "PNG")) {
        std::cerr << "rawmice: cannot save the screenshot to " << path << '\n';
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // The memo's document drops and rebuilds blocks of a megabyte or so as it
    // scrolls; a fixed threshold hands them back to the system rather than
    // leaving holes in the heap, so memory stays flat over a long run.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
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
    if (options.list_devices) {
        print_listing(*provider);
        return 0;
    }

    vcl::TApplication application(argc, argv);
    input::Service service(std::move(provider));
    service.install();
    service.on_batch_handled = flush_log;
    if (options.exit_after_replay) {
        service.on_finished = [] {
            if (Form1 != nullptr)
                Form1->Close();
        };
    }
    app::PacketStats stats;
    std::vector<app::MouseLabel> mice;
    if (options.stats) {
        mice = app::mouse_labels(service.provider().devices());
        service.on_packet_handled = [&stats](const input::Packet& packet, std::int64_t handled) {
            stats.add(packet.device, packet.time_ns, handled);
        };
    }
    app::close_on_signals([] {
        if (Form1 != nullptr)
            Form1->Close();
    });

    int result = WinMain();
    // A screenshot asked for and not saved is a failed run.
    if (!options.screenshot.empty() && !save_screenshot(options.screenshot) && result == 0)
        result = 1;
    std::fflush(stdout);
    if (options.stats) {
        std::cerr << stats.report(mice, service.dropped_unfocused()) << std::flush;
    } else if (service.dropped_unfocused() > 0) {
        std::cerr << "rawmice: " << service.dropped_unfocused()
                  << " packets dropped because no window of rawmice was active\n"
                  << std::flush;
    }
    return result;
}
