// Every call the converter makes to the operating system: POSIX or Win32.
#include "platform.hpp"
#include "windows_paths.hpp"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace curvedump {

#ifdef _WIN32

namespace {

// A path as the system should be given it: UTF-16, and in the \\?\ form
// when its full path is past the classic length limit. Empty when the
// bytes are not a name any UTF-16 string gives, so that opening fails.
std::wstring system_path(const std::string& path)
{
    std::u16string typed;
    if (!utf16_from_utf8(path, typed) || typed.empty())
        return {};
    const std::wstring wide(typed.begin(), typed.end());
    const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return wide;
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size)
        return wide;
    full.resize(length);
    const std::u16string chosen = path_to_open(typed, std::u16string(full.begin(), full.end()));
    return {chosen.begin(), chosen.end()};
}

bool identity_of(HANDLE handle, FileIdentity& identity, DWORD* attributes = nullptr)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle, &info) == 0)
        return false;
    identity.volume = info.dwVolumeSerialNumber;
    identity.index = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    if (attributes != nullptr)
        *attributes = info.dwFileAttributes;
    return true;
}

bool same(const FileIdentity& a, const FileIdentity& b)
{
    return a.volume == b.volume && a.index == b.index;
}

// The system handle behind a C stream, or null.
HANDLE handle_of(std::FILE* stream)
{
    const int fd = _fileno(stream);
    if (fd < 0)
        return nullptr;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

} // namespace

void prepare_process()
{
    // The runtime would turn each "\n" into "\r\n" a second time. Without
    // any standard output, _fileno gives -2 and _setmode would end the
    // process through the invalid-parameter handler.
    if (_fileno(stdout) >= 0)
        _setmode(_fileno(stdout), _O_BINARY);
}

std::vector<std::string> utf8_arguments(int argc, wchar_t** argv)
{
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        const std::wstring_view arg(argv[i]);
        args.push_back(utf8_from_utf16(std::u16string(arg.begin(), arg.end())));
    }
    return args;
}

std::FILE* open_input(const std::string& path)
{
    const std::wstring name = system_path(path);
    return name.empty() ? nullptr : _wfopen(name.c_str(), L"rb");
}

OutputOpen open_output(const std::string& path, std::FILE* input, std::FILE*& file,
                       FileIdentity& identity)
{
    const std::wstring name = system_path(path);
    if (name.empty())
        return OutputOpen::failed;
    // The input is open with read access and shares writing, so the output
    // must share reading for the same file to open at all.
    const HANDLE handle =
        CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return OutputOpen::failed;
    FileIdentity input_identity;
    const HANDLE input_handle = handle_of(input);
    if (input_handle == nullptr || !identity_of(input_handle, input_identity) ||
        !identity_of(handle, identity)) {
        CloseHandle(handle);
        return OutputOpen::failed;
    }
    if (same(identity, input_identity)) {
        CloseHandle(handle);
        return OutputOpen::is_input;
    }
    // Empty an existing file; the position is already at its start.
    if (GetFileType(handle) == FILE_TYPE_DISK && SetEndOfFile(handle) == 0) {
        CloseHandle(handle);
        return OutputOpen::failed;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return OutputOpen::failed;
    }
    file = _fdopen(fd, "wb");
    if (file == nullptr) {
        _close(fd); // closes the handle too
        return OutputOpen::failed;
    }
    return OutputOpen::opened;
}

void remove_partial_output(const std::string& path, const FileIdentity& identity)
{
    const std::wstring name = system_path(path);
    if (name.empty())
        return;
    // Opened as the name itself, not what a link at it leads to.
    const HANDLE handle =
        CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    FileIdentity found;
    DWORD attributes = 0;
    const bool ours = identity_of(handle, found, &attributes) && same(found, identity) &&
                      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                     FILE_ATTRIBUTE_DEVICE)) == 0;
    CloseHandle(handle);
    if (ours)
        DeleteFileW(name.c_str());
}

void write_console(std::FILE* console, std::string_view text)
{
    const HANDLE handle = handle_of(console);
    DWORD mode = 0;
    std::u16string characters;
    if (handle != nullptr && GetConsoleMode(handle, &mode) != 0 &&
        utf16_from_utf8(text, characters)) {
        const std::wstring wide(characters.begin(), characters.end());
        DWORD written = 0;
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), console);
    std::fflush(console);
}

#else // POSIX

void prepare_process() { std::signal(SIGPIPE, SIG_IGN); }

std::FILE* open_input(const std::string& path) { return std::fopen(path.c_str(), "rb"); }

OutputOpen open_output(const std::string& path, std::FILE* input, std::FILE*& file,
                       FileIdentity& identity)
{
    // A FIFO at the output name with no reader would block the open for
    // ever and stall a batch: opened without blocking, that open fails at
    // once instead; the writes block again as usual.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return OutputOpen::failed;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return OutputOpen::failed;
    }
    struct stat output_stat {};
    struct stat input_stat {};
    if (::fstat(fd, &output_stat) != 0 || ::fstat(::fileno(input), &input_stat) != 0) {
        ::close(fd);
        return OutputOpen::failed;
    }
    if (output_stat.st_dev == input_stat.st_dev && output_stat.st_ino == input_stat.st_ino) {
        ::close(fd);
        return OutputOpen::is_input;
    }
    // Empty an existing regular file (what O_TRUNC would have done); a
    // device or a pipe has nothing to empty.
    if (S_ISREG(output_stat.st_mode) && ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return OutputOpen::failed;
    }
    file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        ::close(fd);
        return OutputOpen::failed;
    }
    identity = {static_cast<std::uint64_t>(output_stat.st_dev),
                static_cast<std::uint64_t>(output_stat.st_ino)};
    return OutputOpen::opened;
}

void remove_partial_output(const std::string& path, const FileIdentity& identity)
{
    struct stat name_stat {};
    if (::lstat(path.c_str(), &name_stat) == 0 && S_ISREG(name_stat.st_mode) &&
        static_cast<std::uint64_t>(name_stat.st_dev) == identity.volume &&
        static_cast<std::uint64_t>(name_stat.st_ino) == identity.index)
        ::unlink(path.c_str());
}

void write_console(std::FILE* console, std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), console);
    std::fflush(console);
}

#endif

} // namespace curvedump
