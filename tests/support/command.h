// Running a shell command from a test and keeping what it printed and how it ended. Blocks the
// calling thread until the command exits; no shared state.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace zyl::test {

struct CommandRun {
    int status = -1;  // the exit status, -1 when it did not exit normally or could not start
    std::string out;  // standard output (and whatever the command line redirects to it)
};

inline CommandRun RunCommand(const std::string& command) {
    CommandRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace zyl::test
