#include "payload/extract_payload.h"

#include "payload/cabinet_expansion.h"
#include "payload/output_file.h"
#include "payload/resource_scan.h"
#include "strings/bounded_text.h"
#include "workdir/remove_path.h"

namespace {

bool SameText(const WCHAR* left, const WCHAR* right) {
  size_t i = 0;
  for (; left[i] != 0 && left[i] == right[i]; ++i) {
  }
  return left[i] == right[i];
}

// A resource name used as a file name must name a file in the work directory and nothing else:
// no separator that climbs out of it, no stream.
bool IsPlainFileName(const WCHAR* name) {
  for (size_t i = 0; name[i] != 0; ++i) {
    if (name[i] == WTEXT('\\') || name[i] == WTEXT('/') || name[i] == WTEXT(':')) return false;
  }
  return true;
}

}  // namespace

RunResult ExtractPayload(HMODULE stub_module, const WCHAR* work_directory, PathBuffer& setup_path,
                         PathBuffer& archive_name, ResourceTypeBuffer& archive_type) {
  constexpr size_t kPath = PathBuffer::Capacity();
  constexpr size_t kType = ResourceTypeBuffer::Capacity();
  static const WCHAR* const kScanOrder[] = {WTEXT("B7"), WTEXT("BL"), WTEXT("BN")};

  setup_path.Clear();
  archive_name.Clear();
  archive_type.Clear();
  ResourceTypeBuffer setup_type;
  PathBuffer setup_name;
  ResourceBlob setup_resource;
  uint32_t scan_error = 0;

  for (const WCHAR* type : kScanOrder) {
    scan_error = 0;
    PayloadCollector collector(&archive_name, &setup_name, &setup_resource, &scan_error);
    EnumerateResourcesOfType(collector, stub_module, type);
    if (scan_error != 0) {
      return archive_type.Text()[0] != 0 ? StubExitCode::SETUP_EXTRACTION_FAILED
                                         : StubExitCode::ARCHIVE_NOT_FOUND;
    }
    if (archive_type.Text()[0] == 0 && archive_name.Text()[0] != 0) {
      BoundedCopy(archive_type.Text(), kType, type);
    }
    if (setup_type.Text()[0] == 0 && setup_resource.size != 0)
      BoundedCopy(setup_type.Text(), kType, type);
  }
  if (archive_name.Text()[0] == 0) return StubExitCode::ARCHIVE_NOT_FOUND;
  if (setup_resource.size == 0) return StubExitCode::SETUP_EXTRACTION_FAILED;

  const bool plain = SameText(setup_type.Text(), WTEXT("BN"));
  if (!plain && !IsPlainFileName(setup_name.Text())) return StubExitCode::SETUP_EXTRACTION_FAILED;
  if (!BoundedCopy(setup_path.Text(), kPath, work_directory) ||
      !BoundedAppend(setup_path.Text(), kPath, plain ? WTEXT("setup.exe") : setup_name.Text())) {
    return StubExitCode::PATH_TOO_LONG;
  }
  if (!WriteResourceToFile(setup_resource, setup_path.Text()))
    return StubExitCode::RESOURCE_WRITE_FAILED;
  if (!SameText(setup_type.Text(), WTEXT("BL"))) return StubExitCode::SUCCESS;

  PathBuffer expanded_path;
  if (!BoundedCopy(expanded_path.Text(), kPath, work_directory) ||
      !BoundedAppend(expanded_path.Text(), kPath, WTEXT("setup.exe"))) {
    return StubExitCode::PATH_TOO_LONG;
  }
  const bool expanded = ExpandCabinet(setup_path.Text(), expanded_path.Text());
  RemovePathWithRetries(setup_path.Text());
  BoundedCopy(setup_path.Text(), kPath, expanded_path.Text());
  return expanded ? StubExitCode::SUCCESS : StubExitCode::SETUP_EXTRACTION_FAILED;
}
