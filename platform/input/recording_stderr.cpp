#include "platform/input/recording_stderr.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace input {

namespace {

thread_local StderrCapture* innermost = nullptr;

}  // namespace

// The stream stderr is while captures live: unbuffered, so that each write
// reaches the thread that made it.
struct StderrRouting {
    static ssize_t write(void*, const char* data, size_t size) {
        if (innermost != nullptr) {
            innermost->text_.append(data, size);
            return static_cast<ssize_t>(size);
        }
        for (size_t done = 0; done < size;) {
            const ssize_t wrote = ::write(STDERR_FILENO, data + done, size - done);
            if (wrote < 0 && errno == EINTR)
                continue;
            if (wrote <= 0)
                return done > 0 ? static_cast<ssize_t>(done) : -1;
            done += static_cast<size_t>(wrote);
        }
        return static_cast<ssize_t>(size);
    }

    static void start() {
        const std::lock_guard lock(mutex);
        if (users++ > 0)
            return;
        routed = ::fopencookie(nullptr, "w", {nullptr, &StderrRouting::write, nullptr, nullptr});
        if (routed == nullptr)
            return;  // stderr stays as it is: libevemu's words reach it
        std::setvbuf(routed, nullptr, _IONBF, 0);
        std::fflush(stderr);
        saved = stderr;
        stderr = routed;
    }
    static void stop() {
        const std::lock_guard lock(mutex);
        if (--users > 0 || routed == nullptr)
            return;
        stderr = saved;
        std::fclose(routed);
        routed = nullptr;
    }

    static inline std::mutex mutex;
    static inline int users = 0;
    static inline std::FILE* routed = nullptr;
    static inline std::FILE* saved = nullptr;
};

StderrCapture::StderrCapture() : outer_(innermost) {
    StderrRouting::start();
    innermost = this;
}

StderrCapture::~StderrCapture() {
    innermost = outer_;
    StderrRouting::stop();
}

}  // namespace input
