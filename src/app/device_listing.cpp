#include "app/device_listing.h"

#include "platform/text.h"

namespace rexmoor {

namespace {

DeviceRow::Kind RowKind(const VolumeEntry& entry, std::size_t rowsOfDrive, std::uint64_t driveSectors) {
  if (entry.kind != 0) return entry.partitionNumber > 0 ? DeviceRow::Kind::Partition : DeviceRow::Kind::Volume;
  if (rowsOfDrive == 1 && entry.start == 0 && entry.length == driveSectors) return DeviceRow::Kind::WholeDrive;
  return DeviceRow::Kind::Unallocated;
}

// imageNames: the user's own names of image files, used in place of drive:N.
std::vector<DeviceDrive> BuildDrives(const VolumeMap& map, const std::vector<std::string>* imageNames) {
  std::vector<DeviceDrive> drives;
  for (const auto& [number, entries] : map.drives) {
    DeviceDrive drive;
    drive.number = number;
    if (auto it = map.facts.find(number); it != map.facts.end()) drive.facts = it->second;
    const bool named = imageNames != nullptr && static_cast<std::size_t>(number) < imageNames->size();
    const std::string base = named ? (*imageNames)[static_cast<std::size_t>(number)] : "drive:" + std::to_string(number);
    drive.source = named || drive.facts.imageFile ? base : drive.facts.path;
    if (drive.source.empty()) drive.source = base;
    drive.sizeText = FormatSize(static_cast<std::int64_t>(drive.facts.totalBytes));
    const std::uint64_t driveSectors = drive.facts.totalBytes / drive.facts.bytesPerSector;
    for (const VolumeEntry& entry : entries) {
      DeviceRow row;
      row.entry = entry;
      row.kind = RowKind(entry, entries.size(), driveSectors);
      row.device = entry.volumePath;
      const bool whole = entry.start == 0 && entry.length == driveSectors;
      row.source = whole ? base : base + "@" + std::to_string(entry.start) + "+" + std::to_string(entry.length);
      row.sizeText = FormatSize(static_cast<std::int64_t>(entry.totalBytes));
      drive.rows.push_back(row);
    }
    drives.push_back(std::move(drive));
  }
  return drives;
}

}  // namespace

const char* DeviceRowKindName(DeviceRow::Kind kind) {
  switch (kind) {
    case DeviceRow::Kind::Partition: return "partition";
    case DeviceRow::Kind::Volume: return "volume";
    case DeviceRow::Kind::Unallocated: return "unallocated";
    case DeviceRow::Kind::WholeDrive: return "drive";
  }
  return "partition";
}

std::vector<DeviceDrive> ListDevices() {
  VolumeMap map;
  EnumerateVolumes(map);
  return BuildDrives(map, nullptr);
}

std::vector<DeviceDrive> ListImageDevices(const std::vector<std::string>& images) {
  std::vector<DriveInfo> drives;
  for (const std::string& image : images) drives.push_back(DriveInfo{image, std::string(), true});
  VolumeMap map;
  EnumerateVolumes(map, drives);
  return BuildDrives(map, &images);
}

}  // namespace rexmoor
