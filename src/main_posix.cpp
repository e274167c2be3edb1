// Process entry (POSIX): everything happens in run_curvedump. A run that a
// signal ends (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, ...)
// while it replaces the output removes the temporary file first, then ends
// by the signal as it would have.
#include "curvedump.hpp"
#include "platform.hpp"

#include <csignal>
#include <cstddef>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>
#include <vector>

namespace {

const curvedump::TemporaryFileRecord* temporary_file = nullptr;

// Calls only what a handler may: unlinkat, sigaction and raise. The signal
// stays blocked until the handler returns, and then ends the run.
void remove_temporary_file_and_end(int signal)
{
    if (temporary_file->folder >= 0)
        ::unlinkat(temporary_file->folder, temporary_file->name, 0);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    ::sigaction(signal, &default_action, nullptr);
    ::raise(signal);
}

// The signals whose default action ends the process, other than by a
// fault of its own (SIGSEGV, SIGBUS, ...: left alone), SIGKILL and SIGSTOP
// (which cannot be caught), SIGPIPE (ignored: prepare_process) and SIGXFSZ
// (ignored: a write past the limit fails instead); SIGSTKFLT (Linux) and
// the real-time signals (SIGRTMIN to SIGRTMAX, known only when the
// process runs) end it too.
constexpr int interrupting_signals[] = {
    SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU,
#ifdef SIGIO
    SIGIO,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

// Handles the interrupting signals that are not ignored at start: a run
// under nohup (SIGHUP) or started in the background by a script (SIGINT)
// keeps ignoring them.
void watch_interrupting_signals()
{
    std::vector<int> candidates(std::begin(interrupting_signals), std::end(interrupting_signals));
#ifdef SIGSTKFLT
    candidates.push_back(SIGSTKFLT);
#endif
#ifdef SIGRTMIN
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        candidates.push_back(signal);
#endif
    std::vector<int> watched;
    for (const int signal : candidates) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
            watched.push_back(signal);
    }
    const std::span<const int> signals(watched);
    temporary_file = &curvedump::record_temporary_files(signals);
    struct sigaction action {};
    action.sa_handler = remove_temporary_file_and_end;
    sigemptyset(&action.sa_mask);
    for (const int signal : signals) // one handler at a time
        sigaddset(&action.sa_mask, signal);
    for (const int signal : signals)
        ::sigaction(signal, &action, nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    curvedump::prepare_process();
    watch_interrupting_signals();
    const std::span<const char* const> args(argv, argc > 0 ? static_cast<std::size_t>(argc) : 0);
    return curvedump::run_curvedump(args, stdout);
}
