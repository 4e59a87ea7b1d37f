// The message catalog: every user-visible text is looked up by key in a section of the current
// language file ("Languages/<language>.ini" beside the program). The shipped "config.ini" beside
// the language files names the languages on offer and the default one; the user's choice is kept
// in their own config.ini (see UserSettingsPath), since the program's folder is usually not
// writable. Texts are UTF-8. Toolkit-independent: windows apply their section through a callback
// that sets a control's text by name.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace rexmoor {

// Folder of the running program with a trailing "/" (computed once).
const std::string& ProgramFolder();
// The user's settings file: $XDG_CONFIG_HOME/rexmoor/config.ini, or ~/.config/rexmoor/config.ini
// when XDG_CONFIG_HOME is unset or not absolute. Empty when there is no home folder at all.
std::string UserSettingsPath();

class MessageCatalog {
 public:
  using SectionMap = std::map<std::string, std::string>;
  using LanguageList = std::vector<std::pair<std::string, std::string>>;
  // Sets the text of the control with this name, when the window has one.
  using SetControlText = std::function<void(const std::string& controlName, const std::string& text)>;

  // Loads settings and language file from programFolder ("/" appended when missing). When
  // programFolder has no "Languages" folder and fallbackLanguageFolder is given, language files
  // are read from there instead (a build tree run from the source checkout). The shipped settings
  // are programFolder's config.ini, or when it has none, the one beside the fallback folder.
  // userSettingsPath, when given, overrides the default language and receives SetLanguage's
  // choice; without it the shipped default is used and SetLanguage fails.
  explicit MessageCatalog(std::string programFolder, std::string fallbackLanguageFolder = {},
                          std::string userSettingsPath = {});
  MessageCatalog(const MessageCatalog&) = delete;
  MessageCatalog& operator=(const MessageCatalog&) = delete;

  // The section's key -> text map; a section the file lacks is created empty. The reference
  // stays valid until the next SetLanguage.
  SectionMap& Section(const std::string& name);
  // The text of a key; a missing key is added with an empty text (in memory only) and gives "".
  std::string Text(SectionMap& section, const std::string& key);
  std::string Text(const std::string& sectionName, const std::string& key);
  // Text("Messages", key).
  std::string Msg(const std::string& key);

  std::string CurrentLanguage() const;
  // Language lines of the shipped settings file: (name, value) split at the first "=".
  LanguageList Languages() const;
  // Stores the choice in the user's settings file (creating its folder, mode 0700), then reloads
  // the language file. False when that file could not be written (the language is reloaded from
  // whatever the files hold) or when the name holds a control character or "/" (nothing is
  // written then).
  bool SetLanguage(const std::string& name);

  // Calls setText(key, text) for every entry of the section, in key order.
  void ApplySection(const std::string& sectionName, const SetControlText& setText);

  // The user's settings file, the only one ever written; empty when there is none.
  const std::string& SettingsPath() const { return settingsPath_; }
  const std::string& ShippedSettingsPath() const { return shippedSettingsPath_; }
  const std::string& LanguageFolder() const { return languageFolder_; }
  std::string LanguageFilePath() const;

 private:
  void Load();  // expects mutex_ held

  std::string settingsPath_;
  std::string shippedSettingsPath_;
  std::string languageFolder_;
  mutable std::mutex mutex_;
  std::string currentLanguage_;
  LanguageList languages_;
  std::map<std::string, SectionMap> sections_;
};

// The process-wide catalog, loaded on first use from the program's folder and UserSettingsPath().
MessageCatalog& GetMessageCatalog();

}  // namespace rexmoor
