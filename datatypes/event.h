// event!: a happening of the user interface, made by the GUI backend from a system message or by a
// script with `make event!`.
//
// Cell: header type 54, bit 12 set on an event made by `make event!`; w1 the event type code; w2 a
// system event's message record, or a language-made event's node of its four-cell block [face window
// offset picked] (0 when the spec gave none of them); w3 the key and modifier flags. This header
// holds the layout only: the type's unit registers the actions when it is built.
#pragma once
#include "runtime/cell.h"
#include "runtime/collector.h"

namespace kiv::event {

constexpr u32 made_flag = 1u << 12;

inline bool made_q(const Cell* e) { return e->header & made_flag; }

// What the collector marks, for the type to register: a language-made event's block.
inline void mark(Cell* e) {
  if (made_q(e)) collector::mark_block(&e->w2);
}

}  // namespace kiv::event
