// (to be written: the configuration manager's device tree)
#include "platform/emu/state.h"

namespace emu {
void rebuild_tree() {
    st().tree.clear();
}
} // namespace emu
