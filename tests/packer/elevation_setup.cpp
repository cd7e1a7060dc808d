// setup.exe for the packer's tests of elevation: it never runs there (no test can start it
// unelevated on Windows, and Wine never elevates); what matters is its image, linked with one
// manifest of tests/packer/manifests/ each, as a 64-bit and as a 32-bit program.
extern "C" unsigned long __stdcall SetupEntry(void*) { return 0; }
