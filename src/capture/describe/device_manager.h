// Device Manager's verdict, read after the pass, in the description beside the
// tree the scan's own lookups walked (read/pass.h).
#pragma once

#include "capture/read/pass.h"
#include "platform/description/model.h"
#include "platform/record/record.h"

#include <cstddef>
#include <string>
#include <vector>

// A port of ours, or one that holds a hub, whose device no node was found for:
// its controller (index into the machine's), its dotted place, and why.
struct unmatched_port {
    std::size_t controller;
    std::string at;
    std::string why;
};

// Device Manager's view in the description: each controller's node, each hub's
// and each node that names our vendor (with the nodes above them) join the tree
// after what the lookups walked; the tree becomes the description's
// `device_tree`, and the controllers, the hubs, our ports' devices and the nodes
// below them take their nodes' state. Nothing where the root was never located.
// `unmatched`, where given, gets the ports whose device no node was found for.
void add_device_manager_view(desc::machine &m, captured_tree &tree,
                             const std::vector<rec::node_view> &nodes,
                             std::vector<unmatched_port> *unmatched);
