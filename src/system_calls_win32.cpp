// The system calls of Windows. The output is named by its full path (the
// \\?\ form past the classic length limit); a temporary file is renamed,
// or deleted, through the handle it was written with.
#include "platform.hpp"
#include "system_calls.hpp"
#include "windows_paths.hpp"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

namespace curvedump {

namespace {

// A path as the system should be given it: UTF-16, and in the \\?\ form
// when its full path is past the classic length limit. Empty when the
// bytes are not a name any UTF-16 string gives, so that opening fails.
std::wstring system_path(const std::string& path)
{
    std::u16string typed;
    if (!utf16_from_utf8(path, typed) || typed.empty())
        return {};
    std::wstring wide(typed.begin(), typed.end()); // not const: returned by move
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

// The errno value for a system error, so that callers (the Python module)
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

int last_error() { return errno_from(GetLastError()); }

// The error for a path that has no system form: ENOENT for an empty name
// (as the C runtime gives), EINVAL for bytes no UTF-16 name gives.
int unnamed_error(const std::string& path) { return path.empty() ? ENOENT : EINVAL; }

// The system handle behind a C stream, or null.
HANDLE handle_of(std::FILE* stream)
{
    const int fd = _fileno(stream);
    if (fd < 0)
        return nullptr;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

HANDLE handle_from(os::RawHandle raw) { return reinterpret_cast<HANDLE>(raw); }

os::RawHandle raw_from(HANDLE handle) { return reinterpret_cast<os::RawHandle>(handle); }

bool is_link(const std::wstring& name)
{
    const DWORD attributes = GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
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

const TemporaryFileRecord& record_temporary_files(std::span<const int> /*signals*/)
{
    static const TemporaryFileRecord none;
    return none;
}

OpenedInput open_input(const std::string& path)
{
    const std::wstring name = system_path(path);
    if (name.empty())
        return {os::Handle(), unnamed_error(path)};
    // Shared as the C runtime's fopen shares it; the handle is not
    // inherited by processes started meanwhile (no security attributes).
    const HANDLE handle =
        CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {os::Handle(), last_error()};
    return {os::Handle(raw_from(handle)), 0};
}

int make_wake_up(ReadStop& /*stop*/) { return 0; }

void stop_readers(ReadStop& stop) { stop.stopped = true; }

ReadInput read_input(os::RawHandle input, std::span<unsigned char> image, ReadStop* stop)
{
    // Until the image is full or the file ends: a pipe whose writer has
    // gone ends it too. A stop is seen between reads.
    ReadInput read;
    while (read.bytes < image.size()) {
        if (stop != nullptr && stop->stopped) {
            read.error = EINTR;
            break;
        }
        const auto piece = static_cast<DWORD>(
            std::min<std::size_t>(image.size() - read.bytes, std::size_t{1} << 30));
        DWORD got = 0;
        if (ReadFile(handle_from(input), image.data() + read.bytes, piece, &got, nullptr) == 0) {
            const DWORD error = GetLastError();
            if (error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF)
                read.error = errno_from(error);
            break;
        }
        if (got == 0)
            break;
        read.bytes += got;
    }
    return read;
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

namespace os {

namespace {

// The full system name of `name` in the folder, or empty.
std::wstring full_name(const Folder& folder, const std::string& name)
{
    return system_path(folder.path + name);
}

} // namespace

Error close_handle(RawHandle raw) { return CloseHandle(handle_from(raw)) != 0 ? 0 : last_error(); }

Described describe(RawHandle raw)
{
    Described d;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle_from(raw), &info) == 0) {
        d.error = last_error();
        return d;
    }
    switch (GetFileType(handle_from(raw))) {
    case FILE_TYPE_DISK:
        d.type = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileType::folder
                                                                         : FileType::regular;
        break;
    case FILE_TYPE_PIPE:
        d.type = FileType::fifo;
        break;
    case FILE_TYPE_CHAR:
        d.type = FileType::device;
        break;
    default:
        d.type = FileType::other;
        break;
    }
    d.identity = {info.dwVolumeSerialNumber,
                  std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
    d.size = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    d.names = info.nNumberOfLinks;
    return d;
}

OpenedFolder open_folder(const std::string& path)
{
    OpenedFolder opened;
    opened.folder.path = path;
    return opened;
}

Probe probe_output(const Folder& folder, const std::string& name)
{
    Probe probe;
    const std::wstring full = full_name(folder, name);
    if (full.empty()) {
        probe.checks_error = unnamed_error(folder.path + name);
        return probe;
    }
    // Opened as the rewrite in place would open it, without creating or
    // emptying it: what cannot be written is refused and left as it is, so
    // that a replacement never bypasses its permissions. Delete access,
    // where granted, lets a partial output be deleted through this handle.
    // Deletion is shared, and the handle closed before a rename, which it
    // would otherwise block.
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE handle = CreateFileW(full.c_str(), GENERIC_WRITE | DELETE, share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND)
        handle = CreateFileW(full.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) {
            probe.checks_error = last_error();
            return probe;
        }
        probe.open_error = ENOENT;
        if (is_link(full)) { // a link to a missing file
            probe.facts.type = FileType::link;
            probe.seen = identify_name(folder, name).identity;
        }
        return probe;
    }
    probe.handle = Handle(raw_from(handle));
    probe.file = describe(probe.handle.raw);
    if (probe.file.error != 0) {
        probe.checks_error = probe.file.error;
        probe.handle.reset();
        return probe;
    }
    probe.seen = probe.file.identity;
    probe.facts.type = is_link(full) ? FileType::link : probe.file.type;
    probe.facts.target = probe.file.type;
    probe.facts.names = probe.file.names;
    probe.facts.writable = true;
    return probe;
}

Created create_temporary(const Folder& folder, const std::string& name, bool /*private_mode*/)
{
    const std::wstring full = full_name(folder, name);
    if (full.empty())
        return {unnamed_error(folder.path + name), Handle()};
    // Not inherited (no security attributes), and deletable and renamable
    // through this handle while it stays open. It takes the folder's
    // inherited permissions, as any new file there.
    const HANDLE handle = CreateFileW(full.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {last_error(), Handle()};
    return {0, Handle(raw_from(handle))};
}

Error give_owner_and_mode(RawHandle /*raw*/, const Described& /*earlier*/, std::uint32_t /*user*/)
{
    return 0;
}

Written write_all(RawHandle raw, std::string_view text)
{
    // In pieces a DWORD can count.
    Written result;
    while (result.written < text.size()) {
        const std::string_view rest = text.substr(result.written);
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(rest.size(), 1U << 30));
        DWORD written = 0;
        if (WriteFile(handle_from(raw), rest.data(), piece, &written, nullptr) == 0 ||
            written == 0) {
            result.error = last_error();
            break;
        }
        result.written += written;
    }
    return result;
}

Error finish_writing(Handle& /*handle*/) { return 0; }

Error rename_over(const Folder& folder, const std::string& /*from*/, RawHandle raw,
                  const std::string& to)
{
    const std::wstring name = full_name(folder, to);
    if (name.empty())
        return unnamed_error(folder.path + to);
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
    if (SetFileInformationByHandle(handle_from(raw), FileRenameInfo, info,
                                   static_cast<DWORD>(buffer.size() * sizeof buffer[0])) == 0)
        return last_error();
    return 0;
}

void remove_temporary(const Folder& /*folder*/, const std::string& /*name*/, RawHandle raw)
{
    delete_on_close(handle_from(raw));
}

OpenedOutput open_in_place(const Folder& folder, const std::string& name, bool follow_link,
                           bool create)
{
    OpenedOutput opened;
    const std::wstring full = full_name(folder, name);
    if (full.empty()) {
        opened.error = unnamed_error(folder.path + name);
        return opened;
    }
    // The input is open with read access and shares writing, so the output
    // must share reading for the same file to open at all.
    const DWORD disposition = !create ? OPEN_EXISTING : follow_link ? OPEN_ALWAYS : CREATE_NEW;
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE handle = CreateFileW(full.c_str(), GENERIC_WRITE | DELETE, share, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        handle = CreateFileW(full.c_str(), GENERIC_WRITE, share, nullptr, disposition,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const int error = last_error();
        opened.error = disposition == CREATE_NEW && error == EEXIST ? EACCES : error;
        return opened;
    }
    opened.created = create && GetLastError() != ERROR_ALREADY_EXISTS;
    opened.handle = Handle(raw_from(handle));
    return opened;
}

NameIdentity identify_name(const Folder& folder, const std::string& name)
{
    const std::wstring full = full_name(folder, name);
    if (full.empty())
        return {unnamed_error(folder.path + name), {}};
    const HANDLE handle = CreateFileW(
        full.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {last_error(), {}};
    const Handle owned(raw_from(handle));
    const Described d = describe(owned.raw);
    return {d.error, d.identity};
}

Error reserve(RawHandle /*raw*/, std::uint64_t /*length*/) { return EOPNOTSUPP; }

Error cut(RawHandle raw, std::uint64_t length)
{
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(length);
    if (SetFilePointerEx(handle_from(raw), position, nullptr, FILE_BEGIN) == 0 ||
        SetEndOfFile(handle_from(raw)) == 0)
        return last_error();
    return 0;
}

void remove_written(const Folder& folder, const std::string& name, RawHandle raw,
                    const Identity& /*written*/)
{
    // Only a plain file reached by its own name, never what a link leads
    // to, nor a device; deleted when the handle closes.
    const std::wstring full = full_name(folder, name);
    if (raw != no_handle && GetFileType(handle_from(raw)) == FILE_TYPE_DISK && !full.empty() &&
        !is_link(full))
        delete_on_close(handle_from(raw));
}

} // namespace os

} // namespace curvedump
