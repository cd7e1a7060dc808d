// Times the stub's own cabinet expansion against cabinet.dll driven with the leanest callbacks
// that expand the same cabinet, and the same lean expansion with a flush before the close (what
// the stub must do), in one process, interleaved; prints the medians and minimums.
//
//   expand-cabinet-bench.exe CABINET OUTPUT_DIRECTORY RUNS
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <io.h>

#include <string>

#include <sys/stat.h>

#include <vector>

#include "payload/cabinet_expansion.h"

namespace {

// --- the lean expansion: the C runtime's own file calls, nothing checked beyond need ---------

void* DIAMONDAPI LeanAlloc(ULONG bytes) { return std::malloc(bytes); }
void DIAMONDAPI LeanFree(void* memory) { std::free(memory); }
INT_PTR DIAMONDAPI LeanOpen(char* name, int flags, int mode) {
  return _open(name, flags | _O_BINARY, mode);
}
UINT DIAMONDAPI LeanRead(INT_PTR file, void* buffer, UINT bytes) {
  return static_cast<UINT>(_read(static_cast<int>(file), buffer, bytes));
}
UINT DIAMONDAPI LeanWrite(INT_PTR file, void* buffer, UINT bytes) {
  return static_cast<UINT>(_write(static_cast<int>(file), buffer, bytes));
}
int DIAMONDAPI LeanClose(INT_PTR file) { return _close(static_cast<int>(file)); }
LONG DIAMONDAPI LeanSeek(INT_PTR file, LONG distance, int type) {
  return _lseek(static_cast<int>(file), distance, type);
}

const char* g_lean_destination = nullptr;
bool g_lean_flush = false;

INT_PTR DIAMONDAPI LeanNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION notification) {
  if (type == fdintCOPY_FILE) {
    return _open(g_lean_destination, _O_BINARY | _O_CREAT | _O_TRUNC | _O_WRONLY,
                 _S_IREAD | _S_IWRITE);
  }
  if (type == fdintCLOSE_FILE_INFO) {
    if (g_lean_flush) _commit(static_cast<int>(notification->hf));
    _close(static_cast<int>(notification->hf));
    return TRUE;
  }
  return 0;
}

template <typename Entry>
Entry LookUpEntry(HMODULE module, const char* name) {
  return reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

bool LeanExpand(HMODULE cabinet, const std::string& directory, const std::string& name,
                const std::string& out, bool flush) {
  auto create = LookUpEntry<FdiCreateEntry>(cabinet, "FDICreate");
  auto copy = LookUpEntry<FdiCopyEntry>(cabinet, "FDICopy");
  auto destroy = LookUpEntry<FdiDestroyEntry>(cabinet, "FDIDestroy");
  ERF erf = {};
  HFDI fdi = create(LeanAlloc, LeanFree, LeanOpen, LeanRead, LeanWrite, LeanClose, LeanSeek,
                    cpuUNKNOWN, &erf);
  if (fdi == nullptr) return false;
  g_lean_destination = out.c_str();
  g_lean_flush = flush;
  std::string n = name, d = directory;
  const BOOL ok = copy(fdi, n.data(), d.data(), 0, LeanNotify, nullptr, nullptr);
  destroy(fdi);
  return ok != FALSE;
}

double Seconds(LARGE_INTEGER start, LARGE_INTEGER end, LARGE_INTEGER frequency) {
  return static_cast<double>(end.QuadPart - start.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::wstring Wide(const std::string& text) {
  std::wstring out(text.size() + 1, L'\0');
  const int units =
      MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), static_cast<int>(out.size()));
  out.resize(units > 0 ? units - 1 : 0);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: expand-cabinet-bench CABINET OUTPUT_DIRECTORY RUNS\n");
    return 2;
  }
  const std::string cabinet = argv[1], out_dir = argv[2];
  const int runs = std::atoi(argv[3]);
  const size_t cut = cabinet.find_last_of('\\');
  if (cut == std::string::npos || runs < 1) return 2;
  const std::string directory = cabinet.substr(0, cut + 1), name = cabinet.substr(cut + 1);
  const std::string stub_out = out_dir + "\\stub-setup.exe",
                    lean_out = out_dir + "\\lean-setup.exe";
  const std::wstring wide_cabinet = Wide(cabinet), wide_stub_out = Wide(stub_out);

  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  // The first load in a process, as each run of the stub pays it: one sample.
  QueryPerformanceCounter(&start);
  HMODULE library =
      LoadLibraryExW(L"C:\\windows\\system32\\cabinet.dll", nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  QueryPerformanceCounter(&end);
  if (library == nullptr) {
    std::fprintf(stderr, "cabinet.dll does not load\n");
    return 2;
  }
  const double load = Seconds(start, end, frequency);
  std::vector<double> stub_times, lean_times, flush_times;
  // One warm-up of each, then the three alternate so that the machine's drift hits both alike.
  for (int i = -1; i < runs; ++i) {
    DeleteFileW(wide_stub_out.c_str());
    QueryPerformanceCounter(&start);
    const bool stub_ok = ExpandCabinet(wide_cabinet.c_str(), wide_stub_out.c_str());
    QueryPerformanceCounter(&end);
    if (!stub_ok) {
      std::fprintf(stderr, "the stub's expansion failed\n");
      return 1;
    }
    if (i >= 0) stub_times.push_back(Seconds(start, end, frequency));

    for (const bool flush : {false, true}) {
      DeleteFileA(lean_out.c_str());
      QueryPerformanceCounter(&start);
      const bool lean_ok = LeanExpand(library, directory, name, lean_out, flush);
      QueryPerformanceCounter(&end);
      if (!lean_ok) {
        std::fprintf(stderr, "the lean expansion failed\n");
        return 1;
      }
      if (i >= 0) (flush ? flush_times : lean_times).push_back(Seconds(start, end, frequency));
    }
  }
  const double stub = Median(stub_times), lean = Median(lean_times);
  std::printf(
      "runs %d\nstub_median_ms %.3f\nlean_median_ms %.3f\nleanflush_median_ms %.3f\nratio %.3f\n",
      runs, stub * 1000, lean * 1000, Median(flush_times) * 1000, stub / lean);
  std::printf("load_ms %.3f\n", load * 1000);
  std::printf("stub_min_ms %.3f\nlean_min_ms %.3f\nleanflush_min_ms %.3f\n",
              *std::min_element(stub_times.begin(), stub_times.end()) * 1000,
              *std::min_element(lean_times.begin(), lean_times.end()) * 1000,
              *std::min_element(flush_times.begin(), flush_times.end()) * 1000);
  return 0;
}
