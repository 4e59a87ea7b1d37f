// Message texts come from a language file and are used as formats. They are filled here rather
// than through printf, so a translation with a stray or missing conversion can never read an
// argument that is not there.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace rexmoor {

// Replaces each %c, %s, %S, %d, %i or %u (with optional width digits and l/h/I64 size prefixes)
// by the next argument, in order; "%%" gives "%". Conversions beyond the arguments are dropped.
std::string FillCatalogText(std::string_view format, const std::vector<std::string>& args);

}  // namespace rexmoor
