// What the bank's text files share: a growing block of text, each "\n"
// stored as CR LF, handed over in Shift-JIS.
#pragma once

#include "bank/bank.h"

#include <cstddef>

struct text_block {
    char* bytes;  // malloc
    size_t used, room;
    bool failed;  // memory ran out: the block is lost
};

// Adds `s`, or printf's `format` filled, to the block.
void put(text_block& t, const char* s);
__attribute__((format(printf, 2, 3))) void putf(text_block& t, const char* format, ...);

// Hands the text over in Shift-JIS into *out (the block's memory moves
// there, or is freed). Returns bank_ok, bank_no_memory or bank_not_cp932.
int finish(text_block& t, bank_bytes* out);
