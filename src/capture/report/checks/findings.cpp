// The report's findings: every check of checks.h, run in a fixed order (the
// files first, then the action, the boxes, the ports, the polling and the
// controllers); most serious first.
#include "capture/report/checks/checks.h"

#include "capture/report/value_texts.h"

#include <algorithm>

findings find_findings(const report_view &v) {
    findings out;
    auto add = [&out](check found) {
        if (found) {
            out.push_back(std::move(*found));
        }
    };
    add(missing_programs(v.in.files));
    add(current_folder(v.in.files));
    add(missing_infs(v.in.files));
    add(unreadable_infs(v.in.files));
    add(missing_named_files(v.in.files));
    add(not_beside(v.in.files));
    for (const folder_rights &r : v.in.files.rights) {
        add(writable_folder(v.in.files, r));
    }
    add(not_decimal(v));
    add(removal_cancelled(v));
    add(no_action(v));
    add(hidden_install(v));
    add(direct_install(v));
    for (const box &b : v.boxes) {
        add(skipped_by_box(v, b));
        add(box_shown(v, b));
    }
    for (const port_at &p : v.where.ports) {
        add(connection_trouble(v, p));
        add(unknown_product(v, p));
        add(device_problem(v, p));
        add(installed_drivers(v, p));
    }
    add(download_mode(v));
    for (std::size_t i = 0; i < v.m.controllers.size(); ++i) {
        add(walked_twice(v, i));
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const finding &a, const finding &b) { return a.level < b.level; });
    return out;
}

std::string nothing_in_the_way(const report_view &v) {
    std::string text;
    if (v.in.argument == nullptr) {
        line(text, "Nothing in the way of quorvex's scan here (give ARG to see what quorvex ARG "
                   "runs).");
    } else if (v.in.action_scanned && !v.in.download_done) {
        line(text,
             "Nothing in the way: quorvex %s polls here, %lu commands a pass, until the "
             "device is put into download mode (%s).",
             v.in.argument, static_cast<unsigned long>(v.in.action.commands.size()),
             download_ids().c_str());
    } else {
        const std::size_t commands = v.in.action.commands.size();
        line(text, "Nothing in the way: quorvex %s runs %lu command%s here and ends.",
             v.in.argument, static_cast<unsigned long>(commands), commands == 1 ? "" : "s");
    }
    return text;
}
