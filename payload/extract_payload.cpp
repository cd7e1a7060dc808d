#include "payload/extract_payload.h"

// PLACEHOLDER until the resource scan lands: reports what the extraction reports for an
// executable that carries no payload resources, so that a bare stub walks the whole sequence.
RunResult ExtractPayload(HMODULE stub_module, const WCHAR* work_directory, PathBuffer& setup_path,
                         PathBuffer& archive_name, ResourceTypeBuffer& archive_type) {
  (void)stub_module;
  (void)work_directory;
  setup_path.Clear();
  archive_name.Clear();
  archive_type.Clear();
  return StubExitCode::ARCHIVE_NOT_FOUND;
}
