// A program of this project run as a child process by a test: its standard
// output (and error) read through a pipe, its exit status waited for with a
// time limit.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace kvx::test {

struct Child {
    pid_t pid = -1;
    int out = -1;  // its standard output and standard error
};

// Starts `binary` with `args`; its standard output (and, with withStderr, its
// standard error) goes to the pipe in Child::out.
inline Child spawnChild(const std::string& binary, const std::vector<std::string>& args, bool withStderr = false) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    std::vector<std::string> argv = {binary};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // A copy of a program in a folder of its own keeps its files there,
        // not in the test process's KORVEX_HOME.
        if (binary != KORVEX_CLI_BIN && binary != KORVEX_SIM_BIN) unsetenv("KORVEX_HOME");
        dup2(fds[1], 1);
        if (withStderr) dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    close(fds[1]);
    return {pid, fds[0]};
}

// Reads the child's output until done(text so far) or the time is up.
inline std::string readUntil(int fd, const std::function<bool(const std::string&)>& done, int timeoutMs) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(text) && std::chrono::steady_clock::now() < deadline) {
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, 50) <= 0) continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

// Reads the child's output until it contains `word` or the time is up.
inline std::string readUntil(int fd, const std::string& word, int timeoutMs) {
    return readUntil(fd, [&word](const std::string& t) { return t.find(word) != std::string::npos; }, timeoutMs);
}

// The child's exit status (128 + the signal when a signal ended it); -1 when
// it had not ended in time (it is killed then).
inline int waitExit(pid_t pid, int timeoutMs) {
    for (int i = 0; i < timeoutMs / 10; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

}  // namespace kvx::test
