// The benchmark's setup.exe: does nothing and ends at once with a code that every launcher must
// pass back (so a run that lost the code shows). The benchmark pads it to 7 MB.
#include <windows.h>

constexpr UINT kSetupExitCode = 7;

extern "C" void SetupEntry() { ExitProcess(kSetupExitCode); }
