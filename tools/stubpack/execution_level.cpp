#include "tools/stubpack/execution_level.h"

#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/stubpack/resource_directory.h"

namespace stubpack {

namespace {

constexpr uint16_t kTypeManifest = 24;
// CreateProcessW reads manifest 1 of an executable; 2 and above serve libraries.
constexpr uint16_t kProcessManifest = 1;
// Far deeper than any manifest nests; a bound on what hostile text can make the reader hold.
constexpr size_t kMaxDepth = 64;

bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// ASCII letters, digits, "_-.:" and anything beyond ASCII: what XML allows in names, loosely.
bool IsNameUnit(uint8_t c) {
  return c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '_' || c == '-' || c == '.' || c == ':';
}

// A name without its namespace prefix. Prefixes are not resolved: a manifest is read by the
// local names of its elements, whichever prefix or default namespace gives them.
std::string_view LocalName(std::string_view name) {
  const size_t colon = name.rfind(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// Text of the input for a message: printable ASCII only, and short, so the message stays one line.
std::string Shown(std::string_view text) {
  std::string shown;
  for (const char c : text.substr(0, 40)) shown.push_back(c >= 0x20 && c < 0x7F ? c : '?');
  if (text.size() > 40) shown += "...";
  return shown;
}

class ManifestReader {
 public:
  ManifestReader(const uint8_t* text, size_t size)
      : text_(reinterpret_cast<const char*>(text), size) {}

  bool Read(ExecutionLevel& level, std::string& problem) {
    // A UTF-8 mark is skipped, so a UTF-16 one behind it is refused as one at the start is.
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") at_ = 3;
    const std::string_view start = text_.substr(at_, 2);
    if (start == "\xFF\xFE" || start == "\xFE\xFF")
      return Fail(at_, "the manifest is UTF-16 text; the packer reads UTF-8 only", problem);
    // Some tools pad a resource's data with zeros.
    while (!text_.empty() && text_.back() == '\0') text_.remove_suffix(1);
    if (const size_t nul = text_.find('\0'); nul != std::string_view::npos)
      return Fail(nul, "a NUL byte: the manifest is not UTF-8 text", problem);
    bool any_element = false;
    while (true) {
      const size_t open = text_.find('<', at_);
      if (open == std::string_view::npos) break;
      at_ = open;
      if (!Markup(any_element)) return Fail(at_, why_, problem);
    }
    if (!open_.empty())
      return Fail(text_.size(), "the manifest ends inside <" + Shown(open_.back()) + ">", problem);
    if (!any_element) return Fail(0, "the manifest holds no XML element", problem);
    level = found_ ? level_ : ExecutionLevel::kNone;
    return true;
  }

 private:
  bool Fail(size_t at, const std::string& why, std::string& problem) {
    problem = "at byte " + std::to_string(at) + " of the manifest: " + why;
    return false;
  }
  bool Refuse(std::string why) {
    why_ = std::move(why);
    return false;
  }
  bool StartsWith(std::string_view prefix) const {
    return text_.substr(at_, prefix.size()) == prefix;
  }
  // Moves past `end`, which must follow.
  bool SkipPast(std::string_view end, const char* what) {
    const size_t found = text_.find(end, at_);
    if (found == std::string_view::npos) return Refuse(std::string(what) + " is not closed");
    at_ = found + end.size();
    return true;
  }
  void SkipSpace() {
    while (at_ < text_.size() && IsSpace(static_cast<uint8_t>(text_[at_]))) ++at_;
  }
  bool Name(std::string_view& name) {
    const size_t start = at_;
    while (at_ < text_.size() && IsNameUnit(static_cast<uint8_t>(text_[at_]))) ++at_;
    name = text_.substr(start, at_ - start);
    if (name.empty()) return Refuse("a name is missing");
    return true;
  }

  // One piece of markup at `at_`, which holds '<'.
  bool Markup(bool& any_element) {
    if (StartsWith("<!--")) {
      at_ += 4;
      return SkipPast("-->", "a comment");
    }
    if (StartsWith("<![CDATA[")) return SkipPast("]]>", "a CDATA section");
    if (StartsWith("<?")) return SkipPast("?>", "a processing instruction");
    // A document type may declare entities that change what the text says.
    if (StartsWith("<!"))
      return Refuse("a document type declaration, which the packer does not read");
    if (StartsWith("</")) {
      at_ += 2;
      std::string_view name;
      if (!Name(name)) return false;
      SkipSpace();
      if (at_ >= text_.size() || text_[at_] != '>') return Refuse("an end tag is not closed");
      ++at_;
      if (open_.empty() || open_.back() != name)
        return Refuse(
            "</" + Shown(name) + "> closes " +
            (open_.empty() ? std::string("no element") : "<" + Shown(open_.back()) + ">"));
      open_.pop_back();
      return true;
    }
    ++at_;
    std::string_view name;
    if (!Name(name)) return false;
    any_element = true;
    std::vector<std::pair<std::string_view, std::string_view>> attributes;
    bool empty_element = false;
    while (true) {
      const size_t before = at_;
      SkipSpace();
      if (at_ >= text_.size()) return Refuse("a start tag is not closed");
      if (text_[at_] == '>') {
        ++at_;
        break;
      }
      if (StartsWith("/>")) {
        at_ += 2;
        empty_element = true;
        break;
      }
      if (at_ == before) return Refuse("attributes must be separated by white space");
      std::string_view attribute;
      if (!Name(attribute)) return false;
      SkipSpace();
      if (at_ >= text_.size() || text_[at_] != '=') return Refuse("an attribute has no value");
      ++at_;
      SkipSpace();
      if (at_ >= text_.size() || (text_[at_] != '"' && text_[at_] != '\''))
        return Refuse("an attribute's value is not quoted");
      const char quote = text_[at_++];
      const size_t end = text_.find(quote, at_);
      if (end == std::string_view::npos) return Refuse("an attribute's value is not closed");
      const std::string_view value = text_.substr(at_, end - at_);
      if (value.find('<') != std::string_view::npos)
        return Refuse("an attribute's value holds '<'");
      at_ = end + 1;
      for (const auto& [seen, ignored] : attributes) {
        if (seen == attribute) return Refuse("attribute " + Shown(attribute) + " appears twice");
      }
      attributes.emplace_back(attribute, value);
    }
    if (LocalName(name) == "requestedExecutionLevel" && !Level(attributes)) return false;
    if (!empty_element) {
      if (open_.size() >= kMaxDepth) return Refuse("elements nest too deeply");
      open_.push_back(name);
    }
    return true;
  }

  bool Level(const std::vector<std::pair<std::string_view, std::string_view>>& attributes) {
    static const char* const kPath[] = {"trustInfo", "security", "requestedPrivileges"};
    const size_t depth = open_.size();
    bool placed = depth >= 3;
    for (size_t i = 0; placed && i < 3; ++i) placed = LocalName(open_[depth - 3 + i]) == kPath[i];
    if (!placed)
      return Refuse(
          "requestedExecutionLevel stands outside trustInfo/security/requestedPrivileges");
    if (found_) return Refuse("a second requestedExecutionLevel");
    const std::string_view* value = nullptr;
    for (const auto& [attribute, text] : attributes) {
      if (attribute == "level") value = &text;
      if (attribute != "level" && LocalName(attribute) == "level")
        return Refuse("requestedExecutionLevel's level attribute carries a prefix");
    }
    if (value == nullptr) return Refuse("requestedExecutionLevel has no level attribute");
    static const std::pair<const char*, ExecutionLevel> kLevels[] = {
        {"asInvoker", ExecutionLevel::kAsInvoker},
        {"highestAvailable", ExecutionLevel::kHighestAvailable},
        {"requireAdministrator", ExecutionLevel::kRequireAdministrator}};
    for (const auto& [spelled, level] : kLevels) {
      if (*value == spelled) {
        level_ = level;
        found_ = true;
        return true;
      }
    }
    return Refuse("level=\"" + Shown(*value) +
                  "\" is none of asInvoker, highestAvailable and requireAdministrator");
  }

  std::string_view text_;
  size_t at_ = 0;
  std::vector<std::string_view> open_;  // the elements that enclose at_, outermost first
  bool found_ = false;
  ExecutionLevel level_ = ExecutionLevel::kNone;
  std::string why_;
};

}  // namespace

bool ReadExecutionLevel(const uint8_t* text, size_t size, ExecutionLevel& level,
                        std::string& problem) {
  return ManifestReader(text, size).Read(level, problem);
}

bool ReadImageElevation(const uint8_t* image, uint64_t size, ImageElevation& elevation,
                        std::string& problem) {
  elevation = ImageElevation();
  ResourceDirectoryReader reader;
  if (!OpenResourceDirectory(image, size, reader, problem)) return false;
  elevation.is_32_bit = reader.pe.Is32Bit();
  if (!reader.present) return true;
  const auto damaged = [&]() {
    problem = reader.problem.empty() ? "the resource directory is damaged" : reader.problem;
    return false;
  };
  // The entry of `id` in the table at `at`, if any.
  const auto find = [&](uint64_t at, uint16_t id, const ResourceDirectoryReader::Entry*& found,
                        std::vector<ResourceDirectoryReader::Entry>& entries) {
    found = nullptr;
    if (!reader.Table(at, entries)) return false;
    for (const ResourceDirectoryReader::Entry& e : entries) {
      if (e.id.is_number && e.id.number == id) found = &e;
    }
    return found == nullptr || found->IsTable();
  };
  std::vector<ResourceDirectoryReader::Entry> types, names, languages;
  const ResourceDirectoryReader::Entry* type = nullptr;
  const ResourceDirectoryReader::Entry* name = nullptr;
  if (!find(0, kTypeManifest, type, types)) return damaged();
  if (type == nullptr) return true;
  if (!find(type->Offset(), kProcessManifest, name, names)) return damaged();
  if (name == nullptr) return true;
  if (!reader.Table(name->Offset(), languages)) return damaged();
  // The loader picks one language by the user's; every one must ask for the same.
  for (const ResourceDirectoryReader::Entry& language : languages) {
    ResourceDirectoryReader::Data data;
    if (language.IsTable() || !reader.Leaf(language.target, "#24/#1", data)) return damaged();
    ExecutionLevel level = ExecutionLevel::kNone;
    if (!ReadExecutionLevel(image + data.offset, data.size, level, problem)) return false;
    if (elevation.has_manifest && level != elevation.level) {
      problem = "the manifest's languages ask for different execution levels";
      return false;
    }
    elevation.has_manifest = true;
    elevation.level = level;
  }
  return true;
}

std::string ElevationRefusal(const ImageElevation& e) {
  const std::string refused =
      "CreateProcessW from the unelevated stub fails with ERROR_ELEVATION_REQUIRED (740)";
  switch (e.level) {
    case ExecutionLevel::kRequireAdministrator:
      return "setup asks for administrator rights (requestedExecutionLevel requireAdministrator), "
             "so " +
             refused;
    case ExecutionLevel::kHighestAvailable:
      return "setup asks for its user's highest rights (requestedExecutionLevel "
             "highestAvailable): when an administrator runs the installer, " +
             refused + "; a standard user's run starts setup unelevated";
    case ExecutionLevel::kAsInvoker:
      return {};
    case ExecutionLevel::kNone:
      break;
  }
  if (!e.is_32_bit) return {};
  // Installer detection looks at 32-bit images that name no level, by their file name: setup's
  // is setup.exe or its resource name, which begins with "setup".
  return std::string("setup is a 32-bit image ") +
         (e.has_manifest ? "whose manifest names no requestedExecutionLevel"
                         : "without a manifest") +
         ", and its file name holds \"setup\": installer detection takes it for an image that "
         "asks for administrator rights, so " +
         refused;
}

std::string ElevationRefusal(const uint8_t* image, uint64_t size) {
  ImageElevation elevation;
  std::string problem;
  if (ReadImageElevation(image, size, elevation, problem)) return ElevationRefusal(elevation);
  return UnreadManifestRefusal(problem);
}

std::string UnreadManifestRefusal(const std::string& problem) {
  return "setup's manifest cannot be read (" + problem +
         "), so setup may ask for administrator rights, and CreateProcessW from the unelevated "
         "stub would then fail with ERROR_ELEVATION_REQUIRED (740)";
}

}  // namespace stubpack
