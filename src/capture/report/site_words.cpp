// The words for the scan's failure sites, in the order of its table.
#include "capture/report/site_words.h"

#include <cstdio>
#include <span>

namespace {

constexpr const char *skips_root_hub = "the root hub: box %d follows; no port of it is walked";
constexpr const char *skips_controller = "the controller: box %d follows; it is not walked";
constexpr const char *skips_nothing_port = "nothing: the install for the port still runs";
constexpr const char *skips_inner_hub = "the external hub on this port and every port below it";
constexpr const char *skips_hub = "this hub and every port below it";
constexpr const char *too_short = "the reply was too short";

constexpr site_words words[] = {
    {site_root_hub_name_query, "the root hub name query failed", skips_root_hub, nullptr},
    {site_root_hub_name_alloc, "no memory for the root hub name", skips_root_hub,
     "the reply stated no length"},
    {site_root_hub_name_read, "the root hub name could not be read", skips_root_hub, nullptr},
    {site_hcd_key_query, "the controller's driver key query failed", skips_controller, nullptr},
    {site_hcd_key_short, "the controller's driver key reply is too short", skips_controller,
     too_short},
    {site_hcd_key_alloc, "no memory for the controller's driver key", skips_controller, nullptr},
    {site_hcd_key_read, "the controller's driver key could not be read", skips_controller, nullptr},
    {site_port_key_query, "a port's driver key query failed", skips_nothing_port, nullptr},
    {site_port_key_short, "a port's driver key reply is too short", skips_nothing_port, too_short},
    {site_port_key_alloc, "no memory for a port's driver key", skips_nothing_port, nullptr},
    {site_port_key_read, "a port's driver key could not be read", skips_nothing_port, nullptr},
    {site_hub_name_query, "the external hub name query failed", skips_inner_hub, nullptr},
    {site_hub_name_short, "the external hub name reply is too short", skips_inner_hub, too_short},
    {site_hub_name_alloc, "no memory for an external hub name", skips_inner_hub, nullptr},
    {site_hub_name_read, "an external hub name could not be read", skips_inner_hub, nullptr},
    {site_no_controller_driver_key, "the controller has no driver key",
     "the controller: its root hub and ports are not walked", nullptr},
    {site_controller_not_pci, "the controller's device ID is not a full PCI ID",
     "nothing: the walk goes on without the PCI IDs", "the ID is not in PCI form"},
    {site_controller_no_device_id, "no device node gave the controller's device ID",
     "nothing: the walk goes on without the controller's IDs", nullptr},
    {site_no_root_hub_name, "the controller has no root hub name",
     "the controller's root hub and all its ports", nullptr},
    {site_hub_record_alloc, "no memory for a hub record", skips_hub, nullptr},
    {site_node_info_alloc, "no memory for a hub's node information", skips_hub, nullptr},
    {site_hub_open, "a hub could not be opened", skips_hub, nullptr},
    {site_node_info_query, "a hub's node information query failed", skips_hub, nullptr},
    {site_port_connection_alloc, "no memory for a port's connection record",
     "the rest of this hub's ports", nullptr},
    {site_connection_queries, "both connection queries of a port failed",
     "this port: nothing is installed for it; the next port follows", nullptr},
};
static_assert(std::size(words) == std::size(failure_sites));

constexpr bool in_the_scans_order() {
    for (std::size_t i = 0; i < std::size(words); ++i) {
        if (words[i].site != failure_sites[i].site) {
            return false;
        }
    }
    return true;
}
static_assert(in_the_scans_order());

} // namespace

std::string calls_text(std::span<const site_call> calls) {
    std::string text;
    for (const site_call &c : calls) {
        if (c.call == QVM_NONE) {
            break;
        }
        char one[96];
        std::snprintf(one, sizeof one, c.call == QVM_DEVICE_IO_CONTROL ? "%s 0x%X" : "%s",
                      qvm_call_name(c.call), static_cast<unsigned>(c.code));
        text += (text.empty() ? "" : ", ") + std::string(one);
    }
    return text;
}

const site_words &words_of(const failure_site &s) {
    return words[&s - failure_sites];
}

std::string skips_text(const failure_site &s) {
    char text[160];
    std::snprintf(text, sizeof text, words_of(s).skips, static_cast<int>(s.followed));
    return text;
}
