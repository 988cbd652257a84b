// The capture's input as the report's sections and checks see it: where each
// hub and port is, and the boxes of the pass with their causes and places in
// words. The sections print these; each finding is drawn from them, so every
// finding rests on lines the report shows.
#pragma once

#include "capture/report/report.h"
#include "capture/report/site_words.h"
#include "platform/description/table.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// --- where things are ---

// A listed port, wherever it is: its controller (index into the machine's), the
// lower-case device path of its hub, its dotted place (3.2: port 2 of the hub on
// root port 3), and the dotted place of its hub's port ("" on a root hub).
struct port_at {
    const desc::port_desc *port;
    std::size_t controller;
    std::string hub_path;
    std::string at;
    std::string hub_at;
};

// A hub: its controller, the dotted place of the port it hangs on ("" for a
// root hub) and that port (null for a root hub).
struct hub_place {
    std::size_t controller;
    std::string at;
    const desc::port_desc *port;
};

struct places {
    const desc::machine &m;
    std::map<std::string, hub_place> hubs; // by lower-case device path
    std::vector<port_at> ports;            // every listed port, in the topology's order
    std::map<const desc::hub_desc *, std::string> path_of; // each hub's lower-case device path

    places(const desc::machine &machine, const code_page &ansi);
    static std::string dotted(const std::string &at, std::uint32_t port);
    const hub_place *hub(const std::string &path) const;
    const port_at *port(const std::string &hub_path, std::uint32_t port) const;
    // The controller a walk opened by this path.
    std::optional<std::size_t> controller(const std::string &path) const;
    std::string controller_name(std::size_t i) const; // "controller 1 (\\.\HCD0)"
    bool walked_twice(std::size_t i) const;           // by its number and by the interface
    std::string port_place(const std::string &hub_path, std::uint32_t port) const;
    std::string hub_text(const std::string &hub_path) const;

  private:
    void add(const desc::hub_desc &h, std::size_t controller, const std::string &at,
             const desc::port_desc *on, const code_page &ansi);
};

// --- the boxes of a pass ---

// A box of the pass as read (read/pass.h: its site, walk and causing call), with
// its words.
struct box {
    const box_seen *seen = nullptr;
    const site_words *words = nullptr; // null: not a site of the scan
    std::string cause;                 // the call that failed and its error, or why none did
    std::optional<std::size_t> controller;
    std::string place;   // where, in words: "controller 1 (\\.\HCD0), port 3.2"
    std::string in_walk; // ", in the walk by the interface" where the controller is walked twice
    // What it is about: a hub (lower-case path; port 0) or a port of it.
    std::string hub_path;
    std::uint32_t port = 0;
    // The box shows in every walk of its controller (once, or in both walks of one
    // walked twice) at this place: the scan never gets past it.
    bool every_walk = false;
};
std::vector<box> boxes_of(const places &where, const pass_reading &scan);

struct report_view {
    const capture_input &in;
    const desc::machine &m;
    places where;
    std::vector<box> boxes; // the recorded pass's
    bool shows_scan;        // no ARG, or ARG's action scans: the pass is quorvex's
    std::uint8_t flags;     // ARG as quorvex reads it (0 without one)

    explicit report_view(const capture_input &input);
    // The port a device sits on, in words: "controller 1 (\\.\HCD0), port 3.2".
    std::string place_of(const port_at &p) const;
    // Why the verdict on a port's device was not read, where it was not.
    const std::string *unmatched(const port_at &p) const;
    // Device Manager's verdict on a port's device, in words: read, not read on
    // this PC, or not matched to a node (and why).
    std::string verdict_of(const port_at &p) const;
    // The boxes of the pass that make the scan skip this hub (lower-case path;
    // `port` 0) or a port of it.
    std::vector<const box *> skipping(const std::string &hub_path, std::uint32_t port) const;
    // The devices of ours that Device Manager shows below the hub on this port
    // (their device IDs), where its tree was read: what a scan that skips the
    // hub does not see.
    std::vector<std::string> ours_below(const port_at &hub_port) const;
};
