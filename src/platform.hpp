// What the converter needs of the operating system (platform.cpp, the one
// file that makes system calls, POSIX or Win32). Paths are UTF-8 bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace curvedump {

// --- Process (main only) ----------------------------------------------------

// Called by main before anything else: a console reader that has gone away
// must not end the run (SIGPIPE ignored on POSIX), and on Windows standard
// output, where there is one, carries bytes untranslated.
void prepare_process();

#ifdef _WIN32
// The command line as the system gave it, in UTF-16, as UTF-8 strings.
std::vector<std::string> utf8_arguments(int argc, wchar_t** argv);
#endif

// --- Files -------------------------------------------------------------------

// An open C stream, closed when it goes out of scope.
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The input, opened for binary reading and not inherited by processes
// started while it is open (the Python module converts in threads); null
// when it cannot be, with errno set.
std::FILE* open_input(const std::string& path);

// What became of the output text.
// On failure errno says why (none for is_input).
enum class OutputResult {
    written,      // the whole text is at path
    is_input,     // path leads to the input itself: refused, nothing changed
    cannot_open,  // refused before any byte was written: path is as it was
    cannot_write, // a write, close or flush failed
};

// Puts `text` at path, the output of the open `input`. The output is never
// the input (a link to it, or an input that leads to its own output name):
// that is refused, as is an existing output that cannot be opened for
// writing. Otherwise the text goes to a temporary file in the same folder,
// which is then renamed over path, so that path is at every moment the
// earlier file or the new one, whole; when the text cannot be written
// there, the temporary file is removed and path is as it was. The earlier
// file's owner (for root), group and permission bits are given to the new
// one before any byte is written. Written in place instead, as a plain
// rewrite, are: a symbolic link at path (written through), a file with
// more than one name (all of them see the text), a file of another owner
// when not root, one whose group cannot be given to a new file, a FIFO or
// a device, and any output whose temporary file cannot be created or
// renamed. A failed write in place removes a regular file at path.
OutputResult write_output_file(const std::string& path, std::FILE* input, std::string_view text);

// --- Console -----------------------------------------------------------------

// Writes console text and flushes it; failures are ignored. On Windows an
// interactive console is given the text as characters (UTF-16), since its
// code page would garble UTF-8; files and pipes get the bytes.
void write_console(std::FILE* console, std::string_view text);

} // namespace curvedump
