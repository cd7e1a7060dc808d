// The loader's view of a packed installer, for the packer's Wine tests.
//
//   enum-resources.exe FILE
//     Lists every resource the way a program finds it: types and names from EnumResourceTypesW
//     and EnumResourceNamesW, each then looked up with FindResourceW and sized with
//     SizeofResource. One line per resource: "TYPE<TAB>NAME<TAB>SIZE", with SIZE "missing" when
//     FindResourceW does not find what the enumeration listed. Then the version block as
//     VerQueryValueW reads it: "version<TAB>KEY<TAB>VALUE" lines, the fixed part and the
//     translation.
//
//   enum-resources.exe --pellorin-path=STUB --archive-resource-name=NAME
//                      --archive-resource-type=TYPE [ARGUMENTS]...
//     Plays setup.exe as the stub starts it: exits with 42 when STUB holds a resource NAME of
//     TYPE that is larger than 0 bytes, with 43 when it does not.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int kArchiveFound = 42;
constexpr int kArchiveMissing = 43;

void Print(const std::wstring& text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), bytes,
                      nullptr, nullptr);
  std::fwrite(out.data(), 1, out.size(), stdout);
}

std::wstring Label(LPCWSTR id) {
  if (IS_INTRESOURCE(id)) return L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(id));
  return id;
}

// Identifiers as the enumeration hands them out; names are valid only during the callback.
std::vector<std::wstring> g_listed;

BOOL CALLBACK OnName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR) {
  g_listed.push_back(Label(name));
  return TRUE;
}

BOOL CALLBACK OnType(HMODULE, LPWSTR type, LONG_PTR) {
  g_listed.push_back(L"type:" + Label(type));
  return TRUE;
}

// "#N" back to an integer identifier, else the text itself.
LPCWSTR Id(const std::wstring& label) {
  if (!label.empty() && label[0] == L'#')
    return MAKEINTRESOURCEW(std::wcstoul(label.c_str() + 1, nullptr, 10));
  return label.c_str();
}

int ListResources(const wchar_t* path) {
  const HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) {
    std::fprintf(stderr, "enum-resources: cannot load the file: %lu\n", GetLastError());
    return 2;
  }
  EnumResourceTypesW(module, OnType, 0);
  const std::vector<std::wstring> types = g_listed;
  for (const std::wstring& entry : types) {
    const std::wstring type = entry.substr(5);
    g_listed.clear();
    EnumResourceNamesW(module, Id(type), OnName, 0);
    for (const std::wstring& name : g_listed) {
      const HRSRC found = FindResourceW(module, Id(name), Id(type));
      const std::wstring size =
          found == nullptr ? L"missing" : std::to_wstring(SizeofResource(module, found));
      Print(type + L"\t" + name + L"\t" + size + L"\n");
    }
  }
  FreeLibrary(module);

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  std::vector<BYTE> block(size);
  if (size == 0 || !GetFileVersionInfoW(path, 0, size, block.data())) {
    Print(L"version\tnone\n");
    return 0;
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length)) {
    wchar_t text[200];
    std::swprintf(text, 200, L"fixed\t%u.%u.%u.%u\t%u.%u.%u.%u\t%#lx\t%#lx\t%#lx\t%#lx\n",
                  HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                  HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS),
                  HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
                  HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS),
                  fixed->dwFileFlagsMask, fixed->dwFileFlags, fixed->dwFileOS, fixed->dwFileType);
    Print(text);
  }
  WORD* translation = nullptr;
  if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                     reinterpret_cast<void**>(&translation), &length) &&
      length >= 4) {
    wchar_t text[64];
    std::swprintf(text, 64, L"translation\t%04x\t%04x\n", translation[0], translation[1]);
    Print(text);
  }
  for (const wchar_t* key :
       {L"Comments", L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName",
        L"LegalCopyright", L"LegalTrademarks", L"OriginalFilename", L"ProductName",
        L"ProductVersion", L"PrivateBuild", L"SpecialBuild", L"CompanyShortName",
        L"ProductShortName", L"SourceRevision", L"Official Build"}) {
    wchar_t* value = nullptr;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + key;
    if (VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length))
      Print(std::wstring(L"version\t") + key + L"\t" + value + L"\n");
  }
  return 0;
}

std::wstring Switch(int argc, wchar_t** argv, const wchar_t* name) {
  const size_t length = std::wcslen(name);
  for (int i = 1; i < argc; ++i) {
    if (std::wcsncmp(argv[i], name, length) == 0) return argv[i] + length;
  }
  return {};
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring stub = Switch(argc, argv, L"--pellorin-path=");
  if (!stub.empty()) {
    const std::wstring name = Switch(argc, argv, L"--archive-resource-name=");
    const std::wstring type = Switch(argc, argv, L"--archive-resource-type=");
    const HMODULE module = LoadLibraryExW(stub.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    const HRSRC found = module ? FindResourceW(module, name.c_str(), type.c_str()) : nullptr;
    return found != nullptr && SizeofResource(module, found) > 0 ? kArchiveFound : kArchiveMissing;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: enum-resources FILE\n");
    return 2;
  }
  return ListResources(argv[1]);
}
