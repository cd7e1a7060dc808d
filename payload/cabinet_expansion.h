// Expansion of the first file of a cabinet through the platform's cabinet library, loaded at
// run time from the system directory.
#pragma once

#include "payload/output_file.h"
#include "platform/win32.h"

typedef HFDI(DIAMONDAPI* FdiCreateEntry)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE,
                                         PFNSEEK, int cpu_type, PERF erf);
typedef BOOL(DIAMONDAPI* FdiCopyEntry)(HFDI, char* cabinet, char* cabinet_path, int flags,
                                       PFNFDINOTIFY, PFNFDIDECRYPT, void* user_value);
typedef BOOL(DIAMONDAPI* FdiDestroyEntry)(HFDI);

// One for the process: loaded on first use and never freed.
struct CabinetLibrary {
  HMODULE module;
  FdiCreateEntry fdi_create;
  FdiCopyEntry fdi_copy;
  FdiDestroyEntry fdi_destroy;
};

// The process's one record.
CabinetLibrary& TheCabinetLibrary();

struct CabinetExpansionContext {
  const WCHAR* destination_path;
  OutputFile output_file;
  unsigned char expanded;
};

// True when the cabinet's first file was written in full to destination_path, flushed and
// closed; on false no destination file remains.
bool ExpandCabinet(const WCHAR* cabinet_path, const WCHAR* destination_path);

void* DIAMONDAPI CabinetAlloc(ULONG bytes);
void DIAMONDAPI CabinetFree(void* memory);
INT_PTR DIAMONDAPI CabinetOpen(char* name, int flags, int mode);
UINT DIAMONDAPI CabinetRead(INT_PTR file, void* buffer, UINT bytes);
UINT DIAMONDAPI CabinetWrite(INT_PTR file, void* buffer, UINT bytes);
int DIAMONDAPI CabinetClose(INT_PTR file);
LONG DIAMONDAPI CabinetSeek(INT_PTR file, LONG distance, int seek_type);
INT_PTR DIAMONDAPI CabinetNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION notification);
