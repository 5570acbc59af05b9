// The frame stack read by its words: where an error happened, the traces of an error report and of
// the debugger, and the frames that carry a word of their own (try, catch). The records themselves
// are runtime/stack.h's; a record names its word by symbol and context, which only this layer can
// turn into a word.
#pragma once
#include "runtime/stack.h"

namespace kiv::stack {

Frame* push_try_frame();      // 0x04, word try
Frame* push_try_all_frame();  // 0x05, word try
Frame* push_catch_frame();    // 0x06, word catch

// The word naming where an error happened: the nearest frame whose word is not <body> or <anon>
// (from the where-frame register when set, which this clears); <not-found> below the bottom; none
// before the frame stack exists. The cell is valid until the next call.
const Cell* get_where();
// The innermost block being evaluated, at its expression, as a block! cell; none without one.
Cell innermost_position();
// Appends the words of the frames from the bottom up to (not including) record #limit to the
// block: functions only at level 1 or below, every word from level 2.
void collect_frame_words(i32 level, Cell* block, i32 limit);
// Forms the same words into the string, each followed by a space; answers the remaining limit.
i32 form_trace(i32 level, Cell* out, i32 limit_record, i32 limit);
// [word position] pairs of the live frames from the top down (the debugger's list).
void collect_trace(Cell* block);

// Names the frames' words once the static words exist (<body>, <anon>) and registers the where
// answer as a collector root.
void name_frame_words();

}  // namespace kiv::stack
