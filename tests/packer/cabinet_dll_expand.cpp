// The system's cabinet library as a reader of the packer's cabinets, for the Wine tests.
//
//   cabinet-dll-expand.exe CABINET DIRECTORY
//     Expands every file of CABINET into DIRECTORY through FDICopy, and prints one line for each
//     as the library announces it: "file<TAB>NAME<TAB>SIZE<TAB>YYYY-MM-DD HH:MM:SS<TAB>0xATTRIBS",
//     the date and time as the cabinet's DOS fields give them. Exits 0 when FDICopy succeeds and
//     every file was written whole, 1 otherwise (with the library's error numbers on stderr).
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <fdi.h>
#include <io.h>

#include <string>

#include <sys/stat.h>

namespace {

std::string g_directory;
bool g_write_failed = false;

void* DIAMONDAPI Alloc(ULONG bytes) { return std::malloc(bytes); }
void DIAMONDAPI Free(void* memory) { std::free(memory); }
INT_PTR DIAMONDAPI Open(char* name, int flags, int mode) {
  return _open(name, flags | _O_BINARY, mode);
}
UINT DIAMONDAPI Read(INT_PTR file, void* buffer, UINT bytes) {
  return static_cast<UINT>(_read(static_cast<int>(file), buffer, bytes));
}
UINT DIAMONDAPI Write(INT_PTR file, void* buffer, UINT bytes) {
  const int written = _write(static_cast<int>(file), buffer, bytes);
  // Wine goes on after a failed write (shared/wine.md), so the failure is kept here as well.
  if (written != static_cast<int>(bytes)) g_write_failed = true;
  return static_cast<UINT>(written);
}
int DIAMONDAPI Close(INT_PTR file) { return _close(static_cast<int>(file)); }
LONG DIAMONDAPI Seek(INT_PTR file, LONG distance, int type) {
  return _lseek(static_cast<int>(file), distance, type);
}

INT_PTR DIAMONDAPI Notify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION n) {
  if (type == fdintCOPY_FILE) {
    std::printf("file\t%s\t%ld\t%04u-%02u-%02u %02u:%02u:%02u\t0x%x\n", n->psz1, n->cb,
                1980u + (n->date >> 9), (n->date >> 5) & 0xFu, n->date & 0x1Fu, n->time >> 11,
                (n->time >> 5) & 0x3Fu, (n->time & 0x1Fu) * 2, n->attribs);
    const std::string path = g_directory + "\\" + n->psz1;
    return _open(path.c_str(), _O_BINARY | _O_CREAT | _O_TRUNC | _O_WRONLY, _S_IREAD | _S_IWRITE);
  }
  if (type == fdintCLOSE_FILE_INFO) {
    _close(static_cast<int>(n->hf));
    return TRUE;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: cabinet-dll-expand CABINET DIRECTORY\n");
    return 2;
  }
  const std::string cabinet = argv[1];
  g_directory = argv[2];
  const size_t cut = cabinet.find_last_of('\\');
  if (cut == std::string::npos) return 2;
  std::string directory = cabinet.substr(0, cut + 1), name = cabinet.substr(cut + 1);
  ERF erf = {};
  HFDI fdi = FDICreate(Alloc, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &erf);
  if (fdi == nullptr) {
    std::fprintf(stderr, "FDICreate fails: %d\n", erf.erfOper);
    return 1;
  }
  const BOOL copied = FDICopy(fdi, name.data(), directory.data(), 0, Notify, nullptr, nullptr);
  FDIDestroy(fdi);
  std::fflush(stdout);
  if (!copied) {
    std::fprintf(stderr, "FDICopy fails: %d (%d)\n", erf.erfOper, erf.erfType);
    return 1;
  }
  if (g_write_failed) {
    std::fprintf(stderr, "a file was not written whole\n");
    return 1;
  }
  return 0;
}
