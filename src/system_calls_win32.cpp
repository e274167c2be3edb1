// The system calls of Windows. The output is named by its full path (the
// \\?\ form past the classic length limit); what a name is is read on a
// handle opened on it, and a temporary file is renamed, or deleted,
// through the handle it was written with. No rule is decided here: the
// facts go to plan_output like POSIX's.
#include "platform.hpp"
#include "system_calls.hpp"
#include "windows_paths.hpp"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <aclapi.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>
#include <utility>
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

// Sets or clears the mark that deletes the file open at `handle` (with
// DELETE access) when its last handle closes, whatever ends the process:
// what is deleted is the file written, whatever has taken its name
// meanwhile.
bool mark_for_deletion(HANDLE handle, bool mark)
{
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = mark ? TRUE : FALSE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
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

void advise_huge_pages(void* /*start*/, std::size_t /*length*/) {}

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

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opened for the checks: the attributes and, where granted, the security
// descriptor (`readable` says whether), a link not followed unless
// `follow`. Sharing never keeps such a handle from opening.
HANDLE open_for_checks(const std::wstring& full, bool follow, bool& readable)
{
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE handle = CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, share_all,
                                nullptr, OPEN_EXISTING, flags, nullptr);
    readable = handle != INVALID_HANDLE_VALUE;
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        handle = CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                             flags, nullptr);
    return handle;
}

// The attributes and reparse tag of the file open at `handle`.
struct Tag {
    bool known = false;
    bool reparse_point = false;
    bool link = false; // a symbolic link or a junction: a name for another
};
Tag tag_of(HANDLE handle)
{
    FILE_ATTRIBUTE_TAG_INFO info{};
    Tag tag;
    if (GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info) == 0)
        return tag;
    tag.known = true;
    tag.reparse_point = (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    tag.link = tag.reparse_point && IsReparseTagNameSurrogate(info.ReparseTag);
    return tag;
}

// A security identifier of the process's token (its user, or the owner
// it gives new files), as bytes.
std::vector<unsigned char> token_sid(TOKEN_INFORMATION_CLASS which)
{
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0)
        return {};
    const Handle owned(raw_from(token));
    DWORD size = 0;
    GetTokenInformation(token, which, nullptr, 0, &size);
    std::vector<std::max_align_t> buffer(size / sizeof(std::max_align_t) + 1);
    if (GetTokenInformation(token, which, buffer.data(),
                            static_cast<DWORD>(buffer.size() * sizeof buffer[0]), &size) == 0)
        return {};
    // TOKEN_USER and TOKEN_OWNER both begin with the identifier's address.
    PSID sid = which == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                  : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
    if (sid == nullptr || IsValidSid(sid) == 0)
        return {};
    const auto* bytes = static_cast<const unsigned char*>(sid);
    return {bytes, bytes + GetLengthSid(sid)};
}

bool same_sid(PSID sid, std::vector<unsigned char>& other) // EqualSid takes no const
{
    return sid != nullptr && !other.empty() && EqualSid(sid, other.data()) != 0;
}

bool user_is_administrator()
{
    unsigned char buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof buffer;
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, buffer, &size) != 0 &&
           CheckTokenMembership(nullptr, buffer, &member) != 0 && member != 0;
}

// Reads the owner, group and access list of the file open at `handle`
// into `d.protection`, and whether the owner is this user (or the owner
// the user gives new files).
bool read_protection(HANDLE handle, Described& d)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    constexpr SECURITY_INFORMATION what =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, what, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return false;
    const auto* bytes = static_cast<const unsigned char*>(descriptor);
    d.protection.assign(bytes, bytes + GetSecurityDescriptorLength(descriptor));
    std::vector<unsigned char> user = token_sid(TokenUser);
    std::vector<unsigned char> default_owner = token_sid(TokenOwner);
    const bool mine = same_sid(owner, user) || same_sid(owner, default_owner);
    LocalFree(descriptor);
    return mine;
}

// Enables (or gives back) the privilege to give a file any owner, which
// an administrator holds but has not enabled. Returns the earlier state
// for `restore`.
struct Privilege {
    bool changed = false;
    TOKEN_PRIVILEGES before{};
};
Privilege enable_restore_privilege()
{
    Privilege p;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token) == 0)
        return p;
    const Handle owned(raw_from(token));
    TOKEN_PRIVILEGES wanted{};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    DWORD size = sizeof p.before;
    p.changed =
        LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &wanted.Privileges[0].Luid) != 0 &&
        AdjustTokenPrivileges(token, FALSE, &wanted, sizeof p.before, &p.before, &size) != 0 &&
        GetLastError() == ERROR_SUCCESS;
    return p;
}
void restore(const Privilege& p)
{
    HANDLE token = nullptr;
    if (!p.changed || OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token) == 0)
        return;
    const Handle owned(raw_from(token));
    TOKEN_PRIVILEGES before = p.before;
    AdjustTokenPrivileges(token, FALSE, &before, 0, nullptr, nullptr);
}

// Opens the file at `full` for writing (and reading its attributes, which
// describe needs), without creating or emptying it: with delete access
// where granted and no holder keeps it (one that shares no deletion),
// which lets a partial output be deleted through this handle. `share` as
// the caller needs; a link not followed unless `follow`.
HANDLE open_for_writing(const std::wstring& full, DWORD share, DWORD disposition, bool follow)
{
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE handle = CreateFileW(full.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE, share,
                                nullptr, disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE &&
        (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION))
        handle = CreateFileW(full.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, share, nullptr,
                             disposition, flags, nullptr);
    return handle;
}

bool not_found(DWORD error) { return error == ERROR_FILE_NOT_FOUND; }

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
                  std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow, 0};
    // Where the file system has 128-bit ids (ReFS), the short index above
    // is not unique: the whole id is taken instead.
    FILE_ID_INFO id{};
    if (GetFileInformationByHandleEx(handle_from(raw), FileIdInfo, &id, sizeof id) != 0) {
        std::uint64_t halves[2] = {};
        static_assert(sizeof halves == sizeof id.FileId.Identifier);
        std::memcpy(halves, id.FileId.Identifier, sizeof halves);
        d.identity.index = halves[0];
        d.identity.index_high = halves[1];
    }
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

// Links are left to the system, as before: the checks open what the name
// leads to and compare it with what they saw.
Walked walk_to_output(const std::string& folder_path, const std::string& name)
{
    OpenedFolder opened = open_folder(folder_path);
    Walked walked;
    walked.error = opened.error;
    walked.folder = std::move(opened.folder);
    walked.name = name;
    walked.system_follows = true;
    return walked;
}

Probe probe_output(const Folder& folder, const std::string& name)
{
    Probe probe;
    OutputFacts& facts = probe.facts;
    facts.named_owners = true;
    facts.user_administrator = user_is_administrator();
    const std::wstring full = full_name(folder, name);
    if (full.empty()) {
        probe.checks_error = unnamed_error(folder.path + name);
        return probe;
    }
    // What the name itself is, on a handle: a link (symbolic link or
    // junction) is not followed.
    bool readable = false;
    HANDLE checked = open_for_checks(full, false, readable);
    if (checked == INVALID_HANDLE_VALUE) {
        if (!not_found(GetLastError()))
            probe.checks_error = last_error();
        else
            probe.open_error = ENOENT; // nothing there
        return probe;
    }
    Handle check(raw_from(checked));
    const Tag tag = tag_of(checked);
    Described at_name = describe(check.raw);
    if (!tag.known || at_name.error != 0) {
        probe.checks_error = at_name.error != 0 ? at_name.error : last_error();
        return probe;
    }
    probe.seen = at_name.identity;
    facts.type = tag.link ? FileType::link : at_name.type;
    facts.target = facts.type;
    if (tag.link) {
        // What the link leads to, on a handle of its own.
        checked = open_for_checks(full, true, readable);
        if (checked == INVALID_HANDLE_VALUE) {
            if (not_found(GetLastError()) || GetLastError() == ERROR_PATH_NOT_FOUND) {
                facts.target = FileType::absent; // a dangling link
                probe.open_error = ENOENT;
            } else {
                probe.checks_error = last_error();
            }
            return probe;
        }
        check = Handle(raw_from(checked));
        at_name = describe(check.raw);
        if (at_name.error != 0) {
            probe.checks_error = at_name.error;
            return probe;
        }
        facts.target = at_name.type;
        probe.seen = at_name.identity;
    }
    facts.names = at_name.names;
    if (readable && facts.target == FileType::regular) {
        facts.owned_by_user = read_protection(checked, at_name);
        facts.protection_readable = !at_name.protection.empty();
    }
    // Opened as the rewrite in place would open it, without creating or
    // emptying it: what cannot be written (read-only, a folder, held open
    // by a program that shares no writing) is refused and left as it is,
    // so that a replacement never bypasses it. A link is followed only
    // where the checks found one (any reparse point: the file system's
    // own, such as a placeholder, are the file). Deletion is shared, and
    // the handle closed before a rename, which it would otherwise block.
    const HANDLE handle = open_for_writing(full, share_all, OPEN_EXISTING, tag.reparse_point);
    if (handle == INVALID_HANDLE_VALUE) {
        probe.open_error = not_found(GetLastError()) ? EACCES : last_error(); // gone since
        return probe;
    }
    probe.handle = Handle(raw_from(handle));
    probe.file = describe(probe.handle.raw);
    if (probe.file.error != 0) {
        probe.checks_error = probe.file.error;
        probe.handle.reset();
        return probe;
    }
    probe.file.protection = std::move(at_name.protection);
    facts.names = probe.file.names;
    facts.writable = true;
    return probe;
}

Created create_temporary(const Folder& folder, const std::string& name, bool /*private_mode*/)
{
    const std::wstring full = full_name(folder, name);
    if (full.empty())
        return {unnamed_error(folder.path + name), Handle()};
    // Created by a handle that deletes it when it closes, so that no
    // moment passes between the creation and the deletion mark: should
    // the process end before the rename (killed, the console closed, a
    // crash), the system removes the file.
    const HANDLE creating =
        CreateFileW(full.c_str(), DELETE | FILE_READ_ATTRIBUTES, share_all, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (creating == INVALID_HANDLE_VALUE)
        return {last_error(), Handle()};
    const Handle creator(raw_from(creating));
    // The handle it is written, given its protection, renamed and deleted
    // through; not inherited (no security attributes). The file takes the
    // folder's inherited permissions until then. It must be the file
    // created, and it is marked for deletion before the creating handle
    // closes; rename_over clears the mark just before the rename.
    const HANDLE handle = CreateFileW(
        full.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER,
        FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {last_error(), Handle()};
    Handle created(raw_from(handle));
    const Described made = describe(creator.raw);
    const Described opened = describe(created.raw);
    if (made.error != 0 || opened.error != 0 || made.identity != opened.identity)
        return {made.error != 0 ? made.error : opened.error != 0 ? opened.error : EACCES, Handle()};
    if (!mark_for_deletion(handle, true))
        return {last_error(), Handle()};
    return {0, std::move(created)};
}

Error give_owner_and_mode(RawHandle raw, const Described& earlier, std::uint32_t /*user*/)
{
    // Kept whole or not at all: where it cannot be, the output is written
    // in place, as POSIX does for another user's file.
    if (earlier.protection.empty())
        return EACCES;
    std::vector<unsigned char> copy = earlier.protection; // the calls take it as writable
    const PSECURITY_DESCRIPTOR descriptor = copy.data();
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL access = nullptr;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) == 0 ||
        GetSecurityDescriptorGroup(descriptor, &group, &defaulted) == 0 ||
        GetSecurityDescriptorDacl(descriptor, &present, &access, &defaulted) == 0 ||
        GetSecurityDescriptorControl(descriptor, &control, &revision) == 0)
        return last_error();
    SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                            : UNPROTECTED_DACL_SECURITY_INFORMATION);
    if (owner != nullptr)
        what |= OWNER_SECURITY_INFORMATION;
    if (group != nullptr)
        what |= GROUP_SECURITY_INFORMATION;
    const auto set = [&] {
        return SetSecurityInfo(handle_from(raw), SE_FILE_OBJECT, what, owner, group,
                               present != 0 ? access : nullptr, nullptr);
    };
    DWORD error = set();
    if (error == ERROR_INVALID_OWNER || error == ERROR_ACCESS_DENIED ||
        error == ERROR_PRIVILEGE_NOT_HELD) {
        // Another owner takes the privilege to restore files, which an
        // administrator holds; enabled for this call only.
        const Privilege privilege = enable_restore_privilege();
        if (privilege.changed)
            error = set();
        restore(privilege);
    }
    return error == ERROR_SUCCESS ? 0 : errno_from(error);
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
    // The text is whole: the deletion mark goes just before the rename.
    // A process ended between the two leaves the temporary file, whole.
    if (!mark_for_deletion(handle_from(raw), false))
        return last_error();
    if (SetFileInformationByHandle(handle_from(raw), FileRenameInfo, info,
                                   static_cast<DWORD>(buffer.size() * sizeof buffer[0])) == 0)
        return last_error();
    return 0;
}

void remove_temporary(const Folder& /*folder*/, const std::string& /*name*/, RawHandle raw)
{
    mark_for_deletion(handle_from(raw), true);
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
    const HANDLE handle =
        open_for_writing(full, FILE_SHARE_READ | FILE_SHARE_WRITE, disposition, follow_link);
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
    const HANDLE handle =
        CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {last_error(), {}};
    const Handle owned(raw_from(handle));
    const Described d = describe(owned.raw);
    return {d.error, d.identity};
}

Error reserve(RawHandle raw, std::uint64_t length)
{
    const HANDLE handle = handle_from(raw);
    LARGE_INTEGER size{};
    if (GetFileSizeEx(handle, &size) == 0)
        return last_error();
    const auto old_size = static_cast<std::uint64_t>(size.QuadPart);
    if (length <= old_size)
        return 0; // the file's own blocks hold the text (an allocation this short would cut it)
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(length);
    if (SetFileInformationByHandle(handle, FileAllocationInfo, &allocation, sizeof allocation) != 0)
        return 0;
    const DWORD refused = GetLastError();
    if (refused != ERROR_CALL_NOT_IMPLEMENTED && refused != ERROR_INVALID_FUNCTION &&
        refused != ERROR_NOT_SUPPORTED)
        return errno_from(refused);
    // No reservation on this file system (wine answers as above): zeros
    // written past the old end take the blocks instead (a length set with
    // SetEndOfFile alone may take none). Other names see a longer file
    // until the text is written and the file cut to its length.
    LARGE_INTEGER position{};
    position.QuadPart = size.QuadPart;
    if (SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) == 0)
        return last_error();
    static const std::string zeros(65536, '\0');
    for (std::uint64_t left = length - old_size; left > 0;) {
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(left, zeros.size()));
        const Written written = write_all(raw, std::string_view(zeros).substr(0, piece));
        if (written.error != 0)
            return written.error;
        left -= piece;
    }
    position.QuadPart = 0;
    if (SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) == 0)
        return last_error();
    return 0;
}

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
                    const Identity& written)
{
    // Only a plain file reached by its own name (the name itself is the
    // file written, not a link to it), never a device; deleted when the
    // handle closes.
    if (raw != no_handle && GetFileType(handle_from(raw)) == FILE_TYPE_DISK &&
        identify_name(folder, name).identity == written)
        mark_for_deletion(handle_from(raw), true);
}

} // namespace os

} // namespace curvedump
