// The pure path functions the Windows build is made of (windows_paths.cpp):
// UTF-16 and UTF-8, and the form of a path to give the system. No system
// calls, so that every platform's tests can check them.
#pragma once

#include <string>
#include <string_view>

namespace curvedump {

// UTF-16 to UTF-8, lone surrogates included (generalised UTF-8): lossless.
std::string utf8_from_utf16(std::u16string_view text);
// The inverse; false for bytes that no UTF-16 string gives.
bool utf16_from_utf8(std::string_view text, std::u16string& out);
// The path to give the system for a path as typed, given its full form
// (GetFullPathNameW): as typed while it fits the classic 260-character
// limit, else the \\?\ form of the full path (\\?\UNC\ for network paths).
std::u16string path_to_open(std::u16string_view typed, std::u16string_view full);

} // namespace curvedump
