#include "params/bfreader.h"

uint32_t bfopen(bfreader* bf, const char* path, uint8_t* buf, uint32_t bufsize, uint32_t options) {
  *bf = bfreader{FILE_INVALID, buf, bufsize, 0, 0, 0, 0, options};
  if (bufsize == 0 || buf == nullptr) return 2;

  // Open read-only and take the size now: bytes appended later are not read.
  fileh h = file_openread(path);
  if (h == FILE_INVALID) return 1;
  uint64_t size = 0;
  if (file_size(h, &size) != 0) {
    file_close(h);
    return 1;
  }
  bf->hnd = h;
  bf->fsize = size;
  return 0;
}

uint32_t bfgetc(bfreader* bf, uint8_t* c) {
  if (bf->hnd == FILE_INVALID) return 2;
  for (;;) {
    // Refill: ask for no more than is missing to the size taken at open.
    if (bf->bufpos >= bf->buflen) {
      uint64_t missing = bf->fsize - bf->fdone;
      if (missing == 0) return 1;
      uint32_t want = missing < bf->bufsize ? uint32_t(missing) : bf->bufsize;
      int64_t got = file_read(bf->hnd, bf->buf, want);
      if (got < 0) return 2;
      // A file cut short while it is read ends where it ends now.
      if (got == 0) {
        bf->fsize = bf->fdone;
        return 1;
      }
      bf->buflen = uint32_t(got);
      bf->bufpos = 0;
      bf->fdone += uint64_t(got);
    }
    uint8_t b = bf->buf[bf->bufpos++];
    if (b == 0x0D && (bf->options & BF_DROPCR)) continue;
    *c = b;
    return 0;
  }
}

void bfclose(bfreader* bf) {
  if (bf->hnd != FILE_INVALID) file_close(bf->hnd);
  bf->hnd = FILE_INVALID;
  bf->buflen = bf->bufpos = 0;
}
