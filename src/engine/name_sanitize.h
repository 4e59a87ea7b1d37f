// Names read from a medium become path components only through here, so a hostile volume can
// never direct a write outside the folder the user chose.
#pragma once

#include <string>
#include <string_view>

namespace rexmoor {

// One safe path component: separators, NUL and control characters become '_', invalid UTF-8 is
// replaced, "." and ".." and the empty name become "_", and the result fits a file name (255 bytes).
std::string SanitizeName(std::string_view name);

}  // namespace rexmoor
