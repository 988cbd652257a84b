// The report's devices of ours: where each is, what Device Manager says of it
// and of its interfaces, which walks of a pass reach it, and what each pass
// runs for it.
#include "capture/devices.h"

#include "capture/words.h"

namespace {

void place_lines(std::string &out, const report_facts &f, const port_at &d) {
    const desc::port_desc &p = *d.port;
    line(out, "%04X:%04X, %s", p.vid, p.pid, product_text(p).c_str());
    const std::string on =
        d.hub_at.empty()
            ? "root port " + std::to_string(p.port)
            : "port " + std::to_string(p.port) + " of the external hub " +
                  (d.hub_at.find('.') == std::string::npos ? "on root port " : "at ") + d.hub_at;
    line(out, "  at %s:", f.place_of(d).c_str());
    line(out, "    %s", on.c_str());
    if (p.status != 1) {
        line(out, "  connection %s%s", status_text(p.status).c_str(),
             known_product(p) ? ": quorvex installs for it all the same" : "");
    }
}

void verdict_lines(std::string &out, const report_facts &f, const port_at &d) {
    line(out, "  Device Manager: %s", f.verdict_of(d).c_str());
    if (!f.r.verdict_read || f.unmatched(d) != nullptr) {
        return;
    }
    for (const desc::node_desc &child : d.port->children) {
        line(out, "    interface %s:", child.device_id.c_str());
        line(out, "      %s",
             verdict_text(child.state, true, child.driver_key.has_value()).c_str());
    }
}

// The walks of the pass that read the port.
std::vector<const walk *> reaching(const report_facts &f, const port_ref &ref) {
    std::vector<const walk *> walks;
    for (const walk &w : f.scan.walks) {
        if (w.reached.count(ref) != 0) {
            walks.push_back(&w);
        }
    }
    return walks;
}

void reached_lines(std::string &out, const report_facts &f, const port_at &d,
                   const std::vector<const walk *> &walks) {
    std::string by;
    for (const walk *w : walks) {
        by += (by.empty() ? "by " : " and by ") + walk_name(w->path);
    }
    line(out, "  reached %s a pass%s%s", times_text(walks.size()).c_str(), by.empty() ? "" : ": ",
         by.c_str());
    const desc::controller_desc &c = f.m.controllers[d.controller];
    if (walks.size() > 1 && f.where.walked_twice(d.controller)) {
        line(out, "    (its controller answers to \\\\.\\HCD%d and to the interface: a pass",
             *c.number);
        line(out, "    walks it twice, so every install runs twice)");
    } else if (walks.size() < 2 && f.where.walked_twice(d.controller)) {
        line(out, "    (its controller is walked twice a pass; one walk does not reach it)");
    }
}

void step_lines(std::string &out, const report_facts &f, const port_ref &ref,
                const std::vector<const walk *> &walks) {
    bool alike = true;
    for (const walk *w : walks) {
        alike = alike && w->steps.count(ref) == walks.front()->steps.count(ref) &&
                (w->steps.count(ref) == 0 || w->steps.at(ref) == walks.front()->steps.at(ref));
    }
    for (const walk *w : walks) {
        const auto it = w->steps.find(ref);
        const std::vector<std::string> none;
        const std::vector<std::string> &steps = it == w->steps.end() ? none : it->second;
        if (alike) {
            line(out, "  each pass%s, quorvex %s runs for it:",
                 walks.size() > 1 ? (", " + times_text(walks.size()) + " (once a walk)").c_str()
                                  : "",
                 f.r.argument);
        } else {
            line(out, "  in the walk by %s, quorvex %s runs for it:", walk_name(w->path).c_str(),
                 f.r.argument);
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

void devices_section(std::string &out, const report_facts &f) {
    std::size_t count = 0;
    for (const port_at &d : f.where.ports) {
        count += is_ours(*d.port) ? 1 : 0;
    }
    line(out, "Devices of ours:%s", count == 0 ? " none" : "");
    for (const port_at &d : f.where.ports) {
        if (!is_ours(*d.port)) {
            continue;
        }
        place_lines(out, f, d);
        verdict_lines(out, f, d);
        if (!f.shows_scan) {
            continue; // quorvex ARG walks none of it
        }
        const port_ref ref{d.hub_path, d.port->port};
        const std::vector<const walk *> walks = reaching(f, ref);
        reached_lines(out, f, d, walks);
        if (f.r.action_scanned && !walks.empty()) {
            step_lines(out, f, ref, walks);
        }
    }
}
