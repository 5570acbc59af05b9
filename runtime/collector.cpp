// Until compaction exists a collection reclaims nothing, and a dead node goes straight back to its
// frame.
#include "runtime/collector.h"

namespace kiv::collector {

void collect() {}

void queue_dead_node(Ref<Node> node) {
  if (!node) return;
  if (NodeFrame* frame = memory::node_frame_of(node)) memory::free_node(frame, node);
}

}  // namespace kiv::collector
