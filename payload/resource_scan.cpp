#include "payload/resource_scan.h"

#include "strings/bounded_text.h"

bool PayloadCollector::VisitResource(const WCHAR* name, const ResourceBlob& blob) {
  constexpr size_t kCapacity = PathBuffer::Capacity();
  if (HasPrefixAsciiNoCase(name, WTEXT("nimbet"))) {
    if (BoundedLength(archive_name->Text(), kCapacity) != 0) {
      *error_code = ERROR_TOO_MANY_NAMES;
      return false;
    }
    if (BoundedCopy(archive_name->Text(), kCapacity, name)) return true;
    *error_code = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  if (HasPrefixAsciiNoCase(name, WTEXT("setup"))) {
    if (setup_resource->size != 0) {
      *error_code = ERROR_TOO_MANY_NAMES;
      return false;
    }
    if (!BoundedCopy(setup_name->Text(), kCapacity, name)) {
      *error_code = ERROR_FILENAME_EXCED_RANGE;
      return false;
    }
    *setup_resource = blob;
    return true;
  }
  *error_code = ERROR_INVALID_DATA;
  return false;
}

BOOL CALLBACK OnResourceName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR user_value) {
  auto* visitor = reinterpret_cast<ResourceVisitor*>(user_value);
  if (visitor == nullptr || IS_INTRESOURCE(name)) return FALSE;
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
  return visitor->VisitResource(name, blob) ? TRUE : FALSE;
}

bool EnumerateResourcesOfType(ResourceVisitor& visitor, HMODULE module, const WCHAR* type) {
  return EnumResourceNamesW(module, type, OnResourceName, reinterpret_cast<LONG_PTR>(&visitor)) !=
         FALSE;
}
