#include "formats/ntfs_record.h"

#include <algorithm>
#include <cstring>

#include "formats/sector_size.h"
#include "platform/byte_view.h"
#include "platform/text.h"

namespace rexmoor {

namespace {

// The boot sector's bytes per sector; 0 stands for 512.
std::uint32_t NtfsBootSectorSize(std::span<const std::uint8_t> boot) {
  const std::uint32_t bps = LoadU16LE(boot.data() + kNtfsBootBytesPerSector);
  return bps == 0 ? 512 : bps;
}

}  // namespace

bool IsNtfsClusterSectorCount(std::uint64_t sectorsPerCluster, std::uint32_t bytesPerSector) {
  return sectorsPerCluster != 0 && (sectorsPerCluster & (sectorsPerCluster - 1)) == 0 && bytesPerSector != 0 &&
         sectorsPerCluster <= kNtfsMaxClusterBytes / bytesPerSector;
}

std::optional<std::uint32_t> DecodeNtfsSectorsPerCluster(std::uint8_t value, std::uint32_t bytesPerSector) {
  std::uint32_t spc = value;
  if (value > 0x80) {
    const unsigned shift = 256u - value;
    if (shift >= 32) return std::nullopt;
    spc = 1u << shift;
  }
  if (!IsNtfsClusterSectorCount(spc, bytesPerSector)) return std::nullopt;
  return spc;
}

bool IsNtfsBootSector(std::span<const std::uint8_t> sector) {
  if (sector.size() < kNtfsBootMinBytes) return false;
  const std::uint8_t* s = sector.data();
  if (std::memcmp(s + kNtfsBootOemName, "NTFS    ", 8) != 0) return false;
  if (!IsSupportedSectorSize(NtfsBootSectorSize(sector))) return false;
  if (LoadU16LE(s + kNtfsBootReservedSectors) != 0) return false;
  if (!DecodeNtfsSectorsPerCluster(s[kNtfsBootSectorsPerCluster], NtfsBootSectorSize(sector))) return false;
  if (LoadU64LE(s + kNtfsBootTotalSectors) == 0) return false;
  // The FAT fields an NTFS boot sector leaves zero.
  for (std::size_t off : {16, 17, 18, 19, 20, 22, 23, 32, 33, 34, 35})
    if (s[off] != 0) return false;
  return s[kNtfsBootSignature] == 0x55 && s[kNtfsBootSignature + 1] == 0xAA;
}

std::optional<NtfsGeometry> ParseNtfsGeometry(std::span<const std::uint8_t> boot) {
  const ByteView view(boot);
  if (!view.Has(0, kNtfsBootMinBytes)) return std::nullopt;
  NtfsGeometry g;
  const std::uint32_t bps = NtfsBootSectorSize(boot);
  if (!IsSupportedSectorSize(bps)) return std::nullopt;
  const std::optional<std::uint32_t> decoded = DecodeNtfsSectorsPerCluster(*view.U8(kNtfsBootSectorsPerCluster), bps);
  if (!decoded) return std::nullopt;
  const std::uint32_t spc = *decoded;
  g.bytesPerSector = bps;
  g.sectorsPerCluster = spc;
  g.recordSize = bps == 512 ? 1024 : bps;
  g.sectorsPerRecord = g.recordSize / bps;
  g.totalSectors = *view.U64LE(kNtfsBootTotalSectors);
  g.mftCluster = *view.U64LE(kNtfsBootMftCluster);
  std::uint64_t mftSector = 0;
  if (__builtin_mul_overflow(g.mftCluster, std::uint64_t{spc}, &mftSector)) return std::nullopt;
  return g;
}

bool HasFileSignature(std::span<const std::uint8_t> record) {
  return record.size() >= 4 && std::memcmp(record.data(), "FILE", 4) == 0;
}

std::optional<RecordHeader> ParseRecordHeader(std::span<const std::uint8_t> record) {
  if (!HasFileSignature(record) || record.size() < kRecHeaderMin) return std::nullopt;
  const std::uint8_t* p = record.data();
  RecordHeader h;
  h.sequence = LoadU16LE(p + kRecSequence);
  h.firstAttribute = LoadU16LE(p + kRecFirstAttribute);
  h.flags = LoadU16LE(p + kRecFlags);
  h.bytesInUse = std::min<std::uint32_t>(LoadU32LE(p + kRecBytesInUse), static_cast<std::uint32_t>(record.size()));
  h.baseRecord = LoadU64LE(p + kRecBaseRecord);
  h.number = LoadU32LE(p + kRecNumber);
  // The header itself must come before the attributes, and the attributes inside the record.
  if (h.firstAttribute < kRecHeaderMin - 8 || h.firstAttribute >= h.bytesInUse) return std::nullopt;
  return h;
}

std::optional<RecordHeader> PrepareFileRecord(std::span<std::uint8_t> record) {
  auto header = ParseRecordHeader(record);
  if (!header) return std::nullopt;
  if (record.size() % kFixupStride != 0 || record.size() > kMaxRecordSize) return std::nullopt;
  const std::size_t strides = record.size() / kFixupStride;
  const std::uint16_t usaOffset = LoadU16LE(record.data() + kRecUsaOffset);
  const std::uint16_t usaCount = LoadU16LE(record.data() + kRecUsaCount);
  // The array (the sequence number and one saved word per stride) sits in the header, before the
  // first attribute, on an even offset.
  if (usaCount != strides + 1 || usaOffset % 2 != 0 || usaOffset < kRecUsaCount + 2) return std::nullopt;
  const std::size_t usaEnd = static_cast<std::size_t>(usaOffset) + 2u * usaCount;
  if (usaEnd > header->firstAttribute) return std::nullopt;
  for (std::size_t i = 0; i < strides; ++i) {
    std::uint8_t* tail = record.data() + (i + 1) * kFixupStride - 2;
    const std::uint8_t* saved = record.data() + usaOffset + 2 * (i + 1);
    tail[0] = saved[0];
    tail[1] = saved[1];
  }
  return header;
}

AttributeWalker::AttributeWalker(std::span<const std::uint8_t> record, const RecordHeader& header)
    : record_(record),
      at_(header.firstAttribute),
      end_(std::min<std::size_t>(header.bytesInUse, record.size())) {}

std::optional<Attribute> AttributeWalker::Next() {
  if (done_) return std::nullopt;
  done_ = true;  // until this attribute proves sound
  // One range check per header; the loads after it stay inside the checked range.
  const std::size_t room = at_ <= end_ ? end_ - at_ : 0;
  if (room < 4) {
    damaged_ = true;
    return std::nullopt;
  }
  const std::uint8_t* p = record_.data() + at_;
  Attribute a;
  a.type = LoadU32LE(p + kAttrType);
  if (a.type == kAttrEnd) return std::nullopt;
  if (a.type == 0 || a.type >= kAttrTypeLimit || room < kAttrResidentHeader) {
    damaged_ = true;
    return std::nullopt;
  }
  const std::uint32_t length = LoadU32LE(p + kAttrLength);
  if (length < kAttrResidentHeader || length % 8 != 0 || length > room) {
    damaged_ = true;
    return std::nullopt;
  }
  a.offset = at_;
  a.length = length;
  a.nonResident = p[kAttrNonResident] != 0;
  a.nameLength = p[kAttrNameLength];
  a.flags = LoadU16LE(p + kAttrFlags);
  const std::uint16_t nameOffset = LoadU16LE(p + kAttrNameOffset);
  const ByteView attr(p, length);
  if (a.nameLength != 0 && !attr.Has(nameOffset, 2u * a.nameLength)) {
    damaged_ = true;
    return std::nullopt;
  }
  if (a.nameLength != 0) a.name = std::span<const std::uint8_t>(p + nameOffset, 2u * a.nameLength);
  if (!a.nonResident) {
    const std::uint32_t valueLength = LoadU32LE(p + kAttrValueLength);
    const std::uint16_t valueOffset = LoadU16LE(p + kAttrValueOffset);
    if (valueOffset < kAttrResidentHeader || !attr.Has(valueOffset, valueLength)) {
      damaged_ = true;
      return std::nullopt;
    }
    a.value = std::span<const std::uint8_t>(p + valueOffset, valueLength);
  } else {
    if (length < kAttrNonResidentHeader) {
      damaged_ = true;
      return std::nullopt;
    }
    const std::uint16_t runsOffset = LoadU16LE(p + kAttrRunsOffset);
    if (runsOffset < kAttrNonResidentHeader || runsOffset > length) {
      damaged_ = true;
      return std::nullopt;
    }
    a.runs = std::span<const std::uint8_t>(p + runsOffset, length - runsOffset);
    a.lowestVcn = LoadU64LE(p + kAttrLowestVcn);
    a.highestVcn = LoadU64LE(p + kAttrHighestVcn);
    a.allocatedSize = LoadU64LE(p + kAttrAllocatedSize);
    a.realSize = LoadU64LE(p + kAttrRealSize);
    a.initializedSize = LoadU64LE(p + kAttrInitializedSize);
  }
  at_ += length;
  done_ = false;
  return a;
}

std::optional<Attribute> FindAttribute(std::span<const std::uint8_t> record, const RecordHeader& header,
                                       std::uint32_t type, bool unnamedOnly) {
  AttributeWalker walk(record, header);
  while (auto a = walk.Next()) {
    if (a->type == type && (!unnamedOnly || a->Unnamed())) return a;
  }
  return std::nullopt;
}

std::vector<Attribute> NamedDataStreams(std::span<const std::uint8_t> record, const RecordHeader& header) {
  std::vector<Attribute> out;
  AttributeWalker walk(record, header);
  while (auto a = walk.Next()) {
    if (a->type != kAttrData || a->Unnamed() || (a->nonResident && a->lowestVcn != 0)) continue;
    if (out.size() == kMaxNamedStreams) break;
    out.push_back(*a);
  }
  return out;
}

std::optional<FileNameInfo> ParseFileName(std::span<const std::uint8_t> value) {
  const ByteView view(value);
  if (!view.Has(0, kFnName)) return std::nullopt;
  FileNameInfo info;
  info.parentReference = *view.U64LE(kFnParentRef);
  info.created = *view.U64LE(kFnCreated);
  info.modified = *view.U64LE(kFnModified);
  info.mftModified = *view.U64LE(kFnMftModified);
  info.accessed = *view.U64LE(kFnAccessed);
  info.realSize = *view.U64LE(kFnRealSize);
  const std::uint8_t units = *view.U8(kFnNameLength);
  info.nameSpace = *view.U8(kFnNamespace);
  auto name = view.Sub(kFnName, 2u * units);
  if (!name || units == 0) return std::nullopt;
  info.nameBytes = *name;
  return info;
}

std::string FileNameText(const FileNameInfo& name, std::size_t maxBytes) {
  return Utf16NameText(name.nameBytes, maxBytes);
}

std::string Utf16NameText(std::span<const std::uint8_t> bytes, std::size_t maxBytes) {
  // UTF-16LE straight to UTF-8; an unpaired surrogate becomes U+FFFD.
  std::string text;
  text.reserve(bytes.size() * 3 / 2);
  const std::size_t units = bytes.size() / 2;
  const std::uint8_t* p = bytes.data();
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t c = LoadU16LE(p + 2 * i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
      const std::uint32_t low = LoadU16LE(p + 2 * (i + 1));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else if (c < 0x800) {
      text += static_cast<char>(0xC0 | (c >> 6));
      text += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      text += static_cast<char>(0xE0 | (c >> 12));
      text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | (c >> 18));
      text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  text.resize(TruncateUtf8(text, maxBytes).size());
  return text;
}

int FileNameRank(std::uint8_t nameSpace) {
  switch (nameSpace) {
    case kNameWin32:
    case kNameWin32AndDos: return 3;
    case kNamePosix: return 2;
    case kNameDos: return 1;
    default: return 0;
  }
}

std::optional<NtfsTimes> ParseStandardTimes(std::span<const std::uint8_t> value) {
  const ByteView view(value);
  if (!view.Has(0, kSiTimesEnd)) return std::nullopt;
  NtfsTimes t;
  t.created = *view.U64LE(kSiCreated);
  t.modified = *view.U64LE(kSiModified);
  t.mftModified = *view.U64LE(kSiMftModified);
  t.accessed = *view.U64LE(kSiAccessed);
  return t;
}

NtfsTimes FileTimesOf(std::span<const std::uint8_t> record, const RecordHeader& header, const FileNameInfo& name) {
  const std::optional<Attribute> si = FindAttribute(record, header, kAttrStandardInformation, false);
  if (si && !si->nonResident) {
    if (std::optional<NtfsTimes> t = ParseStandardTimes(si->value)) return *t;
  }
  return NtfsTimes{name.created, name.modified, name.mftModified, name.accessed};
}

std::optional<AttributeListEntry> ParseAttributeListEntry(std::span<const std::uint8_t> list, std::size_t offset,
                                                          std::size_t& next) {
  const ByteView view(list);
  if (!view.Has(offset, kAlEntryMin)) return std::nullopt;
  AttributeListEntry e;
  e.type = *view.U32LE(offset + kAlType);
  if (e.type == 0 || e.type == kAttrEnd) return std::nullopt;
  const std::uint16_t length = *view.U16LE(offset + kAlLength);
  if (length < kAlEntryMin || !view.Has(offset, length)) return std::nullopt;
  e.nameLength = *view.U8(offset + kAlNameLength);
  if (e.nameLength != 0) {
    const std::size_t nameOffset = *view.U8(offset + kAlNameOffset);
    // A name that does not fit matches no stream; the entry itself is still good.
    if (nameOffset <= length && 2u * e.nameLength <= length - nameOffset)
      e.name = list.subspan(offset + nameOffset, 2u * e.nameLength);
  }
  e.lowestVcn = *view.U64LE(offset + kAlLowestVcn);
  e.recordReference = *view.U64LE(offset + kAlRecordRef) & 0x0000FFFFFFFFFFFFull;
  next = offset + length;
  return e;
}

}  // namespace rexmoor
