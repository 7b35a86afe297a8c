// Image names as text: the bytes of a name are UTF-8 or close to it, and
// whatever is not well-formed is replaced, never an error.
#pragma once

#include <cstddef>
#include <string>

namespace tilu {

// Appends `bytes` decoded as UTF-8 to `out` (as UTF-8), each maximal
// ill-formed subsequence replaced by U+FFFD.
void append_utf8_replacing(std::string& out, const unsigned char* bytes, std::size_t len);

}  // namespace tilu
