// The report's devices of ours: where each is, what Device Manager says of it
// and of its interfaces, which walks of a pass reach it, and what each pass
// runs for it.
#include "capture/report/sections/sections.h"

#include "capture/report/value_texts.h"

namespace {

void place_lines(std::string &out, const report_view &v, const port_at &d) {
    const desc::port_desc &p = *d.port;
    line(out, "%04X:%04X, %s", p.vid, p.pid, product_text(p).c_str());
    const std::string on =
        d.hub_at.empty()
            ? "root port " + std::to_string(p.port)
            : "port " + std::to_string(p.port) + " of the external hub " +
                  (d.hub_at.find('.') == std::string::npos ? "on root port " : "at ") + d.hub_at;
    line(out, "  at %s:", v.place_of(d).c_str());
    line(out, "    %s", on.c_str());
    if (p.status != 1) {
        line(out, "  connection %s%s", status_text(p.status).c_str(),
             known_product(p) ? ": quorvex installs for it all the same" : "");
    }
}

// The driver lines under a node's Device Manager line, indented by `indent`.
void driver_lines(std::string &out, const char *indent, const desc::node_state &s,
                  bool has_driver_key) {
    const std::vector<std::string> lines = driver_text(s, has_driver_key);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        line(out, "%s%s%s", indent, i == 0 ? "" : "  ", lines[i].c_str());
    }
}

void verdict_lines(std::string &out, const report_view &v, const port_at &d) {
    line(out, "  Device Manager: %s", v.verdict_of(d).c_str());
    if (!v.in.verdict.read || v.unmatched(d) != nullptr) {
        return;
    }
    driver_lines(out, "    ", d.port->state, d.port->driver_key.has_value());
    for (const desc::node_desc &child : d.port->children) {
        line(out, "    interface %s:", child.device_id.c_str());
        line(out, "      %s",
             verdict_text(child.state, true, child.driver_key.has_value()).c_str());
        driver_lines(out, "      ", child.state, child.driver_key.has_value());
    }
}

// The walks of the pass that read the port.
std::vector<const walk *> reaching(const report_view &v, const port_ref &ref) {
    std::vector<const walk *> walks;
    for (const walk &w : v.in.scan.walks) {
        if (w.reached.count(ref) != 0) {
            walks.push_back(&w);
        }
    }
    return walks;
}

void reached_lines(std::string &out, const report_view &v, const port_at &d,
                   const std::vector<const walk *> &walks) {
    std::string by;
    for (const walk *w : walks) {
        by += (by.empty() ? "by " : " and by ") + walk_name(w->path);
    }
    line(out, "  reached %s a pass%s%s", times_text(walks.size()).c_str(), by.empty() ? "" : ": ",
         by.c_str());
    const desc::controller_desc &c = v.m.controllers[d.controller];
    if (walks.size() > 1 && v.where.walked_twice(d.controller)) {
        line(out, "    (its controller answers to \\\\.\\HCD%d and to the interface: a pass",
             *c.number);
        line(out, "    walks it twice, so every install runs twice)");
    } else if (walks.size() < 2 && v.where.walked_twice(d.controller)) {
        line(out, "    (its controller is walked twice a pass; one walk does not reach it)");
    }
}

// The steps a walk took for a port, in words.
std::vector<std::string> steps_of(const walk &w, const port_ref &ref) {
    std::vector<std::string> steps;
    if (const auto it = w.steps.find(ref); it != w.steps.end()) {
        for (const rec::entry *step : it->second) {
            steps.push_back(step_text(*step));
        }
    }
    return steps;
}

void step_lines(std::string &out, const report_view &v, const port_ref &ref,
                const std::vector<const walk *> &walks) {
    bool alike = true;
    for (const walk *w : walks) {
        alike = alike && steps_of(*w, ref) == steps_of(*walks.front(), ref);
    }
    for (const walk *w : walks) {
        const std::vector<std::string> steps = steps_of(*w, ref);
        if (alike) {
            line(out, "  each pass%s, quorvex %s runs for it:",
                 walks.size() > 1 ? (", " + times_text(walks.size()) + " (once a walk)").c_str()
                                  : "",
                 v.in.argument);
        } else {
            line(out, "  in the walk by %s, quorvex %s runs for it:", walk_name(w->path).c_str(),
                 v.in.argument);
        }
        for (const std::string &s : steps) {
            line(out, "    %s", s.c_str());
        }
        if (steps.empty()) {
            line(out, "    nothing");
        }
        if (alike) {
            break;
        }
    }
}

} // namespace

std::string step_text(const rec::entry &step) {
    if (step.kind == rec::event::command) {
        return "run " + step.text;
    }
    if (step.kind == rec::event::pause) {
        return "pause " + pause_text(step.ms);
    }
    const std::size_t at = step.text.find(", Line ");
    return "box " + (at != std::string::npos ? step.text.substr(at + 7) : step.text);
}

void devices_section(std::string &out, const report_view &v) {
    std::size_t count = 0;
    for (const port_at &d : v.where.ports) {
        count += is_ours(*d.port) ? 1 : 0;
    }
    line(out, "Devices of ours:%s", count == 0 ? " none" : "");
    for (const port_at &d : v.where.ports) {
        if (!is_ours(*d.port)) {
            continue;
        }
        place_lines(out, v, d);
        verdict_lines(out, v, d);
        if (!v.shows_scan) {
            continue; // quorvex ARG walks none of it
        }
        const port_ref ref{d.hub_path, d.port->port};
        const std::vector<const walk *> walks = reaching(v, ref);
        reached_lines(out, v, d, walks);
        if (v.in.action_scanned && !walks.empty()) {
            step_lines(out, v, ref, walks);
        }
    }
}
