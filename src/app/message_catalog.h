// The message catalog: every user-visible text is looked up by key in a section of the current
// language file ("Languages/<language>.ini" beside the program). The language choice lives in
// "config.ini" beside the program. Texts are UTF-8. Toolkit-independent: windows apply their
// section through a callback that sets a control's text by name.
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

class MessageCatalog {
 public:
  using SectionMap = std::map<std::string, std::string>;
  using LanguageList = std::vector<std::pair<std::string, std::string>>;
  // Sets the text of the control with this name, when the window has one.
  using SetControlText = std::function<void(const std::string& controlName, const std::string& text)>;

  // Loads settings and language file from programFolder ("/" appended when missing). When
  // programFolder has no "Languages" folder and fallbackLanguageFolder is given, language files
  // are read from there instead (a build tree run from the source checkout).
  explicit MessageCatalog(std::string programFolder, std::string fallbackLanguageFolder = {});
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
  // Language lines of the settings file: (name, value) split at the first "=".
  LanguageList Languages() const;
  // Stores the choice in the settings file, then reloads the language file. False when the
  // settings file could not be written (the language is reloaded from whatever it holds) or
  // when the name holds a control character or "/" (nothing is written then).
  bool SetLanguage(const std::string& name);

  // Calls setText(key, text) for every entry of the section, in key order.
  void ApplySection(const std::string& sectionName, const SetControlText& setText);

  const std::string& SettingsPath() const { return settingsPath_; }
  const std::string& LanguageFolder() const { return languageFolder_; }
  std::string LanguageFilePath() const;

 private:
  void Load();  // expects mutex_ held

  std::string settingsPath_;
  std::string languageFolder_;
  mutable std::mutex mutex_;
  std::string currentLanguage_;
  LanguageList languages_;
  std::map<std::string, SectionMap> sections_;
};

// The process-wide catalog, loaded on first use from the program's folder.
MessageCatalog& GetMessageCatalog();

}  // namespace rexmoor
