// The device tree as the capture saw it, and Device Manager's verdict on it: what
// the describer (describe.cpp) learns of the tree from the scan's own lookups, and
// what the verdict (verdict.cpp) adds to it from the walk after the pass.
#pragma once

#include "platform/description/model.h"
#include "platform/record/record.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// A node of the tree by its DEVINST, as far as the calls read it.
struct tree_node {
    std::optional<std::string> driver_key;
    std::string device_id;
    std::optional<std::string> description;
    desc::node_state state;
    std::vector<std::uint32_t> children;
    std::uint32_t parent = 0;
};

// The tree the lookups walked, by DEVINST; the root is the one CM_Locate_DevNodeA gave.
struct captured_tree {
    std::uint32_t root = 0; // 0: the root was never located
    std::map<std::uint32_t, tree_node> nodes;

    const tree_node *find(std::uint32_t n) const {
        if (n == 0) {
            return nullptr;
        }
        const auto it = nodes.find(n);
        return it == nodes.end() ? nullptr : &it->second;
    }
    // The node after `n` among its parent's children, or 0.
    std::uint32_t next_sibling(std::uint32_t n) const {
        const tree_node *node = find(n);
        const tree_node *parent = node != nullptr ? find(node->parent) : nullptr;
        if (parent == nullptr) {
            return 0;
        }
        const auto it = std::find(parent->children.begin(), parent->children.end(), n);
        return it != parent->children.end() && it + 1 != parent->children.end() ? *(it + 1) : 0;
    }
};

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
