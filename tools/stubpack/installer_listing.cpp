#include "tools/stubpack/installer_listing.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <sstream>

#include "tools/stubpack/json_writer.h"
#include "tools/stubpack/mapped_file.h"
#include "tools/stubpack/pe_image.h"
#include "tools/stubpack/report.h"
#include "tools/stubpack/resource_directory.h"
#include "tools/stubpack/sha256.h"
#include "tools/stubpack/signing.h"
#include "tools/stubpack/version_block.h"
#include "tools/stubpack/version_info.h"

namespace stubpack {

namespace {

std::string Shorten(const ResourceId& id) {
  if (id.is_number) return id.Display();
  std::string text = id.Display();
  if (id.name.size() > 40) {
    ResourceId start;
    start.name = id.name.substr(0, 24);
    text = start.Display() + "... (" + std::to_string(id.name.size()) + " units)";
  }
  return text;
}

std::string TypeLabel(const ResourceId& type) {
  if (!type.is_number) return type.Display();
  switch (type.number) {
    case 3:
      return "#3 RT_ICON";
    case 14:
      return "#14 RT_GROUP_ICON";
    case 16:
      return "#16 RT_VERSION";
    case 24:
      return "#24 RT_MANIFEST";
    default:
      return type.Display();
  }
}

// A value on one line, in quotes: quotes, backslashes and control characters escaped.
std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\x%02x", static_cast<unsigned char>(c));
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

// The installer's own version block as the Details of its file show it.
void PrintVersion(const uint8_t* file, uint64_t size, std::ostream& out) {
  VersionInfo info;
  bool present = false;
  std::string problem;
  if (!ReadImageVersionInfo(file, size, info, present, problem)) {
    out << "version block: cannot be read: " << problem << "\n";
    return;
  }
  if (!present) {
    out << "version block: none\n";
    return;
  }
  const VersionTable* table = ChosenTable(info);
  out << "version block" << (table ? ", string table " + table->name : std::string()) << ":\n";
  if (info.has_fixed) {
    out << "  fixed part: file version " << VersionText(info.file_version) << ", product version "
        << VersionText(info.product_version) << "\n";
  } else {
    out << "  fixed part: none\n";
  }
  if (table == nullptr) out << "  no string table\n";
  for (size_t i = 0; table != nullptr && i < table->strings.size(); ++i)
    out << "  " << table->strings[i].key << " = " << Quoted(table->strings[i].value) << "\n";
}

}  // namespace

std::string LongestDirectorySentence(const Verdict& v) {
  if (v.longest_directory < static_cast<int>(payload_layout::kShortestStubDirectory))
    return "no directory is short enough: setup's name is too long for any path the installer "
           "can use; give setup a shorter name";
  return "the installer works when run from a directory of at most " +
         std::to_string(v.longest_directory) +
         " UTF-16 units, its final backslash included (one unit per character for most "
         "text); from a longer one it ends with " +
         std::to_string(StubExitCode::PATH_TOO_LONG) +
         " before setup starts: move it to a shorter directory";
}

namespace {

std::string Id(const ResourceId& id) {
  if (id.is_number) return "{\"number\": " + std::to_string(id.number) + ", \"name\": null}";
  return "{\"number\": null, \"name\": " + JsonString16(id.name) + "}";
}

std::string JsonText(const std::string& text) {
  return text.empty() ? std::string("null") : JsonString(text);
}

std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

// The installer's version block as Windows shows it: the chosen table's strings and the fixed
// part's numbers.
std::string VersionJson(const uint8_t* file, uint64_t size) {
  VersionInfo info;
  bool present = false;
  std::string problem;
  if (!ReadImageVersionInfo(file, size, info, present, problem))
    return "{\"readable\": false, \"problem\": " + JsonString(problem) + "}";
  if (!present) return "null";
  const VersionTable* table = ChosenTable(info);
  std::string json =
      "{\"readable\": true, \"table\": " + (table ? JsonString(table->name) : std::string("null")) +
      ", \"fixed\": ";
  json += info.has_fixed
              ? "{\"file_version\": \"" + VersionText(info.file_version) +
                    "\", \"product_version\": \"" + VersionText(info.product_version) + "\"}"
              : std::string("null");
  json += ", \"strings\": [";
  for (size_t i = 0; table != nullptr && i < table->strings.size(); ++i)
    json += std::string(i ? ", " : "") + "{\"key\": " + JsonString(table->strings[i].key) +
            ", \"value\": " + JsonString(table->strings[i].value) + "}";
  return json + "]}";
}

std::string SignatureJson(const SignatureInfo& s) {
  std::string json = std::string("{\"read\": ") + (s.read ? "true" : "false") +
                     ", \"present\": " + (s.present ? "true" : "false");
  if (s.read && s.present) {
    json += ", \"subject\": " + JsonOrNull(s.subject) + ", \"issuer\": " + JsonOrNull(s.issuer) +
            ", \"serial\": " + JsonOrNull(s.serial) +
            ", \"digest_algorithm\": " + JsonOrNull(s.digest_algorithm) +
            ", \"digest_matches\": " + (s.digest_matches ? "true" : "false") +
            ", \"signing_time\": " + JsonOrNull(s.signing_time) + ", \"timestamp\": " +
            (s.timestamp_time.empty()
                 ? std::string("null")
                 : "{\"time\": " + JsonString(s.timestamp_time) +
                       ", \"authority\": " + JsonOrNull(s.timestamp_authority) + "}") +
            ", \"trusted\": " + (s.valid ? "true" : "false");
  }
  return json + ", \"reason\": " + JsonOrNull(s.reason) + "}";
}

void WriteJson(const std::string& path, const uint8_t* data, uint64_t size,
               const std::string& digest, bool installer,
               const std::vector<InspectedResource>& resources,
               const std::vector<std::string>& digests, const Verdict& v, int status,
               std::ostream& out) {
  out << "{\n  \"schema\": 1,\n  \"file\": {\"path\": " << JsonString(path)
      << ", \"size\": " << size << ", \"sha256\": \"" << digest
      << "\"},\n  \"installer\": " << (installer ? "true" : "false")
      << ",\n  \"exit_status\": " << status << ",\n  \"resources\": [";
  long archive = -1;
  for (size_t i = 0; i < resources.size(); ++i) {
    const InspectedResource& r = resources[i];
    if (installer && v.roles[i] == "archive") archive = static_cast<long>(i);
    out << (i ? "," : "") << "\n    {\"type\": " << Id(r.listed.type)
        << ", \"type_label\": " << JsonString(TypeLabel(r.listed.type))
        << ", \"name\": " << Id(r.listed.name) << ", \"languages\": [";
    for (size_t k = 0; k < r.languages.size(); ++k)
      out << (k ? ", " : "") << "{\"language\": " << r.languages[k]
          << ", \"code_page\": " << r.code_pages[k] << "}";
    out << "], \"size\": " << r.listed.size << ", \"sha256\": \"" << digests[i]
        << "\", \"role\": " << (installer ? JsonString(v.roles[i]) : "null") << "}";
  }
  out << (resources.empty() ? "]" : "\n  ]");
  if (!installer) {
    out << "\n}\n";
    return;
  }
  const bool runs = v.exit_code == StubExitCode::SUCCESS;
  out << ",\n  \"verdict\": {\"setup_runs\": " << (runs ? "true" : "false")
      << ", \"exit_code\": " << (runs ? "null" : std::to_string(v.exit_code)) << ", \"reason\": "
      << (runs ? JsonString("setup runs; the installer ends with setup's exit code")
               : JsonString(v.reason))
      << "}";
  out << ",\n  \"setup\": ";
  if (v.setup >= 0 && (runs || !v.elevation.empty())) {
    out << "{\"resource\": " << v.setup
        << ", \"name\": " << JsonString16(resources[static_cast<size_t>(v.setup)].listed.name.name)
        << ", \"type\": " << JsonString(v.setup_type)
        << ", \"storage\": " << JsonText(v.setup_storage) << "}";
  } else {
    out << "null";
  }
  out << ",\n  \"archive\": ";
  if (archive >= 0 && !v.archive_type.empty()) {
    out << "{\"resource\": " << archive
        << ", \"name\": " << JsonString16(resources[static_cast<size_t>(archive)].listed.name.name)
        << ", \"type\": " << JsonString(v.archive_type) << "}";
  } else {
    out << "null";
  }
  out << ",\n  \"elevation\": {\"refused\": " << (v.elevation.empty() ? "false" : "true")
      << ", \"exit_code\": "
      << (v.elevation.empty() ? "null" : std::to_string(StubExitCode::SETUP_LAUNCH_FAILED))
      << ", \"reason\": " << JsonText(v.elevation) << "}";
  out << ",\n  \"rules_broken\": [";
  for (size_t i = 0; i < v.broken.size(); ++i)
    out << (i ? ", " : "") << "{\"resource\": "
        << (v.broken[i].index >= 0 ? std::to_string(v.broken[i].index) : "null")
        << ", \"rule\": " << JsonString(v.broken[i].rule) << "}";
  out << "],\n  \"longest_directory\": ";
  if (v.setup >= 0 && v.longest_directory > 0) {
    out << "{\"units\": "
        << (v.longest_directory >= static_cast<int>(payload_layout::kShortestStubDirectory)
                ? std::to_string(v.longest_directory)
                : "null")
        << ", \"text\": " << JsonString(LongestDirectorySentence(v)) << "}";
  } else {
    out << "null";
  }
  out << ",\n  \"version\": " << VersionJson(data, size);
  out << ",\n  \"signature\": " << SignatureJson(ReadSignature(path));
  out << "\n}\n";
}

}  // namespace

int Inspect(const std::string& path, bool json, std::ostream& out) {
  MappedFile file;
  std::string problem;
  if (!file.Open(path, problem)) return Fail(kExitIo, path, problem);
  Sha256 whole;
  Sha256Add(whole, file.Data(), file.Size());
  const std::string digest = HexDigest(Sha256Finish(whole));
  std::vector<InspectedResource> resources;
  PeHeaders pe;
  Bytes head(file.Data(), file.Data() + std::min<uint64_t>(file.Size(), 4096));
  if (!ParsePe(head, pe, problem) || !ReadResources(file.Data(), file.Size(), resources, problem)) {
    if (json)
      WriteJson(path, file.Data(), file.Size(), digest, false, {}, {}, Verdict(),
                kExitNotAnInstaller, out);
    return Fail(kExitNotAnInstaller, path, "not an installer: " + problem);
  }
  std::vector<std::string> digests;
  bool payload = false;
  for (const InspectedResource& r : resources) {
    digests.push_back(Sha256Hex(file.Data() + r.offset, static_cast<size_t>(r.listed.size)));
    payload = payload || PayloadTypeIndex(r.listed.type) < payload_layout::kTypeCount;
  }
  if (!payload) {
    if (json)
      WriteJson(path, file.Data(), file.Size(), digest, false, resources, digests, Verdict(),
                kExitNotAnInstaller, out);
    return Fail(kExitNotAnInstaller, path,
                "not an installer: it carries no resource under " +
                    std::string(payload_layout::kTypes[0]) + ", " + payload_layout::kTypes[1] +
                    " or " + payload_layout::kTypes[2]);
  }
  const Verdict v = PredictResources(file.Data(), resources);
  const int status =
      v.exit_code == StubExitCode::SUCCESS && v.elevation.empty() ? kExitOk : kExitRefused;
  if (json) {
    WriteJson(path, file.Data(), file.Size(), digest, true, resources, digests, v, status, out);
    return status;
  }

  const bool verbose = CurrentVerbosity() == Verbosity::kVerbose;
  out << path << ": " << resources.size() << " resources; file size " << file.Size() << ", sha256 "
      << digest << "\n";
  out << std::left << std::setw(20) << "TYPE" << std::setw(40) << "NAME" << std::setw(10)
      << "LANGUAGE" << std::right << std::setw(12) << "SIZE" << std::left << "  "
      << std::setw(verbose ? 64 : 12) << "SHA-256"
      << "  WHAT IT IS FOR\n";
  for (size_t i = 0; i < resources.size(); ++i) {
    const InspectedResource& r = resources[i];
    std::string languages;
    for (size_t k = 0; k < r.languages.size(); ++k) {
      languages += (k ? "," : "") + std::to_string(r.languages[k]);
      if (r.code_pages[k] != 0) languages += "/cp" + std::to_string(r.code_pages[k]);
    }
    out << std::left << std::setw(20) << TypeLabel(r.listed.type) << std::setw(40)
        << Shorten(r.listed.name) << std::setw(10) << languages << std::right << std::setw(12)
        << r.listed.size << "  " << digests[i].substr(0, verbose ? 64 : 12) << "  " << v.roles[i]
        << "\n";
  }
  PrintVersion(file.Data(), file.Size(), out);
  if (v.exit_code == StubExitCode::SUCCESS) {
    out << "verdict: setup runs; the installer ends with setup's exit code\n";
  } else {
    out << "verdict: exit code " << v.exit_code << ": " << v.reason << "\n";
  }
  if (v.exit_code == StubExitCode::SUCCESS || !v.elevation.empty()) {
    out << "  setup: \"" << v.setup_name << "\" under \"" << v.setup_type << "\", "
        << v.setup_storage << "\n";
    out << "  archive: \"" << v.archive_name << "\" under \"" << v.archive_type
        << "\" (setup is told this name and type)\n";
  }
  if (v.longest_directory >= static_cast<int>(payload_layout::kShortestStubDirectory)) {
    out << "longest stub directory: " << v.longest_directory
        << " UTF-16 units with its final backslash; a longer one ends the run with "
        << StubExitCode::PATH_TOO_LONG << "\n";
    out << "  " << LongestDirectorySentence(v) << "\n";
  }
  if (!v.broken.empty()) {
    out << "layout rules broken:\n";
    for (const Verdict::Broken& b : v.broken) out << "  " << b.rule << "\n";
  }
  const SignatureInfo signature = ReadSignature(path);
  if (!signature.read || !signature.present) {
    out << "signature: " << (signature.read ? "none" : "not read: " + signature.reason) << "\n";
  } else {
    out << "signature: " << signature.digest_algorithm << ", signed by " << signature.subject
        << " (issued by " << signature.issuer << "), "
        << (signature.digest_matches ? "digest matches the file" : "DIGEST DOES NOT MATCH") << "; "
        << (signature.valid ? "trusted here" : "not trusted here: " + signature.reason) << "\n";
    out << "  timestamp: "
        << (signature.timestamp_time.empty()
                ? "none (the signature ends with the certificate's validity)"
                : signature.timestamp_time + " by " + signature.timestamp_authority)
        << "\n";
  }
  return status;
}

}  // namespace stubpack
