// The path functions of the Windows build, checked on every host: UTF-16
// to UTF-8 and back without loss, and the form a path is opened in.
#include "windows_paths.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using curvedump::path_to_open;
using curvedump::utf16_from_utf8;
using curvedump::utf8_from_utf16;

TEST(WindowsPaths, Utf16AndUtf8RoundTrip)
{
    struct Case {
        const char* what;
        std::u16string utf16;
        std::string utf8;
    };
    const Case cases[] = {
        {"empty", u"", ""},
        {"ASCII", u"run7.dat", "run7.dat"},
        {"two bytes", u"caf\u00e9", "caf\xC3\xA9"},
        {"three bytes", u"\u6e2c", "\xE6\xB8\xAC"},
        {"surrogate pair", u"\U0001F4C8.bin", "\xF0\x9F\x93\x88.bin"},
        {"lone high surrogate", std::u16string(1, char16_t{0xD800}), "\xED\xA0\x80"},
        {"lone low surrogate", std::u16string(1, char16_t{0xDFFF}), "\xED\xBF\xBF"},
        {"high surrogate at the end", u"a" + std::u16string(1, char16_t{0xD83D}), "a\xED\xA0\xBD"},
        {"low before high", std::u16string{char16_t{0xDCC8}, char16_t{0xD83D}},
         "\xED\xB3\x88\xED\xA0\xBD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(utf8_from_utf16(c.utf16), c.utf8);
        std::u16string back;
        EXPECT_TRUE(utf16_from_utf8(c.utf8, back));
        EXPECT_EQ(back, c.utf16);
    }
}

TEST(WindowsPaths, BytesNoUtf16StringGivesAreRefused)
{
    const char* const cases[] = {
        "\x80",                     // continuation byte first
        "\xC0\xAF",                 // overlong "/"
        "\xE0\x80\xAF",             // overlong "/", three bytes
        "\xF4\x90\x80\x80",         // past U+10FFFF
        "\xF8\x88\x80\x80\x80",     // five-byte form
        "a\xC3",                    // cut short
        "\xE6\xB8",                 // cut short
        "\xC3\x28",                 // not a continuation byte
        "\xED\xA0\xBD\xED\xB3\x88", // a pair as two separate surrogates
    };
    for (const char* bytes : cases) {
        std::u16string out;
        EXPECT_FALSE(utf16_from_utf8(bytes, out)) << bytes;
    }
}

TEST(WindowsPaths, LongPathsAreOpenedInTheirPrefixedForm)
{
    // A full path of n characters: C:\ and n - 3 more.
    const auto full_of = [](std::size_t n) { return u"C:\\" + std::u16string(n - 3, u'a'); };
    const std::u16string under = full_of(259); // with its NUL, exactly the classic limit
    const std::u16string over = full_of(260);
    const std::u16string deep = full_of(300);
    const std::u16string share = u"\\\\server\\share\\" + std::u16string(280, u'd');
    struct Case {
        const char* what;
        std::u16string typed, full, expected;
    };
    const Case cases[] = {
        {"relative, short", u"data\\run7.dat", u"C:\\work\\data\\run7.dat", u"data\\run7.dat"},
        {"slashes and .., short", u"C:/work/x/../run7.dat", u"C:\\work\\run7.dat",
         u"C:/work/x/../run7.dat"},
        {"just under the limit", under, under, under},
        {"just over the limit", over, over, u"\\\\?\\" + over},
        {"relative, long", u"run7.dat", deep, u"\\\\?\\" + deep},
        {"slashes and .., long: the full path", u"C:/x/../" + deep.substr(3), deep,
         u"\\\\?\\" + deep},
        {"trailing dot, long: dropped as the full path drops it", deep + u".", deep,
         u"\\\\?\\" + deep},
        {"network path, long", share, share, u"\\\\?\\UNC\\" + share.substr(2)},
        {"network path, short", u"\\\\server\\share\\a", u"\\\\server\\share\\a",
         u"\\\\server\\share\\a"},
        {"already prefixed", u"\\\\?\\" + deep, u"\\\\?\\" + deep, u"\\\\?\\" + deep},
        {"device path", u"\\\\.\\pipe\\" + deep.substr(3), u"\\\\.\\pipe\\" + deep.substr(3),
         u"\\\\.\\pipe\\" + deep.substr(3)},
        {"no full path known", u"run7.dat", u"", u"run7.dat"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(path_to_open(c.typed, c.full), c.expected);
    }
}

} // namespace
