// Times two commands side by side: every round runs each once, in random
// order, after its untimed preparation, so that drift of the machine hits
// both alike. Prints one CSV line per round: round, seconds of the first,
// seconds of the second.
//
// usage: pairtime ROUNDS DIR PREPARE COMMAND... :: DIR PREPARE COMMAND...
//   DIR      the working directory of the command and its preparation
//   PREPARE  a shell command run before each timed run ("" for none)
//   COMMAND  the program and its arguments, run without a shell
// Five more rounds run first, untimed. Exit status 1 when a command fails.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Side {
    std::string dir, prepare;
    std::vector<std::string> command;
};

// Runs the side once; its duration in seconds, or a negative number when
// it failed.
double timed(const Side& side)
{
    if (!side.prepare.empty() && std::system(("cd '" + side.dir + "' && " + side.prepare).c_str()) != 0)
        return -1;
    std::vector<char*> argv;
    for (const auto& word : side.command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    // The child must not inherit unwritten result lines.
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(side.dir.c_str()) == 0 && (std::freopen("/dev/null", "w", stdout), true))
            execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? took.count() : -1;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<std::vector<std::string>> groups(1);
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "::")
            groups.emplace_back();
        else
            groups.back().push_back(args[i]);
    }
    const int rounds = args.empty() ? 0 : std::atoi(args[0].c_str());
    if (rounds < 1 || groups.size() != 2 || groups[0].size() < 3 || groups[1].size() < 3) {
        std::fprintf(stderr, "usage: pairtime ROUNDS DIR PREPARE COMMAND... :: DIR PREPARE COMMAND...\n");
        return 2;
    }
    Side sides[2];
    for (int k = 0; k < 2; ++k)
        sides[k] = Side{groups[k][0], groups[k][1], {groups[k].begin() + 2, groups[k].end()}};
    std::mt19937 random(std::random_device{}());
    for (int round = -5; round < rounds; ++round) {
        const bool swap = random() % 2;
        double seconds[2];
        seconds[swap ? 1 : 0] = timed(sides[swap ? 1 : 0]);
        seconds[swap ? 0 : 1] = timed(sides[swap ? 0 : 1]);
        for (int k = 0; k < 2; ++k)
            if (seconds[k] < 0) {
                std::fprintf(stderr, "pairtime: %s failed in %s\n", sides[k].command[0].c_str(), sides[k].dir.c_str());
                return 1;
            }
        if (round >= 0)
            std::printf("%d,%.9f,%.9f\n", round + 1, seconds[0], seconds[1]);
    }
    return 0;
}
