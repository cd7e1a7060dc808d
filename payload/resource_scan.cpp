#include "payload/resource_scan.h"

#include "core/payload_layout.h"
#include "strings/bounded_text.h"

bool PayloadCollector::VisitResource(const WCHAR* name, const ResourceBlob& blob) {
  constexpr size_t kCapacity = PathBuffer::Capacity();
  if (payload_layout::HasPrefixAsciiNoCase(name, payload_layout::kArchivePrefix)) {
    if (BoundedLength(archive_name_.Text(), kCapacity) != 0) return Stop();
    return BoundedCopy(archive_name_.Text(), kCapacity, name) || Stop();
  }
  if (payload_layout::HasPrefixAsciiNoCase(name, payload_layout::kSetupPrefix)) {
    if (setup_resource_.size != 0) return Stop();
    if (!BoundedCopy(setup_name_.Text(), kCapacity, name)) return Stop();
    setup_resource_ = blob;
    return true;
  }
  return Stop();
}

BOOL CALLBACK OnResourceName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR user_value) {
  auto* collector = reinterpret_cast<PayloadCollector*>(user_value);
  if (collector == nullptr || IS_INTRESOURCE(name)) return FALSE;
  HRSRC found = FindResourceW(module, name, type);
  if (found == nullptr) return FALSE;
  const DWORD size = SizeofResource(module, found);
  if (size == 0) return FALSE;
  HGLOBAL loaded = LoadResource(module, found);
  if (loaded == nullptr) return FALSE;
  const void* bytes = LockResource(loaded);
  if (bytes == nullptr) return FALSE;
  ResourceBlob blob;
  blob.data = static_cast<const uint8_t*>(bytes);
  blob.size = size;
  return collector->VisitResource(name, blob) ? TRUE : FALSE;
}

void EnumerateResourcesOfType(PayloadCollector& collector, HMODULE module, const WCHAR* type) {
  EnumResourceNamesW(module, type, OnResourceName, reinterpret_cast<LONG_PTR>(&collector));
}
