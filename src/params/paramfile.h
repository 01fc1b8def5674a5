// The parameter file reader.
#pragma once
#include "core/runctx.h"

// readparamfile(path, ctx): set the parameter record to its defaults, then
// read the statements of the file at path (none when path is null).
void readparamfile(const char* path, runctx* ctx);
