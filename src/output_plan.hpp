// What to do with the output name, decided from facts about it: the rules
// of when to refuse, replace or write in place, stated once for every
// platform. Pure: no system calls, so that the rules are tested on every
// host.
#pragma once

#include <cstdint>

namespace curvedump {

// What a name is, or leads to.
enum class FileType { absent, regular, link, folder, fifo, device, other };

// What the checks found before anything is written. Owners are user and
// group numbers; a platform without them (Windows) sets `named_owners` and
// gives the yes/no facts below them instead, and no shared folder.
struct OutputFacts {
    FileType type = FileType::absent;   // the name itself, a link not followed
    FileType target = FileType::absent; // the file it leads to, a link followed
    std::uint64_t names = 0;            // of the file it leads to
    std::uint32_t owner = 0;            // of the file it leads to
    std::uint32_t group = 0;            // of the file it leads to
    bool is_input = false;              // it leads to the input itself
    bool writable = false;              // what it leads to may be opened for writing
    std::uint32_t link_owner = 0;       // for a link, the link's own owner
    bool folder_shared = false;         // the folder is sticky and anyone may write to it
    std::uint32_t folder_owner = 0;
    std::uint32_t user = 0; // the effective user; 0 is root
    // Windows: owners are security identifiers, not numbers. The plan
    // then takes these yes/no facts in place of `owner` and `user`.
    bool named_owners = false;
    bool owned_by_user = false;       // the file it leads to is the user's
    bool user_administrator = false;  // the user may give a new file any owner
    bool protection_readable = false; // its owner, group and access list were read
};

enum class OutputAction {
    refuse_as_input, // the output is the input: nothing changes
    refuse,          // nothing changes
    replace,         // a temporary file renamed over the name
    in_place,        // the file the name leads to is rewritten
};

struct OutputPlan {
    OutputAction action = OutputAction::refuse;
    // In place: the file does not exist yet and is created (through a
    // dangling link, or at the name when a replacement was not possible).
    bool create = false;
    // In place: an existing regular file, whose new length is reserved
    // before its first byte changes.
    bool reserve = false;
    // In place: a refused or unsupported reservation refuses the write
    // (after a temporary file refused for want of room).
    bool reservation_required = false;
    // Replace: what to do when the temporary file cannot be made, given the
    // earlier owner, or renamed (a read-only folder, a mount point, ...).
    OutputAction when_not_possible = OutputAction::in_place;
    // Replace: what to do when the temporary file is refused for want of
    // room. In place then only once the reservation succeeds, since a file
    // emptied on a full disk would lose its text.
    OutputAction when_no_room = OutputAction::refuse;
};

// Whether a symbolic link may be followed: not one that another user put
// in a sticky folder that anyone may write to (/tmp, say), unless that
// user owns the folder, so that nobody can point a run (as root, say) at a
// file of someone else's. The kernel's protected_symlinks setting applies
// the same rule; this holds whatever the setting.
bool link_may_be_followed(const OutputFacts& facts);

// At every link on the way to the output (in its folder's path, at its
// name, or anywhere a link's target leads), the facts describing that link
// and its folder, and `followed` the links already followed on the way:
// the link is followed only as link_may_be_followed allows, and, as the
// kernel, at most `most_links` links in all (then the path is a loop).
enum class LinkStep { follow, refuse, too_many };
inline constexpr int most_links = 40;
LinkStep step_at_link(const OutputFacts& link, int followed);

OutputPlan plan_output(const OutputFacts& facts);

// The plan once the replacement has failed as `no_room` says (refused for
// want of room, or not possible at all): in place, when the plan allows it.
OutputPlan plan_after_failed_replacement(const OutputPlan& plan, bool no_room);

} // namespace curvedump
