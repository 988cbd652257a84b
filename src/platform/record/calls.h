// The platform calls of the tool's code as the capture program builds it: each
// one goes to the recording layer (record.cpp), which calls the real function
// where there is something to learn and keeps its answer. Included by
// platform/win32.h, after the real declarations, and by record.cpp.
#pragma once

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
