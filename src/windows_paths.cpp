// What the Windows build does with paths, as pure functions that every
// host can test: the conversion between the UTF-16 the system speaks and
// the UTF-8 bytes the converter works on, and the form in which a path is
// handed to the system.
//
// The UTF-8 is the generalised form that also encodes a lone surrogate (as
// the three bytes its code unit would take), since NTFS names may hold one:
// every UTF-16 string comes back from its bytes unchanged, so no name is
// ever altered or mapped onto another.
#include "windows_paths.hpp"

namespace curvedump {

namespace {

bool is_high_surrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void put_utf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void put_utf16(std::u16string& out, char32_t c)
{
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
}

// The code point of the sequence at text[i], moving i past it; false for
// bytes that no UTF-16 string would have given (stray continuation bytes,
// overlong forms, values past U+10FFFF, a sequence cut short).
bool next_code_point(std::string_view text, std::size_t& i, char32_t& c)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    int length = 0;
    if (lead < 0x80) {
        c = lead;
        length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        c = lead & 0x1Fu;
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        c = lead & 0x0Fu;
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        c = lead & 0x07u;
        length = 4;
    } else {
        return false;
    }
    if (text.size() - i < static_cast<std::size_t>(length))
        return false;
    for (int k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
        if ((next & 0xC0) != 0x80)
            return false;
        c = c << 6 | (next & 0x3Fu);
    }
    static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < smallest[length] || c > 0x10FFFF)
        return false;
    i += static_cast<std::size_t>(length);
    return true;
}

bool starts_with(std::u16string_view text, std::u16string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

} // namespace

std::string utf8_from_utf16(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (is_high_surrogate(c) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        put_utf8(out, c); // a lone surrogate as its own three bytes
    }
    return out;
}

bool utf16_from_utf8(std::string_view text, std::u16string& out)
{
    out.clear();
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        if (!next_code_point(text, i, c))
            return false;
        // A pair written as two separate surrogates is not what any UTF-16
        // string gives: taking it would let two byte strings name one file.
        if (is_low_surrogate(c) && !out.empty() && is_high_surrogate(out.back()))
            return false;
        put_utf16(out, c);
    }
    return true;
}

std::u16string path_to_open(std::u16string_view typed, std::u16string_view full)
{
    // Fewer characters than the classic limit, or already in a form that
    // the system takes as it stands (\\?\ and device paths like \\.\COM1):
    // the path goes as typed.
    constexpr std::size_t classic_limit = 260; // characters, the terminating NUL included
    if (full.empty() || full.size() < classic_limit || starts_with(typed, u"\\\\?\\") ||
        starts_with(typed, u"\\\\.\\"))
        return std::u16string(typed);
    // Longer: the \\?\ form of the full path, which the system takes at any
    // length. It must be the full path, with "/", "." and ".." already
    // resolved, since that form is used without any such processing.
    if (starts_with(full, u"\\\\"))
        return u"\\\\?\\UNC\\" + std::u16string(full.substr(2));
    return u"\\\\?\\" + std::u16string(full);
}

} // namespace curvedump
