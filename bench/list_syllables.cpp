// Prints the UTF-8 name of every syllable of the table, one a line, for the
// scripts that make the same set by other routes.

#include "bank/syllables.h"

#include <cstdio>

int main()
{
    for (const syllable* s = syllable_table; s->sjis != nullptr; ++s)
        printf("%s\n", s->name);
    return 0;
}
