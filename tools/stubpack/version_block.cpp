#include "tools/stubpack/version_block.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "tools/stubpack/embedded.h"

namespace stubpack {

namespace {

struct Node {
  std::u16string key;
  Bytes value;
  uint32_t value_length = 0;  // units for text, bytes for binary, as the format counts them
  bool text = false;
  std::vector<Node> children;
};

bool TextNode(const std::string& key, const std::string& value, Node& node) {
  std::u16string k, v;
  if (!Utf8ToUtf16(key, k) || !Utf8ToUtf16(value, v)) return false;
  node.key = k;
  node.text = true;
  PutUtf16(node.value, v);
  PutU16(node.value, 0);
  node.value_length = static_cast<uint32_t>(v.size() + 1);
  return true;
}

Node Branch(const std::u16string& key, bool text) {
  Node node;
  node.key = key;
  node.text = text;
  return node;
}

// wLength counts the node up to its last byte; children and the value start 4-byte aligned.
void Serialise(const Node& node, Bytes& out) {
  const size_t start = out.size();
  PutU16(out, 0);
  PutU16(out, node.value_length);
  PutU16(out, node.text ? 1 : 0);
  PutUtf16(out, node.key);
  PutU16(out, 0);
  PadTo(out, 4);
  out.insert(out.end(), node.value.begin(), node.value.end());
  for (const Node& child : node.children) {
    PadTo(out, 4);
    Serialise(child, out);
  }
  SetU16(&out[start], static_cast<uint32_t>(out.size() - start));
}

}  // namespace

std::vector<VersionKey> DefaultVersionKeys() {
  std::vector<VersionKey> keys;
  std::istringstream in(
      std::string(reinterpret_cast<const char*>(kVersionTemplate), kVersionTemplateSize));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    keys.push_back({line.substr(0, equals), line.substr(equals + 1)});
  }
  return keys;
}

std::string OptionForKey(const std::string& key) {
  std::string option;
  for (size_t i = 0; i < key.size(); ++i) {
    const char c = key[i];
    if (c == ' ') {
      option += '-';
    } else if (std::isupper(static_cast<unsigned char>(c))) {
      if (i > 0 && key[i - 1] != ' ') option += '-';
      option += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else {
      option += c;
    }
  }
  return option;
}

bool ParseVersion(const std::string& text, uint16_t (&parts)[4]) {
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    size_t end = at;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end == at || end - at > 5) return false;
    const unsigned long value = std::stoul(text.substr(at, end - at));
    if (value > 65535) return false;
    parts[i] = static_cast<uint16_t>(value);
    if (i < 3 && (end >= text.size() || text[end] != '.')) return false;
    at = end + 1;
  }
  return at == text.size() + 1;
}

LeadingNumbers ReadLeadingNumbers(const std::string& text, uint16_t (&parts)[4]) {
  std::fill(parts, parts + 4, 0);
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at])))
      return i == 0 ? LeadingNumbers::kNone : LeadingNumbers::kRead;
    uint32_t value = 0;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
      value = value * 10 + static_cast<uint32_t>(text[at] - '0');
      if (value > 65535) return LeadingNumbers::kTooLarge;
    }
    parts[i] = static_cast<uint16_t>(value);
    // "2.3." and "2.3-beta" end the numbers as "2.3" does.
    if (at + 1 >= text.size() || text[at] != '.') return LeadingNumbers::kRead;
    ++at;
  }
  return LeadingNumbers::kRead;
}

std::string VersionText(const uint16_t (&parts)[4]) {
  return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
         std::to_string(parts[2]) + "." + std::to_string(parts[3]);
}

bool BuildVersionBlock(const VersionBlock& block, Bytes& out, std::string& problem) {
  Node root = Branch(u"VS_VERSION_INFO", false);
  const auto ms = [](const uint16_t(&v)[4]) { return uint32_t{v[0]} << 16 | v[1]; };
  const auto ls = [](const uint16_t(&v)[4]) { return uint32_t{v[2]} << 16 | v[3]; };
  for (uint32_t field :
       {0xFEEF04BDu, 0x00010000u, ms(block.file_version), ls(block.file_version),
        ms(block.product_version), ls(block.product_version), 0x17u, 0u, 4u, 1u, 0u, 0u, 0u})
    PutU32(root.value, field);  // signature, structure version, file, product, mask 0x17,
                                // flags 0, VOS__WINDOWS32, VFT_APP, subtype 0, date 0
  root.value_length = static_cast<uint32_t>(root.value.size());

  Node strings = Branch(u"StringFileInfo", true);
  Node table = Branch(u"040904b0", true);
  for (const VersionKey& k : block.strings) {
    Node text;
    if (!TextNode(k.key, k.value, text)) {
      problem = "the version block's " + k.key + " is not UTF-8 text or holds a NUL";
      return false;
    }
    table.children.push_back(text);
  }
  strings.children.push_back(table);

  Node variables = Branch(u"VarFileInfo", true);
  Node translation = Branch(u"Translation", false);
  PutU16(translation.value, 0x0409);
  PutU16(translation.value, 0x04B0);
  translation.value_length = 4;
  variables.children.push_back(translation);

  root.children.push_back(strings);
  root.children.push_back(variables);
  out.clear();
  Serialise(root, out);
  // Every node's length is 16 bits; the root's is the largest.
  if (out.size() > 0xFFFF) {
    problem = "the version block's texts take " + std::to_string(out.size()) +
              " bytes; the block's lengths count at most 65535";
    return false;
  }
  return true;
}

}  // namespace stubpack
