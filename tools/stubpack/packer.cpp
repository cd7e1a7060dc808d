#include "tools/stubpack/packer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "tools/stubpack/cabinet.h"
#include "tools/stubpack/embedded.h"
#include "tools/stubpack/icon_group.h"
#include "tools/stubpack/layout.h"
#include "tools/stubpack/mapped_file.h"
#include "tools/stubpack/pe_image.h"
#include "tools/stubpack/progress.h"
#include "tools/stubpack/report.h"
#include "tools/stubpack/resource_tree.h"
#include "tools/stubpack/sha256.h"
#include "tools/stubpack/system.h"
#include "tools/stubpack/version_info.h"

namespace stubpack {

namespace {

constexpr uint64_t kMaxField = 0xFFFFFFFF;
constexpr size_t kChunk = 1 << 20;
constexpr uint16_t kTypeIcon = 3, kTypeGroupIcon = 14, kTypeVersion = 16, kTypeManifest = 24;
constexpr uint16_t kIconGroupId = 107;
// The names installers have always carried. Predict checks before writing that the scan takes
// them for the archive and setup; a static_assert cannot, as GCC with -fsanitize=undefined does
// not fold core's prefix test (its null checks) at compile time.
constexpr char16_t kArchiveName[] = u"NIMBET.PACKED.7Z";
constexpr char16_t kCabinetName[] = u"SETUP.EX_";

struct Input {
  std::string path;
  const char* role;
  sys::FileStatus info;
};

bool Readable(const std::string& path, sys::FileStatus& info, std::string& problem) {
  sys::File file;
  return file.OpenRead(path, problem) && file.Info(info, problem);
}

// SOURCE_DATE_EPOCH when set, else the setup's (or the archive's) modification time.
bool PackingTime(const PackOptions& o, const std::vector<Input>& inputs, int64_t& seconds,
                 std::string& problem) {
  if (std::string epoch; sys::Environment("SOURCE_DATE_EPOCH", epoch) && !epoch.empty()) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(epoch.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || value < 0) {
      problem = "SOURCE_DATE_EPOCH must be a number of seconds since 1970: \"" + epoch + "\"";
      return false;
    }
    seconds = value;
    return true;
  }
  seconds = 0;
  for (const std::string& wanted : {o.setup, o.archive}) {
    for (const Input& input : inputs) {
      if (!wanted.empty() && input.path == wanted) {
        seconds = input.info.modified;
        return true;
      }
    }
  }
  return true;
}

class OutputWriter {
 public:
  OutputWriter(sys::File& file, Progress& progress) : file_(file), progress_(progress) {}
  bool Write(const uint8_t* data, size_t size) {
    checksum_.Add(data, size);
    ProgressAdvance(progress_, size);
    if (!file_.Write(data, size, error_)) return false;
    written_ += size;
    return true;
  }
  bool Zeros(uint64_t count) {
    static const uint8_t kZeros[4096] = {};
    while (count > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(count, sizeof(kZeros)));
      if (!Write(kZeros, n)) return false;
      count -= n;
    }
    return true;
  }
  // Streams `size` bytes of `path` from `from`; the file must still hold them.
  bool Copy(const std::string& path, uint64_t from, uint64_t size, std::string& problem) {
    sys::File in;
    if (!in.OpenRead(path, problem)) {
      problem = path + ": " + problem;
      return false;
    }
    buffer_.resize(kChunk);
    uint64_t done = 0;
    while (done < size) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, size - done));
      const int64_t got = in.ReadAt(from + done, buffer_.data(), want, problem);
      if (got <= 0) {
        problem = path + (got < 0 ? ": cannot be read: " + problem
                                  : std::string(": became shorter while it was packed"));
        return false;
      }
      if (!Write(buffer_.data(), static_cast<size_t>(got))) return false;
      done += static_cast<uint64_t>(got);
    }
    return true;
  }
  uint64_t Written() const { return written_; }
  // The system's text for a failed write; empty when none failed.
  const std::string& Error() const { return error_; }
  uint32_t Checksum() const { return checksum_.Finish(written_); }

 private:
  sys::File& file_;
  Progress& progress_;
  PeChecksum checksum_;
  uint64_t written_ = 0;
  std::string error_;
  std::vector<uint8_t> buffer_;
};

// The digest and size of what `file` holds, read from its start.
bool HashFile(const sys::File& file, const std::string& label, uint64_t& size, std::string& digest,
              std::string& problem) {
  uint64_t total = 0;
  std::string ignored;
  Progress progress;
  ProgressStart(progress, label, file.Size(total, ignored) ? total : 0);
  std::vector<uint8_t> buffer(kChunk);
  Sha256 hash;
  size = 0;
  for (;;) {
    const int64_t got = file.ReadAt(size, buffer.data(), buffer.size(), problem);
    if (got < 0) {
      problem = "cannot read back the installer: " + problem;
      return false;
    }
    if (got == 0) break;
    Sha256Add(hash, buffer.data(), static_cast<size_t>(got));
    size += static_cast<uint64_t>(got);
    ProgressAdvance(progress, static_cast<uint64_t>(got));
  }
  ProgressEnd(progress);
  digest = HexDigest(Sha256Finish(hash));
  return true;
}

// The installer's version block from setup's own version resource and the options; kExitOk or
// the failure's status, reported.
int InstallerVersionBlock(const PackOptions& o, VersionBlock& block, Bytes& bytes) {
  std::string problem;
  VersionInfo setup_version;
  bool present = false;
  std::string unread;
  if (!o.setup.empty()) {
    MappedFile setup;
    if (!setup.Open(o.setup, problem)) return Fail(kExitIo, o.setup, problem);
    if (!ReadImageVersionInfo(setup.Data(), setup.Size(), setup_version, present, unread))
      present = false;
  }
  const std::string output_name = sys::BaseName(o.output);
  std::vector<VersionWarning> warnings;
  if (!ComposeInstallerVersion(o.version, present ? &setup_version : nullptr, o.setup, output_name,
                               block, warnings, problem))
    return Fail(kExitRefused, "", problem);
  for (const VersionWarning& w : warnings) Warn(w.file, w.message);
  const std::vector<std::string> missing = MissingShownKeys(block);
  if (!o.setup.empty() && !present && (!unread.empty() || !missing.empty())) {
    std::string keys, options;
    for (const std::string& key : missing) {
      keys += (keys.empty() ? "" : ", ") + key;
      options += (options.empty() ? "--" : ", --") + OptionForKey(key);
    }
    Warn(o.setup, (unread.empty() ? std::string("has no version resource")
                                  : "its version resource cannot be read (" + unread + ")") +
                      (missing.empty() ? std::string(": the installer's version block takes "
                                                     "nothing from it")
                                       : ": the installer's version block leaves out " + keys +
                                             " (options: " + options + ")"));
  }
  if (!BuildVersionBlock(block, bytes, problem)) return Fail(kExitRefused, "", problem);
  return kExitOk;
}

}  // namespace

int Pack(const PackOptions& o) {
  const auto started = std::chrono::steady_clock::now();
  std::string problem;
  std::vector<Input> inputs;
  const auto add_input = [&](const std::string& path, const char* role) {
    Input input{path, role, {}};
    if (!Readable(path, input.info, problem)) return false;
    inputs.push_back(input);
    return true;
  };
  if (!o.archive.empty() && !add_input(o.archive, "archive"))
    return Fail(kExitIo, o.archive, problem);
  if (!o.setup.empty() && !add_input(o.setup, "setup")) return Fail(kExitIo, o.setup, problem);
  if (!add_input(o.stub, "stub"))
    return Fail(kExitIo, o.stub,
                problem + (o.stub.empty() ? "" : " (the stub; --stub names another)"));
  if (!o.icon.empty() && !add_input(o.icon, "icon")) return Fail(kExitIo, o.icon, problem);
  for (const RawResource& r : o.resources) {
    if (!add_input(r.file, "resource")) return Fail(kExitIo, r.file, problem);
  }
  const bool signing = SigningRequested(o.signing);
  if (signing) {
    if (const int status = CheckSigningSettings(o.signing); status != kExitOk) return status;
  }
  sys::FileStatus out_info;
  if (std::string absent; sys::Status(o.output, out_info, absent)) {
    if (out_info.directory) return Fail(kExitIo, o.output, "the output is a directory");
    for (const Input& input : inputs) {
      if (input.info.volume == out_info.volume && input.info.id == out_info.id)
        return Fail(kExitRefused, o.output,
                    std::string("the output is the same file as the ") + input.role +
                        " input; it would be overwritten while it is read");
    }
  }

  StubImage stub;
  if (!ReadStubImage(o.stub, stub, problem)) return Fail(kExitRefused, o.stub, problem);
  if (!o.setup.empty()) {
    Bytes head;
    uint64_t size = 0;
    PeHeaders pe;
    if (!ReadHead(o.setup, head, size, problem) || !ParsePe(head, pe, problem))
      return Fail(kExitRefused, o.setup, problem + " (setup must be a PE executable)");
    if (!(pe.characteristics & 0x0002) || (pe.characteristics & 0x2000))
      return Fail(kExitRefused, o.setup,
                  "not a PE executable: it is marked as a library or as not runnable");
  }
  if (!o.archive.empty()) {
    Bytes head;
    uint64_t size = 0;
    static const uint8_t k7z[6] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};
    if (ReadHead(o.archive, head, size, problem) &&
        (head.size() < 6 || !std::equal(k7z, k7z + 6, head.begin())))
      Warn(o.archive,
           "not a 7z archive (no 7z signature); the stub never reads the archive, "
           "but setup will");
  }
  VersionBlock version;
  Bytes version_block;
  if (const int status = InstallerVersionBlock(o, version, version_block); status != kExitOk)
    return status;
  Bytes icon_file;
  if (o.icon.empty()) {
    icon_file.assign(kDefaultIcon, kDefaultIcon + kDefaultIconSize);
  } else if (!sys::ReadWhole(o.icon, icon_file, problem)) {
    return Fail(kExitIo, o.icon, problem);
  }
  IconGroup icon;
  if (!ReadIconGroup(icon_file, icon, problem))
    return Fail(kExitRefused, o.icon.empty() ? "the built-in icon" : o.icon, problem);
  for (const std::string& difference : icon.differences)
    Warn(o.icon, "the icon departs from the installer's ten images: " + difference);
  int64_t seconds = 0;
  if (!PackingTime(o, inputs, seconds, problem)) return Fail(kExitUsage, "", problem);

  // Signing reads a named file; otherwise the installer has no name until it is whole.
  std::string no_tmpfile;
  const bool named = signing || sys::Environment("STUBPACK_TEST_NO_TMPFILE", no_tmpfile);
  sys::OnInterrupt(StopSigningTool);
  sys::OutputFile out;
  const bool begun = out.Begin(o.output,
                               signing ? "unsigned.exe"
                               : named ? "installer.exe"
                                       : nullptr,
                               problem);
  for (const std::string& dead : out.Removed())
    Detail("stubpack: removed " + dead + ", left by a killed run");
  if (!begun) return Fail(kExitIo, o.output, problem);
  const std::string cabinet_path = out.ScratchPath("setup.cab");

  // The resources, then the directory's order.
  std::vector<ResourceEntry> entries;
  const auto file_entry = [&](ResourceId type, ResourceId name, const std::string& path,
                              const std::string& origin) {
    ResourceEntry e;
    e.type = type;
    e.name = name;
    e.path = path;
    sys::FileStatus info;
    std::string ignored;
    e.size = sys::Status(path, info, ignored) ? info.size : 0;
    e.origin = origin;
    entries.push_back(e);
  };
  const auto bytes_entry = [&](uint16_t type, uint16_t name, Bytes bytes,
                               const std::string& origin) {
    ResourceEntry e;
    e.type = ResourceId::Number(type);
    e.name = ResourceId::Number(name);
    e.size = bytes.size();
    e.bytes = std::move(bytes);
    e.origin = origin;
    entries.push_back(e);
  };
  // The archive under the first type the stub scans, setup under the type of its storage.
  if (!o.archive.empty())
    file_entry(ResourceId::Name(Units(payload_layout::kTypes[0])), ResourceId::Name(kArchiveName),
               o.archive, o.archive);
  if (!o.setup.empty()) {
    if (o.plain_setup) {
      file_entry(TypeOfStorage(payload_layout::SetupStorage::kPlain),
                 ResourceId::Name(Units(payload_layout::kSetupFileName)), o.setup, o.setup);
    } else {
      if (!WriteSetupCabinet(o.setup, cabinet_path, seconds, problem))
        return Fail(kExitIo, o.setup, problem);
      file_entry(TypeOfStorage(payload_layout::SetupStorage::kCabinet),
                 ResourceId::Name(kCabinetName), cabinet_path, o.setup);
    }
  }
  for (const RawResource& r : o.resources) {
    ResourceId type, name;
    if (!ParseResourceId(r.type, type, problem) || !ParseResourceId(r.name, name, problem))
      return Fail(kExitUsage, r.file, "--resource " + r.type + " " + r.name + ": " + problem);
    file_entry(type, name, r.file, r.file);
  }
  bytes_entry(kTypeManifest, 1, Bytes(kManifest, kManifest + kManifestSize), "the manifest");
  for (size_t i = 0; i < icon.images.size(); ++i)
    bytes_entry(kTypeIcon, static_cast<uint16_t>(i + 1), icon.images[i], "the icon");
  bytes_entry(kTypeGroupIcon, kIconGroupId, icon.directory, "the icon");
  bytes_entry(kTypeVersion, 1, version_block, "the version block");
  std::stable_sort(entries.begin(), entries.end(),
                   [](const ResourceEntry& a, const ResourceEntry& b) {
                     return a.type == b.type ? a.name < b.name : a.type < b.type;
                   });
  for (size_t i = 1; i < entries.size(); ++i) {
    if (entries[i].type == entries[i - 1].type && entries[i].name == entries[i - 1].name)
      return Fail(kExitRefused, entries[i].origin,
                  "resource " + entries[i].type.Display() + "/" + entries[i].name.Display() +
                      " is also given by " + entries[i - 1].origin + "; each name appears once");
  }
  for (const ResourceEntry& e : entries) {
    if (e.size > kMaxField)
      return Fail(kExitRefused, e.origin,
                  "too large: " + std::to_string(e.size) +
                      " bytes; a resource's size is 32 bits, so it must stay below 4 GiB");
  }

  // Predicted even when unchecked: a setup that asks for elevation has an option of its own.
  std::vector<ListedResource> listed;
  for (const ResourceEntry& e : entries) listed.push_back({e.type, e.name, e.size});
  std::string unreadable;  // a setup that cannot be mapped: no verdict, a failure of the packer's
  const Verdict v = Predict(listed, [&](size_t i, payload_layout::SetupStorage storage) {
    MappedFile setup;
    if (!setup.Open(entries[i].path, unreadable)) {
      unreadable = entries[i].path + ": " + unreadable;
      return SetupFindings();
    }
    return InspectSetup(setup.Data(), setup.Size(), storage);
  });
  if (!unreadable.empty()) return Fail(kExitIo, "", unreadable);
  if (!o.unchecked &&
      (!v.broken.empty() || (v.exit_code != StubExitCode::SUCCESS && v.elevation.empty()))) {
    for (const Verdict::Broken& b : v.broken)
      Fail(kExitRefused, b.index >= 0 ? entries[b.index].origin : "",
           "the layout breaks a rule: " + b.rule);
    if (v.broken.empty())
      Fail(kExitRefused, "",
           "the stub would end with " + std::to_string(v.exit_code) + ": " + v.reason);
    return Fail(kExitRefused, "", "nothing written; --unchecked writes such a layout for tests");
  }
  if (!v.elevation.empty() && !o.allow_elevating_setup) {
    const std::string& setup = entries[static_cast<size_t>(v.setup)].origin;
    Fail(kExitRefused, setup,
         "on Windows with User Account Control the installer would end with " +
             std::to_string(StubExitCode::SETUP_LAUNCH_FAILED) + ": " + v.elevation);
    Fail(kExitRefused, setup,
         "setup must start unelevated (requestedExecutionLevel asInvoker) and elevate only a part "
         "of itself: a helper process that it starts with elevation and waits for, so that the "
         "stub can remove the work directory once setup has ended");
    return Fail(kExitRefused, "",
                "nothing written; --allow-elevating-setup packs such a setup anyway");
  }

  const uint32_t rsrc_rva = stub.next_rva;
  const uint64_t rsrc_offset = AlignUp(stub.file_size, kResourceFileAlignment);
  const SectionLayout layout = LayOutSection(entries, rsrc_rva);
  for (size_t i = 0; i < entries.size(); ++i)
    Detail("stubpack: " + entries[i].type.Display() + "/" + entries[i].name.Display() + ": " +
           std::to_string(entries[i].size) + " bytes at offset " +
           std::to_string(rsrc_offset + layout.data_offset[i]) + ", from " + entries[i].origin);
  const uint64_t raw_size = AlignUp(layout.size, stub.pe.file_alignment);
  const uint64_t image_end = AlignUp(uint64_t{rsrc_rva} + layout.size, stub.pe.section_alignment);
  if (image_end > kMaxField || rsrc_offset + raw_size > kMaxField)
    return Fail(kExitRefused, "",
                "the payload is too large for the image: the resource section would need " +
                    std::to_string(layout.size) +
                    " bytes, and the image's size, the section's size and its file offset "
                    "are 32-bit fields (at most 4 GiB with the stub)");

  uint32_t checksum_offset = 0;
  const Bytes headers = PackedHeaders(stub, rsrc_rva, static_cast<uint32_t>(layout.size),
                                      static_cast<uint32_t>(rsrc_offset),
                                      static_cast<uint32_t>(raw_size), checksum_offset);
  Detail("stubpack: writing " + out.Describe());
  const std::string base = sys::BaseName(o.output);
  Progress progress;
  ProgressStart(progress, "writing " + base, rsrc_offset + raw_size);
  OutputWriter writer(out.Data(), progress);
  bool ok = writer.Write(headers.data(), headers.size()) &&
            writer.Copy(o.stub, stub.pe.size_of_headers, stub.file_size - stub.pe.size_of_headers,
                        problem) &&
            writer.Zeros(rsrc_offset - writer.Written()) &&
            writer.Write(layout.directory.data(), layout.directory.size());
  for (size_t i = 0; ok && i < entries.size(); ++i) {
    const ResourceEntry& e = entries[i];
    ok = writer.Zeros(rsrc_offset + layout.data_offset[i] - writer.Written()) &&
         (e.path.empty() ? writer.Write(e.bytes.data(), e.bytes.size())
                         : writer.Copy(e.path, 0, e.size, problem));
  }
  ok = ok && writer.Zeros(rsrc_offset + raw_size - writer.Written());
  ProgressEnd(progress);
  const auto write_failed = [&](const std::string& error) {
    problem = o.output + ": cannot write: " + error;
    return false;
  };
  if (!ok && !writer.Error().empty()) write_failed(writer.Error());
  if (ok) {
    uint8_t sum[4];
    SetU32(sum, writer.Checksum());
    std::string error;
    ok = out.Data().WriteAt(checksum_offset, sum, 4, error) || write_failed(error);
  }
  std::string finished;  // the installer's file itself, unless a signer writes another
  if (ok && signing) {
    std::string error;
    if (!out.Name(error)) return Fail(kExitIo, o.output, error);
    SigningSettings settings = o.signing;
    settings.description = BlockValue(version, "ProductName");
    settings.time = seconds;
    // A --sign-command signs the file in place.
    finished = settings.command.empty() ? out.ScratchPath("signed.exe") : out.Path();
    if (const int status = SignInstaller(settings, out.Path(), finished, o.output);
        status != kExitOk)
      return status;
  }
  // The digest of the final bytes: the checksum is patched in last, and signing rewrites them.
  std::string digest;
  uint64_t size = 0;
  if (ok) {
    sys::File signed_file;
    const bool open = out.Data().Valid() || signed_file.OpenRead(finished, problem);
    if (!open) problem = finished + ": " + problem;
    ok = open && HashFile(out.Data().Valid() ? out.Data() : signed_file, "hashing " + base, size,
                          digest, problem);
  }
  if (!ok) return Fail(kExitIo, "", problem);
  if (std::string error;
      !out.Name(error) || !out.Commit(finished.empty() ? out.Path() : finished, error))
    return Fail(kExitIo, o.output, error);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  char seconds_text[32];
  std::snprintf(seconds_text, sizeof(seconds_text), "%.1f", elapsed);
  Say("stubpack: wrote " + o.output + " (" + Grouped(size) + " bytes, sha256 " + digest + ") in " +
      seconds_text + " s");
  return kExitOk;
}

}  // namespace stubpack
