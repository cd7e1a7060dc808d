#include "tools/stubpack/version_block.h"

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

Node TextNode(const std::string& key, const std::string& value) {
  Node node;
  std::u16string k, v;
  Utf8ToUtf16(key, k);
  Utf8ToUtf16(value, v);
  node.key = k;
  node.text = true;
  PutUtf16(node.value, v);
  PutU16(node.value, 0);
  node.value_length = static_cast<uint32_t>(v.size() + 1);
  return node;
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

bool BuildVersionBlock(const std::vector<VersionKey>& keys, Bytes& block, std::string& problem) {
  std::string product, file;
  for (const VersionKey& k : keys) {
    if (k.key == "ProductVersion") product = k.value;
    if (k.key == "FileVersion") file = k.value;
  }
  uint16_t version[4], file_version[4];
  if (!ParseVersion(product, version)) {
    problem = "--product-version must be four numbers from 0 to 65535, such as 1.2.3.4: \"" +
              product + "\"";
    return false;
  }
  if (!ParseVersion(file, file_version) || !std::equal(version, version + 4, file_version)) {
    problem =
        "--file-version must name the same four numbers as --product-version (the "
        "version block's fixed part holds one version for both): \"" +
        file + "\"";
    return false;
  }

  Node root = Branch(u"VS_VERSION_INFO", false);
  const uint32_t ms = uint32_t{version[0]} << 16 | version[1];
  const uint32_t ls = uint32_t{version[2]} << 16 | version[3];
  for (uint32_t field : {0xFEEF04BDu, 0x00010000u, ms, ls, ms, ls, 0x17u, 0u, 4u, 1u, 0u, 0u, 0u})
    PutU32(root.value, field);  // signature, structure version, file, product, mask 0x17,
                                // flags 0, VOS__WINDOWS32, VFT_APP, subtype 0, date 0
  root.value_length = static_cast<uint32_t>(root.value.size());

  Node strings = Branch(u"StringFileInfo", true);
  Node table = Branch(u"040904b0", true);
  for (const VersionKey& k : keys) table.children.push_back(TextNode(k.key, k.value));
  strings.children.push_back(table);

  Node variables = Branch(u"VarFileInfo", true);
  Node translation = Branch(u"Translation", false);
  PutU16(translation.value, 0x0409);
  PutU16(translation.value, 0x04B0);
  translation.value_length = 4;
  variables.children.push_back(translation);

  root.children.push_back(strings);
  root.children.push_back(variables);
  block.clear();
  Serialise(root, block);
  return true;
}

}  // namespace stubpack
