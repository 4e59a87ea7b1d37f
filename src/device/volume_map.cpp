#include "device/volume_map.h"

#include <blkid/blkid.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "device/container_source.h"
#include "device/mount_table.h"
#include "platform/geometry.h"
#include "platform/text.h"

namespace rexmoor {

namespace fs = std::filesystem;

namespace {

// What a container's disk shows its probes: the first and last stretches of the disk and of
// each volume (boot sectors, backup tables, the first metadata of a fresh file system).
constexpr std::uint64_t kShadowHead = 4ull << 20;
constexpr std::uint64_t kShadowTail = 1ull << 20;

// A hostile partition table cannot make the list grow without end.
constexpr int kMaxPartitions = 256;
constexpr std::size_t kMaxLabelBytes = 128;
constexpr std::size_t kMaxFileSystemNameBytes = 32;
// Before any geometry is read, a cylinder is taken as 255 x 63 sectors.
constexpr std::uint64_t kDefaultSectorsPerCylinder = 16065;

struct ProbeDeleter {
  void operator()(blkid_probe probe) const { blkid_free_probe(probe); }
};
using ProbePtr = std::unique_ptr<std::remove_pointer_t<blkid_probe>, ProbeDeleter>;

// A partition as the table holds it, in 512-byte units (libblkid's and the kernel's unit).
struct TablePartition {
  int number = -1;
  std::uint64_t start512 = 0;
  std::uint64_t size512 = 0;
  std::uint8_t typeByte = 0;  // MBR type; 0 for other tables
  std::string typeGuid;       // GPT type, lower case
};

struct DriveLayout {
  std::string tableType;
  std::vector<TablePartition> partitions;
};

std::string ReadSysLine(const fs::path& path) { return ReadSysfsLine(path.string()); }

std::optional<std::uint64_t> ReadSysNumber(const fs::path& path) { return ReadSysfsNumber(path.string()); }

// Removable media, or a card reader's bus, from the drive's sysfs folder.
bool DriveRemovable(const std::string& sysName) {
  const fs::path sys = fs::path("/sys/block") / sysName;
  std::error_code ec;
  return RemovableFromFacts(ReadSysLine(sys / "removable") == "1", fs::canonical(sys / "device", ec).string());
}

// Text from a medium or the udev database: printable UTF-8 only, capped on a character boundary.
std::string CleanText(const char* data, std::size_t length, std::size_t maxBytes) {
  std::string out;
  for (std::size_t i = 0; i < length && data[i] != '\0'; ++i) {
    const auto c = static_cast<unsigned char>(data[i]);
    out.push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (out.size() > maxBytes) {
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  return out;
}

// The file-system names the rest of the program knows, from libblkid's TYPE and VERSION.
std::string FileSystemName(const std::string& type, const std::string& version) {
  if (type == "ntfs" || type == "ntfs3") return "NTFS";
  if (type == "vfat" || type == "msdos") return version == "FAT32" ? "FAT32" : "FAT";
  if (type == "exfat") return "exFAT";
  return CleanText(type.data(), type.size(), kMaxFileSystemNameBytes);
}

std::uint8_t KindOfFileSystem(const std::string& name) {
  const std::string lower = ToLowerAscii(name);
  if (lower == "ntfs") return kKindNtfs;
  if (lower == "fat32") return kKindFat32;
  if (lower == "fat") return kKindFat;
  return 0;
}

// GPT partitions carry no type byte; they get the MBR type of the same purpose.
std::uint8_t KindOfGptType(const std::string& guid) {
  static constexpr std::pair<const char*, std::uint8_t> kTypes[] = {
      {"ebd0a0a2-b9e5-4433-87c0-68b6b72699c7", 0x07},  // basic data
      {"0fc63daf-8483-4772-8e79-3d69d8477de4", 0x83},  // Linux file system
      {"0657fd6d-a4ab-43c4-84e5-0933c84b4f4f", 0x82},  // Linux swap
      {"c12a7328-f81f-11d2-ba4b-00a0c93ec93b", 0xEF},  // EFI system
  };
  for (const auto& [type, kind] : kTypes)
    if (guid == type) return kind;
  return 0xEE;
}

bool IsExtendedType(std::uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

// Reads the partition table of an open drive. An empty layout when it holds none.
DriveLayout ReadLayout(const FileHandle& drive) {
  DriveLayout layout;
  ProbePtr probe(blkid_new_probe());
  if (!probe || blkid_probe_set_device(probe.get(), drive.fd(), 0, 0) != 0) return layout;
  blkid_probe_enable_superblocks(probe.get(), 0);
  blkid_probe_enable_partitions(probe.get(), 1);
  blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_ENTRY_DETAILS);
  blkid_partlist list = blkid_probe_get_partitions(probe.get());
  if (list == nullptr) return layout;
  if (blkid_parttable table = blkid_partlist_get_table(list); table != nullptr) {
    const char* type = blkid_parttable_get_type(table);
    if (type != nullptr) layout.tableType = CleanText(type, std::char_traits<char>::length(type), 16);
  }
  const int count = std::min(blkid_partlist_numof_partitions(list), kMaxPartitions);
  for (int i = 0; i < count; ++i) {
    blkid_partition part = blkid_partlist_get_partition(list, i);
    if (part == nullptr || blkid_partition_is_extended(part)) continue;
    const blkid_loff_t start = blkid_partition_get_start(part);
    const blkid_loff_t size = blkid_partition_get_size(part);
    if (start < 0 || size <= 0) continue;
    TablePartition p;
    p.number = blkid_partition_get_partno(part);
    p.start512 = static_cast<std::uint64_t>(start);
    p.size512 = static_cast<std::uint64_t>(size);
    const int type = blkid_partition_get_type(part);
    if (type > 0 && type < 256) p.typeByte = static_cast<std::uint8_t>(type);
    if (const char* guid = blkid_partition_get_type_string(part); guid != nullptr)
      p.typeGuid = ToLowerAscii(CleanText(guid, std::char_traits<char>::length(guid), 40));
    if (IsExtendedType(p.typeByte)) continue;
    layout.partitions.push_back(p);
  }
  return layout;
}

std::string LookupValue(blkid_probe probe, const char* name) {
  const char* data = nullptr;
  std::size_t length = 0;
  if (blkid_probe_lookup_value(probe, name, &data, &length) != 0 || data == nullptr) return {};
  return CleanText(data, length, kMaxLabelBytes);
}

// The kernel's block device of a drive's partition, keyed by its start (512-byte units).
struct KernelPartition {
  std::string device;  // /dev/sdb1
  int number = -1;
  std::uint64_t start512 = 0;
  std::uint64_t size512 = 0;
  dev_t devno = 0;
};

std::vector<KernelPartition> KernelPartitions(const std::string& sysName) {
  std::vector<KernelPartition> out;
  if (sysName.empty()) return out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::path("/sys/block") / sysName, ec)) {
    if (!fs::exists(entry.path() / "partition", ec)) continue;
    KernelPartition p;
    p.device = "/dev/" + entry.path().filename().string();
    auto number = ReadSysNumber(entry.path() / "partition");
    auto start = ReadSysNumber(entry.path() / "start");
    auto size = ReadSysNumber(entry.path() / "size");
    if (!number || !start || !size || *number > 100000) continue;
    p.number = static_cast<int>(*number);
    p.start512 = *start;
    p.size512 = *size;
    unsigned major = 0, minor = 0;
    if (std::sscanf(ReadSysLine(entry.path() / "dev").c_str(), "%u:%u", &major, &minor) == 2)
      p.devno = makedev(major, minor);
    out.push_back(p);
    if (out.size() >= static_cast<std::size_t>(kMaxPartitions)) break;
  }
  return out;
}

// What udev learnt about a device (file system, label, partition type) without reading it:
// the listing of a drive this user may not open.
std::map<std::string, std::string> UdevProperties(dev_t devno) {
  std::map<std::string, std::string> props;
  char name[64];
  std::snprintf(name, sizeof name, "/run/udev/data/b%u:%u", major(devno), minor(devno));
  std::ifstream in(name);
  std::string line;
  for (int lines = 0; lines < 4096 && std::getline(in, line); ++lines) {
    if (line.rfind("E:", 0) != 0) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    props[line.substr(2, eq - 2)] = CleanText(line.data() + eq + 1, line.size() - eq - 1, kMaxLabelBytes);
  }
  return props;
}

// Mount point of each mounted block device, the first mount of each.
std::map<dev_t, std::string> MountPoints() {
  std::map<dev_t, std::string> mounts;
  for (const MountRecord& mount : ReadMountTable()) mounts.emplace(mount.device, mount.mountPoint);
  return mounts;
}

void SetMountedSpace(VolumeEntry& entry, const std::string& mountPoint) {
  entry.mountPoint = mountPoint;
  struct statvfs st {};
  if (!mountPoint.empty() && ::statvfs(mountPoint.c_str(), &st) == 0) {
    entry.totalBytes = std::uint64_t{st.f_blocks} * st.f_frsize;
    entry.freeBytes = std::uint64_t{st.f_bavail} * st.f_frsize;
  }
  entry.usedBytes = entry.totalBytes >= entry.freeBytes ? entry.totalBytes - entry.freeBytes : 0;
}

VolumeEntry PartitionEntry(std::int32_t driveNumber, const TablePartition& p, std::uint32_t bytesPerSector) {
  VolumeEntry entry;
  entry.driveNumber = driveNumber;
  entry.partitionNumber = p.number;
  entry.start = p.start512 * 512 / bytesPerSector;
  entry.length = p.size512 * 512 / bytesPerSector;
  entry.kind = p.typeByte != 0 ? p.typeByte : (p.typeGuid.empty() ? 0xEE : KindOfGptType(p.typeGuid));
  entry.totalBytes = entry.length * bytesPerSector;
  return entry;
}

void ApplyFileSystem(VolumeEntry& entry, const FileSystemFacts& facts) {
  entry.fileSystemName = facts.name;
  entry.label = facts.label;
  if (std::uint8_t kind = KindOfFileSystem(facts.name); kind != 0) entry.kind = kind;
}

// A drive this user may not open: its partitions as the kernel and udev know them.
void ListUnreadableDrive(std::int32_t driveNumber, const std::vector<KernelPartition>& kernel, DriveFacts& facts,
                         std::vector<VolumeEntry>& entries) {
  // Without udev the mount table still knows the file system of a mounted partition.
  const std::vector<MountRecord> mountTable = ReadMountTable();
  for (const KernelPartition& k : kernel) {
    auto props = UdevProperties(k.devno);
    if (props["ID_FS_TYPE"].empty()) {
      for (const MountRecord& mount : mountTable)
        if (mount.device == k.devno) {
          props["ID_FS_TYPE"] = mount.fsType;
          break;
        }
    }
    auto value = [&](const char* key) {
      auto it = props.find(key);
      return it == props.end() ? std::string() : it->second;
    };
    const std::string partType = value("ID_PART_ENTRY_TYPE");
    TablePartition p{k.number, k.start512, k.size512, 0, {}};
    if (partType.rfind("0x", 0) == 0) {
      p.typeByte = static_cast<std::uint8_t>(std::strtoul(partType.c_str() + 2, nullptr, 16) & 0xFF);
    } else {
      p.typeGuid = ToLowerAscii(partType);
    }
    // The kernel shows an extended partition as a two-sector stub.
    if (IsExtendedType(p.typeByte) || (p.typeByte == 0 && k.size512 <= 2)) continue;
    VolumeEntry entry = PartitionEntry(driveNumber, p, facts.bytesPerSector);
    ApplyFileSystem(entry, FileSystemFacts{FileSystemName(value("ID_FS_TYPE"), value("ID_FS_VERSION")),
                                           value("ID_FS_LABEL")});
    entry.volumePath = k.device;
    entries.push_back(entry);
    if (facts.tableType.empty()) facts.tableType = value("ID_PART_TABLE_TYPE");
  }
}

// The boot records of an MBR disk's logical partitions lie anywhere in its extended partition:
// each one met along the chain is copied into the container's shadow, so that libblkid finds them.
void ShadowExtendedChains(MediumReader& container, const FileHandle& shadow) {
  constexpr std::size_t kTable = 446, kEntry = 16, kType = 4, kStart = 8;
  constexpr int kMaxLogical = 256;
  std::uint8_t mbr[512] = {};
  if (shadow.ReadFully(mbr, sizeof mbr, 0) != kSuccess || mbr[510] != 0x55 || mbr[511] != 0xAA) return;
  const auto le32 = [](const std::uint8_t* p) {
    return std::uint64_t{p[0]} | std::uint64_t{p[1]} << 8 | std::uint64_t{p[2]} << 16 | std::uint64_t{p[3]} << 24;
  };
  const std::uint64_t diskSectors = container.Size() / 512;
  for (std::size_t i = 0; i < 4; ++i) {
    const std::uint8_t* entry = mbr + kTable + i * kEntry;
    if (!IsExtendedType(entry[kType])) continue;
    const std::uint64_t extended = le32(entry + kStart);
    std::uint64_t ebr = extended;
    for (int n = 0; n < kMaxLogical && ebr != 0 && ebr < diskSectors; ++n) {
      CopyIntoShadow(container, shadow, ebr * 512, 512);
      std::uint8_t record[512] = {};
      if (shadow.ReadFully(record, sizeof record, ebr * 512) != kSuccess || record[510] != 0x55 || record[511] != 0xAA)
        break;
      const std::uint8_t* next = record + kTable + kEntry;
      const std::uint64_t relative = le32(next + kStart);
      if (!IsExtendedType(next[kType]) || relative == 0) break;
      ebr = extended + relative;
    }
  }
}

std::vector<VolumeEntry> EnumerateDrive(std::int32_t driveNumber, const DriveInfo& drive, DriveFacts& facts,
                                        DiskGeometry& geometry, bool& geometryRead,
                                        const std::map<dev_t, std::string>& mounts) {
  std::vector<VolumeEntry> entries;
  facts.path = drive.path;
  facts.imageFile = drive.isImageStandIn;
  const std::vector<KernelPartition> kernel =
      drive.isImageStandIn ? std::vector<KernelPartition>() : KernelPartitions(drive.sysName);
  if (!drive.isImageStandIn) facts.removable = DriveRemovable(drive.sysName);

  FileHandle handle;
  // A listing asks nobody for a password; a drive udisks2 opened before is read again.
  Result opened = FileHandle::OpenReadOnlyWithoutAsking(drive.path, handle);
  // libblkid reads through a descriptor: a container's disk is probed in a memory file that
  // holds the stretches the probes look at (the tables at both ends, each volume's start and end).
  std::shared_ptr<MediumReader> container;
  if (opened == kSuccess && drive.isImageStandIn) {
    std::string ignored;
    opened = OpenContainer(drive.path, container, ignored);
    if (opened == kSuccess && container) {
      opened = MakeShadowMedium(*container, handle);
      if (opened == kSuccess) {
        CopyIntoShadow(*container, handle, 0, kShadowHead);
        if (container->Size() > kShadowTail) CopyIntoShadow(*container, handle, container->Size() - kShadowTail, kShadowTail);
        ShadowExtendedChains(*container, handle);
      }
    }
  }
  geometryRead = opened == kSuccess && GetDriveGeometry(handle, geometry) == kSuccess &&
                 geometry.bytesPerSector >= 512 && geometry.bytesPerSector <= 65536;
  if (geometryRead) {
    facts.bytesPerSector = geometry.bytesPerSector;
    (void)GetLengthBytes(handle, facts.totalBytes);
  }
  if (opened != kSuccess || !geometryRead) {
    facts.unreadable = opened == kErrAccessDenied;
    struct stat st {};
    if (drive.isImageStandIn && ::stat(drive.path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      facts.totalBytes = static_cast<std::uint64_t>(st.st_size);
    if (auto size = ReadSysNumber(fs::path("/sys/block") / drive.sysName / "size"); size && !drive.isImageStandIn)
      facts.totalBytes = *size * 512;
    if (auto block = ReadSysNumber(fs::path("/sys/block") / drive.sysName / "queue" / "logical_block_size");
        block && *block >= 512 && *block <= 65536 && !drive.isImageStandIn)
      facts.bytesPerSector = static_cast<std::uint32_t>(*block);
    if (facts.unreadable) ListUnreadableDrive(driveNumber, kernel, facts, entries);
  } else {
    const DriveLayout layout = ReadLayout(handle);
    facts.tableType = layout.tableType;
    const std::uint64_t driveSectors512 = facts.totalBytes / 512;
    for (const TablePartition& p : layout.partitions) {
      // Entries that pass the drive's end are a corrupt table's; what lies inside is kept.
      if (p.start512 >= driveSectors512) continue;
      TablePartition clipped = p;
      clipped.size512 = std::min(p.size512, driveSectors512 - p.start512);
      VolumeEntry entry = PartitionEntry(driveNumber, clipped, facts.bytesPerSector);
      if (container) {
        CopyIntoShadow(*container, handle, clipped.start512 * 512, std::min(clipped.size512 * 512, kShadowHead));
        if (clipped.size512 * 512 > kShadowTail)
          CopyIntoShadow(*container, handle, (clipped.start512 + clipped.size512) * 512 - kShadowTail, kShadowTail);
      }
      FileSystemFacts found;
      if (ProbeFileSystem(handle, clipped.start512 * 512, clipped.size512 * 512, found)) ApplyFileSystem(entry, found);
      for (const KernelPartition& k : kernel)
        if (k.start512 == p.start512) entry.volumePath = k.device;
      entries.push_back(entry);
    }
    // No partition table: a file system may fill the whole drive, as on many cards.
    FileSystemFacts whole;
    if (layout.tableType.empty() && entries.empty() && facts.totalBytes >= facts.bytesPerSector &&
        ProbeFileSystem(handle, 0, facts.totalBytes, whole)) {
      VolumeEntry entry;
      entry.driveNumber = driveNumber;
      entry.length = facts.totalBytes / facts.bytesPerSector;
      entry.totalBytes = entry.length * facts.bytesPerSector;
      ApplyFileSystem(entry, whole);
      if (entry.kind == 0) entry.kind = 0xFF;  // a volume, not a bare drive
      entries.push_back(entry);
    }
  }
  for (VolumeEntry& entry : entries) {
    std::string mountPoint;
    for (const KernelPartition& k : kernel)
      if (k.device == entry.volumePath) {
        auto it = mounts.find(k.devno);
        if (it != mounts.end()) mountPoint = it->second;
      }
    if (entry.volumePath.empty() && entry.start == 0 && !drive.isImageStandIn) {
      struct stat st {};
      if (::stat(drive.path.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        auto it = mounts.find(st.st_rdev);
        if (it != mounts.end()) mountPoint = it->second;
      }
    }
    SetMountedSpace(entry, mountPoint);
  }
  return entries;
}

}  // namespace

bool ProbeFileSystem(const FileHandle& medium, std::uint64_t offsetBytes, std::uint64_t lengthBytes,
                     FileSystemFacts& out) {
  out = FileSystemFacts{};
  if (!medium.IsValid() || lengthBytes == 0 || offsetBytes > static_cast<std::uint64_t>(INT64_MAX) ||
      lengthBytes > static_cast<std::uint64_t>(INT64_MAX) - offsetBytes)
    return false;
  ProbePtr probe(blkid_new_probe());
  if (!probe || blkid_probe_set_device(probe.get(), medium.fd(), static_cast<blkid_loff_t>(offsetBytes),
                                       static_cast<blkid_loff_t>(lengthBytes)) != 0)
    return false;
  blkid_probe_enable_partitions(probe.get(), 0);
  blkid_probe_enable_superblocks(probe.get(), 1);
  blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_VERSION);
  if (blkid_do_safeprobe(probe.get()) != 0) return false;
  const std::string type = LookupValue(probe.get(), "TYPE");
  if (type.empty()) return false;
  out.name = FileSystemName(type, LookupValue(probe.get(), "VERSION"));
  out.label = LookupValue(probe.get(), "LABEL");
  return true;
}

bool RemovableFromFacts(bool removableFlag, const std::string& sysfsDevicePath) {
  if (removableFlag) return true;
  // Card readers often report fixed media; their bus tells what they are.
  return sysfsDevicePath.find("/usb") != std::string::npos || sysfsDevicePath.find("/mmc_host/") != std::string::npos;
}

void AddUnallocatedAreas(std::vector<VolumeEntry>& entries, std::int32_t driveNumber, std::uint64_t totalSectors,
                         std::uint32_t bytesPerSector, std::uint64_t sectorsPerTrack,
                         std::uint64_t sectorsPerCylinder) {
  std::vector<VolumeEntry> areas;
  auto addArea = [&](std::uint64_t start, std::uint64_t length) {
    VolumeEntry area;
    area.driveNumber = driveNumber;
    area.start = start;
    area.length = length;
    area.totalBytes = area.freeBytes = length * bytesPerSector;
    areas.push_back(area);
  };
  std::uint64_t previousEnd = sectorsPerTrack;
  for (const VolumeEntry& entry : entries) {
    if (entry.start > previousEnd && entry.start - previousEnd > sectorsPerCylinder)
      addArea(previousEnd, entry.start - previousEnd);
    // A partition nested in an earlier one must not move the end back.
    previousEnd = std::max(previousEnd, entry.start + entry.length);
  }
  if (totalSectors > previousEnd && totalSectors - previousEnd > sectorsPerCylinder)
    addArea(previousEnd, totalSectors - previousEnd);
  entries.insert(entries.end(), areas.begin(), areas.end());
  std::stable_sort(entries.begin(), entries.end(),
                   [](const VolumeEntry& a, const VolumeEntry& b) { return a.start < b.start; });
}

void NumberVolumes(VolumeMap& map) {
  std::uint32_t position = 1;
  for (auto& [drive, entries] : map.drives)
    for (VolumeEntry& entry : entries) {
      if (entry.letter == kNoLetter) entry.letter = static_cast<char16_t>(position);
      ++position;
    }
}

bool EnumerateVolumes(VolumeMap& map) { return EnumerateVolumes(map, ListSystemDrives()); }

bool EnumerateVolumes(VolumeMap& map, const std::vector<DriveInfo>& drives) {
  map = VolumeMap{};
  const std::map<dev_t, std::string> mounts = MountPoints();
  for (std::size_t i = 0; i < drives.size() && i < 1024; ++i) {
    const auto driveNumber = static_cast<std::int32_t>(drives[i].number >= 0 ? drives[i].number : static_cast<int>(i));
    DriveFacts facts;
    DiskGeometry geometry;
    bool geometryRead = false;
    std::vector<VolumeEntry> entries = EnumerateDrive(driveNumber, drives[i], facts, geometry, geometryRead, mounts);
    std::sort(entries.begin(), entries.end(),
              [](const VolumeEntry& a, const VolumeEntry& b) { return a.start < b.start; });
    const std::uint64_t totalSectors = facts.totalBytes / facts.bytesPerSector;
    if (geometryRead) map.bytesPerSector = facts.bytesPerSector;
    if (geometryRead && !entries.empty()) {
      map.bytesPerSector = facts.bytesPerSector;
      const std::uint64_t perCylinder = std::uint64_t{geometry.tracksPerCylinder} * geometry.sectorsPerTrack;
      AddUnallocatedAreas(entries, driveNumber, totalSectors, facts.bytesPerSector, geometry.sectorsPerTrack,
                          perCylinder != 0 ? perCylinder : kDefaultSectorsPerCylinder);
    }
    // A drive without volumes is offered whole.
    if (entries.empty() && totalSectors > 0) {
      VolumeEntry whole;
      whole.driveNumber = driveNumber;
      whole.length = totalSectors;
      whole.totalBytes = whole.freeBytes = totalSectors * facts.bytesPerSector;
      entries.push_back(whole);
    }
    if (entries.empty() && !facts.unreadable) continue;
    map.drives[driveNumber] = std::move(entries);
    map.facts[driveNumber] = facts;
  }
  NumberVolumes(map);
  return true;
}

void FlattenVolumes(const VolumeMap& map, std::vector<VolumeEntry>& out) {
  out.clear();
  for (const auto& [drive, entries] : map.drives) out.insert(out.end(), entries.begin(), entries.end());
}

void FindRemovedVolumes(VolumeMap& map, const std::vector<VolumeEntry>& previous, std::vector<VolumeEntry>& out) {
  EnumerateVolumes(map);
  std::vector<VolumeEntry> current;
  FlattenVolumes(map, current);
  for (const VolumeEntry& old : previous) {
    const bool present = std::any_of(current.begin(), current.end(), [&](const VolumeEntry& now) {
      return now.driveNumber == old.driveNumber && now.start == old.start;
    });
    if (!present) out.push_back(old);
  }
}

bool IsRemovableDrive(std::int32_t driveNumber) {
  const auto drives = ListDrives();
  if (driveNumber < 0 || static_cast<std::size_t>(driveNumber) >= drives.size()) return false;
  const DriveInfo& drive = drives[static_cast<std::size_t>(driveNumber)];
  if (drive.isImageStandIn || drive.sysName.empty()) return false;
  return DriveRemovable(drive.sysName);
}

Result GetDriveLength(std::int32_t driveNumber, std::uint64_t& bytes) {
  std::string path;
  if (Result r = DrivePath(driveNumber, path); r != kSuccess) return r;
  FileHandle handle;
  if (Result r = FileHandle::OpenReadOnly(path, handle); r != kSuccess) return r;
  if (!handle.IsBlockDevice()) {
    std::shared_ptr<MediumReader> container;
    std::string ignored;
    if (Result r = OpenContainer(path, container, ignored); r != kSuccess) return r;
    if (container) {
      bytes = container->Size();
      return kSuccess;
    }
  }
  return GetLengthBytes(handle, bytes);
}

}  // namespace rexmoor
