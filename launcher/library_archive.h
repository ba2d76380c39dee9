// The check that the runtime archive lib/library.zip can be read before the
// interpreter depends on it: the interpreter aborts the process with its own
// fatal-error text when the archive that holds its standard library is
// damaged.
#pragma once

#include <stdio.h>

// True when archive ends with an end-of-archive record whose central
// directory lies inside the file and starts with a directory entry, the
// record by which the interpreter's importer reads the archive. A few reads
// from the end of the file; nothing is decompressed.
bool archive_is_intact(FILE *archive);
