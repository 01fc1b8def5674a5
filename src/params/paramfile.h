// The parameter file reader.
#pragma once
#include <cstdint>

#include "common/runctx.h"
#include "params/bfreader.h"

constexpr uint32_t PARAMLINEMAX = 800;   // characters kept of a line; the rest is dropped
constexpr uint32_t PARAMBUFSIZE = 1024;  // buffer of the file reader
constexpr uint32_t PARAMFILEMAX = 1u << 20;   // bytes: a larger file is no parameter file

// readparamfile(path, ctx): set the parameter record to its defaults, then
// read the statements of the file at path (none when path is null). The
// number of statements refused, counting 1 for a file that could not be
// opened or read; 0 when the whole file applies (or there is none).
uint32_t readparamfile(const char* path, runctx* ctx);

// readparamlines(bf, path, ctx): read and apply the statements of the open
// reader bf, line by line, to the parameter record of ctx, until the end of
// the file or a read error; path names the file in messages. bf stays open.
// The number of statements refused, a read error counting as one.
uint32_t readparamlines(bfreader* bf, const char* path, runctx* ctx);
