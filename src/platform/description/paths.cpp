// The paths that open something on a machine: each controller by its number and
// by the path the interface list gives it, each hub by its name.
#include "platform/description/table.h"

#include "platform/model/model.h"

namespace desc {
namespace {

const char host_controller_guid[] = "{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";

// \\.\HCD<digit> opens a controller by its number, whatever hub is named so.
bool numbered_name(const std::string &name) {
    return name.size() == 4 && lower(name.substr(0, 3)) == "hcd" && name[3] >= '0' &&
           name[3] <= '9';
}

} // namespace

std::string interface_path_of(const std::string &device_id) {
    std::string path = "\\\\?\\";
    for (char ch : lower(utf8_to_ansi(device_id))) {
        path += ch == '\\' ? '#' : ch;
    }
    return path + "#" + host_controller_guid;
}

std::string interface_path(const machine &m, std::size_t index) {
    const controller_desc &c = m.controllers[index];
    if (c.interface_path) {
        return utf8_to_ansi(*c.interface_path);
    }
    bool unique = !c.device_id.empty();
    for (std::size_t i = 0; i < index; ++i) {
        unique = unique && lower(m.controllers[i].device_id) != lower(c.device_id);
    }
    return interface_path_of(unique ? c.device_id
                                    : "PCI\\VEN_0000&DEV_0000\\HC&" + std::to_string(index));
}

// Of two controllers under one interface path, the later one answers; an
// interface path that starts as a hub's does is a hub's.
device_map device_paths(const machine &m) {
    device_map paths;
    for (std::size_t i = 0; i < m.controllers.size(); ++i) {
        const controller_desc &c = m.controllers[i];
        const auto index = static_cast<std::uint32_t>(i);
        if (c.number) {
            const std::string path = "\\\\.\\HCD" + std::to_string(*c.number);
            paths[lower(path)] = {path, index};
        }
        const std::string path = interface_path(m, i);
        if (c.interface && path.rfind("\\\\.\\", 0) != 0) {
            paths[lower(path)] = {path, index};
        }
    }
    each_hub(m, [&](const hub_desc &h) {
        const std::string path = "\\\\.\\" + utf8_to_ansi(h.name);
        if (!numbered_name(path.substr(4))) {
            paths.emplace(lower(path), std::make_pair(path, QVM_NONE));
        }
    });
    return paths;
}

} // namespace desc
