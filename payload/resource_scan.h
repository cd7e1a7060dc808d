// The scan of one resource type of the stub's own executable, and the collector that sorts the
// payload resources by the beginning of their names.
#pragma once

#include <stdint.h>

#include "platform/win32.h"
#include "strings/fixed_wide_buffer.h"

// A resource's bytes where the platform maps the executable; borrowed, never released.
struct ResourceBlob {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
};

class ResourceVisitor {
 public:
  // True continues the enumeration; false ends it for this type.
  virtual bool VisitResource(const WCHAR* name, const ResourceBlob& blob) = 0;

 protected:
  // Not virtual: a virtual destructor would pull in operator delete, which the stub lacks.
  ~ResourceVisitor() = default;
};

class PayloadCollector final : public ResourceVisitor {
 public:
  PayloadCollector(PathBuffer* archive_name, PathBuffer* setup_name, ResourceBlob* setup_resource,
                   uint32_t* error_code)
      : archive_name(archive_name),
        setup_name(setup_name),
        setup_resource(setup_resource),
        error_code(error_code) {}

  bool VisitResource(const WCHAR* name, const ResourceBlob& blob) override;

  PathBuffer* archive_name;
  PathBuffer* setup_name;
  ResourceBlob* setup_resource;
  uint32_t* error_code;
};

// True when the platform's enumeration reported success; the outcome is in the visitor.
bool EnumerateResourcesOfType(ResourceVisitor& visitor, HMODULE module, const WCHAR* type);

BOOL CALLBACK OnResourceName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR user_value);
