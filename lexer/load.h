// Loading a script file: reading it, finding its header and making the block of its code. The
// evaluator's `do` of a file and the command line's script run share it; running the code is theirs.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "runtime/cell.h"

namespace kiv::load {

// The position of the script header in source text: "Kiv", optionally "/System", any white space
// (blank, tab, CR, LF), then "[" (case-sensitive; the first such place). npos when there is none.
std::size_t find_header(std::string_view text);

// The position of the header word `Kiv` followed by a block in a loaded block (from its head on),
// or -1.
i32 header_index(const Cell* blk);

// The whole file as bytes; false when it cannot be read.
bool read_file(const std::string& path, std::string& out);

// The folder part of a path, with its final slash ("" when it has none).
std::string folder_of(const std::string& path);

// Reads the script named by a file! into `code` (a cell that stays put), loaded from its header
// on and positioned after the header when the first values are `Kiv` and a block; answers the
// file's path. Raises cannot-open (not a file!, or unreadable), no-header, and kiv-system when the
// first value is a path (Kiv/System code).
std::string script_file(const Cell* file, Cell* code);

}  // namespace kiv::load
