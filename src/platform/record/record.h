// What the recording layer kept of the platform's answers, in the order the calls
// were made. The capture program reads it; nothing here calls the platform.
#pragma once

#include "platform/description/model.h"
#include "platform/model/model.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rec {

// What the journal holds: a call the machine answers, in the model's words, or
// an act of the tool that the recording layer kept instead of doing.
enum class event : std::uint8_t {
    asked,   // a machine call (`call`) and its answer
    version, // GetVersionExA: `ok`, `major`, `minor`, `build`
    pause,   // `ms`
    command, // a command line started (`text`)
    box,     // a message box: "[caption] text" (`text`)
    trace,   // a line written to the debugger (`text`)
};

struct entry {
    event kind = event::asked;
    std::uint32_t call = QVM_NONE; // the machine call asked (qvm_call)
    std::string device;            // the device path a call was for (opens, control codes)
    // As the model's request names it: the control code, the property, the
    // interface's index, the locate's flags.
    std::uint32_t code = 0;
    std::uint32_t port = 0;          // ConnectionIndex sent with a control code
    std::uint32_t in_size = 0;       // a control code's input size
    std::uint32_t out_size = 0;      // the output buffer's size
    std::uint64_t size = 0;          // the bytes GlobalAlloc was asked for
    std::uint32_t ms = 0;            // a pause's length
    bool ok = false;                 // the call succeeded
    std::uint32_t error = 0;         // last error after a failure; a CONFIGRET as returned
    std::vector<std::uint8_t> reply; // a control code's reply, as far as it was returned;
                                     // the UTF-16 text a conversion was given
    // Text read or shown: IDs, paths, commands, traces, boxes, conversions; a device
    // ID or property as the caller's buffer holds it after the call (up to its
    // first NUL, or all of it), the device ID a locate was given.
    std::string text;
    std::uint32_t node = 0;                        // the device node asked about
    std::uint32_t result_node = 0;                 // the device node a navigation call gave
    std::uint32_t required = 0;                    // the size a detail call asked for
    std::string value;                             // the registry value a query asked for
    std::uint32_t major = 0, minor = 0, build = 0; // the version
};

// The driver Windows installed for a node, read after the pass from its
// software key: what CM_Open_DevNode_Key answered (CR_NO_SUCH_REGISTRY_KEY: no
// driver key), the values read, and the first query that failed otherwise than
// for a value not there (its value's name and its error; none: none failed).
struct driver_reading {
    bool asked = false;
    std::uint32_t key_answer = 0;
    desc::driver_values values;
    std::string failed_value;
    std::uint32_t value_error = 0;
};

// A device node as Device Manager shows it, read after the recorded pass and
// not recorded: its place (DEVINST and parent's, 0 for the root), texts, and
// state; `state_read` false where CM_Get_DevNode_Status failed, with the
// CONFIGRET it answered in `status_answer`.
struct node_view {
    std::uint32_t node = 0, parent = 0;
    std::string device_id;
    std::optional<std::string> driver_key, description, service;
    std::vector<std::string> hardware_ids;
    bool state_read = false;
    std::uint32_t status_answer = 0;
    std::uint32_t status = 0, problem = 0;
    driver_reading driver;
};

// Every node of the device tree, parents before children, in the order of a
// walk from the root; empty, with the CONFIGRET in `failure`, where the root
// cannot be located (Wine's stubs). The driver of each node whose device ID
// holds `ours` (ASCII letters compared in lower case) is read too, each call
// of it kept in the journal.
std::vector<node_view> device_nodes(std::uint32_t &failure, const std::string &ours);

// Every entry recorded since the last clear.
const std::vector<entry> &journal();
void clear();

} // namespace rec
