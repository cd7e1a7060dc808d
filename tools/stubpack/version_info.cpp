#include "tools/stubpack/version_info.h"

#include <cctype>
#include <cstdio>

#include "tools/stubpack/bytes.h"
#include "tools/stubpack/resource_directory.h"

namespace stubpack {

namespace {

constexpr uint16_t kTypeVersion = 16;
constexpr uint16_t kVersionName = 1;  // VS_VERSION_INFO, the name every reader asks for
constexpr uint32_t kFixedSignature = 0xFEEF04BD;
constexpr size_t kFixedSize = 52;
constexpr size_t kHeaderSize = 6;  // wLength, wValueLength, wType

// One node's header as stored: its bytes lie in [start, end), its value starts at `value`, its
// children at `children` (both 4-byte aligned from the block's start).
struct Node {
  size_t start = 0, end = 0, value = 0, children = 0;
  uint16_t value_length = 0, type = 0;
  std::u16string key;
};

class BlockReader {
 public:
  BlockReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Read(VersionInfo& info, std::string& problem) {
    info = VersionInfo();
    Node root;
    if (!Open(0, size_, "the block", root)) return Fail(problem);
    if (root.key != u"VS_VERSION_INFO")
      return Refuse(0, "the root is \"" + ShownText(root.key) + "\", not VS_VERSION_INFO", problem);
    if (root.value_length != 0 && !Fixed(root, info)) return Fail(problem);
    std::vector<Node> sections;
    if (!Children(root, sections)) return Fail(problem);
    for (const Node& section : sections) {
      // Other keys are left alone, as every reader of the block does.
      if (section.key == u"StringFileInfo" && !Strings(section, info)) return Fail(problem);
      if (section.key == u"VarFileInfo" && !Variables(section, info)) return Fail(problem);
    }
    return true;
  }

 private:
  bool Refuse(size_t at, const std::string& why, std::string& problem) {
    at_ = at;
    why_ = why;
    return Fail(problem);
  }
  bool Fail(std::string& problem) {
    problem = "at byte " + std::to_string(at_) + " of the version block: " + why_;
    return false;
  }
  bool Stop(size_t at, std::string why) {
    at_ = at;
    why_ = std::move(why);
    return false;
  }

  // The node at `at`, which must end by `limit`, the end of `parent`.
  bool Open(size_t at, size_t limit, const char* parent, Node& node) {
    if (limit - at < kHeaderSize)
      return Stop(at, std::to_string(limit - at) + " bytes are left in " + parent +
                          ", too few for a node's header");
    const uint16_t length = GetU16(data_ + at);
    if (length < kHeaderSize)
      return Stop(at, "a node of " + std::to_string(length) + " bytes, shorter than its header");
    if (length % 2 != 0)
      return Stop(at, "a node of " + std::to_string(length) + " bytes: an odd length");
    if (length > limit - at)
      return Stop(at, "a node of " + std::to_string(length) + " bytes reaches beyond " + parent +
                          ", which ends at byte " + std::to_string(limit));
    node = Node();
    node.start = at;
    node.end = at + length;
    node.value_length = GetU16(data_ + at + 2);
    node.type = GetU16(data_ + at + 4);
    size_t unit = at + kHeaderSize;
    while (true) {
      if (node.end - unit < 2) return Stop(at, "the node's key has no terminator");
      const char16_t c = GetU16(data_ + unit);
      unit += 2;
      if (c == 0) break;
      node.key.push_back(c);
    }
    node.value = AlignUp(unit, 4);
    // Text values count UTF-16 units, binary ones bytes.
    const size_t value_bytes = node.type == 1 ? 2 * size_t{node.value_length} : node.value_length;
    node.children = AlignUp(node.value + value_bytes, 4);
    return true;
  }

  bool Children(const Node& node, std::vector<Node>& children) {
    children.clear();
    const std::string what = "\"" + ShownText(node.key) + "\"";
    for (size_t at = node.children; at < node.end;) {
      Node child;
      if (!Open(at, node.end, what.c_str(), child)) return false;
      children.push_back(child);
      at = AlignUp(child.end, 4);
    }
    return true;
  }

  bool Fixed(const Node& root, VersionInfo& info) {
    if (root.value_length < kFixedSize || root.value + kFixedSize > root.end)
      return Stop(root.value, "the fixed part holds " + std::to_string(root.value_length) +
                                  " bytes of the " + std::to_string(kFixedSize) + " it needs");
    const uint8_t* fixed = data_ + root.value;
    if (GetU32(fixed) != kFixedSignature)
      return Stop(root.value, "the fixed part lacks its signature 0xFEEF04BD");
    const auto split = [](uint32_t ms, uint32_t ls, uint16_t(&parts)[4]) {
      parts[0] = static_cast<uint16_t>(ms >> 16);
      parts[1] = static_cast<uint16_t>(ms);
      parts[2] = static_cast<uint16_t>(ls >> 16);
      parts[3] = static_cast<uint16_t>(ls);
    };
    split(GetU32(fixed + 8), GetU32(fixed + 12), info.file_version);
    split(GetU32(fixed + 16), GetU32(fixed + 20), info.product_version);
    info.file_flags_mask = GetU32(fixed + 24);
    info.file_flags = GetU32(fixed + 28);
    info.file_os = GetU32(fixed + 32);
    info.file_type = GetU32(fixed + 36);
    info.file_subtype = GetU32(fixed + 40);
    info.has_fixed = true;
    return true;
  }

  bool Strings(const Node& section, VersionInfo& info) {
    std::vector<Node> tables, strings;
    if (!Children(section, tables)) return false;
    for (const Node& t : tables) {
      VersionTable table;
      table.name = Utf16ToUtf8(t.key);
      if (!Children(t, strings)) return false;
      for (const Node& s : strings) {
        VersionString string;
        string.key = Utf16ToUtf8(s.key);
        // A length of 0 is an empty value that some writers store without even a terminator.
        if (s.value_length != 0) {
          std::u16string value;
          size_t unit = s.value;
          while (true) {
            if (unit >= s.end || s.end - unit < 2)
              return Stop(s.start, "the value of \"" + ShownText(s.key) + "\" has no terminator");
            const char16_t c = GetU16(data_ + unit);
            unit += 2;
            if (c == 0) break;
            value.push_back(c);
          }
          string.value = Utf16ToUtf8(value);
        }
        table.strings.push_back(string);
      }
      info.tables.push_back(table);
    }
    return true;
  }

  bool Variables(const Node& section, VersionInfo& info) {
    std::vector<Node> variables;
    if (!Children(section, variables)) return false;
    for (const Node& v : variables) {
      if (v.key != u"Translation") continue;
      if (v.value_length % 4 != 0 || v.value + v.value_length > v.end)
        return Stop(v.start, "the Translation's " + std::to_string(v.value_length) +
                                 " bytes are not whole pairs of language and code page within "
                                 "its node");
      for (size_t at = v.value; at < v.value + v.value_length; at += 4)
        info.translations.push_back(uint32_t{GetU16(data_ + at)} << 16 | GetU16(data_ + at + 2));
    }
    return true;
  }

  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  std::string why_;
};

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

bool ReadVersionInfo(const uint8_t* data, size_t size, VersionInfo& info, std::string& problem) {
  return BlockReader(data, size).Read(info, problem);
}

bool ReadImageVersionInfo(const uint8_t* image, uint64_t size, VersionInfo& info, bool& present,
                          std::string& problem) {
  info = VersionInfo();
  present = false;
  ResourceDirectoryReader reader;
  if (!OpenResourceDirectory(image, size, reader, problem)) return false;
  if (!reader.present) return true;
  const auto damaged = [&]() {
    problem = reader.problem.empty() ? "the resource directory is damaged" : reader.problem;
    return false;
  };
  std::vector<ResourceDirectoryReader::Entry> entries;
  const auto find = [&](uint64_t at, uint16_t id, uint32_t& target, bool& found) {
    found = false;
    if (!reader.Table(at, entries)) return false;
    for (const ResourceDirectoryReader::Entry& e : entries) {
      if (!e.id.is_number || e.id.number != id) continue;
      if (!e.IsTable()) return false;
      target = e.Offset();
      found = true;
    }
    return true;
  };
  uint32_t at = 0;
  bool found = false;
  if (!find(0, kTypeVersion, at, found)) return damaged();
  if (!found) return true;
  if (!find(at, kVersionName, at, found)) return damaged();
  if (!found) return true;
  if (!reader.Table(at, entries)) return damaged();
  if (entries.empty()) return true;
  ResourceDirectoryReader::Data data;
  if (entries[0].IsTable() || !reader.Leaf(entries[0].target, "#16/#1", data)) return damaged();
  present = true;
  return ReadVersionInfo(image + data.offset, data.size, info, problem);
}

const VersionTable* ChosenTable(const VersionInfo& info) {
  const auto named = [&](const std::string& name) -> const VersionTable* {
    for (const VersionTable& t : info.tables) {
      if (SameName(t.name, name)) return &t;
    }
    return nullptr;
  };
  if (!info.translations.empty()) {
    char name[9];
    std::snprintf(name, sizeof(name), "%08x", static_cast<unsigned>(info.translations[0]));
    if (const VersionTable* t = named(name)) return t;
  }
  if (const VersionTable* t = named("040904b0")) return t;
  return info.tables.empty() ? nullptr : &info.tables[0];
}

const std::string* FindVersionString(const VersionTable& table, const std::string& key) {
  for (const VersionString& s : table.strings) {
    if (s.key == key) return &s.value;
  }
  return nullptr;
}

}  // namespace stubpack
