#include "tests/support/process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>

extern char** environ;

namespace testsupport {

namespace fs = std::filesystem;

namespace {

using clock = std::chrono::steady_clock;

std::string read_all(int fd) {
    std::string text;
    char buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return text;
        text.append(buffer, static_cast<std::size_t>(n));
        at += n;
    }
}

// The test's environment with `changes` applied ("NAME=VALUE" sets, "NAME=" removes).
std::vector<std::string> environment(const std::vector<std::string>& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    for (const std::string& change : changes) {
        const std::string name = change.substr(0, change.find('=') + 1);
        std::erase_if(env, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
        if (change.size() > name.size())
            env.push_back(change);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (std::string& t : texts)
        out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const Launch& launch) {
    if (argv.empty())
        throw std::runtime_error("nothing to run");
    std::string dir_template = (fs::temp_directory_path() / "rawmice-child-XXXXXX").string();
    if (::mkdtemp(dir_template.data()) == nullptr)
        throw std::runtime_error("cannot make a folder for a child: " +
                                 std::string(std::strerror(errno)));
    private_dir_ = dir_template;
    out_fd_ = ::memfd_create("out", MFD_CLOEXEC);
    err_fd_ = ::memfd_create("err", MFD_CLOEXEC);
    if (out_fd_ < 0 || err_fd_ < 0)
        throw std::runtime_error("cannot capture a child's output: " +
                                 std::string(std::strerror(errno)));

    // Everything the child needs is made before fork: after it, only
    // async-signal-safe calls.
    std::vector<std::string> argv_text = argv;
    if (launch.as_nobody) {
        // The build folder may sit where nobody cannot enter (a checkout in a
        // 0700 folder): nobody runs a copy from the private folder, opened to
        // others for that. The program links no library of the build folder.
        const fs::path copy = private_dir_ / fs::path(argv[0]).filename();
        fs::copy_file(argv[0], copy);
        fs::permissions(private_dir_,
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        argv_text[0] = copy.string();
    }
    const fs::path runtime = private_dir_ / "runtime";
    fs::create_directory(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    std::vector<std::string> changes{"QT_QPA_PLATFORM=offscreen",
                                     "XDG_RUNTIME_DIR=" + runtime.string()};
    changes.insert(changes.end(), launch.env.begin(), launch.env.end());
    std::vector<std::string> env_text = environment(changes);
    std::vector<char*> args = pointers(argv_text);
    std::vector<char*> envp = pointers(env_text);
    const std::string dir = launch.workdir.string();
    const bool search = argv_text[0].find('/') == std::string::npos;

    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("cannot fork: " + std::string(std::strerror(errno)));
    if (pid_ == 0) {
        ::setpgid(0, 0);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(out_fd_, 1) < 0 || ::dup2(err_fd_, 2) < 0)
            ::_exit(125);
        if (launch.fd3 >= 0 &&
            (launch.fd3 == 3 ? ::fcntl(3, F_SETFD, 0) : ::dup2(launch.fd3, 3)) < 0)
            ::_exit(125);
        if (!dir.empty() && ::chdir(dir.c_str()) != 0)
            ::_exit(125);
        ::umask(launch.umask);
        if (launch.as_nobody &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(126);
        }
        if (launch.as_nobody && ::access(args[0], X_OK) != 0)
            ::_exit(124);
        if (search)
            ::execvpe(args[0], args.data(), envp.data());
        else
            ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    // Also here, so that a signal to the group right after fork reaches it.
    ::setpgid(pid_, pid_);
}

Process::~Process() {
    if (pid_ > 0 && !reaped_) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        reap(0);
    }
    if (out_fd_ >= 0)
        ::close(out_fd_);
    if (err_fd_ >= 0)
        ::close(err_fd_);
    if (!private_dir_.empty()) {
        std::error_code ignored;
        fs::permissions(private_dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(private_dir_, ignored);
    }
}

bool Process::reap(int options) {
    if (reaped_)
        return true;
    int status = 0;
    rusage usage{};
    pid_t got;
    do {
        got = ::wait4(pid_, &status, options, &usage);
    } while (got < 0 && errno == EINTR);
    if (got != pid_)
        return false;
    reaped_ = true;
    if (WIFEXITED(status))
        exit_code_ = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        signal_ = WTERMSIG(status);
    max_rss_kb_ = usage.ru_maxrss;
    return true;
}

bool Process::running() {
    return !reap(WNOHANG);
}

void Process::send(int signal_number) {
    if (!reaped_)
        ::kill(pid_, signal_number);
}

bool Process::wait(std::chrono::milliseconds deadline) {
    const auto end = clock::now() + deadline;
    // A pidfd becomes readable when the child ends: no polling.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    while (!reap(WNOHANG)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
        if (left <= 0)
            break;
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left));
        } else {
            ::poll(nullptr, 0, 2);  // an old kernel: look again shortly
        }
    }
    if (pidfd >= 0)
        ::close(pidfd);
    return reaped_;
}

void Process::stop(std::chrono::milliseconds grace) {
    if (reaped_)
        return;
    ::kill(-pid_, SIGTERM);
    if (!wait(grace)) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        reap(0);
    }
}

std::string Process::out() const {
    return read_all(out_fd_);
}

std::string Process::err() const {
    return read_all(err_fd_);
}

RunResult run(const std::vector<std::string>& argv, const Launch& launch,
              std::chrono::milliseconds deadline) {
    Process process(argv, launch);
    RunResult result;
    if (!process.wait(deadline)) {
        result.timed_out = true;
        process.stop(std::chrono::seconds(0));
    }
    result.exit_code = result.timed_out ? -1 : process.exit_code();
    result.signal = process.signal();
    result.max_rss_kb = process.max_rss_kb();
    result.out = process.out();
    result.err = process.err();
    return result;
}

}  // namespace testsupport
