#include "app/type_patterns.h"

#include "engine/file_type_lists.h"
#include "formats/file_format_table.h"
#include "platform/text.h"

namespace rexmoor {

bool ParseTypeGroup(std::string_view word, TypeGroup& out) {
  static constexpr std::pair<std::string_view, TypeGroup> kNames[] = {
      {"photo", TypeGroup::Photo},       {"audio", TypeGroup::Audio},     {"video", TypeGroup::Video},
      {"document", TypeGroup::Document}, {"archive", TypeGroup::Archive}, {"other", TypeGroup::Other}};
  for (const auto& [name, group] : kNames) {
    if (EqualsNoCase(word, name)) {
      out = group;
      return true;
    }
  }
  return false;
}

static std::string_view ListOf(TypeGroup group) {
  switch (group) {
    case TypeGroup::Photo: return kPictureList;
    case TypeGroup::Audio: return kAudioList;
    case TypeGroup::Video: return kVideoList;
    case TypeGroup::Document: return kDocumentList;
    case TypeGroup::Archive: return kArchiveList;
    case TypeGroup::Other: break;
  }
  return "*.other";
}

namespace {

// Calls visit with each extension of a "*.a|*.b" list.
template <typename Visit>
void ForEachExtension(std::string_view list, Visit visit) {
  std::size_t pos = 0;
  while (pos < list.size()) {
    std::size_t bar = list.find('|', pos);
    if (bar == std::string_view::npos) bar = list.size();
    std::string_view item = list.substr(pos, bar - pos);
    if (item.rfind("*.", 0) == 0) visit(item.substr(2));
    pos = bar + 1;
  }
}

constexpr std::pair<const char*, TypeGroup> kListedGroups[] = {{"photo", TypeGroup::Photo},
                                                               {"audio", TypeGroup::Audio},
                                                               {"video", TypeGroup::Video},
                                                               {"document", TypeGroup::Document},
                                                               {"archive", TypeGroup::Archive}};

}  // namespace

bool IsKnownExtension(std::string_view extension) {
  if (extension.empty()) return false;
  const std::string wanted = ToLowerAscii(extension);
  bool found = false;
  for (const auto& [name, group] : kListedGroups)
    ForEachExtension(ListOf(group), [&](std::string_view ext) { found = found || ext == wanted; });
  // Types the carver knows that no group lists (json, csv, source files, ...) are "other" files.
  return found || FindFormatByExtension(wanted) != nullptr;
}

std::string KnownExtensionsText() {
  std::string text;
  for (const auto& [name, group] : kListedGroups) {
    text += "  ";
    text += name;
    text += ':';
    ForEachExtension(ListOf(group), [&](std::string_view ext) {
      text += ' ';
      text += ext;
    });
    text += '\n';
  }
  // The carver's types that no group lists.
  std::string others;
  for (const FileFormatEntry& row : FileFormatTable()) {
    bool listed = false;
    for (const auto& [name, group] : kListedGroups)
      ForEachExtension(ListOf(group), [&](std::string_view ext) { listed = listed || ext == row.extension; });
    const std::string extension = std::string(" ") + row.extension;
    if (!listed && (others + " ").find(extension + " ") == std::string::npos) others += extension;
  }
  if (!others.empty()) text += "  other:" + others + '\n';
  return text;
}

std::string BuildSearchPattern(const std::vector<TypeGroup>& groups, const std::vector<std::string>& extensions) {
  std::vector<TypeGroup> chosen = groups;
  if (chosen.empty() && extensions.empty())
    chosen = {TypeGroup::Photo, TypeGroup::Audio, TypeGroup::Video, TypeGroup::Document, TypeGroup::Archive,
              TypeGroup::Other};
  std::string pattern;
  auto add = [&pattern](std::string_view part) {
    if (!pattern.empty()) pattern += '|';
    pattern += part;
  };
  for (TypeGroup g : chosen) add(ListOf(g));
  for (const std::string& ext : extensions) {
    std::string_view e = ext;
    while (!e.empty() && e.front() == '.') e.remove_prefix(1);
    if (!e.empty()) add("*." + ToLowerAscii(e));
  }
  return pattern;
}

std::string ConvertSearchPattern(std::string_view pattern) {
  std::string out;
  out.reserve(pattern.size() * 2);
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '*') {
      if (i > 0 && pattern[i - 1] == '\\') continue;
      out += '.';
    } else if (std::string_view(".^$+?{}[]").find(c) != std::string_view::npos) {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  return out;
}

std::string CategoryFolderFor(std::string_view fileName) {
  std::string_view ext = ExtensionOf(fileName);
  // A name without an extension is of no known type, whatever a substring search would say.
  if (ext.empty()) return "others";
  // A plain substring search, so a part of a listed extension counts: "pg" is a photo.
  const std::string lower = ToLowerAscii(ext);
  static constexpr std::pair<std::string_view, const char*> kCategories[] = {
      {kPictureList, "photo"}, {kAudioList, "audio"}, {kVideoList, "video"}, {kDocumentList, "document"},
      {kArchiveList, "archive"}};
  // A list that names the extension in full wins over one where it is only a part of another:
  // "avi" is a video, although "*.avif" in the picture list holds it.
  for (const auto& [list, folder] : kCategories)
    if (ListHasWholeExtension(list, lower)) return folder;
  for (const auto& [list, folder] : kCategories)
    if (list.find(lower) != std::string_view::npos) return folder;
  return "others";
}

}  // namespace rexmoor
