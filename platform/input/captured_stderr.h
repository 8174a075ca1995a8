// Standard error's stream pointed at memory while a CapturedStderr lives, so
// that what a library prints there (libevemu says what is wrong with a
// recording only on stderr) can be read back. Only the stdio stream moves:
// what is written to file descriptor 2 directly (sanitizer and libFuzzer
// reports) stays visible.
// NOTE: stderr is the whole process's; capture only where no other thread
// may write there.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace input {

class CapturedStderr {
  public:
    CapturedStderr() : memory_(::open_memstream(&text_, &size_)), saved_(stderr) {
        if (memory_ != nullptr)
            stderr = memory_;
    }
    ~CapturedStderr() {
        release();
        std::free(text_);
    }
    CapturedStderr(const CapturedStderr&) = delete;
    CapturedStderr& operator=(const CapturedStderr&) = delete;

    // Gives stderr back; returns what was written meanwhile, valid while this lives.
    std::string_view release() {
        if (memory_ != nullptr) {
            stderr = saved_;
            std::fclose(memory_);
            memory_ = nullptr;
        }
        return text_ != nullptr ? std::string_view(text_, size_) : std::string_view();
    }

  private:
    char* text_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* memory_;
    std::FILE* saved_;
};

}  // namespace input
