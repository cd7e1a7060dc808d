#include "payload/extract_payload.h"

#include "core/payload_layout.h"
#include "payload/cabinet_expansion.h"
#include "payload/output_file.h"
#include "payload/resource_scan.h"
#include "strings/bounded_text.h"
#include "workdir/remove_path.h"

namespace {

using payload_layout::InUnits;
using payload_layout::kTypes;
using payload_layout::SetupStorage;

constexpr payload_layout::UnitText<WCHAR, kResourceTypeUnits> kTypeTexts[] = {
    InUnits<WCHAR>(kTypes[0]), InUnits<WCHAR>(kTypes[1]), InUnits<WCHAR>(kTypes[2])};
static_assert(sizeof(kTypeTexts) / sizeof(kTypeTexts[0]) == payload_layout::kTypeCount);
constexpr auto kSetupFileName = InUnits<WCHAR>(payload_layout::kSetupFileName);

}  // namespace

RunResult ExtractPayload(HMODULE stub_module, const WCHAR* work_directory, PathBuffer& setup_path,
                         PathBuffer& archive_name, ResourceTypeBuffer& archive_type) {
  constexpr size_t kPath = PathBuffer::Capacity();
  constexpr size_t kType = ResourceTypeBuffer::Capacity();

  setup_path.Clear();
  archive_name.Clear();
  archive_type.Clear();
  PathBuffer setup_name;
  ResourceBlob setup_resource;
  size_t setup_type = payload_layout::kTypeCount;

  for (size_t type = 0; type < payload_layout::kTypeCount; ++type) {
    PayloadCollector collector(archive_name, setup_name, setup_resource);
    EnumerateResourcesOfType(collector, stub_module, kTypeTexts[type].Text());
    if (collector.StoppedWithError()) {
      return archive_type.Text()[0] != 0 ? StubExitCode::SETUP_EXTRACTION_FAILED
                                         : StubExitCode::ARCHIVE_NOT_FOUND;
    }
    if (archive_type.Text()[0] == 0 && archive_name.Text()[0] != 0) {
      BoundedCopy(archive_type.Text(), kType, kTypeTexts[type].Text());
    }
    if (setup_type == payload_layout::kTypeCount && setup_resource.size != 0) setup_type = type;
  }
  if (archive_name.Text()[0] == 0) return StubExitCode::ARCHIVE_NOT_FOUND;
  if (setup_resource.size == 0) return StubExitCode::SETUP_EXTRACTION_FAILED;

  const SetupStorage storage = payload_layout::kStorageOfType[setup_type];
  const bool plain = storage == SetupStorage::kPlain;
  if (!plain && !payload_layout::IsPlainFileName(setup_name.Text())) {
    return StubExitCode::SETUP_EXTRACTION_FAILED;
  }
  if (!BoundedCopy(setup_path.Text(), kPath, work_directory) ||
      !BoundedAppend(setup_path.Text(), kPath, plain ? kSetupFileName.Text() : setup_name.Text())) {
    return StubExitCode::PATH_TOO_LONG;
  }
  if (!WriteResourceToFile(setup_resource, setup_path.Text())) {
    return StubExitCode::RESOURCE_WRITE_FAILED;
  }
  if (storage != SetupStorage::kCabinet) return StubExitCode::SUCCESS;

  PathBuffer expanded_path;
  if (!BoundedCopy(expanded_path.Text(), kPath, work_directory) ||
      !BoundedAppend(expanded_path.Text(), kPath, kSetupFileName.Text())) {
    return StubExitCode::PATH_TOO_LONG;
  }
  const bool expanded = ExpandCabinet(setup_path.Text(), expanded_path.Text());
  RemovePathWithRetries(setup_path.Text());
  BoundedCopy(setup_path.Text(), kPath, expanded_path.Text());
  return expanded ? StubExitCode::SUCCESS : StubExitCode::SETUP_EXTRACTION_FAILED;
}
