// port!: an object that stands for an external resource reached through a scheme. The type does no
// I/O of its own: `make port!` binds a port to the actor of a scheme registered in system/schemes,
// and the series and port actions applied to a port call the actor's function of the same name.
//
// A port is an object made from system/standard/port (fields spec, scheme, actor, awake, state,
// data, extra) with header 48; it shares the object! layout (datatypes/object.h), inherits reflect
// and path access from object! and compares as object! does, only with other ports.
//
// Forwarding: the actor's function receives, by position, the port, then the action's arguments in
// the order of the action's spec, each refinement as a logic! followed by its argument (none when
// the refinement was not used). The function runs under a call frame named by the action word, and
// its result is the action's result. read and write are made of forwarded actions: open, copy and
// close (write inserts the data between open and copy).
//
// Collector contract: cells passed in stay where they are across a call (value-stack cells, rooted
// locals, unmanaged cells); results are answered in value-stack cells.
#pragma once
#include "runtime/cell.h"

namespace kiv::port {

// make port! of an object! (the spec) or of a block made into a system/standard/url-parts object.
// Access errors no-scheme (the spec has no scheme word), unknown-scheme (system/schemes has no
// object of that name) and invalid-actor (the scheme's actor is neither an object nor a handle).
Cell* make(Cell* proto, Cell* spec, u32 type);
// "make port! [" and the fields as object! molds them, then "]"; form is the same text.
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 compare(const Cell* a, const Cell* b, i32 op);

// Registers port! (after object!) and the URL actions' hook that makes ports.
void init();

}  // namespace kiv::port
