// Runs a program as a child process with a given environment and standard input, and collects its
// standard output, standard error and exit code. A child that outlives the time limit is killed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace processrunner {

struct Result {
    int exitCode = -1;  // 0..255, or -1 when killed by a signal
    int signal = 0;
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct Options {
    std::map<std::string, std::string> env;  // added to (or replacing) the parent's environment
    std::vector<std::string> unset;          // removed from the environment
    std::string unsetPrefix;                 // every variable whose name begins with it is removed too
    std::string input;                       // written to standard input, which is then closed
    bool closeInput = true;                  // false: standard input stays open until the child ends
    int timeoutMs = 30000;
    std::string interruptWhenOutputHas;      // once standard output holds this text, the child gets SIGINT
    int interruptDelayMs = 0;                // ... this long after the text appeared
    bool interruptGroup = false;             // ... and so does its whole process group, as a terminal's Ctrl+C
    int interruptSignal = SIGINT;            // ... or this signal instead
    bool closeOutput = false;                // the child starts with its standard output closed
    std::string appendOutputTo;              // the child's standard output appends to this file (created if need be)
};

inline long long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// A started child: its pid (-1 when it could not start) and our ends of its standard streams.
struct Child {
    pid_t pid = -1;
    int in = -1;   // the child's standard input, to write
    int out = -1;  // its standard output, to read
    int err = -1;  // its standard error, to read
};

// Starts argv[0] in a process group of its own, with the parent's environment changed as `options` says.
inline Child Spawn(const std::vector<std::string>& argv, const Options& options = Options()) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        size_t eq = entry.find('=');
        if (eq == std::string::npos) continue;
        std::string name = entry.substr(0, eq);
        if (!options.unsetPrefix.empty() && name.compare(0, options.unsetPrefix.size(), options.unsetPrefix) == 0) continue;
        env[name] = entry.substr(eq + 1);
    }
    for (const auto& name : options.unset) env.erase(name);
    for (const auto& [name, value] : options.env) env[name] = value;
    std::vector<std::string> envStrings;
    for (const auto& [name, value] : env) envStrings.push_back(name + "=" + value);
    std::vector<char*> envp, args;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvCopy = argv;
    for (auto& s : argvCopy) args.push_back(s.data());
    args.push_back(nullptr);

    Child child;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return child;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (options.closeOutput)
        posix_spawn_file_actions_addclose(&actions, 1);
    else if (!options.appendOutputTo.empty())
        posix_spawn_file_actions_addopen(&actions, 1, options.appendOutputTo.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    else
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    if (posix_spawn(&child.pid, args[0], &actions, &attributes, args.data(), envp.data()) != 0) child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (child.pid < 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        return child;
    }
    child.in = in[1];
    child.out = out[0];
    child.err = err[0];
    return child;
}

inline Result Run(const std::vector<std::string>& argv, const Options& options = Options()) {
    Result result;
    Child child = Spawn(argv, options);
    if (child.pid < 0) {
        result.err = "cannot start " + argv[0];
        return result;
    }
    pid_t pid = child.pid;
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    int inFd = child.in;
    if (options.input.empty() && options.closeInput) {
        close(inFd);
        inFd = -1;
    }
    long long deadline = NowMs() + options.timeoutMs;
    bool outOpen = true, errOpen = true;
    bool interrupted = false;
    long long interruptAt = -1;
    while (outOpen || errOpen) {
        if (interruptAt < 0 && !options.interruptWhenOutputHas.empty() &&
            result.out.find(options.interruptWhenOutputHas) != std::string::npos)
            interruptAt = NowMs() + options.interruptDelayMs;
        if (!interrupted && interruptAt >= 0 && NowMs() >= interruptAt) {
            kill(options.interruptGroup ? -pid : pid, options.interruptSignal);
            interrupted = true;
        }
        pollfd fds[3];
        int n = 0;
        if (outOpen) fds[n++] = {child.out, POLLIN, 0};
        if (errOpen) fds[n++] = {child.err, POLLIN, 0};
        if (inFd >= 0 && written < options.input.size()) fds[n++] = {inFd, POLLOUT, 0};
        long long left = deadline - NowMs();
        if (!interrupted && interruptAt >= 0) left = std::min(left, std::max(0LL, interruptAt - NowMs()));
        if (deadline - NowMs() <= 0) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            break;
        }
        if (poll(fds, static_cast<nfds_t>(n), static_cast<int>(left)) < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == inFd) {
                ssize_t w = write(inFd, options.input.data() + written, options.input.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                if (w < 0 || written == options.input.size()) {
                    if (options.closeInput) {
                        close(inFd);
                        inFd = -1;
                    }
                }
                continue;
            }
            char buf[4096];
            ssize_t r = read(fds[i].fd, buf, sizeof buf);
            std::string& sink = fds[i].fd == child.out ? result.out : result.err;
            if (r > 0) {
                sink.append(buf, static_cast<size_t>(r));
            } else {
                (fds[i].fd == child.out ? outOpen : errOpen) = false;
            }
        }
    }
    if (inFd >= 0) close(inFd);
    close(child.out);
    close(child.err);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

}  // namespace processrunner
