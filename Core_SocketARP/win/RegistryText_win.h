// The registry's UTF-16 strings as the program's byte texts and back (Windows only).
// The texts are ASCII, but a value may hold anything: the conversion neither replaces nor
// drops a character, and never turns one into ASCII that was not (the ANSI code page's best
// fit would make a full-width digit a digit). UTF-16 becomes UTF-8; a byte that is not part of
// well-formed UTF-8 becomes the unpaired surrogate U+DC80..U+DCFF and back, so that whatever
// text the program saves reads back byte for byte.
#pragma once

#include <string>
#include <string_view>

namespace Core_SocketARP {

// A string read from the registry as text.
std::string FromRegistryString(std::wstring_view wide);
// A text as a string to write into the registry.
std::wstring ToRegistryString(std::string_view text);

} // namespace Core_SocketARP
