// The buffered file reader under the parameter file: one byte at a time from
// a read-only file, never beyond the size the file had when it was opened.
#pragma once
#include <cstdint>

#include "platform/file.h"

constexpr uint32_t BF_DROPCR = 1;   // bfopen option: skip every carriage return (0x0D)

// One open file and its buffer. The caller owns the buffer.
struct bfreader {
  fileh hnd;          // the open file, FILE_INVALID when closed
  uint8_t* buf;       // the caller's buffer
  uint32_t bufsize;   // its size in bytes
  uint32_t buflen;    // bytes in the buffer
  uint32_t bufpos;    // next byte to deliver from the buffer
  uint64_t fsize;     // size of the file taken at open: the end of the file
  uint64_t fdone;     // bytes read from the file so far
  uint32_t options;   // BF_DROPCR or 0
};

// bfopen(bf, path, buf, bufsize, options): open the existing file at path for
// reading into bf with the caller's buffer buf of bufsize bytes. 0 ready; 1
// the file cannot be opened or its size cannot be found (a directory, a
// device); 2 a buffer size of 0. On failure bf is left closed.
uint32_t bfopen(bfreader* bf, const char* path, uint8_t* buf, uint32_t bufsize, uint32_t options);

// bfgetc(bf, c): the next byte of the file in *c. 0 a byte was delivered; 1
// the end of the file (the size taken at open, or a read that returned
// nothing); 2 a read error, or bf is not open.
uint32_t bfgetc(bfreader* bf, uint8_t* c);

// bfclose(bf): close the file of bf if it is open; bf stays closed.
void bfclose(bfreader* bf);
