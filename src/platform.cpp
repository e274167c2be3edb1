// Every call the converter makes to the operating system: POSIX or Win32.
#include "platform.hpp"
#include "windows_paths.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <exception>
#include <random>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <new>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace curvedump {

namespace {

// The temporary file of a replacement: a short fixed prefix and a random
// suffix, in the output's folder. Its length does not depend on the
// output's name, so it fits the file system's name limit whenever the
// folder can be reached at all, and it never matches "*.txt".
constexpr std::string_view temporary_prefix = ".curvedump-";
constexpr std::size_t temporary_suffix_length = 12;
// Names already taken are skipped; past this many, the output is written
// in place instead.
constexpr int temporary_attempts = 100;

// The folder part of path, separator included; empty for a bare name.
std::string folder_of(const std::string& path)
{
#ifdef _WIN32
    const std::size_t end = path.find_last_of("\\/:");
#else
    const std::size_t end = path.rfind('/');
#endif
    return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

// A generator for temporary names, seeded apart in every call and thread:
// the system's random device where there is one, mixed with the clock and
// a counter, since the device may be missing (it throws then).
std::mt19937_64 name_generator()
{
    static std::atomic<std::uint64_t> calls{0};
    std::uint64_t seed =
        (calls.fetch_add(1) + 1) * 0x9e3779b97f4a7c15U ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    try {
        std::random_device device;
        seed ^= std::uint64_t{device()} << 32 | device();
    } catch (const std::exception&) {
    }
    return std::mt19937_64(seed);
}

std::string temporary_name(const std::string& folder, std::mt19937_64& generator)
{
    static constexpr std::string_view digits = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name = folder;
    name.append(temporary_prefix);
    std::uniform_int_distribution<std::size_t> pick(0, digits.size() - 1);
    for (std::size_t i = 0; i < temporary_suffix_length; ++i)
        name += digits[pick(generator)];
    return name;
}

} // namespace

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

// errno for the system's last error, so that callers (the Python module)
// can report a failure as the C runtime would.
int errno_from(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
        return EINVAL;
    default:
        return EIO;
    }
}

// Sets errno from the system's last error; returns `result` for brevity.
template <typename T> T failed_with_last_error(T result)
{
    errno = errno_from(GetLastError());
    return result;
}

// The system form of path, or empty with errno set: ENOENT for an empty
// name (as the C runtime gives), EINVAL for bytes no UTF-16 name gives.
std::wstring checked_system_path(const std::string& path)
{
    std::wstring name = system_path(path);
    if (name.empty())
        errno = path.empty() ? ENOENT : EINVAL;
    return name;
}

// A system handle, closed when it goes out of scope.
struct Handle {
    HANDLE handle = INVALID_HANDLE_VALUE;
    explicit Handle(HANDLE opened) : handle(opened) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle()
    {
        if (valid())
            CloseHandle(handle);
    }
    bool valid() const { return handle != INVALID_HANDLE_VALUE; }
};

bool file_information(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info)
{
    return GetFileInformationByHandle(handle, &info) != 0;
}

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
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
    const std::wstring name = checked_system_path(path);
    // "N": the handle is not inherited by processes started meanwhile.
    return name.empty() ? nullptr : _wfopen(name.c_str(), L"rbN");
}

namespace {

// Writes all of text, in pieces a DWORD can count.
bool write_all(HANDLE handle, std::string_view text)
{
    while (!text.empty()) {
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1U << 30));
        DWORD written = 0;
        if (WriteFile(handle, text.data(), piece, &written, nullptr) == 0 || written == 0)
            return failed_with_last_error(false);
        text.remove_prefix(written);
    }
    return true;
}

// Marks the file open at `handle` (with DELETE access) for deletion when
// the handle closes: what is deleted is the file written, whatever has
// taken its name meanwhile.
void delete_on_close(HANDLE handle)
{
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

// Renames the file open at `handle` (with DELETE access) to `name`,
// replacing a file there.
bool rename_over(HANDLE handle, const std::wstring& name)
{
    const std::size_t name_bytes = name.size() * sizeof(wchar_t);
    std::vector<std::max_align_t> buffer(
        (offsetof(FILE_RENAME_INFO, FileName) + name_bytes + sizeof(wchar_t)) /
            sizeof(std::max_align_t) +
        1);
    auto* info = new (buffer.data()) FILE_RENAME_INFO{};
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(info->FileName, name.c_str(), name_bytes + sizeof(wchar_t));
    return SetFileInformationByHandle(handle, FileRenameInfo, info,
                                      static_cast<DWORD>(buffer.size() * sizeof buffer[0])) != 0;
}

bool is_link(const std::wstring& name)
{
    const DWORD attributes = GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

enum class Replacement { done, write_failed, not_possible };

// Writes text to a new temporary file beside the output and renames it over
// `name` through the handle it was written with; on any failure the
// temporary file is deleted through that handle. The new file takes the
// folder's inherited permissions, as any new file there.
Replacement replace(const std::string& path, const std::wstring& name, std::string_view text)
{
    const std::string folder = folder_of(path);
    std::mt19937_64 generator = name_generator();
    Handle file(INVALID_HANDLE_VALUE);
    for (int attempt = 0; attempt < temporary_attempts && !file.valid(); ++attempt) {
        const std::wstring temporary = checked_system_path(temporary_name(folder, generator));
        if (temporary.empty())
            return Replacement::not_possible;
        // Not inherited (no security attributes), and deletable and
        // renamable through this handle while it stays open.
        file.handle = CreateFileW(temporary.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE,
                                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (!file.valid() && GetLastError() != ERROR_FILE_EXISTS &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            return Replacement::not_possible; // a read-only folder, say
    }
    if (!file.valid())
        return Replacement::not_possible;
    if (!write_all(file.handle, text)) {
        delete_on_close(file.handle);
        return Replacement::write_failed;
    }
    if (!rename_over(file.handle, name)) {
        // A reader holding the output open without sharing deletion, say.
        delete_on_close(file.handle);
        return Replacement::not_possible;
    }
    return Replacement::done;
}

// Writes text over the file at `name` in place, as a plain rewrite.
OutputResult write_in_place(const std::wstring& name, const BY_HANDLE_FILE_INFORMATION& input,
                            std::string_view text)
{
    // The input is open with read access and shares writing, so the output
    // must share reading for the same file to open at all. Delete access,
    // where granted, lets a partial output be deleted through this handle.
    bool deletable = true;
    Handle file(CreateFileW(name.c_str(), GENERIC_WRITE | DELETE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        deletable = false;
        file.handle = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (!file.valid())
        return failed_with_last_error(OutputResult::cannot_open);
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    // Only a plain file reached by its own name is deleted after a failure,
    // never what a link leads to, nor a device.
    deletable = deletable && GetFileType(file.handle) == FILE_TYPE_DISK && !is_link(name);
    BY_HANDLE_FILE_INFORMATION output;
    if (!file_information(file.handle, output)) {
        const int error = errno_from(GetLastError());
        if (created && deletable)
            delete_on_close(file.handle);
        errno = error;
        return OutputResult::cannot_open;
    }
    if (same_file(output, input))
        return OutputResult::is_input;
    // Empty an existing file; the position is already at its start.
    if (GetFileType(file.handle) == FILE_TYPE_DISK && SetEndOfFile(file.handle) == 0) {
        const int error = errno_from(GetLastError());
        if (created && deletable)
            delete_on_close(file.handle);
        errno = error;
        return OutputResult::cannot_open;
    }
    if (!write_all(file.handle, text)) {
        // Emptied, so that no name of it (a link's target, another hard
        // link) keeps a part of the text; deleted when reached by its name.
        const int error = errno;
        LARGE_INTEGER start{};
        if (GetFileType(file.handle) == FILE_TYPE_DISK &&
            SetFilePointerEx(file.handle, start, nullptr, FILE_BEGIN) != 0)
            SetEndOfFile(file.handle);
        if (deletable)
            delete_on_close(file.handle);
        errno = error;
        return OutputResult::cannot_write;
    }
    return OutputResult::written;
}

} // namespace

OutputResult write_output_file(const std::string& path, std::FILE* input, std::string_view text)
{
    const std::wstring name = checked_system_path(path);
    if (name.empty())
        return OutputResult::cannot_open;
    BY_HANDLE_FILE_INFORMATION input_info;
    const HANDLE input_handle = handle_of(input);
    if (input_handle == nullptr || !file_information(input_handle, input_info))
        return failed_with_last_error(OutputResult::cannot_open);
    // An existing output is tested as the rewrite in place would open it,
    // without creating or emptying it: what cannot be written is refused
    // and left as it is, so that a replacement never bypasses its
    // permissions. The test shares deletion and is closed before the
    // rename, which it would otherwise block.
    bool replacing = false;
    {
        Handle existing(CreateFileW(name.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (existing.valid()) {
            BY_HANDLE_FILE_INFORMATION earlier;
            if (!file_information(existing.handle, earlier))
                return failed_with_last_error(OutputResult::cannot_open);
            if (same_file(earlier, input_info))
                return OutputResult::is_input;
            // A plain file with this one name, the name itself no link.
            replacing =
                GetFileType(existing.handle) == FILE_TYPE_DISK && earlier.nNumberOfLinks == 1 &&
                (earlier.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && !is_link(name);
        } else if (GetLastError() == ERROR_FILE_NOT_FOUND) {
            // Absent, and not a link to a missing file.
            replacing = GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES;
        } else {
            return failed_with_last_error(OutputResult::cannot_open);
        }
    }
    if (replacing) {
        switch (replace(path, name, text)) {
        case Replacement::done:
            return OutputResult::written;
        case Replacement::write_failed:
            return OutputResult::cannot_write;
        case Replacement::not_possible:
            break;
        }
    }
    return write_in_place(name, input_info, text);
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

std::FILE* open_input(const std::string& path)
{
    // A FIFO with no writer would block the open for ever and stall a
    // batch: opened without blocking, it reads as empty instead; the read
    // blocks again as usual, for a FIFO whose writer is there.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    const int flags = ::fcntl(fd, F_GETFL);
    std::FILE* const file =
        flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? ::fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return file;
}

namespace {

// An open descriptor, closed when it goes out of scope.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int opened) : fd(opened) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        const int error = errno; // a failure's errno outlives the clean-up
        if (fd >= 0)
            ::close(fd);
        errno = error;
    }
    // Closes now; false if closing reports an error (a write that failed late).
    bool close()
    {
        const int closing = fd;
        fd = -1;
        return ::close(closing) == 0;
    }
};

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Writes all of text, resuming after short writes and signals.
bool write_all(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Whether the existing output `earlier`, open for writing, may be replaced
// by a new file: a regular file with this one name, owned by this process
// (any owner for root), and the name itself is that file, not a link to it.
bool replaceable(const std::string& path, const struct stat& earlier)
{
    if (!S_ISREG(earlier.st_mode) || earlier.st_nlink != 1)
        return false;
    const uid_t user = ::geteuid();
    if (user != 0 && earlier.st_uid != user)
        return false;
    struct stat name {};
    return ::lstat(path.c_str(), &name) == 0 && S_ISREG(name.st_mode) && same_file(name, earlier);
}

enum class Replacement { done, write_failed, not_possible };

// Writes text to a new temporary file beside path and renames it over
// path. `earlier` is the file at path, or null when there is none. When
// the temporary file cannot be made or renamed, it is removed and path is
// left as it was (not_possible: the caller writes in place); when the text
// cannot be written, the same (write_failed).
Replacement replace(const std::string& path, const struct stat* earlier, std::string_view text)
{
    // A new output gets 0666 less the umask, as any new file; a replacement
    // starts private and gets the earlier file's owner, group and mode
    // before it holds a byte.
    const mode_t mode = earlier == nullptr ? 0666 : 0600;
    const std::string folder = folder_of(path);
    std::mt19937_64 generator = name_generator();
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < temporary_attempts && fd < 0; ++attempt) {
        temporary = temporary_name(folder, generator);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST)
            return Replacement::not_possible; // a read-only folder, say
    }
    if (fd < 0)
        return Replacement::not_possible;
    Descriptor file(fd);
    if (earlier != nullptr) {
        // Root keeps the owner; anyone keeps the group, or writes in place
        // rather than hand the file's group permissions to another group.
        const uid_t owner = ::geteuid() == 0 ? earlier->st_uid : static_cast<uid_t>(-1);
        if (::fchown(file.fd, owner, earlier->st_gid) != 0 ||
            ::fchmod(file.fd, earlier->st_mode & 0777) != 0) {
            ::unlink(temporary.c_str());
            return Replacement::not_possible;
        }
    }
    if (!write_all(file.fd, text) || !file.close()) {
        const int error = errno;
        ::unlink(temporary.c_str());
        errno = error;
        return Replacement::write_failed;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        // A mount point at path (EBUSY), a sticky folder (EPERM), ...
        ::unlink(temporary.c_str());
        return Replacement::not_possible;
    }
    return Replacement::done;
}

// Removes the regular file at path when it is still the one described by
// `written`; a symbolic link or anything else at path is left alone.
void remove_partial_output(const std::string& path, const struct stat& written)
{
    const int error = errno; // the failure's, for the caller
    struct stat name {};
    if (::lstat(path.c_str(), &name) == 0 && S_ISREG(name.st_mode) && same_file(name, written))
        ::unlink(path.c_str());
    errno = error;
}

// Writes text over the file at path in place: `existing` is path already
// open for writing, or -1 to open (and create) it here.
OutputResult write_in_place(const std::string& path, const struct stat& input, int existing,
                            std::string_view text)
{
    // A FIFO at the output name with no reader would block the open for
    // ever and stall a batch: opened without blocking, that open fails at
    // once instead; the writes block again as usual.
    bool created = false;
    if (existing < 0) {
        existing = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, 0666);
        created = existing >= 0;
        if (existing < 0 && errno == EEXIST) // a symbolic link to a missing file, say
            existing = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
        if (existing < 0)
            return OutputResult::cannot_open;
    }
    Descriptor file(existing);
    struct stat output {};
    if (::fstat(file.fd, &output) != 0) {
        if (created) // nothing else can have this name's new, empty file
            ::unlink(path.c_str());
        return OutputResult::cannot_open;
    }
    if (same_file(output, input)) // cannot be one just created
        return OutputResult::is_input;
    const int flags = ::fcntl(file.fd, F_GETFL);
    // Empty an existing regular file (what O_TRUNC would have done); a
    // device or a pipe has nothing to empty.
    if (flags < 0 || ::fcntl(file.fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        (S_ISREG(output.st_mode) && !created && ::ftruncate(file.fd, 0) != 0)) {
        if (created)
            remove_partial_output(path, output);
        return OutputResult::cannot_open;
    }
    if (!write_all(file.fd, text)) {
        // Emptied, so that no name of it (a link's target, another hard
        // link, a name in a folder it cannot be removed from) keeps a part
        // of the text; removed when reached by its own name.
        const int error = errno;
        if (S_ISREG(output.st_mode) && ::ftruncate(file.fd, 0) != 0) {
            // Nothing more to do: the name is still removed below.
        }
        errno = error;
        remove_partial_output(path, output);
        return OutputResult::cannot_write;
    }
    if (!file.close()) {
        remove_partial_output(path, output);
        return OutputResult::cannot_write;
    }
    return OutputResult::written;
}

} // namespace

// Whether a symbolic link at path may be followed: not one that another
// user put in a sticky folder that anyone may write to (/tmp, say), unless
// that user owns the folder, the rule the kernel's protected_symlinks
// setting applies, so that nobody can point a run (as root, say) at a file
// of someone else's.
bool link_may_be_followed(const std::string& path)
{
    struct stat name {};
    if (::lstat(path.c_str(), &name) != 0 || !S_ISLNK(name.st_mode))
        return true;
    struct stat folder {};
    if (::stat(folder_of(path).c_str(), &folder) != 0)
        return false;
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return !shared || name.st_uid == ::geteuid() || name.st_uid == folder.st_uid;
}

OutputResult write_output_file(const std::string& path, std::FILE* input, std::string_view text)
{
    struct stat input_stat {};
    if (::fstat(::fileno(input), &input_stat) != 0)
        return OutputResult::cannot_open;
    if (!link_may_be_followed(path)) {
        errno = EACCES;
        return OutputResult::cannot_open;
    }
    // An existing output is tested as the rewrite in place would open it,
    // without creating or emptying it: what cannot be written is refused
    // and left as it is, so that a replacement never bypasses its mode.
    Descriptor existing(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat earlier {};
    bool replacing = false;
    if (existing.fd >= 0) {
        if (::fstat(existing.fd, &earlier) != 0)
            return OutputResult::cannot_open;
        if (same_file(earlier, input_stat))
            return OutputResult::is_input;
        replacing = replaceable(path, earlier);
    } else {
        struct stat name {};
        if (errno != ENOENT)
            return OutputResult::cannot_open;
        // Absent, and not a symbolic link to a missing file.
        replacing = ::lstat(path.c_str(), &name) != 0 && errno == ENOENT;
    }
    if (replacing) {
        switch (replace(path, existing.fd >= 0 ? &earlier : nullptr, text)) {
        case Replacement::done:
            return OutputResult::written;
        case Replacement::write_failed:
            return OutputResult::cannot_write;
        case Replacement::not_possible:
            break;
        }
    }
    const int fd = existing.fd;
    existing.fd = -1; // handed on
    return write_in_place(path, input_stat, fd, text);
}

void write_console(std::FILE* console, std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), console);
    std::fflush(console);
}

#endif

} // namespace curvedump
