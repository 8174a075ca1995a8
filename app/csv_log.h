// --csv=FILE: one line per packet handled, as log.txt has one, with the
// packet's own time stamp and its fields as numbers, for a spreadsheet or a
// plotting script.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/win32.h"

namespace app {

class CsvLog {
  public:
    // The first line, and the columns of every line.
    static constexpr const char* header =
        "mouse,handle,time_us,interval_us,flags,dx,dy,button_flags,wheel\n";

    // Creates `path` (replacing what was there) and writes the header; null,
    // with `error` set to one line naming the file, when it cannot.
    static std::unique_ptr<CsvLog> create(const std::string& path, std::string& error);
    ~CsvLog();
    CsvLog(const CsvLog&) = delete;
    CsvLog& operator=(const CsvLog&) = delete;

    // One packet of `device`, mouse `mouse_number` (-1 when not listed),
    // stamped `stamp_us` on its own clock. time_us counts from the first
    // line's stamp; interval_us from the same device's line before (empty for
    // its first, 0 for a packet of the same report as the one before).
    void add(int mouse_number, HANDLE device, std::int64_t stamp_us, bool same_report,
             const RAWMOUSE& mouse);
    // Writes out what is buffered; the first failure is said on standard
    // error, once.
    void flush();
    // Flushes and closes the file; whether every line was written.
    bool close();

  private:
    CsvLog(std::string path, std::FILE* file);
    void check();

    struct Last {
        HANDLE device;
        std::int64_t stamp_us;
    };
    std::string path_;
    std::FILE* file_;
    bool started_ = false;
    std::int64_t first_us_ = 0;
    std::vector<Last> last_;  // a few mice: searched in order, the last one used first
    std::size_t recent_ = 0;
    bool failed_ = false;
};

}  // namespace app
