// Running external command lines, and the command lines that do not depend on a
// chip family.
#pragma once

// Starts one command line as a child process at real-time priority and waits
// for it to end. Its exit status is never examined; a failure to start it or to
// raise its priority is reported on standard output and the caller goes on.
void run_command(const char *command_line);

// What run_command prints where a command line cannot be started: the error.
inline constexpr char start_failure_format[] = "CreateProcess failed (%d)\n";

extern const char vcp_install_command[];
extern const char mtp_install_command[];
extern const char ext_ctrl_install_command[];

// The composite (CDC) removal set; with bXcontrol_mode set it first removes the
// external-control package.
void remove_cdc_drivers();

// The download-mode (virtual COM port) removal set.
void remove_dl_drivers();
