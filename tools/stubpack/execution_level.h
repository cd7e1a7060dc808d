// What setup's image asks of User Account Control: the requestedExecutionLevel of its manifest,
// and whether it is a 32-bit image, which installer detection looks at. The stub starts setup
// with CreateProcessW from an unelevated process; for an image that asks for more, Windows
// refuses with ERROR_ELEVATION_REQUIRED (740) and the stub ends with SETUP_LAUNCH_FAILED.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace stubpack {

enum class ExecutionLevel { kNone, kAsInvoker, kHighestAvailable, kRequireAdministrator };

// The level that manifest text asks for; kNone when it names none. The text is UTF-8 (a byte
// order mark is skipped); elements and attributes may carry namespace prefixes, values either
// quote. False, with a one-line `problem`, for text that cannot be read with certainty: UTF-16
// or holding a NUL, not well nested, a document type, a requestedExecutionLevel outside
// trustInfo/security/requestedPrivileges, more than one, or a level not spelled as Windows does.
bool ReadExecutionLevel(const uint8_t* text, size_t size, ExecutionLevel& level,
                        std::string& problem);

struct ImageElevation {
  bool is_32_bit = false;     // PE32, not PE32+
  bool has_manifest = false;  // RT_MANIFEST 1, the one the loader reads for an executable
  ExecutionLevel level = ExecutionLevel::kNone;
};

// Reads `image`, a PE file in memory, never beyond `size`; false with a one-line `problem` when
// its headers, its resource directory or its manifest cannot be read.
bool ReadImageElevation(const uint8_t* image, uint64_t size, ImageElevation& elevation,
                        std::string& problem);

// Why Windows with User Account Control does not start such an image from an unelevated process;
// empty when it does. highestAvailable counts: an administrator's run is refused.
std::string ElevationRefusal(const ImageElevation& elevation);
// The same for the PE file `image`; an image whose manifest cannot be read counts as refused.
std::string ElevationRefusal(const uint8_t* image, uint64_t size);
// The refusal for an image whose manifest cannot be read, for the reason `problem`.
std::string UnreadManifestRefusal(const std::string& problem);

}  // namespace stubpack
