// A small INI reader and writer in the manner of the classic profile functions: sections, keys,
// whole-section reads. Lines keep their order; keys are matched case-insensitively.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace rexmoor {

class IniProfile {
 public:
  using Lines = std::vector<std::pair<std::string, std::string>>;

  // Loads a file; a missing or unreadable file gives an empty profile and returns false.
  bool Load(const std::string& path);
  bool Save(const std::string& path) const;
  void Parse(const std::string& text);
  std::string Serialize() const;

  std::vector<std::string> SectionNames() const;
  bool HasSection(const std::string& section) const;
  // Lines of a section split at their first '='.
  Lines Section(const std::string& section) const;
  std::string Get(const std::string& section, const std::string& key,
                  const std::string& fallback = std::string()) const;
  void Set(const std::string& section, const std::string& key, const std::string& value);

 private:
  struct SectionData {
    std::string name;
    Lines lines;
  };
  SectionData* Find(const std::string& section);
  const SectionData* Find(const std::string& section) const;
  std::vector<SectionData> sections_;
};

// Writes one key into a profile file, creating file and section as needed.
bool WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value);

}  // namespace rexmoor
