// What a file's content is recognised as, and how long the format's own rule measures it: the
// `identify` command's work, apart from how it is printed.
#pragma once

#include <cstdint>
#include <string>

#include "formats/carving_context.h"
#include "platform/result_codes.h"

namespace rexmoor {

struct FileIdentity {
  bool known = false;       // the content is a type the recognisers know
  std::string extension;    // its extension, when known
  std::int32_t typeId = 0;  // its type id, when known
  bool measured = false;    // the format's rule gave a length (it would be carved)
  std::uint64_t length = 0;
};

// Reads the file as a medium whose last partial sector is padded with zeros.
Result IdentifyFile(const std::string& path, FileIdentity& out);

}  // namespace rexmoor
