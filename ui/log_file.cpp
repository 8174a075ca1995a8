#include "ui/log_file.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstring>

LogStream::LogStream() : std::ostream(nullptr) {}

LogStream::~LogStream() {
    close();
}

void LogStream::open(int fd) {
    close();
    buffer_ =
        std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::out | std::ios::binary);
    rdbuf(buffer_.get());
    clear();
}

void LogStream::close() {
    if (buffer_ == nullptr)
        return;
    if (buffer_->close() == nullptr)
        setstate(std::ios::failbit);
    rdbuf(nullptr);  // later writes fail quietly, as on a closed file stream
    buffer_.reset();
}

#ifdef _WIN32

namespace {

// The system's message for `error`, without its final full stop and line break.
std::string system_message(DWORD error) {
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}

}  // namespace

LogOpening open_log_file(const char* path) {
    // Others may read the log while it is written, never write it: a second
    // rawmice gets a sharing violation and leaves this one's log alone.
    const HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION)
            return {-1, LogProblem::held, system_message(error)};
        return {-1, LogProblem::cannot_create, system_message(error)};
    }
    if (GetFileType(file) == FILE_TYPE_DISK && !SetEndOfFile(file)) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        return {-1, LogProblem::cannot_empty, system_message(error)};
    }
    // Binary: the C runtime must not add a CR before each LF of "\r\n".
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        const std::string reason = std::strerror(errno);
        CloseHandle(file);
        return {-1, LogProblem::cannot_create, reason};
    }
    return {fd, LogProblem::none, {}};
}

#else

LogOpening open_log_file(const char* path) {
    // Made here with mode 0644 less the umask; a link, to /dev/full say, is followed.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0)
        return {-1, LogProblem::cannot_create, std::strerror(errno)};
    // A file system without locks (ENOLCK, EINVAL) still gets its log.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        const std::string reason = std::strerror(errno);
        ::close(fd);
        return {-1, LogProblem::held, reason};
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::ftruncate(fd, 0) != 0) {
        const std::string reason = std::strerror(errno);
        ::close(fd);
        return {-1, LogProblem::cannot_empty, reason};
    }
    return {fd, LogProblem::none, {}};
}

#endif
