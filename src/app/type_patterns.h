// File-type patterns as the user chooses them, and the forms the engines and the recovery job
// need: the search pattern, its converted form, and the category folder of a recovered file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace rexmoor {

enum class TypeGroup { Photo, Audio, Video, Document, Archive, Other };

// "photo", "audio", "video", "document", "archive", "other"; false for anything else.
bool ParseTypeGroup(std::string_view word, TypeGroup& out);

// Whether the extension (without its dot, any case) is one of the types the groups list; the whole
// extension must match, "jp" is not "jpg".
bool IsKnownExtension(std::string_view extension);
// The known extensions, one line per group: "  photo: bmp gif jpg ...\n".
std::string KnownExtensionsText();

// The pattern for the chosen groups and single extensions: the groups' lists joined with "|",
// "*.other" for the other group, then "*.ext" for each extension. Nothing chosen means every
// group, other files included.
std::string BuildSearchPattern(const std::vector<TypeGroup>& groups, const std::vector<std::string>& extensions);

// The form the engines receive: "*" becomes ".", and each of .^$+?{}[] is escaped with "\";
// "*.jpg|*.png" becomes ".\.jpg|.\.png".
std::string ConvertSearchPattern(std::string_view pattern);

// "photo", "audio", "video", "document", "archive" or "others", by the extension of the name.
std::string CategoryFolderFor(std::string_view fileName);

}  // namespace rexmoor
