// The system calls behind the output file, one set per platform
// (system_calls_posix.cpp, system_calls_win32.cpp; the build picks one). Each returns
// its outcome with the error value of a failure: 0, or an errno value
// (Win32 errors mapped to the nearest one). files.cpp carries out the
// output plan with these alone.
#pragma once

#include "output_plan.hpp"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace curvedump::os {

using Error = int; // 0: done

// A descriptor (POSIX) or a HANDLE (Win32) as an integer; -1 is none, as
// INVALID_HANDLE_VALUE is on Win32.
using RawHandle = std::intptr_t;
inline constexpr RawHandle no_handle = -1;

// Closes `raw`; the error of a close that reports one (a write that failed
// late).
Error close_handle(RawHandle raw);

// An open descriptor or HANDLE, closed when it goes out of scope.
struct Handle {
    RawHandle raw = no_handle;
    Handle() = default;
    explicit Handle(RawHandle opened) : raw(opened) {}
    Handle(Handle&& other) noexcept : raw(other.raw) { other.raw = no_handle; }
    Handle& operator=(Handle&& other) noexcept
    {
        if (this != &other) {
            reset();
            raw = other.raw;
            other.raw = no_handle;
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }
    bool open() const { return raw != no_handle; }
    void reset()
    {
        if (open())
            static_cast<void>(close_handle(raw));
        raw = no_handle;
    }
    // Closes now and reports the close's error.
    Error close()
    {
        const RawHandle closing = raw;
        raw = no_handle;
        return close_handle(closing);
    }
};

// Which file: device (volume) and index (inode); Win32 file systems with
// 128-bit ids give the high half too.
struct Identity {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    std::uint64_t index_high = 0;
    bool operator==(const Identity&) const = default;
};

// What an open file is.
struct Described {
    Error error = 0;
    FileType type = FileType::absent;
    Identity identity;
    std::uint64_t size = 0;
    std::uint64_t names = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::uint32_t mode = 0; // permission bits (POSIX)
    // Win32: the owner, group and access list (a self-relative security
    // descriptor), when the checks could read them.
    std::vector<unsigned char> protection;
};
Described describe(RawHandle raw);

// The output's folder: POSIX opens it once and takes every later step
// relative to it; Win32 keeps its path (with its separator, or empty for
// the current folder) and works with full names.
struct Folder {
    Handle handle;
    std::string path;
};
struct OpenedFolder {
    Error error = 0;
    Folder folder;
};
OpenedFolder open_folder(const std::string& path);

// The output's folder path and name followed to the name the text goes to.
// POSIX: one component at a time from a folder descriptor, as the kernel
// would, every link met (in the folder's path, at the name, or on the way
// a link's target leads) read and followed only as step_at_link allows
// (EACCES otherwise, ELOOP past most_links): no link is left to the
// kernel, which would follow any, except those it resolves itself (under
// /proc: /dev/stdout leads to /proc/self/fd/1). Win32: the folder opened,
// the name kept, its links left to the system as before.
struct Walked {
    Error error = 0;
    Folder folder;               // of the name at the end
    std::string name;            // absent, no link, or a link the system follows
    bool linked = false;         // the output's own name was a link, followed to here
    bool system_follows = false; // a link at `name` is the system's to follow
};
Walked walk_to_output(const std::string& folder_path, const std::string& name);

// The checks on the output name: facts for the plan (is_input aside),
// what the checks saw the name lead to, and, when what it leads to exists
// and may be followed, that file opened for writing (without creating,
// emptying or waiting on it) and described.
struct Probe {
    Error checks_error = 0; // the checks could not be made
    Error open_error = 0;   // why it is not open for writing (ENOENT: nothing there)
    OutputFacts facts;
    // The file the checks saw: the name's own, a followed link's target,
    // or a dangling link itself. Win32: the file opened.
    Identity seen;
    Handle handle;  // open for writing, or none
    Described file; // of `handle`
};
Probe probe_output(const Folder& folder, const std::string& name);

// A replacement's temporary file at `name` in the folder, created only if
// no file has the name (EEXIST otherwise). Private (0600) when it is to
// take an earlier file's owner and mode, else 0666 less the umask. POSIX:
// recorded for the process entry's signal handler while it exists
// (record_temporary_files in platform.hpp). Win32: marked for deletion
// from its creation, so that the system removes it whatever ends the
// process; rename_over clears the mark just before the rename.
struct Created {
    Error error = 0;
    Handle handle;
};
Created create_temporary(const Folder& folder, const std::string& name, bool private_mode);

// Gives the file open at `raw` the owner (for root), group and mode bits of
// `earlier`. Win32: its owner (where the process may set it), group and
// access list, protected from inheritance or not as the earlier one's.
Error give_owner_and_mode(RawHandle raw, const Described& earlier, std::uint32_t user);

// Writes all of text from the file's current position (the start for a
// file just opened). `written` counts what went through before a failure.
struct Written {
    Error error = 0;
    std::size_t written = 0;
};
Written write_all(RawHandle raw, std::string_view text);

// Ends the writes to a file: POSIX closes it and reports what the close
// reports (a write that failed late), keeping a copy of the descriptor
// open in `handle` when the close fails, so that the file can still be
// emptied; Win32 keeps the handle, which a rename or a deletion goes
// through.
Error finish_writing(Handle& handle);

// Renames the temporary file `from` (open at `raw`) over `to`; once it is
// renamed, its record is forgotten.
Error rename_over(const Folder& folder, const std::string& from, RawHandle raw,
                  const std::string& to);

// Removes a temporary file that was not renamed, and forgets its record
// (Win32: through its handle, which must then stay open until it goes out
// of scope).
void remove_temporary(const Folder& folder, const std::string& name, RawHandle raw);

// Opens the output for writing in place, without waiting on a FIFO:
// following a link at the name only when `follow_link`, creating it when
// `create` (then only a new file; Win32: or through a dangling link).
struct OpenedOutput {
    Error error = 0;
    Handle handle;
    bool created = false;
};
OpenedOutput open_in_place(const Folder& folder, const std::string& name, bool follow_link,
                           bool create);

// The identity of the name itself, a link not followed.
struct NameIdentity {
    Error error = 0;
    Identity identity;
};
NameIdentity identify_name(const Folder& folder, const std::string& name);

// Reserves room for `length` bytes from the start of the file without
// changing its size. EOPNOTSUPP where the system or file system has no
// such reservation; ENOSPC or EDQUOT for want of room; EFBIG past the
// process's file size limit (POSIX RLIMIT_FSIZE), checked first since the
// reservation itself ignores it. Win32, where the file system has no
// reservation either: zeros written past the old end up to `length` (the
// file then that long), and the position put back at the start.
Error reserve(RawHandle raw, std::uint64_t length);

// Sets the file's length (a regular file's), cutting or growing it.
Error cut(RawHandle raw, std::uint64_t length);

// After a failed write in place: removes the name when it still is the
// regular file written (`written`), reached by its own name rather than
// through a link; anything else at the name is left alone.
void remove_written(const Folder& folder, const std::string& name, RawHandle raw,
                    const Identity& written);

} // namespace curvedump::os
