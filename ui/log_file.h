// log.txt: the stream the report lines go to, and how the file is opened for a
// run (made if missing, held against a second rawmice, then emptied).
#pragma once

#include <ext/stdio_filebuf.h>

#include <memory>
#include <ostream>
#include <string>

// An output file stream over a descriptor the program opened itself: log.txt
// is opened, locked and only then emptied, and the lock is held on the very
// descriptor that writes, so it lasts exactly as long as the writing. Bytes
// are written as they are: the report line's "\r\n" stays two bytes on Windows.
class LogStream : public std::ostream {
  public:
    LogStream();
    ~LogStream() override;
    // Writes to `fd` (open for writing) from now on, and owns it.
    void open(int fd);
    bool is_open() const { return buffer_ != nullptr; }
    // Writes out what is buffered and closes the descriptor (its lock goes with it).
    void close();

  private:
    std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> buffer_;
};

enum class LogProblem {
    none,
    cannot_create,  // the file cannot be made or opened for writing
    held,           // another rawmice writes it
    cannot_empty,   // opened and held, but its old lines cannot be removed
};

struct LogOpening {
    int fd = -1;  // open for writing, held and emptied; -1 with a problem
    LogProblem problem = LogProblem::none;
    std::string reason;  // the system's words for the problem, when it has some
};

// Opens `path` for this run: made if missing, then held so that a second
// rawmice in the same folder cannot open it (flock on Linux, a share mode that
// denies writing on Windows), and only then emptied, so the second one never
// empties the first one's log.
LogOpening open_log_file(const char* path);
