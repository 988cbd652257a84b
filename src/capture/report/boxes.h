// The boxes of the pass in words: the call whose failure each reports, where it
// is and what it is about.
#pragma once

#include "capture/read/pass.h"
#include "capture/report/places.h"
#include "capture/report/site_words.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
