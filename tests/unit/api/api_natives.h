// Natives written only against the slot API, as code outside the core writes them: api_natives.cpp
// includes nothing of the core but api/api.h. The tests register them and call them from the
// language.
#pragma once
#include "api/api.h"

namespace kiv::test::api_natives {

// text [any-type!] n [any-type!] data [any-type!] /scale factor [float!]
// Checks its arguments itself (a string! or file!, an integer!, a binary!) and answers
// [text-n length-of-text reversed-data text-as-word n*factor-or-none data-empty?].
Exit collect(bool check, i32 scale);
// items [block!]: the items described in a string, each by its own accessor.
Exit describe(bool check);
// target [any-type!]: raises access cannot-open naming the target.
Exit open(bool check);
// items [block!]: the running totals of the integers, summed in the callbacks of a C-style walker;
// an error raised in a callback is caught there, the walk stopped and the error raised again.
Exit totals(bool check);

}  // namespace kiv::test::api_natives
