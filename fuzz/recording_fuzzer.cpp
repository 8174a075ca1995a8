// libFuzzer target over everything that reads a recording: the line check,
// libevemu's description, the libinput record reader (libyaml's events),
// classification, the event streams and frame-to-packet.
// The input bytes are a recording file (see recording_check.h for what must hold).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/recording_check.h"

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "recording_fuzzer: %s\n", what.c_str());
    std::abort();  // libFuzzer keeps the input that led here
}

// One in-memory file, rewritten for each input, reachable through a path as
// load_recording_file and EventStream need.
class ScratchFile {
  public:
    ScratchFile() : fd_(::memfd_create("recording", MFD_CLOEXEC)) {
        if (fd_ < 0)
            fail("cannot make the scratch file (memfd_create)");
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~ScratchFile() { ::close(fd_); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    void replace(const std::uint8_t* data, std::size_t size) {
        if (::ftruncate(fd_, 0) != 0)
            fail("cannot empty the scratch file");
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0)
                fail("cannot fill the scratch file");
            done += static_cast<std::size_t>(n);
        }
    }
    const std::string& path() const { return path_; }

  private:
    int fd_;
    std::string path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ScratchFile file;
    file.replace(data, size);
    if (const std::string problem = fuzzcheck::check_recording(file.path()); !problem.empty())
        fail(problem);
    return 0;
}
