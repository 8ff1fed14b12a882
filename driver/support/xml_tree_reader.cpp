#include "driver/support/xml_tree_reader.h"

#include <algorithm>

#include "driver/support/utf8.h"
#include "driver/support/xml_parser.h"

namespace korvane {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsNameStart(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

bool IsNameChar(unsigned char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-'; }

// A character an XML document may hold.
// A name of ASCII letters, digits, '_', '-' and '.', without a namespace prefix.
bool PlainName(std::string_view name) {
  return std::all_of(name.begin(), name.end(), [](char c) { return c != ':' && static_cast<unsigned char>(c) < 0x80; });
}

bool IsXmlChar(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// Strict UTF-8 of XML characters only.
bool ValidCharacters(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') return false;
      ++i;
      continue;
    }
    const Utf8Step step = DecodeUtf8(text, i);
    if (!step.valid || !IsXmlChar(step.codePoint)) return false;
    i += step.length;
  }
  return true;
}

// `raw` with its line ends made single line feeds, as an XML reader sees them.
void AppendNormalised(std::string& out, std::string_view raw) {
  for (size_t start = 0;;) {
    const size_t cr = raw.find('\r', start);
    if (cr == std::string_view::npos) {
      out.append(raw.substr(start));
      return;
    }
    out.append(raw.substr(start, cr - start));
    out += '\n';
    start = cr + 1;
    if (start < raw.size() && raw[start] == '\n') ++start;
  }
}

}  // namespace

bool CXmlTreeReader::Read(std::string_view document, bool declaration) {
  elements_.clear();
  open_.clear();
  texts_.clear();
  forLibrary_ = false;
  in_ = document;
  pos_ = 0;
  if (!ValidCharacters(document)) return false;
  if (declaration && document.starts_with("<?xml") && document.size() > 5 && IsBlank(document[5]) && !Declaration()) {
    return false;
  }
  // An instruction before the root may leave the document to the library.
  if (!Misc()) return forLibrary_ && ReadWithLibrary(document);
  if (pos_ >= in_.size() || in_[pos_] != '<' || pos_ + 1 >= in_.size() || !IsNameStart(in_[pos_ + 1])) return false;
  bool read = StartTag();
  while (read && !open_.empty()) read = Content();
  read = read && Misc() && pos_ == in_.size();
  if (forLibrary_) return ReadWithLibrary(document);
  return read;
}

bool CXmlTreeReader::ReadWithLibrary(std::string_view document) {
  elements_.clear();
  open_.clear();
  texts_.clear();
  names_.clear();
  CXMLParser parser;
  if (!parser.LoadXml("<?xml version=\"1.0\" encoding=\"utf-8\"?>" + std::string(document))) return false;
  const auto roots = parser.SelectNodes("/*");
  if (roots.empty()) return false;
  // Names are kept in names_ and pointed at once it stops growing.
  std::vector<std::pair<size_t, size_t>> names;
  const auto add = [&](const CXMLParser::Node& node, int32_t previous, int32_t parent, auto&& self) -> int32_t {
    const auto index = static_cast<int32_t>(elements_.size());
    names.emplace_back(names_.size(), node.name.size());
    names_ += node.name;
    Element element;
    element.textBegin = texts_.size();
    texts_ += parser.GetNodeText(node);
    element.textEnd = texts_.size();
    elements_.push_back(element);
    if (previous != kNone) elements_[static_cast<size_t>(previous)].nextSibling = index;
    if (parent != kNone && previous == kNone) elements_[static_cast<size_t>(parent)].firstChild = index;
    int32_t last = kNone;
    for (const auto& child : parser.GetChildElements(node)) last = self(child, last, index, self);
    return index;
  };
  add(roots[0], kNone, kNone, add);
  for (size_t i = 0; i < elements_.size(); ++i) {
    elements_[i].name = std::string_view(names_).substr(names[i].first, names[i].second);
  }
  return true;
}

bool CXmlTreeReader::Content() {
  if (pos_ >= in_.size()) return false;
  if (in_[pos_] != '<') return CharacterData();
  const std::string_view rest = in_.substr(pos_);
  if (rest.starts_with("</")) return EndTag();
  if (rest.starts_with("<!--")) return Comment(true);
  if (rest.starts_with("<![CDATA[")) return CData();
  if (rest.starts_with("<?")) return Instruction(true);
  if (rest.starts_with("<!")) return false;
  return StartTag();
}

void CXmlTreeReader::SkipBlanks() {
  while (pos_ < in_.size() && IsBlank(in_[pos_])) ++pos_;
}

bool CXmlTreeReader::Misc() {
  while (true) {
    SkipBlanks();
    const std::string_view rest = in_.substr(pos_);
    if (rest.starts_with("<!--")) {
      if (!Comment(false)) return false;
    } else if (rest.starts_with("<?")) {
      if (!Instruction(false)) return false;
    } else {
      return true;
    }
  }
}

bool CXmlTreeReader::Name(std::string_view& name) {
  const size_t start = pos_;
  if (pos_ >= in_.size() || !IsNameStart(static_cast<unsigned char>(in_[pos_]))) return false;
  ++pos_;
  while (pos_ < in_.size() && IsNameChar(static_cast<unsigned char>(in_[pos_]))) ++pos_;
  name = in_.substr(start, pos_ - start);
  return true;
}

bool CXmlTreeReader::Reference(std::string* out) {
  ++pos_;  // '&'
  if (pos_ < in_.size() && in_[pos_] == '#') {
    ++pos_;
    const bool hex = pos_ < in_.size() && in_[pos_] == 'x';
    if (hex) ++pos_;
    uint32_t cp = 0;
    size_t digits = 0;
    for (; pos_ < in_.size() && in_[pos_] != ';'; ++pos_, ++digits) {
      const char c = in_[pos_];
      uint32_t digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<uint32_t>(c - '0');
      } else if (hex && c >= 'a' && c <= 'f') {
        digit = static_cast<uint32_t>(c - 'a' + 10);
      } else if (hex && c >= 'A' && c <= 'F') {
        digit = static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
      // Leading zeros are allowed in any number; past the last character nothing is.
      cp = std::min<uint32_t>(cp * (hex ? 16 : 10) + digit, 0x110000);
    }
    if (pos_ >= in_.size() || digits == 0 || !IsXmlChar(cp)) return false;
    ++pos_;  // ';'
    if (out != nullptr) AppendUtf8(*out, cp);
    return true;
  }
  static constexpr std::pair<std::string_view, char> kEntities[] = {
      {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
  for (const auto& [name, c] : kEntities) {
    if (in_.substr(pos_, name.size()) == name && pos_ + name.size() < in_.size() && in_[pos_ + name.size()] == ';') {
      pos_ += name.size() + 1;
      if (out != nullptr) *out += c;
      return true;
    }
  }
  return false;  // no other entity exists in a document without a DTD
}

bool CXmlTreeReader::AttributeValue() {
  if (pos_ >= in_.size() || (in_[pos_] != '"' && in_[pos_] != '\'')) return false;
  const char quote = in_[pos_++];
  while (pos_ < in_.size() && in_[pos_] != quote) {
    if (in_[pos_] == '<') return false;
    if (in_[pos_] == '&') {
      if (!Reference(nullptr)) return false;
    } else {
      ++pos_;
    }
  }
  if (pos_ >= in_.size()) return false;
  ++pos_;
  return true;
}

void CXmlTreeReader::BeginChildNode() {
  if (open_.empty()) {
    recordText_ = false;
    return;
  }
  Element& parent = elements_[static_cast<size_t>(open_.back().element)];
  recordText_ = !parent.hasChildNode;
  parent.hasChildNode = true;
  if (recordText_) parent.textBegin = parent.textEnd = texts_.size();
}

void CXmlTreeReader::AppendText(std::string_view raw) {
  if (!recordText_) return;
  AppendNormalised(texts_, raw);
  elements_[static_cast<size_t>(open_.back().element)].textEnd = texts_.size();
}

bool CXmlTreeReader::StartTag() {
  ++pos_;  // '<'
  std::string_view name;
  if (!Name(name)) return false;
  attributes_.clear();
  bool empty = false;
  while (true) {
    const size_t before = pos_;
    SkipBlanks();
    if (pos_ >= in_.size()) return false;
    if (in_[pos_] == '>') {
      ++pos_;
      break;
    }
    if (in_[pos_] == '/') {
      if (pos_ + 1 >= in_.size() || in_[pos_ + 1] != '>') return false;
      pos_ += 2;
      empty = true;
      break;
    }
    std::string_view attribute;
    if (pos_ == before || !Name(attribute)) return false;
    if (std::find(attributes_.begin(), attributes_.end(), attribute) != attributes_.end()) return false;
    attributes_.push_back(attribute);
    SkipBlanks();
    if (pos_ >= in_.size() || in_[pos_] != '=') return false;
    ++pos_;
    SkipBlanks();
    if (!AttributeValue()) return false;
  }
  if (open_.size() + 1 > kMaxDepth) return false;
  // Namespaces and names outside ASCII (whose valid characters are a long
  // table) are the library's business (see ReadWithLibrary).
  if (!PlainName(name)) forLibrary_ = true;
  for (const std::string_view attribute : attributes_) {
    if (!PlainName(attribute) || attribute == "xmlns") forLibrary_ = true;
  }
  if (forLibrary_) return false;
  BeginChildNode();
  const auto index = static_cast<int32_t>(elements_.size());
  Element element;
  element.name = name;
  elements_.push_back(element);
  if (!open_.empty()) {
    Open& parent = open_.back();
    if (parent.lastChild == kNone) {
      elements_[static_cast<size_t>(parent.element)].firstChild = index;
    } else {
      elements_[static_cast<size_t>(parent.lastChild)].nextSibling = index;
    }
    parent.lastChild = index;
  }
  if (!empty) open_.push_back({index, kNone, name});
  return true;
}

bool CXmlTreeReader::EndTag() {
  pos_ += 2;  // "</"
  std::string_view name;
  if (!Name(name)) return false;
  SkipBlanks();
  if (pos_ >= in_.size() || in_[pos_] != '>') return false;
  ++pos_;
  if (open_.empty() || open_.back().name != name) return false;
  open_.pop_back();
  return true;
}

bool CXmlTreeReader::Comment(bool record) {
  const size_t begin = pos_ + 4;  // after "<!--"
  const size_t end = in_.find("-->", begin);
  if (end == std::string_view::npos) return false;
  const std::string_view text = in_.substr(begin, end - begin);
  if (text.find("--") != std::string_view::npos || text.ends_with('-')) return false;
  pos_ = end + 3;
  if (record) {
    BeginChildNode();
    AppendText(text);
  }
  return true;
}

// '<?xml' S 'version' Eq '"1.0"' (S 'encoding' Eq EncName)? (S 'standalone' Eq ('yes' | 'no'))? S? '?>',
// either quote around each value.
bool CXmlTreeReader::Declaration() {
  pos_ = 5;
  const auto version = [](std::string_view value) { return value == "1.0"; };
  const auto encoding = [](std::string_view value) {
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (value.empty() || !letter(value.front())) return false;
    return std::all_of(value.begin() + 1, value.end(), [&letter](char c) {
      return letter(c) || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    });
  };
  const auto standalone = [](std::string_view value) { return value == "yes" || value == "no"; };
  if (!DeclarationValue("version", version)) return false;
  const size_t afterVersion = pos_;
  if (!DeclarationValue("encoding", encoding)) pos_ = afterVersion;
  const size_t afterEncoding = pos_;
  if (!DeclarationValue("standalone", standalone)) pos_ = afterEncoding;
  SkipBlanks();
  if (in_.substr(pos_, 2) != "?>") return false;
  pos_ += 2;
  return true;
}

// S name Eq quoted value, with `valid` accepting the value.
bool CXmlTreeReader::DeclarationValue(std::string_view name, bool (*valid)(std::string_view)) {
  if (pos_ >= in_.size() || !IsBlank(in_[pos_])) return false;
  SkipBlanks();
  if (in_.substr(pos_, name.size()) != name) return false;
  pos_ += name.size();
  SkipBlanks();
  if (pos_ >= in_.size() || in_[pos_] != '=') return false;
  ++pos_;
  SkipBlanks();
  if (pos_ >= in_.size() || (in_[pos_] != '"' && in_[pos_] != '\'')) return false;
  const char quote = in_[pos_++];
  const size_t end = in_.find(quote, pos_);
  if (end == std::string_view::npos || !valid(in_.substr(pos_, end - pos_))) return false;
  pos_ = end + 1;
  return true;
}

bool CXmlTreeReader::Instruction(bool record) {
  pos_ += 2;  // "<?"
  std::string_view target;
  if (!Name(target)) return false;
  if (target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l') {
    return false;  // reserved: a declaration may only open the document
  }
  if (target.find(':') != std::string_view::npos) return false;  // no colons in instruction names
  if (!PlainName(target)) {
    forLibrary_ = true;
    return false;
  }
  const size_t end = in_.find("?>", pos_);
  if (end == std::string_view::npos) return false;
  if (end != pos_ && !IsBlank(in_[pos_])) return false;
  SkipBlanks();
  const std::string_view data = in_.substr(std::min(pos_, end), end - std::min(pos_, end));
  pos_ = end + 2;
  if (record) {
    BeginChildNode();
    AppendText(data);
  }
  return true;
}

bool CXmlTreeReader::CData() {
  const size_t begin = pos_ + 9;  // after "<![CDATA["
  const size_t end = in_.find("]]>", begin);
  if (end == std::string_view::npos) return false;
  pos_ = end + 3;
  BeginChildNode();
  AppendText(in_.substr(begin, end - begin));
  return true;
}

bool CXmlTreeReader::CharacterData() {
  size_t end = in_.find('<', pos_);
  if (end == std::string_view::npos) end = in_.size();
  if (in_.substr(pos_, end - pos_).find("]]>") != std::string_view::npos) return false;
  BeginChildNode();
  std::string* out = recordText_ ? &texts_ : nullptr;
  while (pos_ < end) {
    const size_t amp = in_.find('&', pos_);
    const size_t stop = std::min(amp, end);
    if (out != nullptr) AppendNormalised(*out, in_.substr(pos_, stop - pos_));
    pos_ = stop;
    if (pos_ < end && !Reference(out)) return false;
  }
  if (out != nullptr) elements_[static_cast<size_t>(open_.back().element)].textEnd = texts_.size();
  return true;
}

}  // namespace korvane
