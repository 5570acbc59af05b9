// File access: whole-file reading and writing as text, lines or bytes, folder listings, file
// times, deleting, renaming and making folders. Paths arrive as file! values and reach the system
// as bytes (api::os_name_of), so names that are not UTF-8 survive a listing and open again.
#pragma once
#include <string>
#include <string_view>

#include "api/api.h"

namespace kiv::os::files {

// Whether the text names a folder by its form alone (never by the disk): it ends in a slash or a
// backslash, is "." or "..", or ends in a separator followed by one or two dots.
bool dir_path_q(std::string_view path);

// Folds CR LF and a lone CR to LF in place.
void fold_line_ends(std::string& text);

// Bytes read from outside as a value: a binary! of them, a block of their lines (split as read/lines
// splits), or text with its line ends folded (the text is folded in place).
i32 text_or_bytes(std::string& bytes, bool binary, bool lines);

// The read action of file!: a folder (by its form) lists as a block of file!, sorted by bytes,
// with folders ending in "/"; a file reads whole as text (line ends folded), as lines (/lines) or
// as bytes (/binary); part and seek are integers or none slots. Raises access cannot-open.
i32 read(i32 file, i32 part, i32 seek, bool binary, bool lines);
// The write action: text as UTF-8 (LF written as it is), a binary! as its bytes, anything else
// molded; /lines writes each value of a block on its own line. Raises access cannot-open.
void write(i32 file, i32 data, i32 part, i32 seek, bool binary, bool append, bool lines);
// The last modification time as a date! in UTC, to the millisecond, or none.
i32 query(i32 file);
// rmdir for a folder path, unlink otherwise; rename; mkdir 0777. True on success.
bool remove(i32 file);
bool rename(i32 from, i32 to);
bool make_dir(i32 file);

// Installs the file hooks of file!'s actions.
void install();

}  // namespace kiv::os::files
