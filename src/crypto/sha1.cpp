#include "crypto/sha1.h"

#include <atomic>
#include <cstring>

#include "crypto/sha1_impl.h"
#include "platform/compiler.h"

namespace {

// The path in use: -1 until the first call decides, else a sha1path value.
// Relaxed order is enough: every value stored is a valid choice.
std::atomic<int> chosen{-1};

sha1path curpath() {
  int v = chosen.load(std::memory_order_relaxed);
  if (v < 0) {
    v = static_cast<int>(sha1canuse(sha1path::shani) ? sha1path::shani : sha1path::portable);
    chosen.store(v, std::memory_order_relaxed);
  }
  return static_cast<sha1path>(v);
}

}  // namespace

bool sha1canuse(sha1path path) {
  if (path == sha1path::portable) return true;
  static const bool shani = sha1shani_built() && cpu_has_shani();
  return shani;
}

bool sha1usepath(sha1path path) {
  if (!sha1canuse(path)) return false;
  chosen.store(static_cast<int>(path), std::memory_order_relaxed);
  return true;
}

sha1path sha1curpath() { return curpath(); }

void sha1blocks(uint32_t h[5], const uint8_t* p, size_t n) {
  if (curpath() == sha1path::shani)
    sha1blocks_shani(h, p, n);
  else
    sha1blocks_portable(h, p, n);
}

void sha1hmacchain(const uint32_t ih[5], const uint32_t oh[5], uint32_t (*u)[5],
                   uint32_t (*t)[5], int lanes, uint32_t count) {
  if (curpath() == sha1path::shani)
    sha1hmacchain_shani(ih, oh, u, t, lanes, count);
  else
    sha1hmacchain_portable(ih, oh, u, t, lanes, count);
}

void sha1init(sha1ctx* ctx) {
  ctx->countlo = 0;
  ctx->counthi = 0;
  memcpy(ctx->h, SHA1_IV, sizeof ctx->h);
}

void sha1update(sha1ctx* ctx, const uint8_t* data, uint32_t len) {
  uint32_t used = ctx->countlo & 63;
  ctx->countlo += len;
  if (ctx->countlo < len) ctx->counthi++;

  // Top up a partly filled block first.
  if (used != 0) {
    const uint32_t room = 64 - used;
    if (len < room) {
      if (len != 0) memcpy(ctx->block + used, data, len);
      return;
    }
    memcpy(ctx->block + used, data, room);
    sha1blocks(ctx->h, ctx->block, 1);
    data += room;
    len -= room;
  }

  // Whole blocks straight from the caller's data, the rest kept for later.
  const uint32_t whole = len / 64;
  if (whole != 0) sha1blocks(ctx->h, data, whole);
  data += static_cast<size_t>(whole) * 64;
  len &= 63;
  if (len != 0) memcpy(ctx->block, data, len);
}

void sha1final(uint8_t out[20], sha1ctx* ctx) {
  uint32_t used = ctx->countlo & 63;

  // Pad with 0x80 and zeros; when the length does not fit, spill a block.
  ctx->block[used++] = 0x80;
  if (used > 56) {
    memset(ctx->block + used, 0, 64 - used);
    sha1blocks(ctx->h, ctx->block, 1);
    used = 0;
  }
  memset(ctx->block + used, 0, 56 - used);

  // Append the length in bits as a 64-bit big-endian number.
  store32be(ctx->block + 56, (ctx->counthi << 3) | (ctx->countlo >> 29));
  store32be(ctx->block + 60, ctx->countlo << 3);
  sha1blocks(ctx->h, ctx->block, 1);

  for (int i = 0; i < 5; i++) store32be(out + 4 * i, ctx->h[i]);
}
