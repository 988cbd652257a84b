// One reading of a recorded pass. read_pass() goes through the journal once and
// gathers what the describer, the report's sections and its checks ask of it:
// the version, the code page's conversions, the controller walks with the ports
// each reached and what ran for them, the name queries and the answers by device
// and port, the boxes with their causing calls, the commands and pauses, and the
// device tree the lookups walked. Nothing else reads the journal.
#pragma once

#include "platform/description/model.h"
#include "platform/record/record.h"
#include "usb_enum/sites.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

// The PC's own conversions of names to its ANSI code page, both ways.
// hub_path: the path the scan opened a hub of this name by (a name it never
// converted, as the replay converts it); replay_path: the path the replay opens
// where the scan opened `path`.
struct code_page {
    std::map<std::string, std::string> to_ansi;
    std::map<std::string, std::string> to_utf8;

    std::string hub_path(const std::string &name) const;
    std::string replay_path(const std::string &path) const;
};

// A node of the tree by its DEVINST, as far as the calls read it.
struct tree_node {
    std::optional<std::string> driver_key;
    std::string device_id;
    std::optional<std::string> description;
    desc::node_state state;
    std::vector<std::uint32_t> children;
    std::uint32_t parent = 0;
};

// The tree the lookups walked, by DEVINST; the root is the one the locate gave.
struct captured_tree {
    std::uint32_t root = 0; // 0: the root was never located
    std::map<std::uint32_t, tree_node> nodes;

    const tree_node *find(std::uint32_t n) const;
};

using port_ref = std::pair<std::string, std::uint32_t>; // lower-case hub path, port

// One walk of a controller: the path it opened it by, the ports it reached and
// the steps taken for each (the commands, pauses and boxes).
struct walk {
    std::string path;
    std::set<port_ref> reached;
    std::map<port_ref, std::vector<const rec::entry *>> steps;
};

// A box the pass showed: its text and site (0: not a site of the scan), the
// controller walk it is in, and what came before it: the failed call that
// causes it, where one does, the last call made for a device, the last device
// ID read and the last control code answered.
struct box_seen {
    std::string text;
    int site = 0;
    const failure_site *info = nullptr;
    std::string walk_path;
    const rec::entry *failed = nullptr;
    const rec::entry *last_device = nullptr;
    const rec::entry *last_id = nullptr;
    const rec::entry *last_reply = nullptr;
    bool after_box = false; // the entry before it is a box
};

// The control codes sent to one device and port.
using call_key = std::tuple<std::string, std::uint32_t, std::uint32_t>;

struct pass_reading {
    const rec::entry *begin = nullptr; // the journal's first entry
    std::size_t entries = 0;
    const rec::entry *version = nullptr;
    code_page ansi;
    std::vector<const rec::entry *> asked; // the machine's calls, in order
    std::vector<walk> walks;
    std::vector<std::string> commands;
    std::map<std::uint32_t, std::size_t> pauses; // by length: how many
    std::uint64_t paused_ms = 0;
    std::vector<box_seen> boxes;
    bool opened = false; // the pass opened something: it scanned
    // The control codes' answers by device and port, in order; the name queries'
    // sized second calls; each path's opens.
    std::map<call_key, std::vector<const rec::entry *>> answers;
    std::set<const rec::entry *> second;
    std::map<std::string, std::vector<const rec::entry *>> opens;
    // The interface paths the enumeration listed, in its order ("" where the path
    // could not be read), and the device ID each controller's first walk looked up.
    std::vector<std::string> interfaces;
    std::map<std::string, std::string> looked_up;
    captured_tree tree;

    const std::vector<const rec::entry *> &of(const std::string &device, std::uint32_t code,
                                              std::uint32_t port) const;
    bool opened_ok(const std::string &path) const; // its first open succeeded
    // An entry's place in the journal, from 1.
    std::size_t place(const rec::entry *c) const {
        return static_cast<std::size_t>(c - begin) + 1;
    }
};

pass_reading read_pass(const std::vector<rec::entry> &journal);

// What the scan reads of a name reply that filled `block_size` bytes: the stated
// length (ActualLength), then the name's units within it up to its terminator.
std::vector<std::uint32_t> read_name(const std::vector<std::uint8_t> &reply,
                                     std::uint32_t block_size, std::uint32_t code);
// What the scan or the report reads of a control code's reply (as `c` asked
// it): a name, a hub's port count, a port's IDs, speed, hub flag and connection
// status; all of it for others.
std::vector<std::uint32_t> reply_view(const rec::entry &c, const std::vector<std::uint8_t> &reply);
// Whether a control code asks for a name: the root hub's name and the
// controller's driver key, to a controller; a port's hub name and driver key.
bool is_name_query(const rec::entry &c);
// The little-endian number of `n` bytes at `at`, as far as the reply holds them.
std::uint32_t le(const std::vector<std::uint8_t> &b, std::size_t at, std::size_t n = 4);

// The number of a controller's numbered path (\\.\HCD0 and on), if it is one.
std::optional<int> controller_number(const std::string &path);
// A controller's path: a numbered one, or an interface's (\\?\...).
bool is_controller_path(const std::string &path);
// "\\.\HCD0", or "the interface".
std::string walk_name(const std::string &path);
// A call of the configuration manager (CM_...), whose failures are CONFIGRETs.
bool is_config_manager(const rec::entry &c);
