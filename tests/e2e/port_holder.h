// Another program holding a port, as a terminal program does: a forked
// child named "porthog" opens the device and takes the lock this program
// takes (flock) or the tty's exclusive mode (TIOCEXCL), and keeps it until
// the holder object goes. The child makes only system calls, so forking a
// test process that runs threads (the emulator's) is safe.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace kvx::test {

class PortHolder {
public:
    enum Hold { Lock, Exclusive };

    // unprivileged: the child runs as nobody (and lets nobody look into its
    // /proc entry), as another user's program would; needs root.
    PortHolder(const std::string& device, Hold hold, bool unprivileged = false) {
        int ready[2], quit[2];
        if (pipe(ready) != 0) return;
        if (pipe(quit) != 0) {
            close(ready[0]);
            close(ready[1]);
            return;
        }
        std::fflush(nullptr);  // else the child may write out the parent's buffered output again
        pid_ = fork();
        if (pid_ == 0) {
            // Only the two pipe ends stay open: an inherited pseudo-terminal
            // master or port would outlive its closing in the test.
            for (int fd = 3; fd < 1024; ++fd)
                if (fd != ready[1] && fd != quit[0]) close(fd);
            prctl(PR_SET_NAME, "porthog");
            bool ok = !unprivileged ||
                      (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0 &&
                       prctl(PR_SET_DUMPABLE, 1) == 0);
            int fd = ok ? open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
            ok = fd >= 0 && (hold == Lock ? flock(fd, LOCK_EX | LOCK_NB) : ioctl(fd, TIOCEXCL)) == 0;
            char c = ok ? '1' : '0';
            [[maybe_unused]] ssize_t w = write(ready[1], &c, 1);
            [[maybe_unused]] ssize_t r = read(quit[0], &c, 1);  // returns when the holder object goes
            _exit(0);
        }
        close(ready[1]);
        close(quit[0]);
        quit_ = quit[1];
        char c = 0;
        held_ = pid_ > 0 && read(ready[0], &c, 1) == 1 && c == '1';
        close(ready[0]);
    }
    ~PortHolder() {
        if (quit_ >= 0) close(quit_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

    bool held() const { return held_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int quit_ = -1;
    bool held_ = false;
};

}  // namespace kvx::test
