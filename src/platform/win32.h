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
typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef std::uint32_t ULONG;
typedef unsigned int UINT;
typedef char CHAR;
typedef char16_t WCHAR;
typedef std::uintptr_t ULONG_PTR;
typedef std::intptr_t LONG_PTR;
typedef std::size_t SIZE_T;
typedef void *LPVOID;
typedef void *PVOID;
typedef const void *LPCVOID;
typedef void *HANDLE;
typedef void *HWND;
typedef void *HGLOBAL;
typedef void *HDEVINFO;
typedef char *LPSTR;
typedef char *PSTR;
typedef char *PCHAR;
typedef const char *LPCSTR;
typedef const char *PCSTR;
typedef const char *LPCCH;
typedef const WCHAR *LPCWCH;
typedef const WCHAR *LPCWSTR;
typedef DWORD *LPDWORD;
typedef DWORD *PDWORD;
typedef ULONG *PULONG;
typedef BOOL *LPBOOL;
typedef DWORD DEVINST;
typedef DEVINST *PDEVINST;
typedef DWORD CONFIGRET;
typedef CHAR *DEVINSTID_A;

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

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_BAD_EXE_FORMAT 193u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_INVALID_FLAGS 1004u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_INVALID_USER_BUFFER 1784u

#define CR_SUCCESS 0x00000000u
#define CR_INVALID_POINTER 0x00000003u
#define CR_INVALID_FLAG 0x00000004u
#define CR_INVALID_DEVNODE 0x00000005u
#define CR_NO_SUCH_DEVNODE 0x0000000Du
#define CR_BUFFER_SMALL 0x0000001Au
#define CR_NO_SUCH_VALUE 0x00000025u
#define CR_INVALID_PROPERTY 0x00000035u
#define CM_LOCATE_DEVNODE_NORMAL 0x00000000u
#define CM_DRP_DEVICEDESC 0x00000001u
#define CM_DRP_HARDWAREID 0x00000002u
#define CM_DRP_SERVICE 0x00000005u
#define CM_DRP_DRIVER 0x0000000Au

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;

struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
typedef OVERLAPPED *LPOVERLAPPED;

struct STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
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
    BYTE *lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};
typedef STARTUPINFOA *LPSTARTUPINFOA;

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};
typedef PROCESS_INFORMATION *LPPROCESS_INFORMATION;

struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
};
typedef OSVERSIONINFOA *LPOSVERSIONINFOA;

// SetupAPI's records are packed to 1 byte in a 32-bit program and to 8 in a
// 64-bit one, as the SDK lays them out.
#if UINTPTR_MAX == UINT32_MAX
#pragma pack(push, 1)
#else
#pragma pack(push, 8)
#endif

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
static_assert(sizeof(SECURITY_ATTRIBUTES) == (quorvex_32_bit ? 12 : 24), "SECURITY_ATTRIBUTES");
static_assert(sizeof(OVERLAPPED) == (quorvex_32_bit ? 20 : 32), "OVERLAPPED");
static_assert(sizeof(SP_DEVINFO_DATA) == (quorvex_32_bit ? 28 : 32), "SP_DEVINFO_DATA");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (quorvex_32_bit ? 28 : 32),
              "SP_DEVICE_INTERFACE_DATA");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == (quorvex_32_bit ? 5 : 8),
              "the detail record's size field");
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4, "DevicePath");
static_assert(sizeof(SIZE_T) == sizeof(void *) && sizeof(ULONG_PTR) == sizeof(void *),
              "pointer-sized integers");

// The capture program builds the tool's code a second time with
// QUORVEX_RECORDING: there the platform calls of the scan, the policy and the
// command runner go to the recording layer (record/record.cpp, built with
// QUORVEX_RECORDER), which keeps the answers, starts no process, shows no box and
// does not sleep.
#if defined(QUORVEX_RECORDING) || defined(QUORVEX_RECORDER)
BOOL recorded_CreateProcessA(LPCSTR application, LPSTR command_line,
                             LPSECURITY_ATTRIBUTES process_attributes,
                             LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                             DWORD creation_flags, LPVOID environment, LPCSTR current_directory,
                             LPSTARTUPINFOA startup_info, LPPROCESS_INFORMATION process_info);
BOOL recorded_SetPriorityClass(HANDLE process, DWORD priority_class);
DWORD recorded_WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL recorded_CloseHandle(HANDLE handle);
BOOL recorded_GetVersionExA(LPOSVERSIONINFOA info);
void recorded_Sleep(DWORD milliseconds);
void recorded_OutputDebugStringA(LPCSTR text);
int recorded_MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
HANDLE recorded_CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                            DWORD disposition, DWORD flags, HANDLE template_file);
BOOL recorded_DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                              DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped);
HGLOBAL recorded_GlobalAlloc(UINT flags, SIZE_T bytes);
int recorded_WideCharToMultiByte(UINT code_page, DWORD flags, LPCWCH text, int units, LPSTR out,
                                 int out_size, LPCCH default_char, LPBOOL used_default);
HDEVINFO recorded_SetupDiGetClassDevsA(const GUID *guid, PCSTR enumerator, HWND parent,
                                       DWORD flags);
BOOL recorded_SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID *guid,
                                          DWORD index, PSP_DEVICE_INTERFACE_DATA data);
BOOL recorded_SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                               PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                               DWORD detail_size, PDWORD required,
                                               PSP_DEVINFO_DATA info);
CONFIGRET recorded_CM_Locate_DevNodeA(PDEVINST node, DEVINSTID_A id, ULONG flags);
CONFIGRET recorded_CM_Get_Child(PDEVINST child, DEVINST node, ULONG flags);
CONFIGRET recorded_CM_Get_Sibling(PDEVINST sibling, DEVINST node, ULONG flags);
CONFIGRET recorded_CM_Get_Parent(PDEVINST parent, DEVINST node, ULONG flags);
CONFIGRET recorded_CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, PULONG type,
                                                     PVOID buffer, PULONG length, ULONG flags);
CONFIGRET recorded_CM_Get_Device_IDA(DEVINST node, PSTR buffer, ULONG length, ULONG flags);
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
