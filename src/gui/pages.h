// What the main window and its pages share: the pages' order in the window's stack, what the
// window is set up to do, and the icon each type category is drawn with.
#pragma once

#include "app/result_model.h"

namespace rexmoor::gui {

enum Page : int { kPageStart = 0, kPageDisk = 1, kPageFileType = 2, kPageResults = 3 };

// Finding files to recover, or copying a drive or partition into an image file.
enum class WindowMode { Recovery, DiskImage };

// Why the disk list is built again.
enum class DiskListChange { Start, Arrival, Removal };

inline constexpr TypeCategory kCategories[kTypeCategoryCount] = {TypeCategory::Photo, TypeCategory::Audio,
                                                                TypeCategory::Video, TypeCategory::Office,
                                                                TypeCategory::Zip,   TypeCategory::Other};

inline const char* CategoryIconName(TypeCategory category) {
  switch (category) {
    case TypeCategory::Photo: return "image-x-generic";
    case TypeCategory::Audio: return "audio-x-generic";
    case TypeCategory::Video: return "video-x-generic";
    case TypeCategory::Office: return "x-office-document";
    case TypeCategory::Zip: return "package-x-generic";
    case TypeCategory::Other: return "text-x-generic";
  }
  return "text-x-generic";
}

}  // namespace rexmoor::gui
