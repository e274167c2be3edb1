// The rules of the output name, from facts alone.
#include "output_plan.hpp"

namespace curvedump {

bool link_may_be_followed(const OutputFacts& facts)
{
    if (facts.type != FileType::link || !facts.folder_shared)
        return true;
    return facts.link_owner == facts.user || facts.link_owner == facts.folder_owner;
}

LinkStep step_at_link(const OutputFacts& link, int followed)
{
    if (!link_may_be_followed(link))
        return LinkStep::refuse;
    return followed < most_links ? LinkStep::follow : LinkStep::too_many;
}

OutputPlan plan_output(const OutputFacts& facts)
{
    OutputPlan plan;
    if (!link_may_be_followed(facts))
        return plan;
    if (facts.is_input) {
        plan.action = OutputAction::refuse_as_input;
        return plan;
    }
    if (facts.target == FileType::absent) {
        if (facts.type == FileType::absent) {
            // A new file; should the temporary file be impossible, it is
            // made at the name itself, on a full disk too: there is no
            // earlier text to lose, and a name that cannot be created is
            // reported as such ("cannot open").
            plan.action = OutputAction::replace;
            plan.create = true;
            plan.when_no_room = OutputAction::in_place;
        } else {
            // A dangling link: the file is created where it leads.
            plan.action = OutputAction::in_place;
            plan.create = true;
        }
        return plan;
    }
    if (!facts.writable)
        return plan; // a folder, a read-only file, a FIFO without reader, ...
    plan.reserve = facts.target == FileType::regular;
    // Only a plain file with this one name, the name itself no link, and
    // owned by this user (any owner for root, or an administrator) is
    // replaced: the new file gets its owner, group and mode (Windows: its
    // owner, group and access list, which must have been read). Anything
    // else (a link, a second name, another user's file, a FIFO, a device)
    // is written in place, so that every name of it sees the text.
    const bool may_take_its_owner =
        facts.named_owners
            ? facts.protection_readable && (facts.owned_by_user || facts.user_administrator)
            : facts.user == 0 || facts.owner == facts.user;
    const bool replaceable = facts.type == FileType::regular && facts.target == FileType::regular &&
                             facts.names == 1 && may_take_its_owner;
    plan.action = replaceable ? OutputAction::replace : OutputAction::in_place;
    if (replaceable)
        plan.when_no_room = OutputAction::in_place;
    return plan;
}

OutputPlan plan_after_failed_replacement(const OutputPlan& plan, bool no_room)
{
    OutputPlan next = plan;
    next.action = no_room ? plan.when_no_room : plan.when_not_possible;
    next.reservation_required = no_room;
    return next;
}

} // namespace curvedump
