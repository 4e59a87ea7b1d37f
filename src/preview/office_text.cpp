#include "preview/office_text.h"

#include <expat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <vector>

#include "platform/text.h"
#include "preview/archive_library.h"
#include "preview/preview_text.h"

namespace rexmoor {

namespace {

// ---------------------------------------------------------------------------------------------
// Zip packages

// One walk through a zip's entries: the names of the first kMaxPackageEntries of them, and the
// data of the wanted parts (names compared ignoring case, as the packages do) streamed to feed
// as (index in wanted, piece), each part ended by an empty piece. feed returns false when it
// wants no more of that part. At most kMaxPartBytes of a part and kMaxPackageBytes of the file
// are decompressed, skipped entries of unknown length included (their end is only found by
// decompressing them). kErrInvalidParameter when the file is no zip.
using PartFeed = std::function<bool(std::size_t, std::string_view)>;

Result WalkZip(const std::string& path, const std::vector<std::string>& wanted, const PartFeed& feed,
               std::vector<std::string>* names) {
  ArchiveHandle zip;
  if (zip.handle == nullptr) return kErrInvalidParameter;
  archive_read_support_format_zip(zip.handle);
  if (archive_read_open_filename(zip.handle, path.c_str(), 64 * 1024) != ARCHIVE_OK) return kErrInvalidParameter;
  std::vector<bool> seen(wanted.size(), false);
  std::size_t found = 0, entries = 0;
  std::uint64_t budget = kMaxPackageBytes;
  std::vector<char> buffer(64 * 1024);
  const auto readSome = [&](std::uint64_t limit) -> la_ssize_t {
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), limit));
    const la_ssize_t n = archive_read_data(zip.handle, buffer.data(), size);
    if (n > 0) budget -= std::min<std::uint64_t>(budget, static_cast<std::uint64_t>(n));
    return n;
  };
  archive_entry* entry = nullptr;
  int status;
  while (entries < kMaxPackageEntries &&
         ((status = archive_read_next_header(zip.handle, &entry)) == ARCHIVE_OK || status == ARCHIVE_WARN)) {
    ++entries;
    const char* raw = archive_entry_pathname(entry);
    std::string_view name = raw != nullptr ? raw : "";
    while (!name.empty() && name.front() == '/') name.remove_prefix(1);
    name = name.substr(0, 1024);
    if (names != nullptr) names->emplace_back(name);
    std::size_t index = wanted.size();
    for (std::size_t i = 0; i < wanted.size(); ++i)
      if (!seen[i] && EqualsNoCase(wanted[i], name)) {
        index = i;
        break;
      }
    bool ended = false;
    if (index < wanted.size()) {
      seen[index] = true;
      ++found;
      std::uint64_t partLeft = std::min<std::uint64_t>(kMaxPartBytes, budget);
      bool more = true;
      while (more && partLeft > 0) {
        const la_ssize_t n = readSome(partLeft);
        if (n <= 0) {
          ended = true;
          break;
        }
        partLeft -= static_cast<std::uint64_t>(n);
        more = feed(index, std::string_view(buffer.data(), static_cast<std::size_t>(n)));
      }
      feed(index, {});
    }
    // libarchive would decompress the rest of an entry of unknown length to find the next
    // header; do it here, against the budget.
    if (!ended && archive_entry_size_is_set(entry) == 0)
      while (budget > 0 && readSome(budget) > 0) {
      }
    if (budget == 0) break;
    if (names == nullptr && found == wanted.size()) break;
  }
  return entries == 0 ? kErrInvalidParameter : kSuccess;
}

bool HasPart(const std::vector<std::string>& names, std::string_view part) {
  return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return EqualsNoCase(n, part); });
}

std::string_view DirectoryOf(std::string_view part) {
  const std::size_t slash = part.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : part.substr(0, slash);
}

// The relationships part of a part: word/document.xml -> word/_rels/document.xml.rels.
std::string RelationshipsOf(std::string_view part) {
  const std::size_t slash = part.rfind('/');
  const std::string_view dir = slash == std::string_view::npos ? std::string_view() : part.substr(0, slash + 1);
  const std::string_view file = slash == std::string_view::npos ? part : part.substr(slash + 1);
  return std::string(dir) + "_rels/" + std::string(file) + ".rels";
}

// A relationship's target as a part name: relative to the source's folder unless it starts
// with '/'; "." and ".." resolved, never above the package root.
std::string ResolveTarget(std::string_view sourceDir, std::string_view target) {
  std::vector<std::string_view> segments;
  const auto add = [&](std::string_view path) {
    std::size_t start = 0;
    while (start <= path.size()) {
      std::size_t end = path.find('/', start);
      if (end == std::string_view::npos) end = path.size();
      const std::string_view segment = path.substr(start, end - start);
      if (segment == "..") {
        if (!segments.empty()) segments.pop_back();
      } else if (!segment.empty() && segment != ".") {
        segments.push_back(segment);
      }
      start = end + 1;
    }
  };
  target = target.substr(0, 1024);
  if (target.empty() || target.front() != '/') add(sourceDir);
  add(target);
  std::string part;
  for (const std::string_view segment : segments) {
    if (!part.empty()) part.push_back('/');
    part.append(segment);
  }
  return part;
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// Digits only, at most 9 of them; nullopt-like false otherwise.
bool ParseCount(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > 9) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// XML

enum class Ns {
  None, Other, Word, Drawing, Presentation, Sheet, OfficeRels, PackageRels, Compat,
  OdfOffice, OdfText, OdfTable, OdfDraw, OdfPresentation,
};

Ns Classify(std::string_view uri) {
  struct Known {
    std::string_view uri;
    Ns ns;
  };
  static constexpr Known kKnown[] = {
      {"http://schemas.openxmlformats.org/wordprocessingml/2006/main", Ns::Word},
      {"http://purl.oclc.org/ooxml/wordprocessingml/main", Ns::Word},
      {"http://schemas.openxmlformats.org/drawingml/2006/main", Ns::Drawing},
      {"http://purl.oclc.org/ooxml/drawingml/main", Ns::Drawing},
      {"http://schemas.openxmlformats.org/presentationml/2006/main", Ns::Presentation},
      {"http://purl.oclc.org/ooxml/presentationml/main", Ns::Presentation},
      {"http://schemas.openxmlformats.org/spreadsheetml/2006/main", Ns::Sheet},
      {"http://purl.oclc.org/ooxml/spreadsheetml/main", Ns::Sheet},
      {"http://schemas.openxmlformats.org/officeDocument/2006/relationships", Ns::OfficeRels},
      {"http://purl.oclc.org/ooxml/officeDocument/relationships", Ns::OfficeRels},
      {"http://schemas.openxmlformats.org/package/2006/relationships", Ns::PackageRels},
      {"http://schemas.openxmlformats.org/markup-compatibility/2006", Ns::Compat},
      {"urn:oasis:names:tc:opendocument:xmlns:office:1.0", Ns::OdfOffice},
      {"urn:oasis:names:tc:opendocument:xmlns:text:1.0", Ns::OdfText},
      {"urn:oasis:names:tc:opendocument:xmlns:table:1.0", Ns::OdfTable},
      {"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0", Ns::OdfDraw},
      {"urn:oasis:names:tc:opendocument:xmlns:presentation:1.0", Ns::OdfPresentation},
  };
  if (uri.empty()) return Ns::None;
  for (const Known& known : kKnown)
    if (known.uri == uri) return known.ns;
  return Ns::Other;
}

// Expat with namespaces: a name arrives as "uri|local", or "local" without a namespace.
constexpr char kNsSeparator = '|';

void SplitName(const XML_Char* full, Ns& ns, std::string_view& local) {
  const std::string_view name(full);
  const std::size_t bar = name.rfind(kNsSeparator);
  if (bar == std::string_view::npos) {
    ns = Ns::None;
    local = name;
  } else {
    ns = Classify(name.substr(0, bar));
    local = name.substr(bar + 1);
  }
}

// One XML part, parsed as its pieces come. Documents with a DTD are refused (no office
// format has one: no entity tricks), elements may nest only so deep, and the content of
// mc:Fallback (a second copy of what mc:Choice says) is never reported. A reader ends the parse
// with Stop() once it has what it wants.
class XmlReader {
 public:
  static constexpr int kMaxDepth = 256;

  XmlReader() : parser_(XML_ParserCreateNS(nullptr, kNsSeparator)) {
    if (parser_ == nullptr) {
      done_ = failed_ = true;
      return;
    }
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, &XmlReader::OnStart, &XmlReader::OnEnd);
    XML_SetCharacterDataHandler(parser_, &XmlReader::OnText);
    XML_SetStartDoctypeDeclHandler(parser_, &XmlReader::OnDoctype);
    XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
  }
  virtual ~XmlReader() {
    if (parser_ != nullptr) XML_ParserFree(parser_);
  }
  XmlReader(const XmlReader&) = delete;
  XmlReader& operator=(const XmlReader&) = delete;

  // The next piece of the part (the empty piece ends it); false once the parse is over.
  bool Feed(std::string_view piece) {
    if (done_) return false;
    const bool last = piece.empty();
    if (XML_Parse(parser_, piece.data(), static_cast<int>(piece.size()), last ? XML_TRUE : XML_FALSE) ==
        XML_STATUS_ERROR) {
      done_ = true;
      if (!stopped_) failed_ = true;
    }
    if (last) done_ = true;
    return !done_;
  }
  bool Failed() const { return failed_; }
  bool Seen() const { return fed_; }
  void MarkSeen() { fed_ = true; }
  // Whether the document element is that one: a part of another kind of package says nothing.
  bool RootIs(Ns ns, std::string_view name) const { return rootNs_ == ns && rootName_ == name; }

 protected:
  virtual void Start(Ns ns, std::string_view name, const XML_Char** attributes) = 0;
  virtual void End(Ns ns, std::string_view name) = 0;
  virtual void Text(std::string_view text) { (void)text; }
  void Stop() {
    if (stopped_) return;
    stopped_ = true;
    XML_StopParser(parser_, XML_FALSE);
  }
  // The value of the attribute with that namespace and local name, or empty.
  static std::string_view Attribute(const XML_Char** attributes, Ns ns, std::string_view name) {
    for (const XML_Char** a = attributes; a[0] != nullptr && a[1] != nullptr; a += 2) {
      Ns attributeNs;
      std::string_view local;
      SplitName(a[0], attributeNs, local);
      if (attributeNs == ns && local == name) return a[1];
    }
    return {};
  }

 private:
  static void OnStart(void* data, const XML_Char* name, const XML_Char** attributes) {
    auto* self = static_cast<XmlReader*>(data);
    if (self->stopped_) return;
    if (++self->depth_ > kMaxDepth) {
      self->failed_ = true;
      self->Stop();
      return;
    }
    Ns ns;
    std::string_view local;
    SplitName(name, ns, local);
    if (self->depth_ == 1) {
      self->rootNs_ = ns;
      self->rootName_ = local.substr(0, 64);
    }
    if (self->fallback_ > 0 || (ns == Ns::Compat && local == "Fallback")) {
      ++self->fallback_;
      return;
    }
    self->Start(ns, local, attributes);
  }
  static void OnEnd(void* data, const XML_Char* name) {
    auto* self = static_cast<XmlReader*>(data);
    if (self->stopped_) return;
    --self->depth_;
    if (self->fallback_ > 0) {
      --self->fallback_;
      return;
    }
    Ns ns;
    std::string_view local;
    SplitName(name, ns, local);
    self->End(ns, local);
  }
  static void OnText(void* data, const XML_Char* text, int length) {
    auto* self = static_cast<XmlReader*>(data);
    if (self->stopped_ || self->fallback_ > 0 || length <= 0) return;
    self->Text(std::string_view(text, static_cast<std::size_t>(length)));
  }
  static void OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    auto* self = static_cast<XmlReader*>(data);
    self->failed_ = true;
    self->Stop();
  }

  XML_Parser parser_;
  Ns rootNs_ = Ns::None;
  std::string rootName_;
  int depth_ = 0;
  int fallback_ = 0;
  bool stopped_ = false;
  bool done_ = false;
  bool failed_ = false;
  bool fed_ = false;
};

// Streams each named part of the zip into its reader in one walk. Readers of parts that are
// not there stay unseen.
Result ParseParts(const std::string& path, const std::vector<std::string>& parts,
                  const std::vector<XmlReader*>& readers, std::vector<std::string>* names = nullptr) {
  return WalkZip(
      path, parts,
      [&](std::size_t index, std::string_view piece) {
        readers[index]->MarkSeen();
        return readers[index]->Feed(piece);
      },
      names);
}

// ---------------------------------------------------------------------------------------------
// Relationships and the package's main part

struct Relationship {
  std::string id, type, target;
};

class RelationshipsReader : public XmlReader {
 public:
  static constexpr std::size_t kMaxRelationships = 10000;
  std::vector<Relationship> relationships;

  // The target part of a relationship by id and type (the end of its type URI), or empty.
  std::string Find(std::string_view id, std::string_view typeTail, std::string_view sourceDir) const {
    for (const Relationship& r : relationships)
      if ((id.empty() || r.id == id) && EndsWith(r.type, typeTail)) return ResolveTarget(sourceDir, r.target);
    return {};
  }

 protected:
  void Start(Ns ns, std::string_view name, const XML_Char** attributes) override {
    if (ns != Ns::PackageRels || name != "Relationship") return;
    if (Attribute(attributes, Ns::None, "TargetMode") == "External") return;
    relationships.push_back({std::string(Attribute(attributes, Ns::None, "Id").substr(0, 256)),
                             std::string(Attribute(attributes, Ns::None, "Type").substr(0, 1024)),
                             std::string(Attribute(attributes, Ns::None, "Target").substr(0, 1024))});
    if (relationships.size() == kMaxRelationships) Stop();
  }
  void End(Ns, std::string_view) override {}
};

// The package's main part as its root relationships name it, else the usual name; names gets
// the package's entry names.
Result MainPart(const std::string& path, const std::string& usual, std::string& main, std::vector<std::string>& names) {
  RelationshipsReader root;
  const Result result = ParseParts(path, {"_rels/.rels"}, {&root}, &names);
  if (result != kSuccess) return result;
  main = root.Find({}, "/officeDocument", {});
  if (main.empty() || !HasPart(names, main)) main = usual;
  return HasPart(names, main) ? kSuccess : kErrInvalidParameter;
}

// Part names like prefix + N + ".xml" (ppt/slides/slide12.xml), ordered by N.
std::vector<std::string> NumberedParts(const std::vector<std::string>& names, std::string_view prefix,
                                       std::size_t limit) {
  std::vector<std::pair<std::uint64_t, std::string>> numbered;
  for (const std::string& name : names) {
    if (name.size() <= prefix.size() + 4 || !EqualsNoCase(std::string_view(name).substr(0, prefix.size()), prefix) ||
        !EqualsNoCase(std::string_view(name).substr(name.size() - 4), ".xml"))
      continue;
    std::uint64_t number;
    if (ParseCount(std::string_view(name).substr(prefix.size(), name.size() - prefix.size() - 4), number))
      numbered.emplace_back(number, name);
  }
  std::sort(numbered.begin(), numbered.end());
  std::vector<std::string> parts;
  for (const auto& [number, name] : numbered) {
    if (parts.size() == limit) break;
    if (!HasPart(parts, name)) parts.push_back(name);
  }
  return parts;
}

// ---------------------------------------------------------------------------------------------
// Word processor

class WordReader : public XmlReader {
 public:
  explicit WordReader(LimitedText& out) : out_(out) {}

 protected:
  void Start(Ns ns, std::string_view name, const XML_Char**) override {
    if (skip_ > 0) {
      ++skip_;
      return;
    }
    if (ns != Ns::Word) return;
    if (name == "tabs") {
      skip_ = 1;  // tab stops, not tabs
    } else if (name == "t") {
      ++inText_;
    } else if (name == "tab") {
      out_.Append('\t');
    } else if (name == "br" || name == "cr") {
      out_.AppendBreak();
    } else if (name == "noBreakHyphen") {
      out_.Append('-');
    }
    Check();
  }
  void End(Ns ns, std::string_view name) override {
    if (skip_ > 0) {
      --skip_;
      return;
    }
    if (ns != Ns::Word) return;
    if (name == "t" && inText_ > 0) --inText_;
    if (name == "p") out_.AppendBreak();
    Check();
  }
  void Text(std::string_view text) override {
    if (inText_ > 0 && skip_ == 0) out_.Append(text);
    Check();
  }

 private:
  void Check() {
    if (out_.Full()) Stop();
  }
  LimitedText& out_;
  int skip_ = 0;
  int inText_ = 0;
};

Result WordXmlText(const std::string& path, std::string& text) {
  std::vector<std::string> names;
  std::string main;
  if (MainPart(path, "word/document.xml", main, names) != kSuccess) return kErrInvalidParameter;
  LimitedText out(kPreviewWordCharacters);
  WordReader reader(out);
  if (ParseParts(path, {main}, {&reader}) != kSuccess || !reader.Seen()) return kErrInvalidParameter;
  if (!reader.RootIs(Ns::Word, "document") || (reader.Failed() && out.str().empty())) return kErrInvalidParameter;
  text = out.str();
  return kSuccess;
}

// ---------------------------------------------------------------------------------------------
// OpenDocument text runs: white space collapses to one space and goes at a paragraph's start;
// text:s, text:tab and text:line-break stand for spaces, tabs and line breaks.

class OdfRuns {
 public:
  void StartParagraph() { space_ = true; }
  void Characters(std::string_view text, LimitedText& out) {
    std::string run;
    run.reserve(text.size());
    for (char c : text) {
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        if (!space_) run.push_back(' ');
        space_ = true;
      } else {
        run.push_back(c);
        space_ = false;
      }
    }
    out.Append(run);
  }
  // An element of a paragraph's text; false when it is none of them.
  bool Element(std::string_view name, const std::string_view count, LimitedText& out, bool breaks) {
    if (name == "s") {
      std::uint64_t spaces = 1;
      if (!count.empty() && !ParseCount(count, spaces)) spaces = 1;
      for (std::uint64_t i = 0; i < spaces && !out.Full(); ++i) out.Append(' ');
    } else if (name == "tab") {
      out.Append(breaks ? '\t' : ' ');
    } else if (name == "line-break") {
      if (breaks)
        out.AppendBreak();
      else
        out.Append(' ');
    } else {
      return false;
    }
    space_ = true;
    return true;
  }

 private:
  bool space_ = true;
};

// The content of an OpenDocument file: office:document-content with a body of its kind
// (office:text, office:presentation, office:spreadsheet).
class OdfReader : public XmlReader {
 public:
  explicit OdfReader(std::string_view body) : body_(body) {}
  bool SawBody() const { return sawBody_ && RootIs(Ns::OdfOffice, "document-content"); }

 protected:
  void NoteBody(Ns ns, std::string_view name) {
    if (ns == Ns::OdfOffice && name == body_) sawBody_ = true;
  }

 private:
  std::string_view body_;
  bool sawBody_ = false;
};

bool SkippedOdfElement(Ns ns, std::string_view name) {
  return (ns == Ns::OdfOffice && name == "annotation") || (ns == Ns::OdfText && name == "tracked-changes") ||
         (ns == Ns::OdfPresentation && name == "notes");
}

class OdfTextReader : public OdfReader {
 public:
  explicit OdfTextReader(LimitedText& out) : OdfReader("text"), out_(out) {}

 protected:
  void Start(Ns ns, std::string_view name, const XML_Char** attributes) override {
    NoteBody(ns, name);
    if (skip_ > 0 || SkippedOdfElement(ns, name)) {
      ++skip_;
      return;
    }
    if (ns != Ns::OdfText) return;
    if (name == "p" || name == "h") {
      ++paragraphs_;
      runs_.StartParagraph();
    } else if (paragraphs_ > 0) {
      runs_.Element(name, Attribute(attributes, Ns::OdfText, "c"), out_, true);
    }
    if (out_.Full()) Stop();
  }
  void End(Ns ns, std::string_view name) override {
    if (skip_ > 0) {
      --skip_;
      return;
    }
    if (ns == Ns::OdfText && (name == "p" || name == "h") && paragraphs_ > 0) {
      --paragraphs_;
      out_.AppendBreak();
      runs_.StartParagraph();
    }
    if (out_.Full()) Stop();
  }
  void Text(std::string_view text) override {
    if (skip_ > 0 || paragraphs_ == 0) return;
    runs_.Characters(text, out_);
    if (out_.Full()) Stop();
  }

 private:
  LimitedText& out_;
  OdfRuns runs_;
  int skip_ = 0;
  int paragraphs_ = 0;
};

Result OpenTextText(const std::string& path, std::string& text) {
  LimitedText out(kPreviewWordCharacters);
  OdfTextReader reader(out);
  if (ParseParts(path, {"content.xml"}, {&reader}) != kSuccess || !reader.Seen()) return kErrInvalidParameter;
  if (!reader.SawBody() || (reader.Failed() && out.str().empty())) return kErrInvalidParameter;
  text = out.str();
  return kSuccess;
}

// ---------------------------------------------------------------------------------------------
// Presentations: the text of every shape, its paragraphs joined by spaces, a line break after it.

class ShapeText {
 public:
  void Begin() {
    text_ = LimitedText(kPreviewPresentationCharacters);
    paragraphs_ = 0;
  }
  void Paragraph() {
    if (paragraphs_++ > 0 && !text_.str().empty()) text_.Append(' ');
  }
  LimitedText& text() { return text_; }
  // The shape's text and its line break, when it has any.
  void End(LimitedText& out) {
    const std::string& text = text_.str();
    if (text.find_first_not_of(" \t") == std::string::npos) return;
    out.Append(text);
    out.AppendBreak();
  }

 private:
  LimitedText text_{kPreviewPresentationCharacters};
  int paragraphs_ = 0;
};

class SlideReader : public XmlReader {
 public:
  LimitedText text{kPreviewPresentationCharacters};

 protected:
  void Start(Ns ns, std::string_view name, const XML_Char**) override {
    if (ns == Ns::Presentation && name == "sp") {
      ++shapes_;
    } else if (ns == Ns::Presentation && name == "txBody" && shapes_ > 0) {
      if (bodies_++ == 0) shape_.Begin();
    } else if (ns == Ns::Drawing && bodies_ > 0) {
      if (name == "p") shape_.Paragraph();
      if (name == "t") ++inText_;
      if (name == "br" || name == "tab") shape_.text().Append(' ');
    }
  }
  void End(Ns ns, std::string_view name) override {
    if (ns == Ns::Presentation && name == "sp" && shapes_ > 0) {
      --shapes_;
    } else if (ns == Ns::Presentation && name == "txBody" && bodies_ > 0) {
      if (--bodies_ == 0) shape_.End(text);
    } else if (ns == Ns::Drawing && name == "t" && inText_ > 0) {
      --inText_;
    }
    if (text.Full()) Stop();
  }
  void Text(std::string_view chars) override {
    if (inText_ > 0 && bodies_ > 0) shape_.text().Append(chars);
  }

 private:
  ShapeText shape_;
  int shapes_ = 0;
  int bodies_ = 0;
  int inText_ = 0;
};

class SlideListReader : public XmlReader {
 public:
  static constexpr std::size_t kMaxSlides = 10000;
  std::vector<std::string> ids;

 protected:
  void Start(Ns ns, std::string_view name, const XML_Char** attributes) override {
    if (ns != Ns::Presentation) return;
    if (name == "sldIdLst") ++inList_;
    if (name == "sldId" && inList_ > 0) {
      ids.emplace_back(Attribute(attributes, Ns::OfficeRels, "id").substr(0, 256));
      if (ids.size() == kMaxSlides) Stop();
    }
  }
  void End(Ns ns, std::string_view name) override {
    if (ns == Ns::Presentation && name == "sldIdLst" && inList_ > 0 && --inList_ == 0) Stop();
  }

 private:
  int inList_ = 0;
};

std::string JoinSlides(const std::vector<std::unique_ptr<SlideReader>>& slides) {
  LimitedText out(kPreviewPresentationCharacters);
  for (const auto& slide : slides) out.Append(slide->text.str());
  return out.str();
}

Result PresentationXmlText(const std::string& path, std::string& text) {
  std::vector<std::string> names;
  std::string main;
  const Result found = MainPart(path, "ppt/presentation.xml", main, names);
  if (found != kSuccess && names.empty()) return kErrInvalidParameter;
  // Slides in the presentation's order, through its relationships.
  std::vector<std::string> parts;
  if (found == kSuccess) {
    SlideListReader list;
    RelationshipsReader relationships;
    ParseParts(path, {main, RelationshipsOf(main)}, {&list, &relationships});
    if (!list.RootIs(Ns::Presentation, "presentation")) list.ids.clear();
    // Up to ten thousand ids, relationships and entries each: looked up, not searched.
    std::map<std::string_view, std::string> targets;
    for (const Relationship& r : relationships.relationships)
      if (EndsWith(r.type, "/slide")) targets.emplace(r.id, ResolveTarget(DirectoryOf(main), r.target));
    std::set<std::string> present;
    for (const std::string& name : names) present.insert(ToLowerAscii(name));
    for (const std::string& id : list.ids) {
      if (parts.size() == kPreviewSlides) break;
      const auto target = targets.find(id);
      if (target == targets.end() || present.count(ToLowerAscii(target->second)) == 0) continue;
      if (!HasPart(parts, target->second)) parts.push_back(target->second);
    }
  }
  // Without a usable slide list, by their numbers.
  if (parts.empty()) parts = NumberedParts(names, "ppt/slides/slide", kPreviewSlides);
  if (parts.empty()) {
    if (found != kSuccess) return kErrInvalidParameter;
    text.clear();  // a presentation without slides
    return kSuccess;
  }
  std::vector<std::unique_ptr<SlideReader>> slides;
  std::vector<XmlReader*> readers;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    slides.push_back(std::make_unique<SlideReader>());
    readers.push_back(slides.back().get());
  }
  if (ParseParts(path, parts, readers) != kSuccess) return kErrInvalidParameter;
  const bool anyRead = std::any_of(slides.begin(), slides.end(), [](const auto& s) {
    return s->Seen() && s->RootIs(Ns::Presentation, "sld") && !s->Failed();
  });
  text = JoinSlides(slides);
  return anyRead || !text.empty() ? kSuccess : kErrInvalidParameter;
}

class OdfPresentationReader : public OdfReader {
 public:
  explicit OdfPresentationReader(LimitedText& out) : OdfReader("presentation"), out_(out) {}

 protected:
  static bool IsShape(Ns ns, std::string_view name) {
    static constexpr std::string_view kShapes[] = {"frame", "custom-shape", "rect", "ellipse", "circle",
                                                   "polygon", "regular-polygon", "polyline", "path",
                                                   "caption", "line", "connector", "measure"};
    return ns == Ns::OdfDraw && std::find(std::begin(kShapes), std::end(kShapes), name) != std::end(kShapes);
  }
  void Start(Ns ns, std::string_view name, const XML_Char** attributes) override {
    NoteBody(ns, name);
    if (skip_ > 0 || SkippedOdfElement(ns, name)) {
      ++skip_;
      return;
    }
    if (ns == Ns::OdfDraw && name == "page") {
      if (pages_ == kPreviewSlides) {
        Stop();
        return;
      }
      ++pages_;
    } else if (IsShape(ns, name)) {
      if (shapes_++ == 0) shape_.Begin();
    } else if (shapes_ > 0 && ns == Ns::OdfText) {
      if (name == "p" || name == "h") {
        shape_.Paragraph();
        runs_.StartParagraph();
        ++paragraphs_;
      } else if (paragraphs_ > 0) {
        runs_.Element(name, Attribute(attributes, Ns::OdfText, "c"), shape_.text(), false);
      }
    }
  }
  void End(Ns ns, std::string_view name) override {
    if (skip_ > 0) {
      --skip_;
      return;
    }
    if (IsShape(ns, name) && shapes_ > 0) {
      if (--shapes_ == 0) shape_.End(out_);
    } else if (ns == Ns::OdfText && (name == "p" || name == "h") && paragraphs_ > 0) {
      --paragraphs_;
    }
    if (out_.Full()) Stop();
  }
  void Text(std::string_view text) override {
    if (skip_ == 0 && shapes_ > 0 && paragraphs_ > 0) runs_.Characters(text, shape_.text());
  }

 private:
  LimitedText& out_;
  ShapeText shape_;
  OdfRuns runs_;
  std::size_t pages_ = 0;
  int skip_ = 0;
  int shapes_ = 0;
  int paragraphs_ = 0;
};

Result OpenPresentationText(const std::string& path, std::string& text) {
  LimitedText out(kPreviewPresentationCharacters);
  OdfPresentationReader reader(out);
  if (ParseParts(path, {"content.xml"}, {&reader}) != kSuccess || !reader.Seen()) return kErrInvalidParameter;
  if (!reader.SawBody() || (reader.Failed() && out.str().empty())) return kErrInvalidParameter;
  text = out.str();
  return kSuccess;
}

// ---------------------------------------------------------------------------------------------
// Spreadsheets

constexpr std::uint64_t kMaxRow = 1ull << 24;     // past any real sheet
constexpr std::uint64_t kMaxColumn = 1ull << 20;

// "B3" -> row 2, column 1 (from 0); false for anything else.
bool ParseCellReference(std::string_view reference, std::uint64_t& row, std::uint64_t& column) {
  std::size_t i = 0;
  std::uint64_t letters = 0;
  for (; i < reference.size() && i < 8; ++i) {
    char c = reference[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c < 'A' || c > 'Z') break;
    letters = letters * 26 + static_cast<std::uint64_t>(c - 'A' + 1);
  }
  std::uint64_t number;
  if (i == 0 || letters > kMaxColumn || !ParseCount(reference.substr(i), number) || number == 0 || number > kMaxRow)
    return false;
  column = letters - 1;
  row = number - 1;
  return true;
}

class WorkbookReader : public XmlReader {
 public:
  static constexpr std::size_t kMaxSheets = 10000;
  std::uint64_t activeTab = 0;
  std::vector<std::string> sheetIds;

 protected:
  void Start(Ns ns, std::string_view name, const XML_Char** attributes) override {
    if (ns != Ns::Sheet) return;
    if (name == "workbookView" && !sawView_) {
      sawView_ = true;
      if (!ParseCount(Attribute(attributes, Ns::None, "activeTab"), activeTab)) activeTab = 0;
    } else if (name == "sheet" && sheetIds.size() < kMaxSheets) {
      sheetIds.emplace_back(Attribute(attributes, Ns::OfficeRels, "id").substr(0, 256));
    }
  }
  void End(Ns ns, std::string_view name) override {
    if (ns == Ns::Sheet && name == "sheets") Stop();  // views come before the sheets
  }

 private:
  bool sawView_ = false;
};

class SheetReader : public XmlReader {
 public:
  explicit SheetReader(CellGrid& grid) : grid_(grid) {}
  bool sawCells = false;

 protected:
  void Start(Ns ns, std::string_view name, const XML_Char** attributes) override {
    if (ns != Ns::Sheet) return;
    if (name == "sheetData") {
      sawCells = true;
    } else if (name == "row") {
      std::uint64_t number;
      if (ParseCount(Attribute(attributes, Ns::None, "r"), number) && number > 0 && number <= kMaxRow)
        row_ = number - 1;
      else
        row_ = started_ ? std::min(row_ + 1, kMaxRow) : 0;
      started_ = true;
      column_ = 0;
      firstCell_ = true;
    } else if (name == "c") {
      std::uint64_t row, column;
      if (ParseCellReference(Attribute(attributes, Ns::None, "r"), row, column)) {
        row_ = row;
        column_ = column;
      } else if (!firstCell_) {
        column_ = std::min(column_ + 1, kMaxColumn);
      }
      firstCell_ = false;
      inCell_ = true;
      type_ = Attribute(attributes, Ns::None, "t").substr(0, 16);
      value_.clear();
    } else if (inCell_ && name == "v") {
      ++inValue_;
    } else if (inCell_ && name == "is") {
      ++inInline_;
    } else if (inInline_ > 0 && name == "rPh") {
      ++phonetic_;
    } else if (inInline_ > 0 && name == "t") {
      ++inValue_;
    }
  }
  void End(Ns ns, std::string_view name) override {
    if (ns != Ns::Sheet) return;
    if (name == "v" || name == "t") {
      if (inValue_ > 0) --inValue_;
    } else if (name == "rPh") {
      if (phonetic_ > 0) --phonetic_;
    } else if (name == "is") {
      if (inInline_ > 0) --inInline_;
    } else if (name == "c" && inCell_) {
      inCell_ = false;
      Commit();
    } else if (name == "sheetData") {
      Stop();
    }
  }
  void Text(std::string_view text) override {
    if (inCell_ && inValue_ > 0 && phonetic_ == 0 && value_.size() < kMaxValueBytes)
      value_.append(text.substr(0, kMaxValueBytes - value_.size()));
  }

 private:
  static constexpr std::size_t kMaxValueBytes = CellGrid::kMaxCellCharacters * 4;

  void Commit() {
    if (type_ == "s") {
      std::uint64_t index;
      if (ParseCount(value_, index)) grid_.AddDeferred(row_, column_, index);
    } else if (type_ == "b") {
      if (!value_.empty()) grid_.Add(row_, column_, value_ == "0" ? "FALSE" : "TRUE");
    } else {
      grid_.Add(row_, column_, value_);
    }
  }

  CellGrid& grid_;
  std::uint64_t row_ = 0, column_ = 0;
  bool started_ = false, firstCell_ = true, inCell_ = false;
  int inValue_ = 0, inInline_ = 0, phonetic_ = 0;
  std::string type_, value_;
};

class SharedStringsReader : public XmlReader {
 public:
  explicit SharedStringsReader(const std::vector<std::uint64_t>& wanted) : wanted_(wanted.begin(), wanted.end()) {}
  std::map<std::uint64_t, std::string> strings;

 protected:
  void Start(Ns ns, std::string_view name, const XML_Char**) override {
    if (ns != Ns::Sheet) return;
    if (name == "si") {
      index_ = next_++;
      if (wanted_.empty() || index_ > *wanted_.rbegin()) {
        Stop();
        return;
      }
      collecting_ = wanted_.count(index_) != 0;
      text_.clear();
    } else if (name == "rPh") {
      ++phonetic_;
    } else if (name == "t") {
      ++inText_;
    }
  }
  void End(Ns ns, std::string_view name) override {
    if (ns != Ns::Sheet) return;
    if (name == "rPh" && phonetic_ > 0) --phonetic_;
    if (name == "t" && inText_ > 0) --inText_;
    if (name == "si" && collecting_) {
      strings[index_] = text_;
      collecting_ = false;
    }
  }
  void Text(std::string_view text) override {
    if (collecting_ && inText_ > 0 && phonetic_ == 0 && text_.size() < kMaxBytes)
      text_.append(text.substr(0, kMaxBytes - text_.size()));
  }

 private:
  static constexpr std::size_t kMaxBytes = CellGrid::kMaxCellCharacters * 4;
  std::set<std::uint64_t> wanted_;
  std::uint64_t index_ = 0, next_ = 0;
  bool collecting_ = false;
  int phonetic_ = 0, inText_ = 0;
  std::string text_;
};

Result SpreadsheetXmlText(const std::string& path, std::string& text) {
  std::vector<std::string> names;
  std::string main;
  const Result found = MainPart(path, "xl/workbook.xml", main, names);
  if (found != kSuccess && names.empty()) return kErrInvalidParameter;
  WorkbookReader workbook;
  RelationshipsReader relationships;
  if (found == kSuccess) ParseParts(path, {main, RelationshipsOf(main)}, {&workbook, &relationships});
  const std::string_view dir = DirectoryOf(main);
  // The active sheet, else the first one, else the first sheet part by number.
  std::string sheet;
  const auto sheetOf = [&](std::size_t index) -> std::string {
    if (index >= workbook.sheetIds.size() || workbook.sheetIds[index].empty()) return {};
    const std::string part = relationships.Find(workbook.sheetIds[index], "/worksheet", dir);
    return HasPart(names, part) ? part : std::string();
  };
  if (workbook.activeTab < workbook.sheetIds.size()) sheet = sheetOf(static_cast<std::size_t>(workbook.activeTab));
  if (sheet.empty()) sheet = sheetOf(0);
  if (sheet.empty()) {
    const std::vector<std::string> numbered = NumberedParts(names, "xl/worksheets/sheet", 1);
    if (!numbered.empty()) sheet = numbered.front();
  }
  if (sheet.empty()) return kErrInvalidParameter;
  std::string shared = relationships.Find({}, "/sharedStrings", dir);
  if (shared.empty()) shared = "xl/sharedStrings.xml";

  CellGrid grid;
  SheetReader cells(grid);
  if (ParseParts(path, {sheet}, {&cells}) != kSuccess || !cells.Seen()) return kErrInvalidParameter;
  if (!cells.RootIs(Ns::Sheet, "worksheet") || (cells.Failed() && grid.Empty() && !cells.sawCells))
    return kErrInvalidParameter;
  const std::vector<std::uint64_t> keys = grid.DeferredKeys();
  if (!keys.empty()) {
    SharedStringsReader strings(keys);
    ParseParts(path, {shared}, {&strings});
    grid.Resolve(strings.strings);
  }
  text = grid.Text();
  return kSuccess;
}

// The first table of an OpenDocument spreadsheet. Repeated rows and cells (how the format
// writes runs of equal ones, up to the sheet's last row) count as many as they say, but only
// the few that can be shown are ever put in the grid.
class OdfSheetReader : public OdfReader {
 public:
  explicit OdfSheetReader(CellGrid& grid) : OdfReader("spreadsheet"), grid_(grid) {}
  bool sawTable = false;

 protected:
  void Start(Ns ns, std::string_view name, const XML_Char** attributes) override {
    NoteBody(ns, name);
    if (skip_ > 0 || SkippedOdfElement(ns, name)) {
      ++skip_;
      return;
    }
    if (ns == Ns::OdfTable && name == "table") {
      if (tables_ > 0 || !sawTable) ++tables_;  // tables inside the first one's cells count as nesting
      sawTable = true;
      return;
    }
    if (tables_ != 1) return;
    if (ns == Ns::OdfTable && name == "table-row") {
      inRow_ = true;
      rowRepeat_ = Repeat(Attribute(attributes, Ns::OdfTable, "number-rows-repeated"), kMaxRow);
      column_ = 0;
      rowCells_.clear();
    } else if (ns == Ns::OdfTable && inRow_ && (name == "table-cell" || name == "covered-table-cell")) {
      inCell_ = true;
      cellRepeat_ = Repeat(Attribute(attributes, Ns::OdfTable, "number-columns-repeated"), kMaxColumn);
      cellText_ = LimitedText(CellGrid::kMaxCellCharacters);
      cellParagraphs_ = 0;
      value_ = std::string(Attribute(attributes, Ns::OdfOffice, "value").substr(0, 64));
    } else if (ns == Ns::OdfText && inCell_) {
      if (name == "p" || name == "h") {
        if (cellParagraphs_++ > 0) cellText_.Append(' ');
        runs_.StartParagraph();
        ++paragraphs_;
      } else if (paragraphs_ > 0) {
        runs_.Element(name, Attribute(attributes, Ns::OdfText, "c"), cellText_, false);
      }
    }
  }
  void End(Ns ns, std::string_view name) override {
    if (skip_ > 0) {
      --skip_;
      return;
    }
    if (ns == Ns::OdfTable && name == "table" && tables_ > 0) {
      if (--tables_ == 0) Stop();  // the first table is all that is shown
      return;
    }
    if (tables_ != 1) return;
    if (ns == Ns::OdfText && (name == "p" || name == "h") && paragraphs_ > 0) {
      --paragraphs_;
    } else if (ns == Ns::OdfTable && inCell_ && (name == "table-cell" || name == "covered-table-cell")) {
      inCell_ = false;
      const std::string text = cellParagraphs_ > 0 ? cellText_.str() : value_;
      // Only the first columns of a run can be among the ones shown.
      if (!text.empty())
        for (std::uint64_t i = 0; i < cellRepeat_ && i < CellGrid::kColumns; ++i)
          if (column_ + i < kMaxColumn) rowCells_.emplace_back(column_ + i, text);
      column_ = std::min(column_ + cellRepeat_, kMaxColumn);
    } else if (ns == Ns::OdfTable && inRow_ && name == "table-row") {
      inRow_ = false;
      for (std::uint64_t i = 0; i < rowRepeat_ && i < CellGrid::kRows && !rowCells_.empty(); ++i)
        for (const auto& [column, text] : rowCells_) grid_.Add(row_ + i, column, text);
      row_ = std::min(row_ + rowRepeat_, kMaxRow);
    }
  }
  void Text(std::string_view text) override {
    if (skip_ == 0 && tables_ == 1 && inCell_ && paragraphs_ > 0) runs_.Characters(text, cellText_);
  }

 private:
  static std::uint64_t Repeat(std::string_view attribute, std::uint64_t cap) {
    std::uint64_t count;
    if (!ParseCount(attribute, count) || count == 0) return 1;
    return std::min(count, cap);
  }

  CellGrid& grid_;
  OdfRuns runs_;
  int skip_ = 0, tables_ = 0, paragraphs_ = 0, cellParagraphs_ = 0;
  bool inRow_ = false, inCell_ = false;
  std::uint64_t row_ = 0, column_ = 0, rowRepeat_ = 1, cellRepeat_ = 1;
  LimitedText cellText_{CellGrid::kMaxCellCharacters};
  std::string value_;
  std::vector<std::pair<std::uint64_t, std::string>> rowCells_;
};

Result OpenSpreadsheetText(const std::string& path, std::string& text) {
  CellGrid grid;
  OdfSheetReader reader(grid);
  if (ParseParts(path, {"content.xml"}, {&reader}) != kSuccess || !reader.Seen()) return kErrInvalidParameter;
  if (!reader.SawBody() || (reader.Failed() && grid.Empty() && !reader.sawTable)) return kErrInvalidParameter;
  text = grid.Text();
  return kSuccess;
}

// ---------------------------------------------------------------------------------------------
// Comma-separated text

Result CsvText(const std::string& path, std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return kErrInvalidParameter;
  std::string data(kMaxCsvBytes, '\0');
  const std::size_t got = std::fread(data.data(), 1, data.size(), file);
  std::fclose(file);
  data.resize(got);
  // A zero byte says binary data (or UTF-16), which the character dump shows better.
  if (data.find('\0') != std::string::npos) return kErrInvalidParameter;
  CellGrid grid;
  grid.AnchorAtOrigin();
  ParseCsv(data, GuessCsvSeparator(data), grid);
  text = grid.Text();
  return kSuccess;
}

}  // namespace

Result OfficeText(OfficeFormat format, const std::string& path, std::string& text) {
  text.clear();
  Result result = kErrInvalidParameter;
  switch (format) {
    case OfficeFormat::WordXml:
      result = WordXmlText(path, text);
      break;
    case OfficeFormat::PresentationXml:
      result = PresentationXmlText(path, text);
      break;
    case OfficeFormat::SpreadsheetXml:
      result = SpreadsheetXmlText(path, text);
      break;
    case OfficeFormat::OpenText:
      result = OpenTextText(path, text);
      break;
    case OfficeFormat::OpenPresentation:
      result = OpenPresentationText(path, text);
      break;
    case OfficeFormat::OpenSpreadsheet:
      result = OpenSpreadsheetText(path, text);
      break;
    case OfficeFormat::Csv:
      result = CsvText(path, text);
      break;
  }
  if (result != kSuccess) text.clear();
  return result;
}

}  // namespace rexmoor
