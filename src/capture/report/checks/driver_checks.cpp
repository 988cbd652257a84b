// The checks of the drivers Windows has installed for a device of ours and its
// interfaces, against the package's INFs in the folder: one older than the
// folder's INF for its ID, from another provider or from an INF that is not the
// package's; one that no INF of the folder lists; one that matches (information).
#include "capture/report/checks/checks.h"

#include "capture/report/value_texts.h"
#include "front/entry.h"

#include <array>
#include <cstdio>

namespace {

// A node of a device of ours as the comparison takes it.
struct node_ref {
    std::string what; // "the device", "interface USB\..."
    std::string id;   // its hardware ID: its device ID without the instance
    const desc::node_state *state;
    bool has_key;
};

std::vector<node_ref> nodes_of(const desc::port_desc &d) {
    auto id_of = [](const std::string &device_id) {
        return device_id.substr(0, device_id.rfind('\\'));
    };
    std::vector<node_ref> out;
    if (d.children.empty() && !d.device_id.empty()) {
        out.push_back({"the device", id_of(d.device_id), &d.state, d.driver_key.has_value()});
    }
    for (const desc::node_desc &c : d.children) {
        out.push_back(
            {"interface " + c.device_id, id_of(c.device_id), &c.state, c.driver_key.has_value()});
    }
    return out;
}

bool lists(const inf_file &inf, const std::string &id) {
    const std::string want = desc::lower(id);
    for (const auto *ids : {&inf.contents.hardware_ids, &inf.contents.compatible_ids}) {
        for (const std::string &listed : *ids) {
            if (desc::lower(listed) == want) {
                return true;
            }
        }
    }
    return false;
}

// The INF of this run that lists the node's ID (or the ID its driver matched).
const inf_file *inf_for(const files_found &found, const node_ref &n) {
    const std::optional<std::string> &matched = n.state->driver.matching_device_id;
    for (const inf_file &inf : found.infs) {
        if (inf.installed && inf.contents.opened &&
            (lists(inf, n.id) || (matched && lists(inf, *matched)))) {
            return &inf;
        }
    }
    return nullptr;
}

// Whether the run's INFs list any ID at all: where none does (INFs that name no
// models), which device an INF is for cannot be judged.
bool infs_list_ids(const files_found &found) {
    for (const inf_file &inf : found.infs) {
        if (inf.installed && !inf.contents.hardware_ids.empty()) {
            return true;
        }
    }
    return false;
}

// A version "1.2.0.0" and a date "03/01/2025" or "3-1-2025" as numbers to compare.
using version = std::array<unsigned, 4>;
version version_of(const std::string &text) {
    version v{};
    std::sscanf(text.c_str(), "%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]);
    return v;
}
version date_of(const std::string &text) {
    unsigned m = 0, d = 0, y = 0;
    std::sscanf(text.c_str(), "%u%*[-/]%u%*[-/]%u", &m, &d, &y);
    return {y, m, d, 0};
}

// "2025-03-01" for "03/01/2025" or "3-1-2025"; the text itself where it is no date.
std::string iso_date(const std::string &text) {
    const version d = date_of(text);
    if (d[0] == 0) {
        return text.empty() ? "(no date)" : text;
    }
    char out[16];
    std::snprintf(out, sizeof out, "%04u-%02u-%02u", d[0] % 10000, d[1] % 100, d[2] % 100);
    return out;
}

std::string driver_words(const std::string &version_text, const std::string &date,
                         const std::string &provider) {
    return "version " + (version_text.empty() ? "(none)" : version_text) + " of " + iso_date(date) +
           ", provider " + (provider.empty() ? "(none)" : provider);
}

// How the installed driver differs from the INF's: "" where it does not.
std::string difference(const desc::driver_values &dv, const inf_file &inf) {
    const inf_contents &c = inf.contents;
    const std::string installed = driver_words(
        dv.driver_version.value_or(""), dv.driver_date.value_or(""), dv.provider_name.value_or(""));
    const std::string package = driver_words(c.driver_version, c.driver_date, c.provider);
    const std::string inf_path = desc::lower(dv.inf_path.value_or(""));
    if (!inf_path.empty() && inf_path.rfind("oem", 0) != 0) {
        return "installed from Windows' own " + *dv.inf_path + " (" + installed +
               "), not from the package's " + inf.name + " (" + package + ")";
    }
    if (desc::lower(dv.provider_name.value_or("")) != desc::lower(c.provider)) {
        return "installed from another provider (" + installed + ") than the package's " +
               inf.name + " (" + package + ")";
    }
    const version have = version_of(dv.driver_version.value_or("")),
                  want = version_of(c.driver_version);
    const bool older = have < want || (have == want && date_of(dv.driver_date.value_or("")) <
                                                           date_of(c.driver_date));
    return older ? "installed " + installed + ", older than the package's " + inf.name + " (" +
                       package + ")"
                 : "";
}

// What quorvex ARG does about a device's drivers here.
std::string run_words(const report_view &v) {
    if (v.in.argument == nullptr) {
        return "";
    }
    const std::string q = std::string("quorvex ") + v.in.argument;
    switch (acting_action(v.flags, v.m.major)) {
    case action::poll:
        return (v.flags & bit_update_on) != 0 && (v.flags & bit_update_off) == 0
                   ? q + " removes the package's drivers and installs them again on every pass."
                   : q +
                         " installs the package over it on every pass, without removing it "
                         "first" +
                         std::string((v.flags & bit_update_off) != 0 &&
                                             (v.flags & bit_update_on) != 0
                                         ? " (bit 1 cancels bit 0)."
                                         : ".");
    case action::download_install:
        return q + " never installs the package's drivers here (6.0 and later: only the "
                   "download-mode package).";
    default:
        return q + " installs nothing for it.";
    }
}

} // namespace

check installed_drivers(const report_view &v, const port_at &p) {
    const desc::port_desc &d = *p.port;
    const files_found &found = v.in.files;
    if (!installs_for(d) || !v.in.verdict.read || !infs_list_ids(found)) {
        return std::nullopt;
    }
    std::string differs, unlisted, same;
    for (const node_ref &n : nodes_of(d)) {
        const inf_file *inf = inf_for(found, n);
        if (inf == nullptr) {
            unlisted += "  " + n.what + ": " + n.id + "\n";
        } else if (n.has_key && n.state->driver.driver_version) {
            const std::string why = difference(n.state->driver, *inf);
            (why.empty() ? same : differs) +=
                "  " + n.what + ": " + (why.empty() ? "matches " + inf->name : why) + "\n";
        }
    }
    std::string text;
    const std::string place = v.place_of(p) + ", " + device_text(d);
    if (!differs.empty()) {
        line(text, "%s: the driver Windows has installed is not the package's in this folder:",
             place.c_str());
        text += differs;
    }
    if (!unlisted.empty()) {
        line(text, "%s",
             differs.empty() ? (place + ": no INF this run installs lists:").c_str()
                             : "No INF this run installs lists:");
        text += unlisted;
    }
    if (text.empty()) {
        return same.empty()
                   ? std::nullopt
                   : check(finding{severity::information,
                                   place + ": the installed drivers are the package's:\n" + same});
    }
    if (const std::string run = run_words(v); !run.empty()) {
        line(text, "%s", run.c_str());
    }
    if (!differs.empty()) {
        line(text, "To do: where the folder's package is the one meant, uninstall the device with "
                   "its driver in Device Manager, then run quorvex.");
    }
    if (!unlisted.empty()) {
        line(text, "To do: check that the folder holds the package for this device.");
    }
    return finding{severity::device_trouble, text};
}
