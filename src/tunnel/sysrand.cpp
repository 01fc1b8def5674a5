#include "tunnel/sysrand.h"

#include <cstring>

#include "crypto/bytes.h"
#include "crypto/md5.h"
#include "crypto/secure.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/lock.h"
#include "platform/statedir.h"

namespace {

constexpr uint32_t SYSRAND_WAITMS = 5000;  // longest wait for another user of the seed file
constexpr uint32_t SEEDRECLEN = 20;        // tag and four state words
constexpr char MUTEXPREFIX[] = "MUTEX_SYSRAND_";

// The seed record in memory: tag, then generator 1 (x1, y1) and 2 (x2, y2).
struct seedrec {
  char tag[4];
  uint32_t x1, y1, x2, y2;
};

void unpackrec(const uint8_t* raw, seedrec* rec) {
  memcpy(rec->tag, raw, 4);
  rec->x1 = load32le(raw + 4);
  rec->y1 = load32le(raw + 8);
  rec->x2 = load32le(raw + 12);
  rec->y2 = load32le(raw + 16);
}

void packrec(const seedrec* rec, uint8_t* raw) {
  memcpy(raw, rec->tag, 4);
  store32le(raw + 4, rec->x1);
  store32le(raw + 8, rec->y1);
  store32le(raw + 12, rec->x2);
  store32le(raw + 16, rec->y2);
}

// Seed a new or empty file: MD5 of the local time, laid out as the 16 bytes
// of a SYSTEMTIME (eight 16-bit fields, least significant byte first).
void seedfromtime(seedrec* rec) {
  localtm t;
  getlocaltm(&t);
  const uint16_t fields[8] = {t.year, t.month, t.dayofweek, t.day,
                              t.hour, t.minute, t.second, t.milliseconds};
  uint8_t systime[16];
  for (int i = 0; i < 8; i++) {
    systime[2 * i] = uint8_t(fields[i]);
    systime[2 * i + 1] = uint8_t(fields[i] >> 8);
  }
  uint8_t digest[16];
  md5hash(systime, sizeof systime, digest);
  memcpy(rec->tag, "RND0", 4);
  rec->x1 = load32le(digest);
  rec->y1 = load32le(digest + 4);
  rec->x2 = load32le(digest + 8);
  rec->y2 = load32le(digest + 12);
  // The time is the whole seed of the file; leave none of it behind.
  secure_zero(digest, sizeof digest);
  secure_zero(systime, sizeof systime);
  secure_zero(&t, sizeof t);
}

// Read up to len bytes from the start of the file; the count, or -1.
int64_t readfully(fileh h, uint8_t* buf, uint32_t len) {
  uint32_t have = 0;
  while (have < len) {
    int64_t n = file_read(h, buf + have, len - have);
    if (n < 0) return -1;
    if (n == 0) break;
    have += uint32_t(n);
  }
  return have;
}

// Advance the seed file at path by one step of each generator; the caller
// holds its lock. Returns SYSRAND_OK or SYSRAND_SEEDFILE.
uint32_t stepseedfile(const char* path, uint32_t* out1, uint32_t* out2) {
  // Open or create the file. Readers may look at it meanwhile; writers among
  // our own threads and processes are kept out by the named lock the caller
  // holds, since a POSIX open has no share mode that could refuse them.
  fileh h = state_openrw(path);
  if (h == FILE_INVALID) return SYSRAND_SEEDFILE;

  uint8_t raw[SEEDRECLEN];
  seedrec rec;
  uint64_t size;
  int64_t got;
  // Only a plain file can be a seed file; reading a FIFO or a terminal
  // could block the relay for good. A file another user made, or may write,
  // holds a state of their choosing: it is left alone.
  if (file_size(h, &size) != 0 || !file_private(h)) goto fail;
  got = readfully(h, raw, SEEDRECLEN);
  if (got < 0) goto fail;
  if (got == 0) {
    seedfromtime(&rec);
  } else {
    // A short or foreign file is left exactly as it is.
    if (got < SEEDRECLEN) goto fail;
    unpackrec(raw, &rec);
    if (memcmp(rec.tag, "RND0", 4) != 0 && memcmp(rec.tag, "RND1", 4) != 0) goto fail;
  }

  // Condition a state that has not been conditioned yet, generator 1 first.
  if (rec.tag[3] == '0') {
    rec.tag[3] = '1';
    sysrandstep(-1, &rec.x1, &rec.y1);
    sysrandstep(-1, &rec.x2, &rec.y2);
  }
  *out1 = sysrandstep(1, &rec.x1, &rec.y1);
  *out2 = sysrandstep(1, &rec.x2, &rec.y2);

  // Write the record back in place; bytes after it are never touched. A
  // failed write leaves the new values with the caller all the same.
  packrec(&rec, raw);
  if (file_seek(h, 0) != 0 || file_write(h, raw, SEEDRECLEN) != SEEDRECLEN) goto fail;
  secure_zero(raw, sizeof raw);
  secure_zero(&rec, sizeof rec);
  return file_close(h) == 0 ? SYSRAND_OK : SYSRAND_SEEDFILE;

fail:
  secure_zero(raw, sizeof raw);
  secure_zero(&rec, sizeof rec);
  file_close(h);
  return SYSRAND_SEEDFILE;
}

}  // namespace

void sysrandmutexname(const char* path, char* name) {
  // The name part follows the last separator of any of the usual path forms.
  const char* part = path;
  for (const char* p = path; *p != '\0'; p++)
    if (*p == '\\' || *p == '/' || *p == ':') part = p + 1;
  memcpy(name, MUTEXPREFIX, sizeof MUTEXPREFIX - 1);
  char* out = name + sizeof MUTEXPREFIX - 1;
  for (uint32_t i = 0; i < SYSRAND_NAMEPARTMAX && part[i] != '\0'; i++) {
    char c = part[i];
    *out++ = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
  }
  *out = '\0';
}

uint32_t sysrandstep(int32_t mode, uint32_t* x, uint32_t* y) {
  if (mode == -1 || mode == -2) {
    // Both generators need odd states, and y is kept to 11 bits.
    *x |= 1;
    *y = (*y & 0x7FE) | 1;
    return 0;
  }
  if (mode != 1 && mode != 2) return 1;
  // A multiplicative congruential generator and a shift-register generator.
  *x *= 69069u;
  uint32_t t = *y ^ (*y >> 15);
  *y = t ^ (t << 17);
  uint32_t value = *x ^ *y;
  return mode == 1 ? value >> 1 : value;
}

uint32_t sysrand(uint32_t reqcode, const char* path, uint32_t* out1, uint32_t* out2) {
  // The caller gets defined values on every path, also the early ones.
  *out1 = SYSRAND_FALLBACK1;
  *out2 = SYSRAND_FALLBACK2;
  if (reqcode != SYSRAND_STEP) return SYSRAND_REQCODE;

  // Take the seed file's named lock around the whole read and rewrite.
  char name[SYSRAND_MUTEXNAMEMAX + 1];
  sysrandmutexname(path, name);
  lockh lock;
  if (lock_take(name, SYSRAND_WAITMS, &lock) != LOCK_OBTAINED) return SYSRAND_NOLOCK;
  uint32_t rc = stepseedfile(path, out1, out2);
  lock_release(lock);
  return rc;
}
