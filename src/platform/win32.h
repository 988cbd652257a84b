// The one door to the operating system. The tool includes nothing else for it.
//
// On Windows this is the SDK: the real system answers. Elsewhere the same subset
// (types, constants, records and functions, with the same names and meanings) is
// declared here and answered by the emulated machine under platform/emu/.
#pragma once

#if defined(_WIN32)

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0501
#endif
#ifndef WINVER
#define WINVER 0x0501
#endif
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <aclapi.h>
// aclapi.h brings in the COM headers, whose `interface` is a keyword of their
// own: here it is a word like any other.
#undef interface

// Formatted text (crt_printf, crt_snprintf, crt_sscanf) comes from the system's
// C runtime, msvcrt.dll. Without this, mingw-w64 links its own printf and scanf
// family into every C++ program: about 60 KB of the 32-bit program.
#include <cstdarg>
#include <cstdio>

#define crt_printf __ms_printf
#define crt_sscanf __ms_sscanf

// As snprintf: at most size - 1 characters and always a terminator, which the
// system's _vsnprintf leaves out when it cuts the text short.
__attribute__((format(ms_printf, 3, 4))) inline int crt_snprintf(char *buffer, size_t size,
                                                                 const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int written = _vsnprintf(buffer, size, format, args);
    va_end(args);
    if (size > 0) {
        buffer[size - 1] = '\0';
    }
    return written;
}

#else // the emulated machine

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef std::uint32_t DWORD, ULONG, DEVINST, CONFIGRET;
typedef std::int32_t LONG;
typedef unsigned int UINT;
typedef char CHAR;
typedef char16_t WCHAR;
typedef std::uintptr_t ULONG_PTR;
typedef std::intptr_t LONG_PTR;
typedef std::size_t SIZE_T;
typedef void *LPVOID, *PVOID, *HANDLE, *HWND, *HGLOBAL, *HDEVINFO, *HMODULE, *HINF;
typedef const void *LPCVOID;
typedef char *LPSTR, *PSTR, *PCHAR, *DEVINSTID_A;
typedef const char *LPCSTR, *PCSTR, *LPCCH;
typedef const WCHAR *LPCWCH, *LPCWSTR;
typedef DWORD *LPDWORD, *PDWORD, *PDEVINST;
typedef UINT *PUINT;
typedef ULONG *PULONG;
typedef BOOL *LPBOOL;
typedef void *PSID, *PSECURITY_DESCRIPTOR, *HLOCAL;
typedef DWORD ACCESS_MASK, SECURITY_INFORMATION;
typedef BYTE *LPBYTE;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef DWORD REGSAM, REGDISPOSITION;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_FAILED 0xFFFFFFFFu
#define REALTIME_PRIORITY_CLASS 0x00000100u
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define GMEM_FIXED 0x0000u
#define GMEM_ZEROINIT 0x0040u
#define GPTR 0x0040u
#define CP_ACP 0u
#define MB_OK 0x00000000u
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_DEVICEINTERFACE 0x00000010u
#define VER_PLATFORM_WIN32_NT 2u
#define MAX_PATH 260
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define INF_STYLE_OLDNT 0x00000001u
#define INF_STYLE_WIN4 0x00000002u

// Rights and volumes.
#define DACL_SECURITY_INFORMATION 0x00000004u
#define ACL_REVISION 2
#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define OBJECT_INHERIT_ACE 0x1
#define CONTAINER_INHERIT_ACE 0x2
#define INHERIT_ONLY_ACE 0x8
#define FILE_ADD_FILE 0x0002u
#define FILE_WRITE_DATA 0x0002u
#define FILE_ADD_SUBDIRECTORY 0x0004u
#define FILE_APPEND_DATA 0x0004u
#define FILE_DELETE_CHILD 0x0040u
#define FILE_GENERIC_READ 0x00120089u
#define FILE_GENERIC_EXECUTE 0x001200A0u
#define FILE_ALL_ACCESS 0x001F01FFu
#define DELETE 0x00010000u
#define WRITE_DAC 0x00040000u
#define WRITE_OWNER 0x00080000u
#define GENERIC_ALL 0x10000000u
#define SECURITY_WORLD_RID 0x00000000u
#define SECURITY_CREATOR_OWNER_RID 0x00000000u
#define SECURITY_INTERACTIVE_RID 0x00000004u
#define SECURITY_AUTHENTICATED_USER_RID 0x0000000Bu
#define SECURITY_LOCAL_SYSTEM_RID 0x00000012u
#define SECURITY_BUILTIN_DOMAIN_RID 0x00000020u
#define DOMAIN_ALIAS_RID_ADMINS 0x00000220u
#define DOMAIN_ALIAS_RID_USERS 0x00000221u
#define FILE_CASE_SENSITIVE_SEARCH 0x00000001u
#define FILE_CASE_PRESERVED_NAMES 0x00000002u
#define FILE_UNICODE_ON_DISK 0x00000004u
#define FILE_PERSISTENT_ACLS 0x00000008u

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_CALL_NOT_IMPLEMENTED 120u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_BAD_EXE_FORMAT 193u
#define ERROR_ENVVAR_NOT_FOUND 203u
#define ERROR_BAD_LENGTH 24u
#define ERROR_INVALID_NAME 123u
#define ERROR_DIR_NOT_ROOT 144u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_MORE_DATA 234u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_INVALID_FLAGS 1004u
#define ERROR_FILE_INVALID 1006u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_INVALID_SID 1337u
#define ERROR_INVALID_USER_BUFFER 1784u
#define ERROR_EXPECTED_SECTION_NAME 0xE0000000u
#define ERROR_BAD_SECTION_NAME_LINE 0xE0000001u
#define ERROR_SECTION_NAME_TOO_LONG 0xE0000002u
#define ERROR_WRONG_INF_STYLE 0xE0000100u
#define ERROR_LINE_NOT_FOUND 0xE0000102u

#define CR_SUCCESS 0x00000000u
#define CR_INVALID_POINTER 0x00000003u
#define CR_INVALID_FLAG 0x00000004u
#define CR_INVALID_DEVNODE 0x00000005u
#define CR_NO_SUCH_DEVNODE 0x0000000Du
#define CR_BUFFER_SMALL 0x0000001Au
#define CR_NO_SUCH_VALUE 0x00000025u
#define CR_INVALID_DATA 0x0000001Fu
#define CR_NO_SUCH_REGISTRY_KEY 0x0000002Eu
#define CR_INVALID_PROPERTY 0x00000035u
#define CM_LOCATE_DEVNODE_NORMAL 0x00000000u
#define CM_DRP_DEVICEDESC 0x00000001u
#define CM_DRP_HARDWAREID 0x00000002u
#define CM_DRP_SERVICE 0x00000005u
#define CM_DRP_DRIVER 0x0000000Au
#define CM_REGISTRY_HARDWARE 0x00000000u
#define CM_REGISTRY_SOFTWARE 0x00000001u
#define CM_REGISTRY_USER 0x00000100u
#define CM_REGISTRY_CONFIG 0x00000200u
#define RegDisposition_OpenAlways 0x00000000u
#define RegDisposition_OpenExisting 0x00000001u
#define KEY_QUERY_VALUE 0x00000001u
#define KEY_READ 0x00020019u
#define REG_SZ 1u

struct GUID {
    DWORD Data1;
    WORD Data2, Data3;
    BYTE Data4[8];
};

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;

struct OVERLAPPED {
    ULONG_PTR Internal, InternalHigh;
    DWORD Offset, OffsetHigh;
    HANDLE hEvent;
};
typedef OVERLAPPED *LPOVERLAPPED;

struct STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved, lpDesktop, lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
    WORD wShowWindow, cbReserved2;
    BYTE *lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
};
typedef STARTUPINFOA *LPSTARTUPINFOA;

struct PROCESS_INFORMATION {
    HANDLE hProcess, hThread;
    DWORD dwProcessId, dwThreadId;
};
typedef PROCESS_INFORMATION *LPPROCESS_INFORMATION;

struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize, dwMajorVersion, dwMinorVersion, dwBuildNumber, dwPlatformId;
    CHAR szCSDVersion[128];
};
typedef OSVERSIONINFOA *LPOSVERSIONINFOA;

enum SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE = 0, SE_FILE_OBJECT = 1 };

struct SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
};
typedef SID_IDENTIFIER_AUTHORITY *PSID_IDENTIFIER_AUTHORITY;

// A DACL: this header, then AceCount ACEs, each led by its ACE_HEADER.
struct ACL {
    BYTE AclRevision, Sbz1;
    WORD AclSize, AceCount, Sbz2;
};
typedef ACL *PACL;

struct ACE_HEADER {
    BYTE AceType, AceFlags;
    WORD AceSize;
};

// An allow or deny ACE: its SID starts at SidStart.
struct ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    DWORD SidStart;
};
typedef ACCESS_ALLOWED_ACE ACCESS_DENIED_ACE;

struct SYSTEMTIME {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};
typedef SYSTEMTIME *LPSYSTEMTIME;

// SetupAPI's records are packed to 1 byte in a 32-bit program and to 8 in a
// 64-bit one, as the SDK lays them out.
#if UINTPTR_MAX == UINT32_MAX
#pragma pack(push, 1)
#else
#pragma pack(push, 8)
#endif

// Where a search of an INF file stands: its line, for the next search or a field.
struct INFCONTEXT {
    PVOID Inf, CurrentInf;
    UINT Section, Line;
};
typedef INFCONTEXT *PINFCONTEXT;

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
typedef SP_DEVINFO_DATA *PSP_DEVINFO_DATA;

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
typedef SP_DEVICE_INTERFACE_DATA *PSP_DEVICE_INTERFACE_DATA;

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
};
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_A *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

#pragma pack(pop)

// Process and console services.
BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                    LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                    DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                    LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation);
BOOL SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL CloseHandle(HANDLE hObject);
DWORD GetLastError(void);
void SetLastError(DWORD dwErrCode);
BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);
void Sleep(DWORD dwMilliseconds);
void GetLocalTime(LPSYSTEMTIME lpSystemTime);
void OutputDebugStringA(LPCSTR lpOutputString);
int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);

// Device I/O.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped);

// Memory and strings.
HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
HGLOBAL GlobalFree(HGLOBAL hMem);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                        LPBOOL lpUsedDefaultChar);
int wsprintfA(LPSTR buffer, LPCSTR format, ...);

// SetupAPI device-interface enumeration.
HDEVINFO SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent,
                              DWORD Flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet,
                                      PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

// Files and folders: where the program is, the current, system and Windows
// folders, the environment, and whether a file is there.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
DWORD GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer);
UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
UINT GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);
DWORD GetFileAttributesA(LPCSTR lpFileName);

// Who may write a folder, and whether its volume keeps rights at all.
DWORD GetNamedSecurityInfoA(LPCSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                            SECURITY_INFORMATION SecurityInfo, PSID *ppsidOwner, PSID *ppsidGroup,
                            PACL *ppDacl, PACL *ppSacl, PSECURITY_DESCRIPTOR *ppSecurityDescriptor);
BOOL GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID *pAce);
HLOCAL LocalFree(HLOCAL hMem);
BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority,
                              BYTE nSubAuthorityCount, DWORD nSubAuthority0, DWORD nSubAuthority1,
                              DWORD nSubAuthority2, DWORD nSubAuthority3, DWORD nSubAuthority4,
                              DWORD nSubAuthority5, DWORD nSubAuthority6, DWORD nSubAuthority7,
                              PSID *pSid);
BOOL EqualSid(PSID pSid1, PSID pSid2);
PVOID FreeSid(PSID pSid);
BOOL GetVolumePathNameA(LPCSTR lpszFileName, LPSTR lpszVolumePathName, DWORD cchBufferLength);
BOOL GetVolumeInformationA(LPCSTR lpRootPathName, LPSTR lpVolumeNameBuffer, DWORD nVolumeNameSize,
                           LPDWORD lpVolumeSerialNumber, LPDWORD lpMaximumComponentLength,
                           LPDWORD lpFileSystemFlags, LPSTR lpFileSystemNameBuffer,
                           DWORD nFileSystemNameSize);

// SetupAPI's INF reading.
HINF SetupOpenInfFileA(PCSTR FileName, PCSTR InfClass, DWORD InfStyle, PUINT ErrorLine);
BOOL SetupFindFirstLineA(HINF InfHandle, PCSTR Section, PCSTR Key, PINFCONTEXT Context);
BOOL SetupFindNextLine(PINFCONTEXT ContextIn, PINFCONTEXT ContextOut);
BOOL SetupGetStringFieldA(PINFCONTEXT Context, DWORD FieldIndex, PSTR ReturnBuffer,
                          DWORD ReturnBufferSize, PDWORD RequiredSize);
void SetupCloseInfFile(HINF InfHandle);

// Configuration manager device tree.
CONFIGRET CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags);
CONFIGRET CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);
CONFIGRET CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);
CONFIGRET CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);
CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST dnDevInst, ULONG ulProperty,
                                            PULONG pulRegDataType, PVOID Buffer, PULONG pulLength,
                                            ULONG ulFlags);
CONFIGRET CM_Get_Device_IDA(DEVINST dnDevInst, PSTR Buffer, ULONG BufferLen, ULONG ulFlags);
CONFIGRET CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                ULONG ulFlags);
CONFIGRET CM_Open_DevNode_Key(DEVINST dnDevNode, REGSAM samDesired, ULONG ulHardwareProfile,
                              REGDISPOSITION Disposition, PHKEY phkDevice, ULONG ulFlags);

// The registry: a value of a key the configuration manager opened.
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData);
LONG RegCloseKey(HKEY hKey);

// Formatted text: the C library's.
#include <cstdio>

#define crt_printf std::printf
#define crt_snprintf std::snprintf
#define crt_sscanf std::sscanf

#endif

// The records as Windows lays them out for the program's pointer width: the
// shipped 32-bit program (and the 32-bit Linux build) on the left, the 64-bit
// builds on the right. The emulated machine checks each size field against these.
#include <cstddef>

constexpr bool quorvex_32_bit = sizeof(void *) == 4;
static_assert(sizeof(STARTUPINFOA) == (quorvex_32_bit ? 68 : 104), "STARTUPINFOA");
static_assert(sizeof(PROCESS_INFORMATION) == (quorvex_32_bit ? 16 : 24), "PROCESS_INFORMATION");
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA");
static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME");
static_assert(sizeof(SECURITY_ATTRIBUTES) == (quorvex_32_bit ? 12 : 24), "SECURITY_ATTRIBUTES");
static_assert(sizeof(OVERLAPPED) == (quorvex_32_bit ? 20 : 32), "OVERLAPPED");
static_assert(sizeof(SP_DEVINFO_DATA) == (quorvex_32_bit ? 28 : 32), "SP_DEVINFO_DATA");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (quorvex_32_bit ? 28 : 32),
              "SP_DEVICE_INTERFACE_DATA");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == (quorvex_32_bit ? 5 : 8),
              "the detail record's size field");
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4, "DevicePath");
static_assert(sizeof(ACL) == 8 && sizeof(ACE_HEADER) == 4, "ACL, ACE_HEADER");
static_assert(offsetof(ACCESS_ALLOWED_ACE, SidStart) == 8, "an ACE's SID");
static_assert(sizeof(INFCONTEXT) == (quorvex_32_bit ? 16 : 24), "INFCONTEXT");
static_assert(sizeof(SIZE_T) == sizeof(void *) && sizeof(ULONG_PTR) == sizeof(void *),
              "pointer-sized integers");

// The capture program builds the tool's code a second time with
// QUORVEX_RECORDING: there the platform calls of the scan, the policy and the
// command runner go to the recording layer (record/record.cpp, built with
// QUORVEX_RECORDER), which keeps the answers, starts no process, shows no box and
// does not sleep. Each recorded call has the type of the call it stands in for.
#if defined(QUORVEX_RECORDING) || defined(QUORVEX_RECORDER)
decltype(CreateProcessA) recorded_CreateProcessA;
decltype(SetPriorityClass) recorded_SetPriorityClass;
decltype(WaitForSingleObject) recorded_WaitForSingleObject;
decltype(CloseHandle) recorded_CloseHandle;
decltype(GetVersionExA) recorded_GetVersionExA;
decltype(Sleep) recorded_Sleep;
decltype(OutputDebugStringA) recorded_OutputDebugStringA;
decltype(MessageBoxA) recorded_MessageBoxA;
decltype(CreateFileA) recorded_CreateFileA;
decltype(DeviceIoControl) recorded_DeviceIoControl;
decltype(GlobalAlloc) recorded_GlobalAlloc;
decltype(WideCharToMultiByte) recorded_WideCharToMultiByte;
decltype(SetupDiGetClassDevsA) recorded_SetupDiGetClassDevsA;
decltype(SetupDiEnumDeviceInterfaces) recorded_SetupDiEnumDeviceInterfaces;
decltype(SetupDiGetDeviceInterfaceDetailA) recorded_SetupDiGetDeviceInterfaceDetailA;
decltype(CM_Locate_DevNodeA) recorded_CM_Locate_DevNodeA;
decltype(CM_Get_Child) recorded_CM_Get_Child;
decltype(CM_Get_Sibling) recorded_CM_Get_Sibling;
decltype(CM_Get_Parent) recorded_CM_Get_Parent;
decltype(CM_Get_DevNode_Registry_PropertyA) recorded_CM_Get_DevNode_Registry_PropertyA;
decltype(CM_Get_Device_IDA) recorded_CM_Get_Device_IDA;
#endif

#if defined(QUORVEX_RECORDING)
#define CreateProcessA recorded_CreateProcessA
#define SetPriorityClass recorded_SetPriorityClass
#define WaitForSingleObject recorded_WaitForSingleObject
#define CloseHandle recorded_CloseHandle
#define GetVersionExA recorded_GetVersionExA
#define Sleep recorded_Sleep
#define OutputDebugStringA recorded_OutputDebugStringA
#define MessageBoxA recorded_MessageBoxA
#define CreateFileA recorded_CreateFileA
#define DeviceIoControl recorded_DeviceIoControl
#define GlobalAlloc recorded_GlobalAlloc
#define WideCharToMultiByte recorded_WideCharToMultiByte
#define SetupDiGetClassDevsA recorded_SetupDiGetClassDevsA
#define SetupDiEnumDeviceInterfaces recorded_SetupDiEnumDeviceInterfaces
#define SetupDiGetDeviceInterfaceDetailA recorded_SetupDiGetDeviceInterfaceDetailA
#define CM_Locate_DevNodeA recorded_CM_Locate_DevNodeA
#define CM_Get_Child recorded_CM_Get_Child
#define CM_Get_Sibling recorded_CM_Get_Sibling
#define CM_Get_Parent recorded_CM_Get_Parent
#define CM_Get_DevNode_Registry_PropertyA recorded_CM_Get_DevNode_Registry_PropertyA
#define CM_Get_Device_IDA recorded_CM_Get_Device_IDA
#endif
