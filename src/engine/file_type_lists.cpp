#include "engine/file_type_lists.h"

#include "platform/text.h"

namespace rexmoor {

const std::string& KnownExtensions() {
  static const std::string joined = [] {
    std::string text;
    for (std::string_view list : {kPictureList, kAudioList, kDocumentList, kVideoList, kArchiveList}) {
      if (!text.empty()) text += '|';
      text += list;
    }
    return text;
  }();
  return joined;
}

bool ListHasWholeExtension(std::string_view list, std::string_view extension) {
  if (extension.empty()) return false;
  const std::string needle = "*." + ToLowerAscii(extension);
  for (std::size_t at = list.find(needle); at != std::string_view::npos; at = list.find(needle, at + 1)) {
    const std::size_t end = at + needle.size();
    if (end == list.size() || list[end] == '|') return true;
  }
  return false;
}

bool ListHasExtension(std::string_view list, std::string_view extension) {
  if (extension.empty()) return false;
  if (ListHasWholeExtension(list, extension)) return true;
  // An extension another list names in full belongs there: "avi" is a video, although "*.avif"
  // in the picture list begins with it.
  if (ListHasWholeExtension(KnownExtensions(), extension)) return false;
  std::string needle = "*." + ToLowerAscii(extension);
  return list.find(needle) != std::string_view::npos;
}

bool IsPictureExtension(std::string_view extension) { return ListHasExtension(kPictureList, extension); }
bool IsAudioExtension(std::string_view extension) { return ListHasExtension(kAudioList, extension); }
bool IsDocumentExtension(std::string_view extension) { return ListHasExtension(kDocumentList, extension); }
bool IsVideoExtension(std::string_view extension) { return ListHasExtension(kVideoList, extension); }
bool IsArchiveExtension(std::string_view extension) { return ListHasExtension(kArchiveList, extension); }

std::string_view ExtensionOf(std::string_view name) {
  std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

}  // namespace rexmoor
