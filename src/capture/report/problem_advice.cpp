// The resolutions Microsoft publishes for Device Manager's error codes ("Error
// codes in Device Manager in Windows", Microsoft Learn; the codes' names are
// cfg.h's), each with what quorvex's install does for it.
#include "capture/report/problem_advice.h"

#include <iterator>

namespace {

constexpr const char *codes_article = "Microsoft Learn, Error codes in Device Manager in Windows";

constexpr problem_advice rows[] = {
    {1, "CM_PROB_NOT_CONFIGURED", "update the device's driver", quorvex_mends::may, codes_article},
    {3, "CM_PROB_OUT_OF_MEMORY",
     "close some programs, or restart the PC; if it stays, uninstall the device with its driver "
     "and install it again",
     quorvex_mends::no, codes_article},
    {10, "CM_PROB_FAILED_START",
     "unplug the device and plug it in again; if it stays, update its driver", quorvex_mends::may,
     codes_article},
    {18, "CM_PROB_REINSTALL", "reinstall the device's driver", quorvex_mends::may, codes_article},
    {19, "CM_PROB_REGISTRY",
     "uninstall the device in Device Manager, then install it again (Action, Scan for hardware "
     "changes)",
     quorvex_mends::no, codes_article},
    {21, "CM_PROB_WILL_BE_REMOVED",
     "wait a few seconds and refresh Device Manager (F5); if it stays, restart the PC",
     quorvex_mends::no, codes_article},
    {22, "CM_PROB_DISABLED", "enable the device: in Device Manager, Action, Enable device",
     quorvex_mends::no, codes_article},
    {24, "CM_PROB_DEVICE_NOT_THERE",
     "check the device and its cable; uninstall it in Device Manager and plug it in again",
     quorvex_mends::no, codes_article},
    {28, "CM_PROB_FAILED_INSTALL", "install the device's driver", quorvex_mends::yes,
     codes_article},
    {31, "CM_PROB_FAILED_ADD", "update or reinstall the device's driver", quorvex_mends::may,
     codes_article},
    {39, "CM_PROB_DRIVER_FAILED_LOAD",
     "uninstall the device with its driver, then install the driver again", quorvex_mends::may,
     codes_article},
    {43, "CM_PROB_FAILED_POST_START",
     "unplug the device and plug it in again, on another port; the device itself reported a "
     "fault, so if it stays, the device or its firmware needs looking at",
     quorvex_mends::no, codes_article},
    {45, "CM_PROB_PHANTOM", "plug the device in again: Windows does not see it connected now",
     quorvex_mends::no, codes_article},
};

} // namespace

const problem_advice *advice_for(std::uint32_t problem) {
    for (const problem_advice &a : rows) {
        if (a.code == problem) {
            return &a;
        }
    }
    return nullptr;
}
