/* Drives the USB stand-in driver under Wine and runs the tool against it.

   harness install DRIVER.sys    installs the driver as a service with its root
                                 devices (one per interface slot) and starts it
   harness check                 waits until the driver answers
   harness remove                stops and deletes the service
   harness run TABLE BOXES LIMIT_MS[,PASSES] PROGRAM [ARGS...]
       loads TABLE, starts PROGRAM with ARGS in the current directory, answers
       every message box (logged to BOXES as "[caption] text"), ends the program
       at LIMIT_MS, and says whether the driver could not place a request.
       Exits with the program's status, or 3 when the run could not be made.
       With PASSES, it ends the program just before polling pass PASSES + 1,
       which the driver holds, says so as the Linux rehearsal does, and exits 1.

   Its own complaints go to standard error, starting with "harness:". */
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>

#include "standin.h"

#define SERVICE_NAME "quorvex_usb"
#define SLOT_DEVICE "QUORVEX_HC"

static const GUID host_controller_interface = {
    0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};

static int complain(const char *what) {
    fprintf(stderr, "harness: %s (error %lu)\n", what, GetLastError());
    return 3;
}

static HANDLE open_control(void) {
    return CreateFileA("\\\\.\\" QVX_CONTROL_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                       OPEN_EXISTING, 0, NULL);
}

/* The driver answers on its control device once it runs; PnP may start it a
   little after the service manager says so. */
static int check(void) {
    for (int i = 0; i < 300; ++i) {
        HANDLE control = open_control();
        if (control != INVALID_HANDLE_VALUE) {
            CloseHandle(control);
            return 0;
        }
        Sleep(50);
    }
    return complain("the stand-in driver does not answer on \\\\.\\" QVX_CONTROL_NAME);
}

static int install(const char *driver_file) {
    char target[MAX_PATH];
    snprintf(target, sizeof target, "C:\\%s", SERVICE_NAME ".sys");
    if (!CopyFileA(driver_file, target, FALSE)) {
        return complain("cannot copy the driver into the prefix");
    }
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL) {
        return complain("no service manager");
    }
    SC_HANDLE service = CreateServiceA(manager, SERVICE_NAME, SERVICE_NAME, SERVICE_ALL_ACCESS,
                                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                       SERVICE_ERROR_NORMAL, target, NULL, NULL, NULL, NULL, NULL);
    if (service == NULL) {
        return complain("the service manager refuses the driver's service");
    }
    /* Root devices ROOT\QUORVEX_HC\0000 and up: each gets one interface. */
    for (int slot = 0; slot < QVX_INTERFACE_SLOTS; ++slot) {
        static const char hardware_id[] = "ROOT\\" SLOT_DEVICE "\0";
        HDEVINFO set = SetupDiCreateDeviceInfoList(NULL, NULL);
        SP_DEVINFO_DATA device = {sizeof device, {0}, 0, 0};
        if (set == INVALID_HANDLE_VALUE ||
            !SetupDiCreateDeviceInfoA(set, SLOT_DEVICE, &host_controller_interface, NULL, NULL,
                                      DICD_GENERATE_ID, &device) ||
            !SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                               (const BYTE *)hardware_id, sizeof hardware_id) ||
            !SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_SERVICE,
                                               (const BYTE *)SERVICE_NAME, sizeof SERVICE_NAME) ||
            !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
            return complain("cannot register the root devices");
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    StartServiceA(service, 0, NULL); /* may answer before PnP has started it */
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return check();
}

static int remove_service(void) {
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service =
        manager != NULL ? OpenServiceA(manager, SERVICE_NAME, SERVICE_ALL_ACCESS) : NULL;
    if (service == NULL) {
        return complain("no service to remove");
    }
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    const BOOL deleted = DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return deleted ? 0 : complain("cannot delete the service");
}

/* ---- the run ------------------------------------------------------------ */

static unsigned char *read_file(const char *path, DWORD *size) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return NULL;
    }
    *size = GetFileSize(file, NULL);
    unsigned char *data = *size <= QVX_MAX_TABLE ? malloc(*size) : NULL;
    DWORD read = 0;
    if (data != NULL && (!ReadFile(file, data, *size, &read, NULL) || read != *size)) {
        free(data);
        data = NULL;
    }
    CloseHandle(file);
    return data;
}

struct box_search {
    DWORD process;
    HWND answered; /* the box answered last, until it is gone */
    HWND found;
};

static BOOL CALLBACK find_box(HWND window, LPARAM context) {
    struct box_search *search = (struct box_search *)context;
    DWORD process = 0;
    char class_name[16];
    GetWindowThreadProcessId(window, &process);
    if (process == search->process && window != search->answered &&
        GetClassNameA(window, class_name, sizeof class_name) > 0 &&
        strcmp(class_name, "#32770") == 0 && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

struct box_parts {
    int buttons; /* visible buttons */
    int ok;      /* of them, the OK button */
    int icons;   /* visible statics showing an icon */
    char text[512];
};

static BOOL CALLBACK read_part(HWND child, LPARAM context) {
    struct box_parts *parts = (struct box_parts *)context;
    char class_name[16], text[512];
    if (!IsWindowVisible(child) || GetClassNameA(child, class_name, sizeof class_name) == 0) {
        return TRUE;
    }
    const int length = GetWindowTextA(child, text, sizeof text);
    if (strcmp(class_name, "Button") == 0) {
        ++parts->buttons;
        parts->ok += GetDlgCtrlID(child) == IDOK;
    } else if (strcmp(class_name, "Static") == 0) {
        if (length > 0) {
            memcpy(parts->text, text, (size_t)length + 1);
        }
        if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
            SendMessageA(child, STM_GETICON, 0, 0) != 0) {
            ++parts->icons;
        }
    }
    return TRUE;
}

/* Logs and answers one box of the tool's; a box that is not the tool's kind
   (caption, owner, a single OK button, no icon) is logged as such. */
static void answer_box(HWND box, FILE *log) {
    char caption[128] = "";
    struct box_parts parts;
    memset(&parts, 0, sizeof parts);
    GetWindowTextA(box, caption, sizeof caption);
    EnumChildWindows(box, read_part, (LPARAM)&parts);
    const HWND owner = GetWindow(box, GW_OWNER);
    if (strcmp(caption, "Oops!") != 0 || owner != NULL || parts.buttons != 1 || parts.ok != 1 ||
        parts.icons != 0) {
        fprintf(log, "[%s] (not the tool's box: owner %p, %d buttons, OK %d, icons %d) %s\n",
                caption, (void *)owner, parts.buttons, parts.ok, parts.icons, parts.text);
    } else {
        fprintf(log, "[%s] %s\n", caption, parts.text);
    }
    fflush(log);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
}

static BOOL read_counts(HANDLE control, struct qvx_counts *counts) {
    DWORD returned = 0;
    return DeviceIoControl(control, QVX_GET_COUNTS, NULL, 0, counts, sizeof *counts, &returned,
                           NULL);
}

/* A request the driver could not place is a fault of the table or the stand-in:
   said here, it fails the scenario. */
static void check_placed(HANDLE control) {
    struct qvx_counts counts;
    if (!read_counts(control, &counts)) {
        complain("cannot read the driver's counts");
    } else if (counts.problems != 0) {
        fprintf(stderr, "harness: the driver could not place %u requests\n", counts.problems);
    }
}

static int run(int argc, char **argv) {
    const char *table_path = argv[2], *boxes_path = argv[3];
    char *rest = NULL;
    const DWORD limit = (DWORD)strtoul(argv[4], &rest, 10);
    DWORD passes = *rest == ',' ? (DWORD)strtoul(rest + 1, NULL, 10) : 0;
    DWORD size = 0;
    unsigned char *table = read_file(table_path, &size);
    if (table == NULL || size == 0) {
        return complain("cannot read the table");
    }
    HANDLE control = open_control();
    if (control == INVALID_HANDLE_VALUE) {
        return complain("the stand-in driver is not running");
    }
    DWORD returned = 0;
    if (!DeviceIoControl(control, QVX_LOAD_TABLE, table, size, NULL, 0, &returned, NULL)) {
        return complain("the driver refuses the table");
    }
    FILE *boxes = fopen(boxes_path, "wb");
    if (boxes == NULL) {
        return complain("cannot write the box log");
    }

    char command[4096] = "";
    for (int i = 5; i < argc; ++i) {
        strncat(command, argv[i], sizeof command - strlen(command) - 2);
        if (i + 1 < argc) {
            strcat(command, " ");
        }
    }
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (!DeviceIoControl(control, QVX_START, &passes, sizeof passes, NULL, 0, &returned, NULL) ||
        !CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        return complain("cannot start the program");
    }
    const DWORD started = GetTickCount();
    DWORD status = 3;
    HWND answered = NULL;
    for (;;) {
        if (WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process.hProcess, &status);
            break;
        }
        struct box_search search = {process.dwProcessId, answered, NULL};
        EnumWindows(find_box, (LPARAM)&search);
        if (search.found != NULL) {
            answer_box(search.found, boxes);
            answered = search.found;
        }
        struct qvx_counts counts;
        if (passes != 0 && read_counts(control, &counts) && counts.held) {
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, 5000);
            fprintf(stderr,
                    "stopped before pass %lu: no download-mode device yet, polling would go on\n",
                    passes + 1);
            status = 1;
            break;
        }
        if (GetTickCount() - started > limit) {
            TerminateProcess(process.hProcess, 3);
            WaitForSingleObject(process.hProcess, 5000);
            fprintf(stderr, "harness: the program did not end within %lu ms\n", limit);
            status = 3;
            break;
        }
    }
    fclose(boxes);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    check_placed(control);
    CloseHandle(control);
    free(table);
    return (int)status;
}

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "install") == 0) {
        return install(argv[2]);
    }
    if (argc == 2 && strcmp(argv[1], "check") == 0) {
        return check();
    }
    if (argc == 2 && strcmp(argv[1], "remove") == 0) {
        return remove_service();
    }
    if (argc >= 6 && strcmp(argv[1], "run") == 0) {
        return run(argc, argv);
    }
    fprintf(stderr, "usage: harness install DRIVER.sys | check | remove |\n"
                    "       harness run TABLE BOXES LIMIT_MS[,PASSES] PROGRAM [ARGS...]\n");
    return 2;
}
