#include "exec/commands.h"

#include "shared/modes.h"

const char vcp_install_command[] = "wdreg -inf vyrvcp.inf -compat -dont_create_virtual install";
const char mtp_install_command[] = "wdreg -inf ulvo_mtp.inf -compat -dont_create_virtual install";
const char ext_ctrl_install_command[] =
    "wdreg -inf dc_ext_ctrl.inf -compat -dont_create_virtual install";

void remove_cdc_drivers() {
    if (bXcontrol_mode != 0) {
        run_command("wdreg -inf dc_ext_ctrl.inf -compat -dont_create_virtual uninstall");
        run_command("del_xctrl.bat");
    }
    run_command("wdreg -inf cdcacm_modem.inf -compat uninstall");
    run_command("wdreg -inf cdc_acm_obex.inf -compat uninstall");
    run_command("wdreg -inf cdc_enum.inf -compat uninstall");
    run_command("del_sys.bat");
}

void remove_dl_drivers() {
    run_command("wdreg -inf vyrvcp.inf -compat uninstall");
    run_command("wdreg -inf vyrww.inf -compat uninstall");
    run_command("del_sys_dl.bat");
}
