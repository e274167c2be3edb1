// The conversion of an input image, in memory: console text, status and
// output text for valid files and for each refusal; and what is done with
// the output name, from the facts about it.
#include "check_conversion.hpp"
#include "output_plan.hpp"
#include "test_image.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr float inf = std::numeric_limits<float>::infinity();
using test_image::f32;
using test_image::Series;
using test_image::with_table;

using Result = curvedump::Conversion;

Result convert(const std::vector<unsigned char>& file)
{
    return check_conversion::convert(file.data(), file.size());
}

std::string last_line(const std::string& text)
{
    const std::size_t end = text.size() >= 2 ? text.size() - 2 : 0;
    const std::size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
    return text.substr(start == std::string::npos ? 0 : start + 1);
}

std::size_t line_count(const std::string& text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(ConvertImage, SmallExample)
{
    const Result r = convert(test_image::small_example());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console, test_image::small_example_header);
    EXPECT_EQ(r.output, test_image::small_example_output);
    EXPECT_EQ(r.past_end, 0); // series 2 ends where the file does
}

TEST(ConvertImage, EmptyFileHasNothingToHold)
{
    const Result r = convert({});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.console, "0 0 0 0\r\n"
                         "0.000000e+00 0.000000e+00\r\n"
                         "0.000000e+00 0.000000e+00\r\n"
                         "Cannot allocate memory\r\n");
    EXPECT_EQ(r.output, "");
}

TEST(ConvertImage, FileFillingTheImageIsRefused)
{
    std::vector<unsigned char> file = test_image::small_example();
    for (const std::size_t size : {std::size_t{32768}, std::size_t{40000}}) {
        file.resize(size);
        const Result r = convert(file);
        EXPECT_EQ(r.status, 4);
        EXPECT_EQ(r.console, "memory overflow\r\n");
    }
    file.resize(32767);
    EXPECT_EQ(convert(file).status, 0);
}

TEST(ConvertImage, HeaderLines)
{
    const Result r =
        convert(with_table({0, 40, f32(-0.0f), f32(1e30f)}, {0, 0, f32(inf), f32(-inf)}));
    EXPECT_EQ(r.console, "0 0 40 0\r\n"
                         "-0.000000e+00 +INF\r\n"
                         "1.000000e+30 -INF\r\n");
}

struct LineCase {
    const char* what;
    Series s1, s2;
    int status;
    std::size_t lines;
    const char* last_console_line;
};

TEST(ConvertImage, DescriptorsAndLineCounts)
{
    const LineCase cases[] = {
        {"counts 0 and 5 give an empty output",
         {1, 0},
         {1, 20},
         0,
         0,
         "0.000000e+00 0.000000e+00\r\n"},
        {"length 10 gives count 2", {1, 10}, {2, 12}, 0, 2, nullptr},
        {"counts 10 and 6 give 6 lines", {1, 40}, {2, 24}, 0, 6, nullptr},
        {"last block, exactly to the end", {127, 256}, {127, 256}, 0, 64, nullptr},
        {"length 3 is count 0, block ignored", {0x8000, 3}, {1, 4}, 0, 0, nullptr},
        {"negative block with count 0", {0xFFFF, 0}, {1, 4}, 0, 0, nullptr},
        {"series 1 runs past the image",
         {127, 260},
         {1, 4},
         5,
         0,
         "invalid descriptor for series 1\r\n"},
        {"series 1 block past the image",
         {128, 4},
         {1, 4},
         5,
         0,
         "invalid descriptor for series 1\r\n"},
        {"series 1 negative block",
         {0xFFFF, 4},
         {1, 4},
         5,
         0,
         "invalid descriptor for series 1\r\n"},
        {"series 2 negative length",
         {1, 4},
         {1, 0xFFFE},
         5,
         0,
         "invalid descriptor for series 2\r\n"},
        {"series 2 past the image, series 1 empty",
         {0, 0},
         {200, 8},
         5,
         0,
         "invalid descriptor for series 2\r\n"},
        {"both invalid: series 1 is named",
         {0x8000, 0x8000},
         {300, 4},
         5,
         0,
         "invalid descriptor for series 1\r\n"},
        {"both counts zero", {5, 2}, {0, 0}, 3, 0, "Cannot allocate memory\r\n"},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Result r = convert(with_table(c.s1, c.s2));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(line_count(r.output), c.lines);
        EXPECT_EQ(r.output.size(), 25 * c.lines);
        if (c.last_console_line != nullptr) {
            EXPECT_EQ(last_line(r.console), c.last_console_line);
        }
    }
}

// Data past the end of the file reads as zeros: each value is the offset.
TEST(ConvertImage, DataPastEndOfFileIsZero)
{
    const Result r =
        convert(with_table({1, 8, f32(3.0f), f32(2.0f)}, {100, 8, f32(1.0f), f32(-1.5f)}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, " 2.0000e+00 -1.5000e+00\r\n"
                        " 2.0000e+00 -1.5000e+00\r\n");
    EXPECT_EQ(r.past_end, 3);
}

// Series 2 values come from their own block, scaled by their own coefficients,
// and the longer series' extra values are dropped.
TEST(ConvertImage, SeriesPairing)
{
    std::vector<unsigned char> file =
        with_table({2, 8, f32(1.0f), f32(0.0f)}, {1, 12, f32(2.0f), f32(0.0f)});
    test_image::put_be32(file, 512, f32(7.0f));
    test_image::put_be32(file, 516, f32(0x1p-149f));
    test_image::put_be32(file, 256, f32(-1.0f));
    test_image::put_be32(file, 260, f32(inf));
    test_image::put_be32(file, 264, f32(99.0f));
    const Result r = convert(file);
    EXPECT_EQ(r.output, " 7.0000e+00 -2.0000e+00\r\n"
                        " 1.4013e-45        +INF\r\n");
}

// The output plan on every host: facts in, what to do out, and what a
// replacement that fails falls back to (for want of room, or at all).
TEST(OutputPlan, FromTheFacts)
{
    using curvedump::FileType;
    using curvedump::OutputAction;
    using curvedump::OutputFacts;
    constexpr std::uint32_t user = 1000;
    constexpr std::uint32_t other = 1001;
    constexpr std::uint32_t folder_owner = 1002;
    const auto file = [](FileType type, std::uint32_t owner, std::uint64_t names = 1) {
        OutputFacts f;
        f.type = type;
        f.target = type;
        f.names = names;
        f.owner = owner;
        f.writable = true;
        f.user = user;
        f.folder_owner = folder_owner;
        return f;
    };
    const auto link = [&file](FileType target, std::uint32_t link_owner, bool shared) {
        OutputFacts f = file(target, user);
        f.type = FileType::link;
        f.link_owner = link_owner;
        f.folder_shared = shared;
        f.writable = target != FileType::absent;
        return f;
    };
    const auto with = [](OutputFacts f, auto change) {
        change(f);
        return f;
    };
    // Windows: owners named, not numbered. The numbers are set to say the
    // opposite of the yes/no facts, which alone must decide.
    const auto windows = [&file](bool owned, bool administrator, bool readable = true) {
        OutputFacts f = file(FileType::regular, owned ? other : user);
        f.user = owned || administrator ? user : 0;
        f.named_owners = true;
        f.owned_by_user = owned;
        f.user_administrator = administrator;
        f.protection_readable = readable;
        return f;
    };
    struct PlanCase {
        const char* what;
        OutputFacts facts;
        OutputAction action;
        bool create;
        bool reserve;
        OutputAction when_no_room;
        OutputAction when_not_possible;
    };
    constexpr OutputAction replace = OutputAction::replace;
    constexpr OutputAction in_place = OutputAction::in_place;
    constexpr OutputAction refuse = OutputAction::refuse;
    const PlanCase cases[] = {
        {"absent: a new file, made at the name when no temporary file can be",
         with(file(FileType::absent, 0), [](OutputFacts& f) { f.writable = false; }), replace, true,
         false, in_place, in_place},
        {"this user's file with one name", file(FileType::regular, user), replace, false, true,
         in_place, in_place},
        {"another user's file, as root",
         with(file(FileType::regular, other), [](OutputFacts& f) { f.user = 0; }), replace, false,
         true, in_place, in_place},
        {"another user's writable file", file(FileType::regular, other), in_place, false, true,
         refuse, in_place},
        {"a file with a second name", file(FileType::regular, user, 2), in_place, false, true,
         refuse, in_place},
        {"a read-only file",
         with(file(FileType::regular, user), [](OutputFacts& f) { f.writable = false; }), refuse,
         false, false, refuse, in_place},
        {"a folder", with(file(FileType::folder, user), [](OutputFacts& f) { f.writable = false; }),
         refuse, false, false, refuse, in_place},
        {"a FIFO with a reader: nothing to reserve", file(FileType::fifo, user), in_place, false,
         false, refuse, in_place},
        {"a device", file(FileType::device, 0), in_place, false, false, refuse, in_place},
        {"the input itself",
         with(file(FileType::regular, user), [](OutputFacts& f) { f.is_input = true; }),
         OutputAction::refuse_as_input, false, false, refuse, in_place},
        {"a link, written through", link(FileType::regular, user, false), in_place, false, true,
         refuse, in_place},
        {"a dangling link: created where it leads", link(FileType::absent, user, false), in_place,
         true, false, refuse, in_place},
        {"another user's link in a shared sticky folder", link(FileType::regular, other, true),
         refuse, false, false, refuse, in_place},
        {"another user's dangling link there", link(FileType::absent, other, true), refuse, false,
         false, refuse, in_place},
        {"another user's link there to the input",
         with(link(FileType::regular, other, true), [](OutputFacts& f) { f.is_input = true; }),
         refuse, false, false, refuse, in_place},
        {"this user's own link there", link(FileType::regular, user, true), in_place, false, true,
         refuse, in_place},
        {"a link of the folder's owner there", link(FileType::regular, folder_owner, true),
         in_place, false, true, refuse, in_place},
        {"another user's link in a folder not shared", link(FileType::regular, other, false),
         in_place, false, true, refuse, in_place},
        {"Windows: the user's file, its protection read", windows(true, false), replace, false,
         true, in_place, in_place},
        {"Windows: another owner's file, as an administrator", windows(false, true), replace, false,
         true, in_place, in_place},
        {"Windows: another owner's file, not an administrator", windows(false, false), in_place,
         false, true, refuse, in_place},
        {"Windows: the user's file, its protection unreadable", windows(true, true, false),
         in_place, false, true, refuse, in_place},
        {"Windows: the user's file with a second name",
         with(windows(true, true), [](OutputFacts& f) { f.names = 2; }), in_place, false, true,
         refuse, in_place},
        // The read-only attribute holds for administrators too, and a
        // holder that shares reading only lets nobody write or rename.
        {"Windows: read-only, or held open sharing reading only, as an administrator",
         with(windows(true, true), [](OutputFacts& f) { f.writable = false; }), refuse, false,
         false, refuse, in_place},
    };
    for (const PlanCase& c : cases) {
        SCOPED_TRACE(c.what);
        const curvedump::OutputPlan plan = curvedump::plan_output(c.facts);
        EXPECT_EQ(plan.action, c.action);
        EXPECT_EQ(plan.create, c.create);
        EXPECT_EQ(plan.reserve, c.reserve);
        EXPECT_FALSE(plan.reservation_required);
        if (plan.action != OutputAction::replace)
            continue;
        const curvedump::OutputPlan no_room = curvedump::plan_after_failed_replacement(plan, true);
        EXPECT_EQ(no_room.action, c.when_no_room);
        EXPECT_TRUE(no_room.reservation_required);
        const curvedump::OutputPlan not_possible =
            curvedump::plan_after_failed_replacement(plan, false);
        EXPECT_EQ(not_possible.action, c.when_not_possible);
        EXPECT_FALSE(not_possible.reservation_required);
        EXPECT_EQ(not_possible.create, c.create);
    }
    // Each link on the way to the output, after `followed` others: the
    // same rule wherever it is met, and no more than 40 links in all.
    using curvedump::LinkStep;
    struct StepCase {
        const char* what;
        OutputFacts link;
        int followed;
        LinkStep step;
    };
    const StepCase steps[] = {
        {"this user's link, the first", link(FileType::absent, user, true), 0, LinkStep::follow},
        {"another user's link in a shared sticky folder, the second",
         link(FileType::absent, other, true), 1, LinkStep::refuse},
        {"another user's link there, the fortieth", link(FileType::absent, other, true), 39,
         LinkStep::refuse},
        {"the folder owner's link there, the third", link(FileType::absent, folder_owner, true), 2,
         LinkStep::follow},
        {"another user's link in a folder not shared", link(FileType::absent, other, false), 5,
         LinkStep::follow},
        {"the fortieth link", link(FileType::absent, user, false), 39, LinkStep::follow},
        {"the forty-first link: a loop", link(FileType::absent, user, false), 40,
         LinkStep::too_many},
        {"root's link in another user's shared folder, the tenth",
         with(link(FileType::absent, 0, true), [](OutputFacts& f) { f.user = 0; }), 9,
         LinkStep::follow},
    };
    for (const StepCase& c : steps) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(curvedump::step_at_link(c.link, c.followed), c.step);
    }
}

} // namespace
