// Child processes and signals of the agent.
#include "process.h"

#include <QElapsedTimer>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

void onSigpipe(int) {}

void setCloexec(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) {
        fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

// Waits for the child until the deadline, then ends its process group and reaps it.
void endChild(pid_t pid, const QElapsedTimer &clock, int timeoutMs) {
    int status = 0;
    while (clock.elapsed() < timeoutMs) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            return;
        }
        usleep(10000);
    }
    kill(-pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Reads the child's output from `fd` until it ends, `cap` bytes have come or the time is up;
// then closes `fd`, and ends and reaps the child.
void collectOutput(int fd, pid_t pid, int timeoutMs, int cap, QByteArray *output) {
    QElapsedTimer clock;
    clock.start();
    char buffer[1024];
    while (output->size() < cap) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0) {
            break;
        }
        pollfd readable{fd, POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break; // end of output
        }
        output->append(buffer, static_cast<int>(qMin<qint64>(n, cap - output->size())));
    }
    close(fd);
    endChild(pid, clock, output->size() < cap ? timeoutMs : 0);
}

} // namespace

void guardStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            // The lowest free descriptor: this one.
            const int opened = open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                close(opened);
            }
        }
    }
}

void ignoreSigpipe() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSigpipe;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

void closeOnExecAboveStderr() {
#ifdef CLOSE_RANGE_CLOEXEC
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
        return;
    }
#endif
    // Kernels before 5.11: walk the descriptor table instead.
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return;
    }
    const int own = dirfd(dir);
    while (const dirent *entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (fd > 2 && fd != own) {
            setCloexec(fd);
        }
    }
    closedir(dir);
}

bool readCommandOutput(const char *command, int timeoutMs, int cap, QByteArray *output) {
    output->clear();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    closeOnExecAboveStderr();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so that a time-out ends the shell and what it started.
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    char sh[] = "sh";
    char dashC[] = "-c";
    char *argv[] = {sh, dashC, const_cast<char *>(command), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        return false;
    }
    collectOutput(fds[0], pid, timeoutMs, cap, output);
    return true;
}

bool readFileBounded(const char *path, int timeoutMs, int cap, QByteArray *output) {
    output->clear();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        // Only async-signal-safe calls here: the file is read by this child, so that a read
        // that blocks (a FIFO, /proc/kmsg) blocks nobody but it.
        setpgid(0, 0);
        const int file = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (file < 0) {
            _exit(1);
        }
        char buffer[1024];
        int left = cap;
        while (left > 0) {
            const ssize_t n =
                read(file, buffer, sizeof buffer < size_t(left) ? sizeof buffer : size_t(left));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0 || write(fds[1], buffer, size_t(n)) != n) {
                break;
            }
            left -= int(n);
        }
        _exit(0);
    }
    setpgid(pid, pid); // as the child does, so that a time-out ends it whichever runs first
    close(fds[1]);
    collectOutput(fds[0], pid, timeoutMs, cap, output);
    return true;
}
