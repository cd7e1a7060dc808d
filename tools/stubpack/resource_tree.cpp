#include "tools/stubpack/resource_tree.h"

#include <cstdio>
#include <map>

#include "tools/stubpack/system.h"

namespace stubpack {

ResourceId ResourceId::Number(uint16_t number) {
  ResourceId id;
  id.is_number = true;
  id.number = number;
  return id;
}

ResourceId ResourceId::Name(const std::u16string& name) {
  ResourceId id;
  id.name = Capitalise(name);
  return id;
}

std::string ResourceId::Display() const {
  if (is_number) return "#" + std::to_string(number);
  // Names come from the files users hand in and are shown inside one-line messages and the
  // listing's rows.
  return ShownText(name);
}

bool operator<(const ResourceId& a, const ResourceId& b) {
  if (a.is_number != b.is_number) return !a.is_number;
  return a.is_number ? a.number < b.number : a.name < b.name;
}

bool operator==(const ResourceId& a, const ResourceId& b) {
  return a.is_number == b.is_number && a.number == b.number && a.name == b.name;
}

std::u16string Capitalise(const std::u16string& text) {
  std::u16string out;
  for (char16_t c : text) {
    if (c >= u'a' && c <= u'z') {
      c = static_cast<char16_t>(c - u'a' + u'A');
    } else if (c >= 0x80 && (c < 0xD800 || c > 0xDFFF)) {
      // Only a capital whose small letter is the unit again: the C library maps title-case
      // digraphs, Greek symbol variants, the micro sign and dotless i to capitals of other
      // letters, Windows's tables leave them as they are, and both builds must store the same
      // name.
      const char16_t upper = sys::UpperCaseUnit(c);
      if (sys::LowerCaseUnit(upper) == c) c = upper;
    }
    out.push_back(c);
  }
  return out;
}

bool ParseResourceId(const std::string& text, ResourceId& id, std::string& problem) {
  if (text.empty()) {
    problem = "an empty resource identifier";
    return false;
  }
  if (text.find_first_not_of("0123456789") == std::string::npos) {
    const unsigned long value = text.size() <= 5 ? std::stoul(text) : 0;
    if (value < 1 || value > 65535) {
      problem = "a numbered resource identifier must be 1 to 65535: \"" + text + "\"";
      return false;
    }
    id = ResourceId::Number(static_cast<uint16_t>(value));
    return true;
  }
  std::u16string name;
  if (!Utf8ToUtf16(text, name)) {
    problem = "a resource name that is not UTF-8 text: \"" + text + "\"";
    return false;
  }
  if (name.size() > 0xFFFF) {
    problem = "a resource name longer than 65535 UTF-16 units";
    return false;
  }
  id = ResourceId::Name(name);
  return true;
}

namespace {

constexpr uint32_t kSubdirectory = 0x80000000;
constexpr uint32_t kNamed = 0x80000000;

void PutDirectoryHeader(Bytes& out, uint32_t named, uint32_t numbered) {
  PutU32(out, 0);  // characteristics
  PutU32(out, 0);  // time stamp: none, so that identical inputs give identical bytes
  PutU16(out, 0);  // version
  PutU16(out, 0);
  PutU16(out, named);
  PutU16(out, numbered);
}

}  // namespace

SectionLayout LayOutSection(const std::vector<ResourceEntry>& entries, uint32_t section_rva) {
  // Three levels: type, name, language. Entries are sorted, so each level's runs are contiguous.
  struct Range {
    size_t first, last;  // [first, last) in entries
  };
  std::vector<Range> types;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (types.empty() || !(entries[i].type == entries[types.back().first].type)) {
      types.push_back({i, i + 1});
    } else {
      types.back().last = i + 1;
    }
  }
  const auto counts = [&](size_t first, size_t last, uint32_t& named, uint32_t& numbered) {
    named = numbered = 0;
    for (size_t i = first; i < last; ++i) (entries[i].name.is_number ? numbered : named) += 1;
  };

  // Sizes first: root, type tables, name tables (one language each), data entries, names.
  const uint64_t root_size = 16 + 8 * types.size();
  uint64_t type_tables_size = 0;
  for (const Range& t : types) type_tables_size += 16 + 8 * (t.last - t.first);
  const uint64_t language_tables_size = (16 + 8) * entries.size();
  const uint64_t data_entries_at = root_size + type_tables_size + language_tables_size;
  const uint64_t names_at = data_entries_at + 16 * entries.size();

  Bytes names;
  std::map<std::u16string, uint32_t> name_offset;
  const auto name_ref = [&](const std::u16string& name) {
    auto found = name_offset.find(name);
    if (found != name_offset.end()) return found->second;
    const uint32_t at = static_cast<uint32_t>(names_at + names.size());
    PutU16(names, static_cast<uint32_t>(name.size()));
    PutUtf16(names, name);
    name_offset.emplace(name, at);
    return at;
  };

  SectionLayout layout;
  Bytes& out = layout.directory;
  uint32_t named = 0, numbered = 0;
  for (const Range& t : types) (entries[t.first].type.is_number ? numbered : named) += 1;
  PutDirectoryHeader(out, named, numbered);
  uint64_t type_table_at = root_size;
  for (const Range& t : types) {
    const ResourceId& id = entries[t.first].type;
    PutU32(out, id.is_number ? id.number : kNamed | name_ref(id.name));
    PutU32(out, kSubdirectory | static_cast<uint32_t>(type_table_at));
    type_table_at += 16 + 8 * (t.last - t.first);
  }
  uint64_t language_table_at = root_size + type_tables_size;
  for (const Range& t : types) {
    counts(t.first, t.last, named, numbered);
    PutDirectoryHeader(out, named, numbered);
    for (size_t i = t.first; i < t.last; ++i) {
      const ResourceId& id = entries[i].name;
      PutU32(out, id.is_number ? id.number : kNamed | name_ref(id.name));
      PutU32(out, kSubdirectory | static_cast<uint32_t>(language_table_at));
      language_table_at += 16 + 8;
    }
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    PutDirectoryHeader(out, 0, 1);
    PutU32(out, entries[i].language);
    PutU32(out, static_cast<uint32_t>(data_entries_at + 16 * i));
  }
  // The data follows the names, each item at an 8-byte boundary.
  uint64_t data_at = AlignUp(names_at + names.size(), 8);
  for (const ResourceEntry& entry : entries) {
    layout.data_offset.push_back(data_at);
    data_at = AlignUp(data_at + entry.size, 8);
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    PutU32(out, static_cast<uint32_t>(section_rva + layout.data_offset[i]));
    PutU32(out, static_cast<uint32_t>(entries[i].size));
    PutU32(out, 0);  // code page
    PutU32(out, 0);
  }
  out.insert(out.end(), names.begin(), names.end());
  PadTo(out, 8);
  layout.size = entries.empty() ? out.size() : layout.data_offset.back() + entries.back().size;
  return layout;
}

}  // namespace stubpack
