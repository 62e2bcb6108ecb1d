#include "commands/CommandLine.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>

#include <unistd.h>

namespace fibrejoin {

namespace {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void RaiseInterruptFlag(int) {
    interrupted = 1;
}

}  // namespace

void AddVersionFlag(CLI::App& app) {
    app.set_version_flag("--version", app.get_name() + " " FIBREJOIN_VERSION);
}

int ParseArguments(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return kExitSuccess;
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << '\n';
        return kExitSuccess;
    } catch (const CLI::ParseError& e) {
        std::cerr << app.get_name() << ": " << e.what() << "\nRun '" << app.get_name()
                  << " --help' for the options.\n";
        return kExitUsage;
    }
    return -1;
}

int Fail(const CLI::App& app, const std::string& message) {
    std::cerr << app.get_name() << ": " << message << '\n';
    return kExitFailure;
}

ProgressLine::ProgressLine(bool quiet) : shown_(!quiet && isatty(fileno(stderr))) {}

ProgressLine::~ProgressLine() {
    Clear();
}

void ProgressLine::Show(const std::string& text, bool force) {
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && dirty_ && now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    dirty_ = true;
    // \033[K clears what a longer earlier line left behind.
    std::fprintf(stderr, "\r%s\033[K", text.c_str());
    std::fflush(stderr);
}

void ProgressLine::Clear() {
    if (!shown_ || !dirty_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    dirty_ = false;
}

std::string FormatDuration(double seconds) {
    char text[32];
    if (seconds < 60) {
        std::snprintf(text, sizeof(text), "%.1f s", seconds);
    } else {
        const long whole = long(seconds + 0.5);
        std::snprintf(text, sizeof(text), "%ld min %02ld s", whole / 60, whole % 60);
    }
    return text;
}

void InstallInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = RaiseInterruptFlag;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    std::signal(SIGXFSZ, SIG_IGN);
}

bool Interrupted() {
    return interrupted != 0;
}

}  // namespace fibrejoin
