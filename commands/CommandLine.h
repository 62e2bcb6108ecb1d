// What every command beyond the merge shares: argument parsing with the toolkit's exit codes,
// messages on standard error, and a self-updating progress line. Commands declare their
// arguments once on a CLI::App and keep their run short; the work itself is library code.
//
// Exit codes: 0 on success (and for --help and --version), 1 on any failure, 2 on a usage error.
#ifndef FIBREJOIN_COMMANDS_COMMANDLINE_H
#define FIBREJOIN_COMMANDS_COMMANDLINE_H

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdint>
#include <string>

namespace fibrejoin {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Adds --version to app, printing "NAME VERSION".
void AddVersionFlag(CLI::App& app);

// Parses the arguments. Returns -1 when the command should run, else the exit status: 0 after
// --help or --version, 2 after a usage error (reported on standard error with a hint).
int ParseArguments(CLI::App& app, int argc, char** argv);

// Prints "NAME: message" on standard error and returns kExitFailure.
int Fail(const CLI::App& app, const std::string& message);

// One line on standard error, rewritten in place at most a few times a second, shown only when
// standard error is a terminal and the command is not quiet.
class ProgressLine {
  public:
    explicit ProgressLine(bool quiet);
    ~ProgressLine();
    bool shown() const { return shown_; }
    // Rewrites the line with text, unless the last rewrite was moments ago; force skips that.
    void Show(const std::string& text, bool force = false);
    // Clears the line, so that what is printed next starts on a clean line.
    void Clear();

  private:
    bool shown_;
    bool dirty_ = false;
    std::chrono::steady_clock::time_point last_;
};

// "3.2 s", "4 min 05 s": a duration for a person.
std::string FormatDuration(double seconds);

// Stops a long run cleanly on SIGINT, SIGTERM and SIGHUP: the handler only raises a flag, which
// the run polls, so that an interrupted command removes its temporary output. A file-size limit
// makes writes fail with an error instead of killing the process.
void InstallInterruptHandlers();
bool Interrupted();

}  // namespace fibrejoin

#endif  // FIBREJOIN_COMMANDS_COMMANDLINE_H
