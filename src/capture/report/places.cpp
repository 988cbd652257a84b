// Where each hub and port is, as the description and the pass's conversions
// show it.
#include "capture/report/places.h"

places::places(const desc::machine &machine, const code_page &ansi) : m(machine) {
    for (std::size_t i = 0; i < m.controllers.size(); ++i) {
        add(m.controllers[i].root_hub, i, "", nullptr, ansi);
    }
}

void places::add(const desc::hub_desc &h, std::size_t controller, const std::string &at,
                 const desc::port_desc *on, const code_page &ansi) {
    const std::string path = desc::lower(ansi.hub_path(h.name));
    hubs.emplace(path, hub_place{controller, at, on});
    path_of.emplace(&h, path);
    for (const desc::port_desc &p : h.ports) {
        const std::string place = dotted(at, p.port);
        ports.push_back({&p, controller, path, place, at});
        for (const desc::hub_desc &inner : p.hub) {
            add(inner, controller, place, &p, ansi);
        }
    }
}

std::string places::dotted(const std::string &at, std::uint32_t port) {
    return (at.empty() ? "" : at + ".") + std::to_string(port);
}

const hub_place *places::hub(const std::string &path) const {
    const auto it = hubs.find(desc::lower(path));
    return it == hubs.end() ? nullptr : &it->second;
}

const port_at *places::port(const std::string &hub_path, std::uint32_t number) const {
    const std::string path = desc::lower(hub_path);
    for (const port_at &p : ports) {
        if (p.hub_path == path && p.port->port == number) {
            return &p;
        }
    }
    return nullptr;
}

std::optional<std::size_t> places::controller(const std::string &path) const {
    const std::string l = desc::lower(path);
    for (std::size_t i = 0; i < m.controllers.size(); ++i) {
        const desc::controller_desc &c = m.controllers[i];
        if ((c.number && l == "\\\\.\\hcd" + std::to_string(*c.number)) ||
            (c.interface_path && l == desc::lower(*c.interface_path))) {
            return i;
        }
    }
    return std::nullopt;
}

std::string places::controller_name(std::size_t i) const {
    const desc::controller_desc &c = m.controllers[i];
    std::string text = "controller " + std::to_string(i + 1);
    if (c.number) {
        text += " (\\\\.\\HCD" + std::to_string(*c.number) + ")";
    }
    return text;
}

bool places::walked_twice(std::size_t i) const {
    return m.controllers[i].number && m.controllers[i].interface;
}

std::string places::port_place(const std::string &hub_path, std::uint32_t port) const {
    const hub_place *h = hub(hub_path);
    if (h == nullptr) {
        return "port " + std::to_string(port) + " of " + hub_path;
    }
    return controller_name(h->controller) + ", port " + dotted(h->at, port);
}

std::string places::hub_text(const std::string &hub_path) const {
    const hub_place *h = hub(hub_path);
    if (h == nullptr) {
        return "the hub " + hub_path;
    }
    return controller_name(h->controller) +
           (h->at.empty() ? ", its root hub" : ", the hub at " + h->at);
}
