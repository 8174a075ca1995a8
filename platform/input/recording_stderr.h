// libevemu says what it makes of a recording on stdio's stderr, in its own
// words ("WARNING: This appears to be an empty file", "FATAL: Invalid event
// format: ..."); rawmice says it in its own, with the file and the line. A
// StderrCapture takes what its thread writes to stderr while it lives, for
// the reader to say in its words or not at all.
#pragma once

#include <string>

namespace input {

// While any capture lives, stderr is a stream that gives each write to the
// writing thread's innermost capture, or, on a thread that holds none, to file
// descriptor 2 as before. Sanitizer and libFuzzer reports write to descriptor
// 2 directly and stay visible.
// NOTE: stderr is the process's: it is swapped when the first capture starts
// and given back when the last one ends, so hold one where no other thread
// opens, closes or reconfigures stderr (reading recordings before the window).
class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // What this thread wrote meanwhile.
    const std::string& text() const { return text_; }

  private:
    friend struct StderrRouting;
    std::string text_;
    StderrCapture* outer_;
};

}  // namespace input
