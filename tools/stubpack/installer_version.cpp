#include "tools/stubpack/installer_version.h"

#include <algorithm>

namespace stubpack {

namespace {

const std::string* Given(const VersionRequest& request, const std::string& key) {
  for (const VersionKey& k : request.given) {
    if (k.key == key) return &k.value;
  }
  return nullptr;
}

// The installer's own file: setup's InternalName and OriginalFilename name setup.exe, which is
// not the file they would describe, and Windows uses OriginalFilename to tell a renamed copy.
bool NamesTheFile(const std::string& key) {
  return key == "InternalName" || key == "OriginalFilename";
}

std::string InternalName(const std::string& output_name) {
  const size_t dot = output_name.rfind('.');
  return dot == std::string::npos || dot == 0 ? output_name : output_name.substr(0, dot);
}

// The fixed numbers that `text` begins with; `option` names the text's origin in messages.
bool NumbersOfText(const std::string& key, const std::string& text, const std::string& file,
                   uint16_t (&parts)[4], std::vector<VersionWarning>& warnings,
                   std::string& problem) {
  const std::string option = "--" + OptionForKey(key) + "-number";
  const std::string shown = (file.empty() ? "--" + OptionForKey(key) : key) + " \"" + text + "\"";
  switch (ReadLeadingNumbers(text, parts)) {
    case LeadingNumbers::kRead:
      return true;
    case LeadingNumbers::kNone:
      warnings.push_back({file, shown + " begins with no number: the fixed part's " +
                                    (key == "FileVersion" ? "file" : "product") +
                                    " version is 0.0.0.0 (" + option + " A.B.C.D sets it)"});
      return true;
    case LeadingNumbers::kTooLarge:
      break;
  }
  problem = (file.empty() ? "" : file + ": ") + shown +
            ": a number beyond 65535, which the fixed part cannot hold; " + option +
            " A.B.C.D gives its four numbers";
  return false;
}

}  // namespace

bool ComposeInstallerVersion(const VersionRequest& request, const VersionInfo* setup,
                             const std::string& setup_path, const std::string& output_name,
                             VersionBlock& block, std::vector<VersionWarning>& warnings,
                             std::string& problem) {
  block = VersionBlock();
  warnings.clear();
  const VersionTable* table = setup != nullptr ? ChosenTable(*setup) : nullptr;
  const auto from_setup = [&](const std::string& key) -> std::string {
    const std::string* value = table != nullptr ? FindVersionString(*table, key) : nullptr;
    return value != nullptr ? *value : std::string();
  };
  const std::vector<VersionKey> defaults = DefaultVersionKeys();
  const std::string* product_option = Given(request, "ProductVersion");
  const std::string* file_option = Given(request, "FileVersion");
  const std::string product_text = product_option ? *product_option : from_setup("ProductVersion");
  const bool file_follows = file_option == nullptr && from_setup("FileVersion").empty();

  for (const VersionKey& d : defaults) {
    std::string value;
    if (const std::string* given = Given(request, d.key)) {
      value = *given;
    } else if (d.key == "InternalName") {
      value = InternalName(output_name);
    } else if (d.key == "OriginalFilename") {
      value = output_name;
    } else if (d.key == "FileVersion" && file_follows) {
      value = product_text;
    } else {
      value = from_setup(d.key);
      if (value.empty()) value = d.value;
    }
    if (!value.empty()) block.strings.push_back({d.key, value});
  }
  // Setup's other keys (Comments of its own, PrivateBuild, ...), once each, in its order.
  if (table != nullptr) {
    for (const VersionString& s : table->strings) {
      const bool listed = std::any_of(block.strings.begin(), block.strings.end(),
                                      [&](const VersionKey& k) { return k.key == s.key; }) ||
                          std::any_of(defaults.begin(), defaults.end(),
                                      [&](const VersionKey& k) { return k.key == s.key; });
      if (!listed && !NamesTheFile(s.key) && !s.value.empty())
        block.strings.push_back({s.key, s.value});
    }
  }

  const bool setup_fixed = setup != nullptr && setup->has_fixed;
  const std::string product_file = product_option ? "" : setup_path;
  if (request.product_number_given) {
    std::copy(request.product_number, request.product_number + 4, block.product_version);
  } else if (product_option == nullptr && setup_fixed) {
    std::copy(setup->product_version, setup->product_version + 4, block.product_version);
  } else if (!product_text.empty() && !NumbersOfText("ProductVersion", product_text, product_file,
                                                     block.product_version, warnings, problem)) {
    return false;
  }
  // A text that an option changed no longer matches setup's numbers.
  const bool file_changed = file_option != nullptr || (file_follows && product_option != nullptr);
  const std::string file_text = BlockValue(block, "FileVersion");
  if (request.file_number_given) {
    std::copy(request.file_number, request.file_number + 4, block.file_version);
  } else if (!file_changed && setup_fixed) {
    std::copy(setup->file_version, setup->file_version + 4, block.file_version);
  } else if (file_follows) {
    std::copy(block.product_version, block.product_version + 4, block.file_version);
  } else if (!file_text.empty() &&
             !NumbersOfText("FileVersion", file_text, file_option ? "" : setup_path,
                            block.file_version, warnings, problem)) {
    return false;
  }
  return true;
}

std::vector<std::string> MissingShownKeys(const VersionBlock& block) {
  std::vector<std::string> missing;
  for (const char* key :
       {"ProductName", "CompanyName", "ProductVersion", "FileVersion", "LegalCopyright"}) {
    if (BlockValue(block, key).empty()) missing.push_back(key);
  }
  return missing;
}

std::string BlockValue(const VersionBlock& block, const std::string& key) {
  for (const VersionKey& k : block.strings) {
    if (k.key == key) return k.value;
  }
  return {};
}

}  // namespace stubpack
