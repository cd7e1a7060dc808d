// Images that break one rule each, so that the image check is seen to refuse them.
#include "platform/win32.h"

#if defined(SAMPLE_CONSTRUCTOR)
struct Announce {
  Announce() { SetLastError(7); }
};
Announce announce;
#endif

#if defined(SAMPLE_EXTRA_IMPORT)
extern "C" __declspec(dllimport) BOOL WINAPI MessageBeep(UINT type);
#endif

#if defined(SAMPLE_WRONG_ENTRY)
extern "C" [[noreturn]] void StubEntry() { ExitProcess(1); }
// Referenced from the entry point, so that unused-section removal keeps a StubEntry in the image
// that is not its entry point.
void (*volatile g_other_entry)() = StubEntry;
#endif

extern "C" [[noreturn]] void SampleEntry() {
#if defined(SAMPLE_EXTRA_IMPORT)
  MessageBeep(0);
#endif
#if defined(SAMPLE_WRONG_ENTRY)
  if (g_other_entry == nullptr) ExitProcess(2);
#endif
  ExitProcess(0);
}
