#include "platform/input/evdev_system.h"

#include <fcntl.h>
#include <grp.h>
#include <libevdev/libevdev.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <vector>

namespace input {

namespace {

// Asks the kernel to queue only motion (relative, or an absolute pointer's X
// and Y), wheels, mouse buttons and SYN for this descriptor, so that
// keystrokes of a device that is also a keyboard never reach this process.
// Kernels before 4.4 refuse; the frame assembler still drops those events then.
void mask_to_mouse_events(int fd) {
    // Lets through the codes `first` to `last` of `type` (EV_SYN: the types).
    const auto allow = [fd](unsigned type, unsigned count, unsigned first, unsigned last) {
        constexpr unsigned long_bits = sizeof(unsigned long) * CHAR_BIT;
        std::vector<unsigned long> bits((count + long_bits - 1) / long_bits);
        for (unsigned bit = first; bit <= last; ++bit)
            bits[bit / long_bits] |= 1UL << (bit % long_bits);
        input_mask mask{type, static_cast<__u32>(bits.size() * sizeof(unsigned long)),
                        reinterpret_cast<std::uintptr_t>(bits.data())};
        ::ioctl(fd, EVIOCSMASK, &mask);
    };
    allow(EV_KEY, KEY_CNT, BTN_MOUSE, BTN_TASK);
    allow(EV_ABS, ABS_CNT, ABS_X, ABS_Y);
    static_assert(EV_KEY + 1 == EV_REL && EV_REL + 1 == EV_ABS);
    allow(EV_SYN, EV_CNT, EV_KEY, EV_ABS);
}

class LibevdevSource final : public EventSource {
  public:
    LibevdevSource(UniqueFd fd, libevdev* dev) : fd_(std::move(fd)), dev_(dev) {}
    ~LibevdevSource() override { libevdev_free(dev_); }
    LibevdevSource(const LibevdevSource&) = delete;
    LibevdevSource& operator=(const LibevdevSource&) = delete;

    int fd() const override { return fd_.get(); }
    int next_event(unsigned flags, input_event& event) override {
        return libevdev_next_event(dev_, flags, &event);
    }
    bool key_down(unsigned code) const override {
        return libevdev_get_event_value(dev_, EV_KEY, code) != 0;
    }
    int abs_value(unsigned code) const override {
        return libevdev_get_event_value(dev_, EV_ABS, code);
    }
    std::string name() const override { return libevdev_get_name(dev_); }
    Capabilities capabilities() const override {
        return read_capabilities(
            [this](unsigned type, unsigned code) {
                return libevdev_has_event_code(dev_, type, code) != 0;
            },
            [this](unsigned code) {
                const input_absinfo* info = libevdev_get_abs_info(dev_, code);
                return info == nullptr ? AxisRange{} : AxisRange{info->minimum, info->maximum};
            });
    }

  private:
    UniqueFd fd_;
    libevdev* dev_;
};

class InotifyWatch final : public FolderWatch {
  public:
    explicit InotifyWatch(UniqueFd fd) : fd_(std::move(fd)) {}
    int fd() const override { return fd_.get(); }

    std::vector<FolderChange> read_changes() override {
        std::vector<FolderChange> changes;
        alignas(inotify_event) char buffer[16 * 1024];
        for (;;) {
            const ssize_t length = ::read(fd_.get(), buffer, sizeof buffer);
            if (length < 0 && errno == EINTR)
                continue;
            if (length <= 0)
                break;
            for (ssize_t offset = 0; offset < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if ((event->mask & IN_Q_OVERFLOW) != 0) {
                    changes.push_back({FolderChange::Kind::rescan, {}});
                    continue;
                }
                if (event->len == 0)
                    continue;
                std::string name(event->name);
                if ((event->mask & (IN_CREATE | IN_MOVED_TO)) != 0) {
                    changes.push_back({FolderChange::Kind::added, name});
                } else if ((event->mask & IN_ATTRIB) != 0) {
                    changes.push_back({FolderChange::Kind::changed, name});
                } else if ((event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
                    changes.push_back({FolderChange::Kind::removed, name});
                }
            }
        }
        return changes;
    }

  private:
    UniqueFd fd_;
};

class LinuxEvdevSystem final : public EvdevSystem {
  public:
    dev_t device_number(const std::filesystem::path& node) override {
        struct stat status {};
        if (::stat(node.c_str(), &status) != 0 || !S_ISCHR(status.st_mode))
            return 0;
        return status.st_rdev;
    }

    OpenedSource open_events(const std::filesystem::path& node) override {
        UniqueFd fd(::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!fd)
            return {nullptr, errno};
        // Packets carry monotonic time stamps; a kernel that refuses keeps
        // real time, which only skews the delay statistics. The clock is set
        // before any event is taken: a node whose clock changes while events
        // wait in its queue drops them and queues SYN_DROPPED
        // (evdev_set_clk_type), which would read as an overflow of a buffer
        // that never overflowed. What waits now came before rawmice began
        // reading: it is let go, and libevdev then reads the device's state.
        int clock = CLOCK_MONOTONIC;
        ::ioctl(fd.get(), EVIOCSCLOCKID, &clock);
        input_event waiting[64];
        while (::read(fd.get(), waiting, sizeof waiting) > 0) {
        }
        libevdev* dev = nullptr;
        const int rc = libevdev_new_from_fd(fd.get(), &dev);
        if (rc < 0)
            return {nullptr, -rc};
        mask_to_mouse_events(fd.get());
        return {std::make_unique<LibevdevSource>(std::move(fd), dev), 0};
    }

    std::unique_ptr<FolderWatch> watch_folder(const std::filesystem::path& folder,
                                              int& error) override {
        UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (!fd) {
            error = errno;
            return nullptr;
        }
        const auto events = IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE | IN_MOVED_FROM;
        if (::inotify_add_watch(fd.get(), folder.c_str(), events) < 0) {
            error = errno;
            return nullptr;
        }
        error = 0;
        return std::make_unique<InotifyWatch>(std::move(fd));
    }
};

}  // namespace

Description EventSource::describe() const {
    return describe_node(fd());
}

std::string EvdevSystem::node_group(const std::filesystem::path& node) {
    struct stat status {};
    if (::stat(node.c_str(), &status) != 0)
        return {};
    std::vector<char> buffer(16 * 1024);
    group entry{};
    group* found = nullptr;
    while (::getgrgid_r(status.st_gid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1U << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    return found != nullptr ? std::string(found->gr_name) : std::to_string(status.st_gid);
}

std::unique_ptr<EvdevSystem> make_linux_evdev_system() {
    return std::make_unique<LinuxEvdevSystem>();
}

}  // namespace input
