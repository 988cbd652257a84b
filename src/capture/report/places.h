// Where each hub and port of the description is: its controller, its dotted
// place and the device path the scan opened its hub by; and these in words.
#pragma once

#include "capture/read/pass.h"
#include "platform/description/model.h"
#include "platform/description/table.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

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
