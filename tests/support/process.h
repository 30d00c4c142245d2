// A program run in the background by a test, with its standard output and
// error in scratch files; killed at the end of the scope if still running.
#ifndef DRV_TESTS_SUPPORT_PROCESS_H
#define DRV_TESTS_SUPPORT_PROCESS_H

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

extern char** environ;

class Process {
public:
    Process(const char* path, const std::vector<std::string>& args) {
        std::vector<char*> argv{const_cast<char*>(path)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, _dir.file("out").c_str(), O_WRONLY | O_CREAT, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, _dir.file("err").c_str(), O_WRONLY | O_CREAT, 0600);
        if (posix_spawn(&_pid, path, &actions, nullptr, argv.data(), environ) != 0) _pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process() {
        if (_pid > 0) stop(SIGKILL);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Waits for the end: the exit status, or 128 and the signal that ended it.
    int wait() {
        if (_pid > 0) {
            int status = 0;
            waitpid(_pid, &status, 0);
            _pid = -1;
            _result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return _result;
    }
    int stop(int sig = SIGTERM) {
        if (_pid > 0) kill(_pid, sig);
        return wait();
    }
    void signal(int sig) const { kill(_pid, sig); }
    // The running program's process id; -1 once it has ended.
    pid_t pid() const { return _pid; }
    // Waits up to 10 s for text to appear on standard output.
    bool waitForOutput(const std::string& text) const {
        for (int i = 0; i < 1000; i++) {
            if (out().find(text) != std::string::npos) return true;
            usleep(10000);
        }
        return false;
    }
    std::string out() const { return readFile(_dir.file("out")); }
    std::string err() const { return readFile(_dir.file("err")); }

private:
    TempDir _dir;
    pid_t _pid = -1;
    int _result = -1;
};

struct Outcome {
    int status;
    std::string out, err;
};

// Runs a program to its end.
inline Outcome runToEnd(const char* path, const std::vector<std::string>& args) {
    Process p(path, args);
    int status = p.wait();
    return Outcome{status, p.out(), p.err()};
}

#endif
