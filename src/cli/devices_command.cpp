// rexmoor devices: the drives with their partitions, unallocated areas and bare drives, each row
// with the SOURCE text the other commands accept for it.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/device_listing.h"
#include "cli/commands.h"
#include "cli/output_format.h"

namespace rexmoor::cli {

namespace {

Json OptionalText(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

// The partition type byte (or the kind given to a volume found without one) in words.
std::string KindName(std::uint8_t kind) {
  switch (kind) {
    case 0x00: return "none";
    case 0x01:
    case 0x04:
    case 0x06:
    case 0x0E: return "FAT";
    case 0x0B:
    case 0x0C: return "FAT32";
    case 0x07: return "NTFS/exFAT";
    case 0x05:
    case 0x0F:
    case 0x85: return "extended";
    case 0x82: return "Linux swap";
    case 0x83: return "Linux";
    case 0x8E: return "Linux LVM";
    case 0xEE: return "GPT";
    case 0xEF: return "EFI system";
    case 0xFF: return "volume";
    default: {
      char text[8];
      std::snprintf(text, sizeof text, "0x%02X", kind);
      return text;
    }
  }
}

void PrintJson(const std::vector<DeviceDrive>& drives) {
  for (const DeviceDrive& drive : drives)
    for (const DeviceRow& row : drive.rows) {
      const VolumeEntry& e = row.entry;
      Json line;
      line["drive"] = drive.number;
      line["drive_path"] = drive.facts.path;
      line["removable"] = drive.facts.removable;
      line["readable"] = !drive.facts.unreadable;
      line["needs_root"] = drive.facts.unreadable && ::geteuid() != 0;
      line["number"] = static_cast<int>(e.letter);
      line["type"] = DeviceRowKindName(row.kind);
      line["source"] = row.source;
      line["device"] = OptionalText(row.device);
      line["start"] = e.start;
      line["length"] = e.length;
      line["sector_size"] = drive.facts.bytesPerSector;
      line["bytes"] = e.totalBytes;
      line["size"] = row.sizeText;
      line["filesystem"] = OptionalText(e.fileSystemName);
      line["label"] = OptionalText(e.label);
      line["mount"] = OptionalText(e.mountPoint);
      line["partition"] = e.partitionNumber > 0 ? Json(e.partitionNumber) : Json(nullptr);
      line["kind"] = e.kind;
      line["kind_name"] = KindName(e.kind);
      line["free_bytes"] = e.freeBytes;
      line["used_bytes"] = e.usedBytes;
      std::printf("%s\n", JsonText(line).c_str());
    }
}

std::string DriveHeading(const DeviceDrive& drive) {
  std::string text = "Drive " + std::to_string(drive.number) + ": " + drive.source;
  if (drive.source != drive.facts.path) text += " (" + drive.facts.path + ")";
  text += ", " + drive.sizeText;
  if (!drive.facts.imageFile) text += drive.facts.removable ? ", removable" : ", fixed disk";
  if (drive.facts.tableType == "dos") text += ", MBR partition table";
  else if (drive.facts.tableType == "gpt") text += ", GPT partition table";
  else if (!drive.facts.tableType.empty()) text += ", " + drive.facts.tableType + " partition table";
  else if (!drive.facts.unreadable) text += ", no partition table";
  if (drive.facts.unreadable)
    text += ::geteuid() == 0 ? ", not readable (the system denies access even to root)"
                             : ", needs root to read (run rexmoor as root to scan it)";
  return text;
}

void PrintTable(const std::vector<DeviceDrive>& drives) {
  bool first = true;
  for (const DeviceDrive& drive : drives) {
    if (!first) std::printf("\n");
    first = false;
    std::printf("%s\n", DriveHeading(drive).c_str());
    std::vector<std::vector<std::string>> cells;
    cells.push_back({"#", "TYPE", "START", "SECTORS", "SIZE", "FILE SYSTEM", "LABEL", "SOURCE", "DEVICE", "MOUNTED ON"});
    for (const DeviceRow& row : drive.rows) {
      const VolumeEntry& e = row.entry;
      cells.push_back({std::to_string(static_cast<int>(e.letter)), DeviceRowKindName(row.kind), std::to_string(e.start),
                       std::to_string(e.length), row.sizeText, e.fileSystemName.empty() ? "-" : e.fileSystemName,
                       e.label, row.source, row.device, e.mountPoint});
    }
    // Columns that no row fills are left out.
    std::vector<std::size_t> width(cells.front().size(), 0);
    std::vector<bool> used(width.size(), false);
    for (std::size_t r = 0; r < cells.size(); ++r)
      for (std::size_t c = 0; c < width.size(); ++c) {
        width[c] = std::max(width[c], cells[r][c].size());
        if (r > 0 && !cells[r][c].empty()) used[c] = true;
      }
    static constexpr bool kRightAligned[] = {true, false, true, true, true, false, false, false, false, false};
    for (const auto& line : cells) {
      std::string text = " ";
      for (std::size_t c = 0; c < width.size(); ++c) {
        if (!used[c]) continue;
        const std::string pad(width[c] - line[c].size(), ' ');
        text += " " + (kRightAligned[c] ? pad + line[c] : line[c] + pad) + " ";
      }
      while (!text.empty() && text.back() == ' ') text.pop_back();
      std::printf("%s\n", text.c_str());
    }
  }
}

}  // namespace

int RunDevices(const std::vector<std::string>& images, bool json) {
  for (const std::string& image : images) {
    struct stat st {};
    if (::stat(image.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      std::fprintf(stderr, "rexmoor: %s is not an image file\n", image.c_str());
      return kExitFailure;
    }
  }
  const std::vector<DeviceDrive> drives = images.empty() ? ListDevices() : ListImageDevices(images);
  if (json) {
    PrintJson(drives);
  } else if (drives.empty()) {
    std::printf("No drives found.\n");
  } else {
    PrintTable(drives);
  }
  return kExitDone;
}

}  // namespace rexmoor::cli
