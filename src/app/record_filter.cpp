#include "app/record_filter.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "ext/fast_ext_recovery.h"
#include "scan/professional_recovery.h"
#include "platform/clock.h"

namespace rexmoor {

namespace {

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

bool ParseInt(std::string_view text, int& out) {
  if (text.empty() || text.size() > 5) return false;
  out = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    out = out * 10 + (c - '0');
  }
  return true;
}

}  // namespace

FoundHow FoundHowOf(const FoundFileRecord& record) {
  switch (record.engineTag) {
    case kTagFileType: return FoundHow::Carved;
    case kTagProNtfs:
    case kTagProFat:
    case kTagProExfat: return FoundHow::Formatted;
    default: return FoundHow::Deleted;
  }
}

Condition ConditionOf(const FoundFileRecord& record) {
  if (record.contentState == 0) return Condition::PossiblyOverwritten;
  if (record.contentState == 2) return Condition::Incomplete;
  return Condition::Intact;
}

const char* ConditionText(Condition condition) {
  switch (condition) {
    case Condition::PossiblyOverwritten: return "possibly overwritten";
    case Condition::Incomplete: return "incomplete (end estimated)";
    case Condition::Intact: break;
  }
  return "intact";
}

const char* DataSourceText(const FoundFileRecord& record) {
  if (record.engineTag == kTagFileType) return "carved";
  if (record.engineTag != kTagFastExt || record.isFolder != 0) return nullptr;
  switch (ExtDataSourceOf(record)) {
    case ExtDataSource::Inode: return "inode";
    case ExtDataSource::Journal: return "journal";
    case ExtDataSource::ExtentLeaf: return "extent-leaf";
    case ExtDataSource::None: break;
  }
  return nullptr;
}

const char* NameSourceText(const FoundFileRecord& record) {
  if (record.engineTag != kTagFastExt) return nullptr;
  switch (ExtNameSourceOf(record)) {
    case ExtNameSource::Directory: return "directory";
    case ExtNameSource::DeletedEntry: return "deleted-entry";
    case ExtNameSource::Journal: return "journal";
    case ExtNameSource::None: break;
  }
  return "none";
}

std::optional<FileOwnership> OwnershipOf(IFileRecoveryParse& engine, const FoundFileRecord& record) {
  if (record.engineTag != kTagFastExt) return std::nullopt;
  auto* ext = dynamic_cast<CFastExtRecovery*>(&engine);
  if (ext == nullptr)
    if (auto* deep = dynamic_cast<CProfessionalRecovery*>(&engine)) ext = dynamic_cast<CFastExtRecovery*>(deep->QuickEngine());
  if (ext == nullptr) return std::nullopt;
  const std::optional<CFastExtRecovery::Ownership> owner = ext->OwnershipOf(record);
  if (!owner) return std::nullopt;
  return FileOwnership{owner->mode, owner->uid, owner->gid};
}

std::string PermissionText(std::uint16_t mode) {
  std::string text = "rwxrwxrwx";
  for (int k = 0; k < 9; ++k)
    if ((mode & (0400 >> k)) == 0) text[static_cast<std::size_t>(k)] = '-';
  auto special = [&text](std::size_t at, bool set, char withX, char withoutX) {
    if (set) text[at] = text[at] == 'x' ? withX : withoutX;
  };
  special(2, (mode & 04000) != 0, 's', 'S');
  special(5, (mode & 02000) != 0, 's', 'S');
  special(8, (mode & 01000) != 0, 't', 'T');
  return text;
}

bool WildcardMatch(std::string_view pattern, std::string_view text) {
  // The classic two-pointer match with one backtrack point: linear in practice, never recursive.
  std::size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(text[t]))) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool RecordFilter::Empty() const {
  return name.empty() && !minSize && !maxSize && !since && !until && how == 0 && conditions == 0;
}

bool RecordFilter::Matches(const FoundFileRecord& record) const {
  if (Empty()) return true;
  if (record.isFolder != 0) return false;
  if (!name.empty()) {
    const std::string_view recordName = RecordName(record);
    const bool wild = name.find_first_of("*?") != std::string::npos;
    if (!WildcardMatch(wild ? name : "*" + name + "*", recordName)) return false;
  }
  if (minSize && record.size < *minSize) return false;
  if (maxSize && record.size > *maxSize) return false;
  if ((since || until) && record.modifiedTime == 0) return false;
  if (since && record.modifiedTime < *since) return false;
  if (until && record.modifiedTime > *until) return false;
  if (how != 0 && (how & Bit(FoundHowOf(record))) == 0) return false;
  if (conditions != 0 && (conditions & Bit(ConditionOf(record))) == 0) return false;
  return true;
}

std::optional<std::uint64_t> ParseSizeText(std::string_view text) {
  text = Trimmed(text);
  if (text.empty() || text.size() > 32) return std::nullopt;
  std::uint64_t unit = 1;
  switch (Lower(text.back())) {
    case 'k': unit = 1ull << 10; break;
    case 'm': unit = 1ull << 20; break;
    case 'g': unit = 1ull << 30; break;
    case 't': unit = 1ull << 40; break;
    default: break;
  }
  if (unit != 1) text.remove_suffix(1);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front()))) return std::nullopt;
  const std::string digits(text);
  char* end = nullptr;
  const double value = std::strtod(digits.c_str(), &end);
  if (end == nullptr || *end != '\0' || !std::isfinite(value) || value < 0) return std::nullopt;
  const double bytes = std::floor(value * static_cast<double>(unit));
  if (bytes > 1.8e19) return std::nullopt;
  return static_cast<std::uint64_t>(bytes);
}

std::optional<std::uint64_t> ParseDateText(std::string_view text, bool endOfDay) {
  text = Trimmed(text);
  // YYYY-MM-DD, then optionally ' ' or 'T' and HH:MM or HH:MM:SS.
  if (text.size() < 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  CivilTime t;
  if (!ParseInt(text.substr(0, 4), t.year) || !ParseInt(text.substr(5, 2), t.month) ||
      !ParseInt(text.substr(8, 2), t.day))
    return std::nullopt;
  if (text.size() == 10) {
    if (endOfDay) {
      t.hour = 23;
      t.minute = 59;
      t.second = 59;
      t.millisecond = 999;
    }
  } else {
    if ((text[10] != ' ' && text[10] != 'T') || (text.size() != 16 && text.size() != 19) || text[13] != ':')
      return std::nullopt;
    if (!ParseInt(text.substr(11, 2), t.hour) || !ParseInt(text.substr(14, 2), t.minute)) return std::nullopt;
    if (text.size() == 19 && (text[16] != ':' || !ParseInt(text.substr(17, 2), t.second))) return std::nullopt;
    if (endOfDay && text.size() == 16) {
      t.second = 59;
      t.millisecond = 999;
    } else if (endOfDay) {
      t.millisecond = 999;
    }
  }
  const std::optional<std::uint64_t> fileTime = CivilToFileTime(t);
  if (!fileTime) return std::nullopt;
  return endOfDay ? *fileTime + 9999 : *fileTime;  // the last 100 ns tick of the last millisecond
}

bool ParseStateList(std::string_view list, RecordFilter& filter, std::string& error) {
  while (true) {
    const std::size_t comma = list.find(',');
    const std::string_view word = Trimmed(list.substr(0, comma));
    if (word == "deleted") filter.how |= Bit(FoundHow::Deleted);
    else if (word == "formatted") filter.how |= Bit(FoundHow::Formatted);
    else if (word == "carved") filter.how |= Bit(FoundHow::Carved);
    else if (word == "intact") filter.conditions |= Bit(Condition::Intact);
    else if (word == "overwritten") filter.conditions |= Bit(Condition::PossiblyOverwritten);
    else if (word == "incomplete") filter.conditions |= Bit(Condition::Incomplete);
    else if (!word.empty()) {
      error = std::string(word);
      return false;
    }
    if (comma == std::string_view::npos) return true;
    list.remove_prefix(comma + 1);
  }
}

}  // namespace rexmoor
