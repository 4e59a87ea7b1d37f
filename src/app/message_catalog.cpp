#include "app/message_catalog.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "platform/ini_profile.h"
#include "platform/text.h"

namespace rexmoor {
namespace {

constexpr const char* kSettingsFile = "config.ini";
constexpr const char* kUserSettingsFolder = "rexmoor/";
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

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string WithTrailingSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

// "a/b/Languages/" -> "a/b/".
std::string ParentFolder(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::size_t slash = folder.rfind('/');
  if (slash == std::string::npos) return "./";
  return folder.substr(0, slash + 1);
}

// Creates the folder and any missing parent with mode 0700, as the XDG base directory rules ask
// for; folders that exist already keep their mode.
bool MakePrivateFolders(const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  return IsFolder(folder);
}

// Replaces the file in one step, so that a crash mid-write never leaves half a settings file.
bool WriteFileAtomically(const std::string& path, const std::string& text) {
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = true;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ::close(fd) == 0 && ok;
  ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  passwd entry{};
  passwd* found = nullptr;
  std::string buffer(16384, '\0');
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/')
    return found->pw_dir;
  return std::string();
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

std::string UserSettingsPath() {
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    base = HomeFolder();
    if (base.empty()) return std::string();
    base = WithTrailingSlash(std::move(base)) + ".config";
  }
  return WithTrailingSlash(std::move(base)) + kUserSettingsFolder + kSettingsFile;
}

MessageCatalog::MessageCatalog(std::string programFolder, std::string fallbackLanguageFolder,
                               std::string userSettingsPath)
    : settingsPath_(std::move(userSettingsPath)) {
  programFolder = WithTrailingSlash(std::move(programFolder));
  shippedSettingsPath_ = programFolder + kSettingsFile;
  languageFolder_ = programFolder + kLanguageFolder;
  if (!fallbackLanguageFolder.empty() && !IsFolder(languageFolder_)) {
    languageFolder_ = WithTrailingSlash(std::move(fallbackLanguageFolder));
    // The shipped settings travel with the language files: <prefix>/share/rexmoor/config.ini
    // beside <prefix>/share/rexmoor/Languages, resources/config.ini beside resources/Languages.
    if (!IsFile(shippedSettingsPath_)) shippedSettingsPath_ = ParentFolder(languageFolder_) + kSettingsFile;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Load();
}

void MessageCatalog::Load() {
  const IniProfile shipped = LoadProfile(shippedSettingsPath_);
  currentLanguage_ = LanguageNameOf(shipped.Get(kLanguageSection, kLanguageKey, kDefaultLanguage));
  languages_ = shipped.Section(kLanguageListSection);
  // Only the choice is the user's; the languages on offer are what was shipped.
  if (!settingsPath_.empty()) {
    const std::string chosen = LanguageNameOf(LoadProfile(settingsPath_).Get(kLanguageSection, kLanguageKey));
    if (!chosen.empty()) currentLanguage_ = chosen;
  }

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
  bool written = false;
  if (!settingsPath_.empty() && MakePrivateFolders(ParentFolder(settingsPath_))) {
    IniProfile settings = LoadProfile(settingsPath_);  // whatever else the file holds stays
    settings.Set(kLanguageSection, kLanguageKey, name);
    written = WriteFileAtomically(settingsPath_, settings.Serialize());
  }
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
  static MessageCatalog catalog(ProgramFolder(), FallbackLanguageFolder(ProgramFolder()), UserSettingsPath());
  return catalog;
}

}  // namespace rexmoor
