// file!: a path in the language's own syntax, which on this system is the POSIX one: "/" separates
// folders, an absolute path starts with "/", "%/" is the root directory, and there are no drive
// letters. A file! stores its text like string! and takes make, to and path joining from url!, its
// parent; it molds as "%" and the text, in double quotes when the text holds anything the bare
// literal cannot carry, and its I/O actions hand over to the file layer.
//
// Collector contract: as string! (datatypes/string.h).
#pragma once
#include <string>

#include "runtime/cell.h"

namespace kiv::file {

// Actions.
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
Cell* write(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part, Cell* seek,
            Cell* allow, Cell* as);
Cell* query(Cell* file);
Cell* delete_(Cell* file);
Cell* rename(Cell* from, Cell* to);

// Appends the file's path as the operating system writes it to the string `target`: the text
// unchanged (a file! holds decoded text already); with prefix a relative path gets the current
// directory in front. Answers target.
Cell* to_local_path(const Cell* file, Cell* target, bool prefix);
// The path to hand to the operating system (UTF-8; relative paths stay relative). A path holding a
// NUL character would name another file: it raises script invalid-arg with the file.
std::string to_os_path(const Cell* file);
// The process's current directory as a string! that always ends with "/" ("./" when the system
// cannot tell).
Cell* get_current_dir(Cell* out);
// Pushes a copy of a value cell on the value stack (compiled code).
Cell* push(const Cell* value);

// Registers file! (after url!).
void init();

}  // namespace kiv::file
