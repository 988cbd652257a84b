// The capture's input as the report's sections and checks see it: where each
// hub and port is, and the boxes of the pass with their causes and places in
// words. The sections print these; each finding is drawn from them, so every
// finding rests on lines the report shows.
#pragma once

#include "capture/report/report.h"
#include "capture/report/boxes.h"
#include "capture/report/places.h"

#include <cstdint>
#include <string>
#include <vector>

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
