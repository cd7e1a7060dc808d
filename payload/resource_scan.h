// The scan of one resource type of the stub's own executable, and the collector that sorts the
// payload resources by the beginning of their names.
#pragma once

#include <stdint.h>

#include "core/fixed_wide_buffer.h"
#include "platform/win32.h"

// A resource's bytes where the platform maps the executable; borrowed, never released.
struct ResourceBlob {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
};

// Records the archive's name and setup's name and bytes; any other entry, a second archive or
// setup, or a name that does not fit stops the scan with an error.
class PayloadCollector {
 public:
  PayloadCollector(PathBuffer& archive_name, PathBuffer& setup_name, ResourceBlob& setup_resource)
      : archive_name_(archive_name), setup_name_(setup_name), setup_resource_(setup_resource) {}

  // True continues the enumeration; false ends it for this type.
  bool VisitResource(const WCHAR* name, const ResourceBlob& blob);
  // Whether a visit stopped the scan with an error, rather than the enumeration ending.
  bool StoppedWithError() const { return stopped_with_error_; }

 private:
  bool Stop() {
    stopped_with_error_ = true;
    return false;
  }

  PathBuffer& archive_name_;
  PathBuffer& setup_name_;
  ResourceBlob& setup_resource_;
  bool stopped_with_error_ = false;
};

// Hands every named resource of the type to the collector, in the order of the resource
// directory. Whether the platform reported success is not asked: a type it cannot enumerate
// holds nothing the collector could record, which is what the caller then sees.
void EnumerateResourcesOfType(PayloadCollector& collector, HMODULE module, const WCHAR* type);

BOOL CALLBACK OnResourceName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR user_value);
