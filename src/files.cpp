// The output written, on every platform: the checks on the output name,
// the plan they give, and the plan carried out with the system calls of
// system_calls.hpp.
#include "output_plan.hpp"
#include "platform.hpp"
#include "system_calls.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <exception>
#include <random>

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

std::string temporary_name(std::mt19937_64& generator)
{
    static constexpr std::string_view digits = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name(temporary_prefix);
    std::uniform_int_distribution<std::size_t> pick(0, digits.size() - 1);
    for (std::size_t i = 0; i < temporary_suffix_length; ++i)
        name += digits[pick(generator)];
    return name;
}

// The output's folder (separator included; empty for a bare name) and its
// name in that folder.
struct OutputName {
    std::string folder;
    std::string name;
};

OutputName split_output_path(const std::string& path)
{
#ifdef _WIN32
    const std::size_t end = path.find_last_of("\\/:");
#else
    const std::size_t end = path.rfind('/');
#endif
    if (end == std::string::npos)
        return {std::string(), path};
    return {path.substr(0, end + 1), path.substr(end + 1)};
}

bool for_want_of_room(os::Error error)
{
#ifdef EDQUOT
    if (error == EDQUOT)
        return true;
#endif
    // Past the file size limit (ulimit -f) as well: the text does not fit.
    return error == ENOSPC || error == EFBIG;
}

enum class Replacement { done, write_failed, not_possible, no_room };

struct Replaced {
    Replacement how = Replacement::done;
    os::Error error = 0;
};

// Writes text to a new temporary file beside the output and renames it
// over the name. On any failure the temporary file is removed and the name
// is as it was: write_failed when the text could not be written, no_room
// when the temporary file was refused for want of room, not_possible when
// it could not be made, given the earlier owner, or renamed.
Replaced replace(const os::Folder& folder, const std::string& name, const os::Probe& probe,
                 std::string_view text)
{
    // A new output gets 0666 less the umask, as any new file; a
    // replacement starts private and gets the earlier file's owner, group
    // and mode before it holds a byte.
    const bool earlier = probe.facts.target != FileType::absent;
    std::mt19937_64 generator = name_generator();
    std::string temporary;
    os::Created created{EEXIST, os::Handle()};
    for (int attempt = 0; attempt < temporary_attempts && created.error == EEXIST; ++attempt) {
        temporary = temporary_name(generator);
        created = os::create_temporary(folder, temporary, earlier);
    }
    if (created.error != 0) {
        return {for_want_of_room(created.error) ? Replacement::no_room : Replacement::not_possible,
                created.error};
    }
    if (earlier) {
        const os::Error error =
            os::give_owner_and_mode(created.handle.raw, probe.file, probe.facts.user);
        if (error != 0) {
            os::remove_temporary(folder, temporary, created.handle.raw);
            return {Replacement::not_possible, error};
        }
    }
    os::Error error = os::write_all(created.handle.raw, text).error;
    if (error == 0)
        error = os::finish_writing(created.handle);
    if (error != 0) {
        os::remove_temporary(folder, temporary, created.handle.raw);
        return {Replacement::write_failed, error};
    }
    error = os::rename_over(folder, temporary, created.handle.raw, name);
    if (error != 0) {
        // A mount point at the name (EBUSY), a sticky folder (EPERM), a
        // reader holding it open without sharing deletion (Win32), ...
        os::remove_temporary(folder, temporary, created.handle.raw);
        return {Replacement::not_possible, error};
    }
    return {};
}

// The input, described only when the output may be the input (a file that
// exists is opened for it): a conversion to a new output leaves the input
// at its open, read and close.
struct Input {
    os::RawHandle handle = os::no_handle;
    bool described = false;
    os::Described description;
};

const os::Described& described_input(Input& input)
{
    if (!input.described) {
        input.description = os::describe(input.handle);
        input.described = true;
    }
    return input.description;
}

// Writes text over the file the name leads to: the one the checks opened,
// or, when they opened none, the one opened here, which must be the one
// the checks saw. `link`: a link at the name, the system's to follow.
OutputOutcome write_in_place(const os::Folder& folder, const std::string& name, os::Probe& probe,
                             const OutputPlan& plan, bool link, Input& input, std::string_view text)
{
    os::Handle handle = std::move(probe.handle);
    bool created = false;
    if (!handle.open()) {
        os::OpenedOutput opened = os::open_in_place(folder, name, link, plan.create);
        if (opened.error != 0)
            return {OutputResult::cannot_open, opened.error};
        handle = std::move(opened.handle);
        created = opened.created;
        // What a dangling link was created through is new: the link itself
        // must be the one the checks saw. Anything else was opened as it is.
        const bool changed = plan.create
                                 ? link && os::identify_name(folder, name).identity != probe.seen
                                 : os::describe(handle.raw).identity != probe.seen;
        if (changed)
            return {OutputResult::cannot_open, EACCES};
    }
    const os::Described file = os::describe(handle.raw);
    if (file.error != 0)
        return {OutputResult::cannot_open, file.error};
    if (!created) { // a file that took the name of one being created
        const os::Described& in = described_input(input);
        if (in.error != 0)
            return {OutputResult::cannot_open, in.error};
        if (file.identity == in.identity)
            return {OutputResult::is_input, 0};
    }
    const bool regular = file.type == FileType::regular;
    // An existing regular file keeps its bytes until the room for the text
    // is reserved: a full disk then refuses the write before any change.
    bool reserved = false;
    if (regular && !created && plan.reserve && !text.empty()) {
        const os::Error error = os::reserve(handle.raw, text.size());
        reserved = error == 0;
        if (for_want_of_room(error)) {
            static_cast<void>(os::cut(handle.raw, file.size)); // gives back what was reserved
            return {OutputResult::cannot_write, error};
        }
        if (!reserved && plan.reservation_required)
            return {OutputResult::cannot_write, ENOSPC};
    }
    // Without a reservation, the file is emptied first (what opening it
    // for a new text would have done); a device or a pipe has nothing to
    // empty.
    if (regular && !created && !reserved) {
        const os::Error error = os::cut(handle.raw, 0);
        if (error != 0)
            return {OutputResult::cannot_open, error};
    }
    const os::Written written = os::write_all(handle.raw, text);
    os::Error error = written.error;
    if (error == 0 && reserved)
        error = os::cut(handle.raw, text.size());
    if (error == 0)
        error = os::finish_writing(handle);
    if (error == 0)
        return {};
    if (reserved && written.written == 0 && written.error != 0) {
        // Not a byte changed: the reservation is given back, the text kept.
        static_cast<void>(os::cut(handle.raw, file.size));
        return {OutputResult::cannot_write, error};
    }
    // Emptied, so that no name of it (a link's target, another hard link, a
    // name in a folder it cannot be removed from) keeps a part of the text;
    // removed when reached by its own name.
    if (regular && handle.open())
        static_cast<void>(os::cut(handle.raw, 0));
    if (probe.facts.type != FileType::link)
        os::remove_written(folder, name, handle.raw, file.identity);
    return {OutputResult::cannot_write, error};
}

} // namespace

OutputOutcome write_output_file(const std::string& path, os::RawHandle input, std::string_view text)
{
    Input in;
    in.handle = input;
    const OutputName output = split_output_path(path);
    const os::Walked walked = os::walk_to_output(output.folder, output.name);
    if (walked.error != 0)
        return {OutputResult::cannot_open, walked.error};
    const os::Folder& folder = walked.folder;
    const std::string& name = walked.name;
    os::Probe probe = os::probe_output(folder, name);
    if (probe.checks_error != 0)
        return {OutputResult::cannot_open, probe.checks_error};
    // A link at the end of the walk is one the system follows itself; any
    // other took the name since, and is refused as a changed name.
    const bool link = probe.facts.type == FileType::link;
    if (link && !walked.system_follows)
        return {OutputResult::cannot_open, EACCES};
    if (walked.linked) {
        // The output name is a link, written through (never replaced);
        // the walk followed each of its links under link_may_be_followed.
        probe.facts.type = FileType::link;
        probe.facts.link_owner = probe.facts.user;
    }
    // The file opened must be the one the checks saw, and, reached by a
    // name, still have one: a file unlinked since would take the text out
    // of sight.
    if (probe.handle.open() &&
        (probe.file.identity != probe.seen || (!link && probe.file.names == 0)))
        return {OutputResult::cannot_open, EACCES};
    if (probe.handle.open()) {
        const os::Described& described = described_input(in);
        if (described.error != 0)
            return {OutputResult::cannot_open, described.error};
        probe.facts.is_input = probe.file.identity == described.identity;
    }
    OutputPlan plan = plan_output(probe.facts);
    switch (plan.action) {
    case OutputAction::refuse_as_input:
        return {OutputResult::is_input, 0};
    case OutputAction::refuse:
        // A link that may not be followed is refused as a file without
        // permission would be.
        return {OutputResult::cannot_open, probe.open_error != 0 ? probe.open_error : EACCES};
    case OutputAction::replace: {
        probe.handle.reset(); // Win32: it would block the rename
        const Replaced replaced = replace(folder, name, probe, text);
        if (replaced.how == Replacement::done)
            return {};
        if (replaced.how == Replacement::write_failed)
            return {OutputResult::cannot_write, replaced.error};
        plan = plan_after_failed_replacement(plan, replaced.how == Replacement::no_room);
        if (plan.action != OutputAction::in_place)
            return {OutputResult::cannot_write, replaced.error};
        break;
    }
    case OutputAction::in_place:
        break;
    }
    return write_in_place(folder, name, probe, plan, link, in, text);
}

} // namespace curvedump
