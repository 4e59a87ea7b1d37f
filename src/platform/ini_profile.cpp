#include "platform/ini_profile.h"

#include <fstream>
#include <sstream>

#include "platform/text.h"

namespace rexmoor {

namespace {

std::string Trim(const std::string& s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

}  // namespace

bool IniProfile::Load(const std::string& path) {
  sections_.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  Parse(text.str());
  return true;
}

void IniProfile::Parse(const std::string& rawText) {
  sections_.clear();
  std::string text = rawText;
  if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);  // BOM
  std::istringstream in(text);
  std::string line;
  SectionData* current = nullptr;
  while (std::getline(in, line)) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t.front() == '[') {
      std::size_t close = t.find(']');
      std::string name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      current = Find(name);
      if (current == nullptr) {
        sections_.push_back(SectionData{name, {}});
        current = &sections_.back();
      }
      continue;
    }
    if (current == nullptr) continue;  // lines before any section are ignored
    std::size_t eq = t.find('=');
    if (eq == std::string::npos) {
      current->lines.emplace_back(t, std::string());
    } else {
      std::string value = t.substr(eq + 1);
      // As with the classic profile functions, quotes keep a value's edge spaces.
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
      current->lines.emplace_back(Trim(t.substr(0, eq)), value);
    }
  }
}

std::string IniProfile::Serialize() const {
  std::string out;
  for (const auto& section : sections_) {
    out += "[" + section.name + "]\n";
    for (const auto& [key, value] : section.lines) out += key + "=" + value + "\n";
    out += "\n";
  }
  return out;
}

bool IniProfile::Save(const std::string& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << Serialize();
  return static_cast<bool>(out);
}

std::vector<std::string> IniProfile::SectionNames() const {
  std::vector<std::string> names;
  for (const auto& s : sections_) names.push_back(s.name);
  return names;
}

bool IniProfile::HasSection(const std::string& section) const { return Find(section) != nullptr; }

IniProfile::Lines IniProfile::Section(const std::string& section) const {
  const SectionData* s = Find(section);
  return s ? s->lines : Lines{};
}

std::string IniProfile::Get(const std::string& section, const std::string& key,
                            const std::string& fallback) const {
  const SectionData* s = Find(section);
  if (s == nullptr) return fallback;
  for (const auto& [k, v] : s->lines)
    if (EqualsNoCase(k, key)) return v;
  return fallback;
}

void IniProfile::Set(const std::string& section, const std::string& key, const std::string& value) {
  SectionData* s = Find(section);
  if (s == nullptr) {
    sections_.push_back(SectionData{section, {}});
    s = &sections_.back();
  }
  for (auto& [k, v] : s->lines) {
    if (EqualsNoCase(k, key)) {
      v = value;
      return;
    }
  }
  s->lines.emplace_back(key, value);
}

IniProfile::SectionData* IniProfile::Find(const std::string& section) {
  for (auto& s : sections_)
    if (EqualsNoCase(s.name, section)) return &s;
  return nullptr;
}

const IniProfile::SectionData* IniProfile::Find(const std::string& section) const {
  for (const auto& s : sections_)
    if (EqualsNoCase(s.name, section)) return &s;
  return nullptr;
}

bool WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value) {
  IniProfile profile;
  profile.Load(path);
  profile.Set(section, key, value);
  return profile.Save(path);
}

}  // namespace rexmoor
