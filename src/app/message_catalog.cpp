#include "app/message_catalog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/ini_profile.h"
#include "platform/text.h"

namespace rexmoor {
namespace {

constexpr const char* kSettingsFile = "config.ini";
constexpr const char* kLanguageFolder = "Languages/";
constexpr const char* kLanguageSection = "DefaultLanguage";
constexpr const char* kLanguageKey = "Default";
constexpr const char* kLanguageListSection = "Languages";
constexpr const char* kDefaultLanguage = "English";
constexpr const char* kMessagesSection = "Messages";
// The language name was always read into a 64-character buffer.
constexpr std::size_t kMaxLanguageNameUnits = 63;
// Language and settings files are small; a huge one is damaged or not ours.
constexpr std::streamsize kMaxProfileBytes = 4 * 1024 * 1024;

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string WithTrailingSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

// Reads a profile file, at most kMaxProfileBytes of it; a missing file gives an empty profile.
IniProfile LoadProfile(const std::string& path) {
  IniProfile profile;
  std::ifstream in(path, std::ios::binary);
  if (!in) return profile;
  in.seekg(0, std::ios::end);
  const std::streamoff length = in.tellg();
  in.seekg(0, std::ios::beg);
  if (length <= 0) return profile;
  const std::streamsize wanted = length < kMaxProfileBytes ? length : kMaxProfileBytes;
  std::string text(static_cast<std::size_t>(wanted), '\0');
  in.read(text.data(), wanted);
  text.resize(static_cast<std::size_t>(in.gcount()));
  profile.Parse(text);
  return profile;
}

// The name as a profile-string read gives it: surrounding blanks dropped, at most 63 units.
std::string LanguageNameOf(const std::string& value) {
  const std::size_t first = value.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const std::string name = value.substr(first, value.find_last_not_of(" \t") - first + 1);
  std::u16string units = Utf8ToUtf16(name);
  if (units.size() <= kMaxLanguageNameUnits) return name;
  units.resize(kMaxLanguageNameUnits);
  // Do not leave half of a surrogate pair behind.
  if (!units.empty() && units.back() >= 0xD800 && units.back() <= 0xDBFF) units.pop_back();
  return Utf16ToUtf8(units);
}

std::string ReadProgramFolder() {
  std::string buffer(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return "./";
  buffer.resize(static_cast<std::size_t>(n));
  const std::size_t slash = buffer.rfind('/');
  if (slash == std::string::npos) return "./";
  return buffer.substr(0, slash + 1);
}

}  // namespace

const std::string& ProgramFolder() {
  static const std::string folder = ReadProgramFolder();
  return folder;
}

MessageCatalog::MessageCatalog(std::string programFolder, std::string fallbackLanguageFolder) {
  programFolder = WithTrailingSlash(std::move(programFolder));
  settingsPath_ = programFolder + kSettingsFile;
  languageFolder_ = programFolder + kLanguageFolder;
  if (!fallbackLanguageFolder.empty() && !IsFolder(languageFolder_)) {
    languageFolder_ = WithTrailingSlash(std::move(fallbackLanguageFolder));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Load();
}

void MessageCatalog::Load() {
  const IniProfile settings = LoadProfile(settingsPath_);
  currentLanguage_ = LanguageNameOf(settings.Get(kLanguageSection, kLanguageKey, kDefaultLanguage));
  languages_ = settings.Section(kLanguageListSection);

  sections_.clear();
  const IniProfile language = LoadProfile(LanguageFilePath());
  for (const std::string& name : language.SectionNames()) {
    SectionMap& section = sections_[name];
    // A repeated key keeps its first text, as a profile lookup would.
    for (auto& [key, text] : language.Section(name)) section.emplace(key, text);
  }
}

std::string MessageCatalog::LanguageFilePath() const {
  return languageFolder_ + currentLanguage_ + ".ini";
}

MessageCatalog::SectionMap& MessageCatalog::Section(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  return sections_[name];
}

std::string MessageCatalog::Text(SectionMap& section, const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  return section[key];
}

std::string MessageCatalog::Text(const std::string& sectionName, const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  return sections_[sectionName][key];
}

std::string MessageCatalog::Msg(const std::string& key) { return Text(kMessagesSection, key); }

std::string MessageCatalog::CurrentLanguage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return currentLanguage_;
}

MessageCatalog::LanguageList MessageCatalog::Languages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return languages_;
}

bool MessageCatalog::SetLanguage(const std::string& name) {
  // The name becomes a profile value and part of a file name.
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '/') return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const bool written = WriteProfileString(settingsPath_, kLanguageSection, kLanguageKey, name);
  Load();
  return written;
}

void MessageCatalog::ApplySection(const std::string& sectionName, const SetControlText& setText) {
  SectionMap copy;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    copy = sections_[sectionName];
  }
  // Called without the lock so that the callback may look up further texts.
  for (const auto& [controlName, text] : copy) setText(controlName, text);
}

// Where the language files are when they are not beside the program: under the install prefix
// (<prefix>/bin/rexmoor, <prefix>/share/rexmoor/Languages), or one folder up in the build tree
// (the tests' programs lie below the one the files are copied beside).
static std::string FallbackLanguageFolder(const std::string& programFolder) {
  const std::string base = WithTrailingSlash(programFolder);
  for (const std::string& candidate : {base + "../share/rexmoor/" + kLanguageFolder, base + "../" + kLanguageFolder})
    if (IsFolder(candidate)) return candidate;
  return std::string();
}

MessageCatalog& GetMessageCatalog() {
  static MessageCatalog catalog(ProgramFolder(), FallbackLanguageFolder(ProgramFolder()));
  return catalog;
}

}  // namespace rexmoor
