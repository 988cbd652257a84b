// The resolutions Microsoft publishes for Device Manager's error codes ("Error
// codes in Device Manager in Windows", Microsoft Learn; the codes' names are
// cfg.h's), each with what quorvex's install does for it.
#include "capture/report/problem_advice.h"

#include <iterator>

namespace {

constexpr const char *codes_article = "Microsoft Learn, Error codes in Device Manager in Windows";

constexpr problem_advice rows[] = {
    {"CM_PROB_NOT_CONFIGURED", "update the device's driver", codes_article, 1, quorvex_mends::may},
    {"CM_PROB_OUT_OF_MEMORY",
     "close some programs, or restart the PC; if it stays, uninstall the device with its driver "
     "and install it again",
     codes_article, 3, quorvex_mends::no},
    {"CM_PROB_FAILED_START",
     "unplug the device and plug it in again; if it stays, update its driver", codes_article, 10,
     quorvex_mends::may},
    {"CM_PROB_REINSTALL", "reinstall the device's driver", codes_article, 18, quorvex_mends::may},
    {"CM_PROB_REGISTRY",
     "uninstall the device in Device Manager, then install it again (Action, Scan for hardware "
     "changes)",
     codes_article, 19, quorvex_mends::no},
    {"CM_PROB_WILL_BE_REMOVED",
     "wait a few seconds and refresh Device Manager (F5); if it stays, restart the PC",
     codes_article, 21, quorvex_mends::no},
    {"CM_PROB_DISABLED", "enable the device: in Device Manager, Action, Enable device",
     codes_article, 22, quorvex_mends::no},
    {"CM_PROB_DEVICE_NOT_THERE",
     "check the device and its cable; uninstall it in Device Manager and plug it in again",
     codes_article, 24, quorvex_mends::no},
    {"CM_PROB_FAILED_INSTALL", "install the device's driver", codes_article, 28,
     quorvex_mends::yes},
    {"CM_PROB_FAILED_ADD", "update or reinstall the device's driver", codes_article, 31,
     quorvex_mends::may},
    {"CM_PROB_DRIVER_FAILED_LOAD",
     "uninstall the device with its driver, then install the driver again", codes_article, 39,
     quorvex_mends::may},
    {"CM_PROB_FAILED_POST_START",
     "unplug the device and plug it in again, on another port; the device itself reported a "
     "fault, so if it stays, the device or its firmware needs looking at",
     codes_article, 43, quorvex_mends::no},
    {"CM_PROB_PHANTOM", "plug the device in again: Windows does not see it connected now",
     codes_article, 45, quorvex_mends::no},
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
