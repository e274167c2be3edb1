// What the converter needs of the operating system: the process set-up,
// the input, the output file and the console. The system calls are in
// system_calls_posix.cpp or system_calls_win32.cpp, whichever the build
// picks; files.cpp holds what every platform shares. Paths are UTF-8
// bytes. A failure comes with its errno value (Win32 errors mapped to the
// nearest one).
#pragma once

#include "system_calls.hpp"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace curvedump {

// --- Process (main only) ----------------------------------------------------

// Called by main before anything else: a console reader that has gone away
// must not end the run (SIGPIPE ignored on POSIX), nor a file size limit
// (SIGXFSZ ignored: the write fails instead), and on Windows standard
// output, where there is one, carries bytes untranslated.
void prepare_process();

#ifdef _WIN32
// The command line as the system gave it, in UTF-16, as UTF-8 strings.
std::vector<std::string> utf8_arguments(int argc, wchar_t** argv);
#endif

// Where a replacement's temporary file is while it exists, for the process
// entry's signal handler (POSIX): a folder descriptor and a name it may
// give unlinkat; folder is -1 when there is none. Nothing is recorded
// until the entry asks, and from then on the record changes only with
// `signals` blocked, so that their handler sees it whole. Windows records
// nothing.
struct TemporaryFileRecord {
    volatile std::sig_atomic_t folder = -1;
    char name[32] = {};
};
const TemporaryFileRecord& record_temporary_files(std::span<const int> signals);

// --- Files -------------------------------------------------------------------

// The input, open for reading and not inherited by processes started
// while it is open (the Python module converts in threads); closed when it
// goes out of scope. None when it cannot be opened, with the error. A FIFO
// with no writer does not stall the open: it reads as empty.
struct OpenedInput {
    os::Handle input;
    int error = 0;
};
OpenedInput open_input(const std::string& path);

// What stops a read that waits on a stream (a FIFO with a silent writer, a
// terminal). From another thread: stop_readers sets `stopped` and makes
// the wake-up readable, which a waiting reader polls beside its input. On
// the reading thread itself: `interrupted`, when set, is asked at least
// every 50 ms while the read waits, and ends it (setting `stopped`) when
// it says so. A read ended either way gives EINTR. Regular files are never
// waited on.
struct ReadStop {
    std::atomic<bool> stopped{false};
    os::Handle wake_read;  // readable once stopped (POSIX: a pipe)
    os::Handle wake_write; // written by stop_readers
    std::function<bool()> interrupted;
};
// Gives `stop` its wake-up (POSIX: a pipe; Win32: none, a reader there
// sees `stopped` between its reads); the error when it cannot be made.
int make_wake_up(ReadStop& stop);
void stop_readers(ReadStop& stop);

// --- Memory ------------------------------------------------------------------

// Asks that a large block (its start and length multiples of
// huge_page_size) be backed by huge pages where the system has them
// (Linux: madvise with MADV_HUGEPAGE, which a system set to "madvise"
// needs), so that filling it faults a page every 2 MiB rather than every
// 4 KiB; elsewhere, or refused, it changes nothing.
inline constexpr std::size_t huge_page_size = std::size_t{2} << 20;
void advise_huge_pages(void* start, std::size_t length);

// Reads up to image.size() bytes with as few system calls as the input
// allows. A file read at an offset (a regular file, a disk) takes one
// read, whose count is final: a short count is its end. A stream (a FIFO,
// a terminal) is read until its end or a full image, and its waits can be
// ended by `stop`. A read that fails (a directory, say) gives its error:
// it is not an empty file. Signals that interrupt a read are retried.
struct ReadInput {
    std::size_t bytes = 0;
    int error = 0;
};
ReadInput read_input(os::RawHandle input, std::span<unsigned char> image, ReadStop* stop = nullptr);

// What became of the output text.
enum class OutputResult {
    written,      // the whole text is at path
    is_input,     // path leads to the input itself: refused, nothing changed
    cannot_open,  // refused before any byte was written: path is as it was
    cannot_write, // a write, close or flush failed, or no room was there
};
struct OutputOutcome {
    OutputResult result = OutputResult::written;
    int error = 0; // why, for cannot_open and cannot_write
};

// Puts `text` at path, the output of the open `input`, as plan_output
// (output_plan.hpp) decides. The output is never the input: that is
// refused, as is an existing output that cannot be opened for writing, a
// link another user put in a sticky folder, and a name that changed
// between the checks and the open (the file written is the file checked).
// A replacement goes to a temporary file in the same folder, renamed over
// path, so that path is at every moment the earlier file or the new one,
// whole; when the text cannot be written there, the temporary file is
// removed and path is as it was. In place, an existing regular file first
// has room reserved for the text (Linux, Windows): when there is none, it keeps
// its bytes and size. A write in place that fails after its first byte
// empties the file and removes it when reached by its own name.
OutputOutcome write_output_file(const std::string& path, os::RawHandle input,
                                std::string_view text);

// --- Console -----------------------------------------------------------------

// Writes console text and flushes it; failures are ignored. On Windows an
// interactive console is given the text as characters (UTF-16), since its
// code page would garble UTF-8; files and pipes get the bytes.
void write_console(std::FILE* console, std::string_view text);

} // namespace curvedump
