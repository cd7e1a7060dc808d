// Our own declarations of the Win32 subset that the stub calls, for the host build.
// Written from what the stub relies on; every value and record size is pinned against the
// toolchain's Windows headers by the constants check (tests/wine/constants_check.sh).
#pragma once

#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define CALLBACK

typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef char CHAR;
typedef uint8_t BYTE;
typedef uint8_t BOOLEAN;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef int32_t INT;
typedef uint16_t USHORT;
typedef intptr_t INT_PTR;
typedef intptr_t LONG_PTR;
typedef intptr_t LPARAM;
typedef LONG* PLONG;
typedef const CHAR* LPCSTR;
typedef CHAR* LPSTR;
typedef int32_t BOOL;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef LONG LSTATUS;
typedef size_t SIZE_T;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef BOOL* LPBOOL;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
typedef void* HLOCAL;
typedef void* PSID;
typedef void* PSECURITY_DESCRIPTOR;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;

struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
struct HRSRC__;
typedef HRSRC__* HRSRC;
typedef void* HGLOBAL;
typedef INT_PTR (*FARPROC)();

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))

// Error codes.
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_INVALID_DATA 13L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_NOT_READY 21L
#define ERROR_BAD_LENGTH 24L
#define ERROR_HANDLE_EOF 38L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_BAD_NETPATH 53L
#define ERROR_TOO_MANY_NAMES 68L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_ELEVATION_REQUIRED 740L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_NO_TOKEN 1008L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_UNKNOWN_REVISION 1305L
#define ERROR_INVALID_OWNER 1307L
#define ERROR_NONE_MAPPED 1332L
#define ERROR_INVALID_ACL 1336L
#define ERROR_INVALID_SID 1337L
#define ERROR_INVALID_SECURITY_DESCR 1338L
#define ERROR_NO_SYSTEM_RESOURCES 1450L

// Access rights and sharing.
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define SYNCHRONIZE 0x00100000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

// Creation dispositions and flags.
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define DUPLICATE_CLOSE_SOURCE 0x00000001
#define DUPLICATE_SAME_ACCESS 0x00000002
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008
#define CP_UTF8 65001
#define CREATE_NO_WINDOW 0x08000000
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_TIMEOUT 258L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#define STILL_ACTIVE 259
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#define MAKEINTRESOURCEW(i) ((LPWSTR)((ULONG_PTR)((WORD)(i))))

// File attributes.
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400

// Volume flags.
#define FILE_CASE_SENSITIVE_SEARCH 0x00000001
#define FILE_CASE_PRESERVED_NAMES 0x00000002
#define FILE_UNICODE_ON_DISK 0x00000004
#define FILE_PERSISTENT_ACLS 0x00000008

// Tokens, registry, local memory, security descriptors.
#define TOKEN_QUERY 0x0008
#define KEY_QUERY_VALUE 0x0001
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR 0x0040
#define HEAP_ZERO_MEMORY 0x00000008
#define SDDL_REVISION_1 1

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef enum _FILE_INFO_BY_HANDLE_CLASS {
  FileBasicInfo = 0,
  FileStandardInfo = 1,
  FileNameInfo = 2,
  FileRenameInfo = 3,
  FileDispositionInfo = 4,
} FILE_INFO_BY_HANDLE_CLASS;

typedef struct _FILE_BASIC_INFO {
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  DWORD FileAttributes;
} FILE_BASIC_INFO, *PFILE_BASIC_INFO;

typedef struct _FILE_DISPOSITION_INFO {
  BOOLEAN DeleteFile;
} FILE_DISPOSITION_INFO, *PFILE_DISPOSITION_INFO;

typedef enum _TOKEN_INFORMATION_CLASS {
  TokenUser = 1,
  TokenGroups = 2,
  TokenPrivileges = 3,
  TokenOwner = 4,
} TOKEN_INFORMATION_CLASS;

typedef struct _TOKEN_OWNER {
  PSID Owner;
} TOKEN_OWNER, *PTOKEN_OWNER;

typedef struct _SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
} SID_AND_ATTRIBUTES;

typedef struct _TOKEN_USER {
  SID_AND_ATTRIBUTES User;
} TOKEN_USER, *PTOKEN_USER;

typedef struct _STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;

typedef struct _PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

// The cabinet library's interface, reached only through entry points looked up at run time.
#define DIAMONDAPI
typedef void* HFDI;
typedef enum { FDIERROR_NONE = 0 } FDIERROR;
typedef struct {
  int erfOper;
  int erfType;
  BOOL fError;
} ERF, *PERF;
typedef struct {
  LONG cb;
  char* psz1;
  char* psz2;
  char* psz3;
  void* pv;
  INT_PTR hf;
  USHORT date;
  USHORT time;
  USHORT attribs;
  USHORT setID;
  USHORT iCabinet;
  USHORT iFolder;
  FDIERROR fdie;
} FDINOTIFICATION, *PFDINOTIFICATION;
typedef enum {
  fdintCABINET_INFO,
  fdintPARTIAL_FILE,
  fdintCOPY_FILE,
  fdintCLOSE_FILE_INFO,
  fdintNEXT_CABINET,
  fdintENUMERATE,
} FDINOTIFICATIONTYPE;
#define cpuUNKNOWN (-1)
typedef void*(DIAMONDAPI* PFNALLOC)(ULONG cb);
typedef void(DIAMONDAPI* PFNFREE)(void* pv);
typedef INT_PTR(DIAMONDAPI* PFNOPEN)(char* pszFile, int oflag, int pmode);
typedef UINT(DIAMONDAPI* PFNREAD)(INT_PTR hf, void* pv, UINT cb);
typedef UINT(DIAMONDAPI* PFNWRITE)(INT_PTR hf, void* pv, UINT cb);
typedef int(DIAMONDAPI* PFNCLOSE)(INT_PTR hf);
typedef LONG(DIAMONDAPI* PFNSEEK)(INT_PTR hf, LONG dist, int seektype);
typedef INT_PTR(DIAMONDAPI* PFNFDINOTIFY)(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin);
typedef int(DIAMONDAPI* PFNFDIDECRYPT)(void* pfdid);

typedef BOOL(CALLBACK* ENUMRESNAMEPROCW)(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR param);

// Process and module.
HMODULE WINAPI GetModuleHandleW(LPCWSTR module_name);
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size);
LPWSTR WINAPI GetCommandLineW();
HANDLE WINAPI GetCurrentProcess();
BOOL WINAPI SetProcessWorkingSetSize(HANDLE process, SIZE_T minimum, SIZE_T maximum);
[[noreturn]] void WINAPI ExitProcess(UINT exit_code);
DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD error);
void WINAPI Sleep(DWORD milliseconds);

// Processes.
BOOL WINAPI CreateProcessW(LPCWSTR application, LPWSTR command_line,
                           LPSECURITY_ATTRIBUTES process_attributes,
                           LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                           DWORD creation_flags, LPVOID environment, LPCWSTR current_directory,
                           LPSTARTUPINFOW startup_info, LPPROCESS_INFORMATION process_information);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exit_code);

// Resources of a loaded module.
BOOL WINAPI EnumResourceNamesW(HMODULE module, LPCWSTR type, ENUMRESNAMEPROCW callback,
                               LONG_PTR param);
HRSRC WINAPI FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource);
HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource);
LPVOID WINAPI LockResource(HGLOBAL resource);

// Libraries and environment.
DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size);
HMODULE WINAPI LoadLibraryExW(LPCWSTR file_name, HANDLE file, DWORD flags);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);

// Time.
BOOL WINAPI DosDateTimeToFileTime(WORD fat_date, WORD fat_time, LPFILETIME file_time);
BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* local_file_time, LPFILETIME file_time);

// Text.
int WINAPI lstrlenW(LPCWSTR text);
int WINAPI WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_length,
                               LPSTR multi_byte, int multi_byte_size, LPCSTR default_char,
                               LPBOOL used_default_char);
int WINAPI MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR multi_byte,
                               int multi_byte_length, LPWSTR wide, int wide_size);
LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR command_line, int* argument_count);
int WINAPI lstrcmpiW(LPCWSTR left, LPCWSTR right);

// Registry.
LSTATUS WINAPI RegOpenKeyExW(HKEY root, LPCWSTR sub_key, DWORD options, REGSAM desired,
                             PHKEY result);
LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD data_size);
LSTATUS WINAPI RegCloseKey(HKEY key);

// Memory.
HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL WINAPI LocalFree(HLOCAL memory);
HANDLE WINAPI GetProcessHeap();
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID memory);

// Security.
BOOL WINAPI OpenProcessToken(HANDLE process, DWORD desired_access, PHANDLE token);
BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS information_class,
                                LPVOID information, DWORD length, PDWORD return_length);
BOOL WINAPI ConvertSidToStringSidW(PSID sid, LPWSTR* string_sid);
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor,
                                                                 ULONG* descriptor_size);
BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

// Volumes, directories, files.
BOOL WINAPI GetVolumePathNameW(LPCWSTR file_name, LPWSTR volume_path, DWORD size);
BOOL WINAPI GetVolumeInformationW(LPCWSTR root, LPWSTR volume_name, DWORD volume_name_size,
                                  LPDWORD serial_number, LPDWORD maximum_component_length,
                                  LPDWORD file_system_flags, LPWSTR file_system_name,
                                  DWORD file_system_name_size);
BOOL WINAPI CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD desired_access, DWORD share_mode,
                          LPSECURITY_ATTRIBUTES security, DWORD creation_disposition,
                          DWORD flags_and_attributes, HANDLE template_file);
BOOL WINAPI CloseHandle(HANDLE object);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written,
                      LPOVERLAPPED overlapped);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytes, LPDWORD read,
                     LPOVERLAPPED overlapped);
DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method);
BOOL WINAPI FlushFileBuffers(HANDLE file);
BOOL WINAPI DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process,
                            LPHANDLE target, DWORD desired_access, BOOL inherit, DWORD options);
BOOL WINAPI GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS information_class,
                                         LPVOID information, DWORD size);
BOOL WINAPI SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS information_class,
                                       LPVOID information, DWORD size);
