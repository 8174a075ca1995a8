// rawmice: watch several mice at once, packet by packet.
#include <QImage>
#include <QStringList>

#include <cstdio>
#include <iostream>
#include <memory>

#include "app/options.h"
#include "app/providers.h"
#include "app/signals.h"
#include "app/stats.h"
#include "app/winmain.h"
#include "platform/input/service.h"
#include "platform/vcl/vcl.h"
#include "rawinput/report.h"
#include "ui/principal.h"

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

    const int result = WinMain();
    if (!options.screenshot.empty())
        save_screenshot(options.screenshot);
    std::fflush(stdout);
    if (options.stats)
        std::cerr << stats.report(mice, service.dropped_unfocused()) << std::flush;
    return result;
}
