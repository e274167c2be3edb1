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

// The input, opened for binary reading; null when it cannot be.
std::FILE* open_input(const std::string& path);

// Which file an open output is, so that a partial one can be removed
// without touching anything else that has since taken its name.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
};

enum class OutputOpen { opened, failed, is_input };

// Opens the output for binary writing, creating it if missing. It is opened
// without truncation and compared with the open input first, so that an
// output name that leads to the input itself (a link, say) never costs the
// input its contents; only then is an existing regular file emptied.
OutputOpen open_output(const std::string& path, std::FILE* input, std::FILE*& file,
                       FileIdentity& identity);

// After a failed write: removes the output when its name is still the
// regular file that was opened, and leaves anything else (a symbolic link,
// a device) alone.
void remove_partial_output(const std::string& path, const FileIdentity& identity);

// --- Console -----------------------------------------------------------------

// Writes console text and flushes it; failures are ignored. On Windows an
// interactive console is given the text as characters (UTF-16), since its
// code page would garble UTF-8; files and pipes get the bytes.
void write_console(std::FILE* console, std::string_view text);

} // namespace curvedump
