// The check that the runtime archive lib/library.zip can be read before the
// interpreter depends on it: the interpreter aborts the process with its own
// fatal-error text when the archive that holds its standard library is
// damaged.
#pragma once

#include <stdio.h>

// True when the interpreter's importer reads the whole central directory of
// archive: an end-of-archive record where the importer looks for it, a
// directory inside the file in front of it, and exactly the entries that
// the record counts, each of them whole and readable. Two reads, the tail
// of the file and the directory; nothing is decompressed.
bool archive_is_intact(FILE *archive);
