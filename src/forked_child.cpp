#include "forked_child.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vellumcut {

bool write_all(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

double now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

void close_fd(int& fd) noexcept {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

[[noreturn]] void throw_cannot_start(const char* what, int err) {
    throw ChildUnavailable(std::string("cannot start a process for ") + what + ": " +
                           std::strerror(err));
}

// The child: it shares nothing with the parent from here on. It waits for
// the parent's go-ahead (one byte on `go`, sent once the parent holds a
// pidfd for it, so that the parent never signals a recycled pid), sends
// stdout and stderr to /dev/null and runs `main`. Besides `main` it only
// calls read(), open(), dup2(), close() and _exit().
[[noreturn]] void child_entry(int fd, int go, ChildMain main, void* context) {
    char byte = 0;
    ssize_t got;
    do {
        got = ::read(go, &byte, 1);
    } while (got < 0 && errno == EINTR);
    if (got != 1) ::_exit(4);  // the parent gave up
    ::close(go);
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0 || ::dup2(null_fd, STDOUT_FILENO) < 0 || ::dup2(null_fd, STDERR_FILENO) < 0) {
        ::_exit(5);  // never let the child write into the host's streams
    }
    ::_exit(main(fd, context));
}

// The one owner of a child: its pid, a pidfd when the kernel has
// them, and the parent's ends of the two pipes. Whatever way the call
// leaves (result, deadline, stop, poll or read failure, bad_alloc), the
// destructor kills the child if it may still run and reaps it, so no child
// outlives the call and none is left a zombie.
//
// Another thread of the host may reap the child first (os.wait() reaps any
// child); the pidfd keeps this owner from signalling or waiting for a
// process that has since taken over the pid, and the result is then judged
// from the pipe alone.
class ForkedChild {
public:
    ForkedChild(ChildMain main, void* context, const char* what, std::mutex* held_across_fork) {
        int data[2], go[2];
        if (::pipe2(data, O_CLOEXEC) != 0) throw_cannot_start(what, errno);
        if (::pipe2(go, O_CLOEXEC) != 0) {
            const int err = errno;
            ::close(data[0]);
            ::close(data[1]);
            throw_cannot_start(what, err);
        }
        std::unique_lock<std::mutex> fork_lock;
        if (held_across_fork != nullptr) fork_lock = std::unique_lock<std::mutex>(*held_across_fork);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(data[0]);
            ::close(go[1]);
            child_entry(data[1], go[0], main, context);
        }
        const int err = errno;
        if (fork_lock.owns_lock()) fork_lock.unlock();
        ::close(data[1]);
        ::close(go[0]);
        read_fd_ = data[0];
        go_fd_ = go[1];
        if (pid_ < 0) {
            close_fd(read_fd_);
            close_fd(go_fd_);
            throw_cannot_start(what, err);
        }
#ifdef SYS_pidfd_open
        // The child waits for the go-ahead, so it cannot have exited (and
        // been reaped by anyone) yet.
        pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
#endif
        const char byte = 1;
        if (!write_all(go_fd_, &byte, 1)) {
            const int go_err = errno;
            throw_cannot_start(what, go_err);  // the destructor kills and reaps
        }
        close_fd(go_fd_);
    }

    ~ForkedChild() {
        close_fd(go_fd_);  // a child still waiting for the go-ahead exits
        close_fd(read_fd_);
        if (!reaped_) {
            signal(SIGKILL);
            wait();
        }
        close_fd(pidfd_);
    }
    ForkedChild(const ForkedChild&) = delete;
    ForkedChild& operator=(const ForkedChild&) = delete;

    int read_fd() const { return read_fd_; }
    void close_read() { close_fd(read_fd_); }

    void signal(int sig) noexcept {
        if (reaped_) return;
#ifdef SYS_pidfd_send_signal
        if (pidfd_ >= 0) {
            ::syscall(SYS_pidfd_send_signal, pidfd_, sig, nullptr, 0);
            return;
        }
#endif
        ::kill(pid_, sig);
    }

    // Reaps the child. Returns whether its exit status is known: false when
    // someone else reaped it (or SIGCHLD is ignored and it reaped itself).
    bool wait() noexcept {
        if (reaped_) return status_known_;
        reaped_ = true;
#ifdef P_PIDFD
        if (pidfd_ >= 0) {
            siginfo_t info;
            std::memset(&info, 0, sizeof info);
            int r;
            do {
                r = ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_), &info, WEXITED);
            } while (r < 0 && errno == EINTR);
            if (r == 0) {
                status_known_ = true;
                if (info.si_code == CLD_EXITED) {
                    exited_ = true;
                    exit_code_ = info.si_status;
                } else {
                    term_signal_ = info.si_status;
                }
                return true;
            }
            if (errno != EINVAL) return false;  // ECHILD: reaped elsewhere
        }
#endif
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(pid_, &status, 0);
        } while (r < 0 && errno == EINTR);
        status_known_ = r == pid_;
        if (status_known_) {
            exited_ = WIFEXITED(status);
            if (exited_) exit_code_ = WEXITSTATUS(status);
            if (WIFSIGNALED(status)) term_signal_ = WTERMSIG(status);
        }
        return status_known_;
    }

    bool exited_cleanly() const { return exited_ && exit_code_ == 0; }
    int term_signal() const { return term_signal_; }

    // Processor time the child has used (user + system), or -1 when it
    // cannot be read (no /proc, or the child is gone).
    double cpu_seconds() const {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid_));
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return -1.0;
        char text[1024];
        const ssize_t n = ::read(fd, text, sizeof text - 1);
        ::close(fd);
        if (n <= 0) return -1.0;
        text[n] = '\0';
        // Fields after the command name, which is in parentheses and may hold
        // anything: state is field 3, utime and stime are fields 14 and 15.
        const char* p = std::strrchr(text, ')');
        if (p == nullptr) return -1.0;
        unsigned long long utime = 0, stime = 0;
        if (std::sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                        &stime) != 2) {
            return -1.0;
        }
        // The figures are the child's only while it is unreaped (its pid
        // cannot be reused before): check that after reading them.
        if (!alive()) return -1.0;
        const long ticks = ::sysconf(_SC_CLK_TCK);
        return static_cast<double>(utime + stime) / static_cast<double>(ticks > 0 ? ticks : 100);
    }

private:
    bool alive() const {
#ifdef SYS_pidfd_send_signal
        if (pidfd_ >= 0) return ::syscall(SYS_pidfd_send_signal, pidfd_, 0, nullptr, 0) == 0;
#endif
        return ::kill(pid_, 0) == 0;
    }

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int read_fd_ = -1;
    int go_fd_ = -1;
    bool reaped_ = false;
    bool status_known_ = false;
    bool exited_ = false;
    int exit_code_ = 0;
    int term_signal_ = 0;
};

}  // namespace

ChildOutput run_in_child(ChildMain main, void* context, double cpu_seconds, Stop& stop,
                         const char* what, std::mutex* held_across_fork) {
    ForkedChild child(main, context, what, held_across_fork);

    // Read everything the child sends until it closes the pipe (it exits),
    // its processor time passes the deadline or the stop is requested.
    ChildOutput result;
    const bool limited = cpu_seconds > 0.0;
    const double backstop = std::max(60.0, 10.0 * cpu_seconds);
    const double started = now_seconds();
    double next_cpu_check = started;
    for (;;) {
        stop.poll();  // Interrupted: the child is killed and reaped on the way out
        if (limited) {
            const double now = now_seconds();
            if (now >= next_cpu_check) {
                if (child.cpu_seconds() > cpu_seconds || now - started > backstop) {
                    result.timed_out = true;
                    break;
                }
                next_cpu_check = now + 0.05;
            }
        }
        pollfd pfd{child.read_fd(), POLLIN, 0};
        const int r = ::poll(&pfd, 1, 10);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            throw std::runtime_error(std::string("cannot watch the process for ") + what + ": " +
                                     std::strerror(errno));
        }
        if (r == 0) continue;
        char chunk[1 << 16];
        const ssize_t n = ::read(child.read_fd(), chunk, sizeof chunk);
        if (n > 0) {
            result.data.insert(result.data.end(), chunk, chunk + n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR && errno != EAGAIN) {
            throw std::runtime_error(std::string("cannot read the output of ") + what + ": " +
                                     std::strerror(errno));
        }
    }
    child.close_read();
    if (result.timed_out) child.signal(SIGKILL);
    result.status_known = child.wait();
    result.exited_cleanly = result.status_known && child.exited_cleanly();
    result.term_signal = result.status_known ? child.term_signal() : 0;
    return result;
}

}  // namespace vellumcut
