// The system calls of POSIX systems. Every step on the output is taken
// relative to its folder, opened once, so that the checks and the writes
// concern the same folder whatever happens to the path meanwhile.
#include "platform.hpp"
#include "system_calls.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace curvedump {

// SIGXFSZ ignored too: a write past the file size limit (ulimit -f) then
// fails with EFBIG, as one past the room on the disk, instead of ending the
// run half way.
void prepare_process()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

namespace {

TemporaryFileRecord temporary_record;
sigset_t recording_signals;
bool recording = false; // set once by the process entry, before any file

// Keeps the recording signals blocked while it lives (none when nothing is
// recorded), so that a record and the file it names change together.
struct SignalsHeld {
    sigset_t before{};
    SignalsHeld()
    {
        if (recording)
            ::sigprocmask(SIG_BLOCK, &recording_signals, &before);
    }
    ~SignalsHeld()
    {
        if (recording)
            ::sigprocmask(SIG_SETMASK, &before, nullptr);
    }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
};

void record_temporary(int folder, const std::string& name)
{
    if (!recording || name.size() >= sizeof temporary_record.name)
        return;
    std::memcpy(temporary_record.name, name.c_str(), name.size() + 1);
    temporary_record.folder = folder;
}

void forget_temporary() { temporary_record.folder = -1; }

} // namespace

const TemporaryFileRecord& record_temporary_files(std::span<const int> signals)
{
    sigemptyset(&recording_signals);
    for (const int signal : signals)
        sigaddset(&recording_signals, signal);
    recording = true;
    return temporary_record;
}

OpenedInput open_input(const std::string& path)
{
    // A FIFO with no writer would block the open for ever and stall a
    // batch: opened without blocking, it reads as empty instead. The flag
    // stays: a stream is read when poll says it has bytes (read_input), and
    // a regular file or a disk ignores it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {os::Handle(), errno};
    return {os::Handle(fd), 0};
}

int make_wake_up(ReadStop& stop)
{
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return errno;
    stop.wake_read = os::Handle(ends[0]);
    stop.wake_write = os::Handle(ends[1]);
    return 0;
}

void advise_huge_pages(void* start, std::size_t length)
{
#ifdef MADV_HUGEPAGE
    static_cast<void>(::madvise(start, length, MADV_HUGEPAGE));
#else
    static_cast<void>(start);
    static_cast<void>(length);
#endif
}

void stop_readers(ReadStop& stop)
{
    stop.stopped = true;
    if (stop.wake_write.open()) {
        const char byte = 1; // never read: every poll from now on sees it
        while (::write(static_cast<int>(stop.wake_write.raw), &byte, 1) < 0 && errno == EINTR) {
        }
    }
}

namespace {

// How often a read that waits asks its own thread's `interrupted`.
constexpr int interruption_interval_ms = 50;

// Waits until the stream at fd has bytes, its end, or an error: false when
// `stop` ends the wait first.
bool wait_for_bytes(int fd, ReadStop* stop)
{
    const bool wake = stop != nullptr && stop->wake_read.open();
    const bool ask = stop != nullptr && stop->interrupted;
    pollfd watched[2] = {{fd, POLLIN, 0},
                         {wake ? static_cast<int>(stop->wake_read.raw) : -1, POLLIN, 0}};
    for (;;) {
        if (stop != nullptr && stop->stopped)
            return false;
        const int ready = ::poll(watched, 2, ask ? interruption_interval_ms : -1);
        if (ready > 0)
            return watched[1].revents == 0;
        if (ready < 0 && errno != EINTR)
            return true; // the read reports what is wrong
        if (ask && stop->interrupted()) {
            stop->stopped = true;
            return false;
        }
    }
}

// A stream from where it is, until its end or a full image; the descriptor
// does not block, so each wait is a poll that `stop` can end.
ReadInput read_stream(int fd, std::span<unsigned char> image, ReadStop* stop)
{
    ReadInput read;
    while (read.bytes < image.size()) {
        const ssize_t got = ::read(fd, image.data() + read.bytes, image.size() - read.bytes);
        if (got > 0) {
            read.bytes += static_cast<std::size_t>(got);
        } else if (got == 0) {
            break;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!wait_for_bytes(fd, stop)) {
                read.error = EINTR;
                break;
            }
        } else if (errno != EINTR) {
            read.error = errno;
            break;
        }
    }
    return read;
}

} // namespace

ReadInput read_input(os::RawHandle input, std::span<unsigned char> image, ReadStop* stop)
{
    // One positioned read: a file that takes it (a regular file, a disk)
    // gives all it has up to image.size() bytes, and a short count is its
    // end, so no second read is made to find the end. A stream refuses it
    // with ESPIPE, and is read as before.
    const int fd = static_cast<int>(input);
    ssize_t got = 0;
    do {
        got = ::pread(fd, image.data(), image.size(), 0);
    } while (got < 0 && errno == EINTR);
    if (got >= 0)
        return {static_cast<std::size_t>(got), 0};
    if (errno == ESPIPE)
        return read_stream(fd, image, stop);
    // A device with nothing ready, which poll may not wait for: read as
    // before, blocking.
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && ::fcntl(fd, F_SETFL, 0) == 0)
        return read_stream(fd, image, stop);
    return {0, errno};
}

void write_console(std::FILE* console, std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), console);
    std::fflush(console);
}

namespace os {

namespace {

// A folder opened only to work in it: one the user may search and write
// but not read (mode 0333) opens all the same.
#if defined(O_PATH)
constexpr int folder_access = O_PATH;
#elif defined(O_SEARCH)
constexpr int folder_access = O_SEARCH;
#else
constexpr int folder_access = O_RDONLY;
#endif

int fd_of(RawHandle raw) { return static_cast<int>(raw); }

FileType type_of(mode_t mode)
{
    if (S_ISREG(mode))
        return FileType::regular;
    if (S_ISLNK(mode))
        return FileType::link;
    if (S_ISDIR(mode))
        return FileType::folder;
    if (S_ISFIFO(mode))
        return FileType::fifo;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return FileType::device;
    return FileType::other;
}

Identity identity_of(const struct stat& st)
{
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

Described described(const struct stat& st)
{
    Described d;
    d.type = type_of(st.st_mode);
    d.identity = identity_of(st);
    d.size = static_cast<std::uint64_t>(st.st_size);
    d.names = static_cast<std::uint64_t>(st.st_nlink);
    d.owner = st.st_uid;
    d.group = st.st_gid;
    d.mode = st.st_mode & 07777U;
    return d;
}

// Takes back O_NONBLOCK, which kept the open from waiting on a FIFO
// without reader: the writes block as usual.
Error make_blocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return errno;
    return 0;
}

constexpr int open_for_writing = O_WRONLY | O_CLOEXEC | O_NONBLOCK;

// Room for the first `length` bytes, the size unchanged. Never
// posix_fallocate: it grows the file, and where the file system lacks the
// call the C library fakes it by writing zeros.
#ifdef __linux__
constexpr bool can_reserve = true;
int reserve_room(int fd, off_t size) { return ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size); }
#else
constexpr bool can_reserve = false;
int reserve_room(int /*fd*/, off_t /*size*/) { return -1; }
#endif

// A folder on /proc, whose links the kernel resolves to what no path names
// (an open file, a pipe): those are the kernel's to follow.
#ifdef __linux__
bool on_proc(int fd)
{
    struct statfs about {};
    return ::fstatfs(fd, &about) == 0 && about.f_type == PROC_SUPER_MAGIC;
}
#else
bool on_proc(int /*fd*/) { return false; }
#endif

// What a link's folder and owner are, for step_at_link.
OutputFacts link_facts(int dir, const struct stat& link)
{
    OutputFacts facts;
    facts.type = FileType::link;
    facts.link_owner = link.st_uid;
    facts.user = ::geteuid();
    struct stat here {};
    if (::fstat(dir, &here) == 0) {
        facts.folder_shared = (here.st_mode & S_ISVTX) != 0 && (here.st_mode & S_IWOTH) != 0;
        facts.folder_owner = here.st_uid;
    } else {
        facts.folder_shared = true; // unknown: followed only when the user's own
        facts.folder_owner = facts.user;
    }
    return facts;
}

// A link's target, whole, or an error.
struct Target {
    Error error = 0;
    std::string path;
};
Target read_link(int dir, const std::string& name)
{
    std::string path(256, '\0');
    for (;;) {
        const ssize_t length = ::readlinkat(dir, name.c_str(), path.data(), path.size());
        if (length < 0)
            return {errno, {}};
        if (static_cast<std::size_t>(length) < path.size()) {
            path.resize(static_cast<std::size_t>(length));
            return {path.empty() ? ENOENT : 0, path};
        }
        path.resize(path.size() * 2); // perhaps cut short: read again with more room
    }
}

} // namespace

Error close_handle(RawHandle raw) { return ::close(fd_of(raw)) == 0 ? 0 : errno; }

Described describe(RawHandle raw)
{
    struct stat st {};
    if (::fstat(fd_of(raw), &st) != 0) {
        Described failed;
        failed.error = errno;
        return failed;
    }
    return described(st);
}

OpenedFolder open_folder(const std::string& path)
{
    OpenedFolder opened;
    opened.folder.path = path;
    const int fd =
        ::open(path.empty() ? "." : path.c_str(), folder_access | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        opened.error = errno;
    opened.folder.handle = Handle(fd);
    return opened;
}

Walked walk_to_output(const std::string& folder_path, const std::string& name)
{
    Walked walked;
    walked.folder.path = folder_path;
    // What is left to follow, from `dir`: the path, then each link's
    // target followed by what came after the link.
    std::string rest = folder_path + name;
    const auto start = [&walked](bool absolute) {
        const int fd = ::open(absolute ? "/" : ".", folder_access | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            walked.error = errno;
        return Handle(fd);
    };
    Handle dir = start(!rest.empty() && rest[0] == '/');
    int followed = 0;
    std::size_t at = 0;
    while (walked.error == 0) {
        at = rest.find_first_not_of('/', at);
        if (at == std::string::npos) {
            walked.error = EISDIR; // the path ends at a folder
            break;
        }
        const std::size_t end = rest.find('/', at);
        const std::string part = rest.substr(at, end == std::string::npos ? end : end - at);
        const bool last = end == std::string::npos;
        at = end;
        struct stat st {};
        if (last) {
            // The name at the end: absent, or anything but a link, is it.
            if (::fstatat(fd_of(dir.raw), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
                errno != ENOENT) {
                walked.error = errno;
                break;
            }
            if (!S_ISLNK(st.st_mode)) {
                walked.folder.handle = std::move(dir);
                walked.name = part;
                return walked;
            }
            walked.linked = true;
        } else {
            const int fd = ::openat(fd_of(dir.raw), part.c_str(),
                                    folder_access | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) {
                dir = Handle(fd);
                continue;
            }
            if (errno != ENOTDIR && errno != ELOOP) {
                walked.error = errno;
                break;
            }
            if (::fstatat(fd_of(dir.raw), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                walked.error = errno;
                break;
            }
            if (!S_ISLNK(st.st_mode)) {
                walked.error = ENOTDIR;
                break;
            }
        }
        // A link.
        switch (step_at_link(link_facts(fd_of(dir.raw), st), followed++)) {
        case LinkStep::follow:
            break;
        case LinkStep::refuse:
            walked.error = EACCES; // as a file without permission
            return walked;
        case LinkStep::too_many:
            walked.error = ELOOP;
            return walked;
        }
        if (on_proc(fd_of(dir.raw))) {
            if (last) {
                walked.folder.handle = std::move(dir);
                walked.name = part;
                walked.system_follows = true;
                return walked;
            }
            const int fd =
                ::openat(fd_of(dir.raw), part.c_str(), folder_access | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0)
                walked.error = errno;
            dir = Handle(fd);
            continue;
        }
        const Target target = read_link(fd_of(dir.raw), part);
        if (target.error != 0) {
            walked.error = target.error;
            break;
        }
        rest = target.path + (last ? std::string() : rest.substr(end));
        at = 0;
        if (rest[0] == '/')
            dir = start(true); // an absolute target starts again from the root
    }
    return walked;
}

Probe probe_output(const Folder& folder, const std::string& name)
{
    Probe probe;
    OutputFacts& facts = probe.facts;
    const int dir = fd_of(folder.handle.raw);
    facts.user = ::geteuid();
    struct stat here {};
    if (::fstat(dir, &here) != 0) {
        probe.checks_error = errno;
        return probe;
    }
    facts.folder_shared = (here.st_mode & S_ISVTX) != 0 && (here.st_mode & S_IWOTH) != 0;
    facts.folder_owner = here.st_uid;
    struct stat at_name {};
    if (::fstatat(dir, name.c_str(), &at_name, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            probe.open_error = ENOENT; // nothing there
        } else {
            probe.checks_error = errno;
        }
        return probe;
    }
    facts.type = type_of(at_name.st_mode);
    facts.target = facts.type;
    probe.seen = identity_of(at_name);
    const bool link = facts.type == FileType::link;
    if (link) {
        facts.link_owner = at_name.st_uid;
        if (!link_may_be_followed(facts))
            return probe; // never opened, so that nothing at its end is touched
        struct stat target {};
        if (::fstatat(dir, name.c_str(), &target, 0) != 0) {
            if (errno == ENOENT) {
                facts.target = FileType::absent; // a dangling link
                probe.open_error = ENOENT;
            } else {
                probe.checks_error = errno;
            }
            return probe;
        }
        facts.target = type_of(target.st_mode);
        probe.seen = identity_of(target);
    }
    // No link followed where the checks found none: one that took the
    // name since is refused, as a changed name.
    const int fd = ::openat(dir, name.c_str(), open_for_writing | (link ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        probe.open_error = !link && errno == ELOOP ? EACCES : errno;
        return probe;
    }
    probe.handle = Handle(fd);
    const Error blocking = make_blocking(fd);
    probe.file = describe(fd);
    if (blocking != 0 || probe.file.error != 0) {
        probe.checks_error = blocking != 0 ? blocking : probe.file.error;
        probe.handle.reset();
        return probe;
    }
    facts.writable = true;
    facts.names = probe.file.names;
    facts.owner = probe.file.owner;
    facts.group = probe.file.group;
    return probe;
}

Created create_temporary(const Folder& folder, const std::string& name, bool private_mode)
{
    const SignalsHeld held;
    const int dir = fd_of(folder.handle.raw);
    const int fd = ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                            private_mode ? 0600 : 0666);
    if (fd < 0)
        return {errno, Handle()};
    record_temporary(dir, name);
    return {0, Handle(fd)};
}

Error give_owner_and_mode(RawHandle raw, const Described& earlier, std::uint32_t user)
{
    // Root keeps the owner; anyone keeps the group, or writes in place
    // rather than hand the file's group permissions to another group.
    const uid_t owner = user == 0 ? earlier.owner : static_cast<uid_t>(-1);
    if (::fchown(fd_of(raw), owner, earlier.group) != 0 ||
        ::fchmod(fd_of(raw), earlier.mode & 0777U) != 0)
        return errno;
    return 0;
}

Written write_all(RawHandle raw, std::string_view text)
{
    Written result;
    while (result.written < text.size()) {
        const std::string_view rest = text.substr(result.written);
        const ssize_t written = ::write(fd_of(raw), rest.data(), rest.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            result.error = errno;
            break;
        }
        result.written += static_cast<std::size_t>(written);
    }
    return result;
}

Error finish_writing(Handle& handle)
{
    // Network and FUSE file systems report a failed write at each close:
    // the copy keeps the file reachable, to be emptied when the close
    // fails.
    Handle copy(::fcntl(fd_of(handle.raw), F_DUPFD_CLOEXEC, 0));
    const Error error = handle.close();
    if (error != 0)
        handle = std::move(copy);
    return error;
}

Error rename_over(const Folder& folder, const std::string& from, RawHandle /*raw*/,
                  const std::string& to)
{
    const SignalsHeld held;
    const int dir = fd_of(folder.handle.raw);
    if (::renameat(dir, from.c_str(), dir, to.c_str()) != 0)
        return errno;
    forget_temporary();
    return 0;
}

void remove_temporary(const Folder& folder, const std::string& name, RawHandle /*raw*/)
{
    const SignalsHeld held;
    ::unlinkat(fd_of(folder.handle.raw), name.c_str(), 0);
    forget_temporary();
}

OpenedOutput open_in_place(const Folder& folder, const std::string& name, bool follow_link,
                           bool create)
{
    const int dir = fd_of(folder.handle.raw);
    OpenedOutput opened;
    int fd = -1;
    if (create) {
        // Only a new file: at the end of a walk, never through a link that
        // took the name since.
        fd = ::openat(dir, name.c_str(), open_for_writing | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
        opened.created = fd >= 0;
    } else {
        fd = ::openat(dir, name.c_str(), open_for_writing | (follow_link ? 0 : O_NOFOLLOW));
    }
    if (fd < 0) {
        // A link or a file that took the name after the checks.
        const bool changed = (!follow_link && errno == ELOOP) || (create && errno == EEXIST);
        opened.error = changed ? EACCES : errno;
        return opened;
    }
    opened.handle = Handle(fd);
    opened.error = make_blocking(fd);
    return opened;
}

NameIdentity identify_name(const Folder& folder, const std::string& name)
{
    struct stat st {};
    if (::fstatat(fd_of(folder.handle.raw), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return {errno, {}};
    return {0, identity_of(st)};
}

Error reserve(RawHandle raw, std::uint64_t length)
{
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        length > limit.rlim_cur)
        return EFBIG;
    if (!can_reserve)
        return EOPNOTSUPP;
    while (reserve_room(fd_of(raw), static_cast<off_t>(length)) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

Error cut(RawHandle raw, std::uint64_t length)
{
    while (::ftruncate(fd_of(raw), static_cast<off_t>(length)) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

void remove_written(const Folder& folder, const std::string& name, RawHandle /*raw*/,
                    const Identity& written)
{
    struct stat st {};
    const int dir = fd_of(folder.handle.raw);
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        identity_of(st) == written)
        ::unlinkat(dir, name.c_str(), 0);
}

} // namespace os

} // namespace curvedump
