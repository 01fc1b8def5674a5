// PBKDF2 (RFC 2898) with HMAC-SHA1 as its pseudo-random function.
#include "crypto/pbkdf2.h"

#include <algorithm>

#include "crypto/hmac.h"
#include "crypto/secure.h"
#include "crypto/sha1_impl.h"
#include "platform/compiler.h"

namespace {

// burnstack(): overwrite the stack just below the caller's frame, where the
// block functions kept U and T in spilled registers. Their frames are well
// under this size.
KV_NOINLINE void burnstack() {
  uint8_t area[2048];
  secure_zero(area, sizeof area);
}

}  // namespace

void pbkdf2(const uint8_t* pw, uint32_t pwlen, const uint8_t* salt, uint32_t saltlen,
            uint32_t iter, uint8_t* out, uint32_t outlen) {
  if (outlen == 0) return;

  // Key once and salt once; every iteration starts from a copy. The outer
  // hash of every iteration starts from the outer key block, so that block
  // is compressed once here, not 4000 times over.
  hmacctx keyed, salted, work;
  hmacinit(&keyed, pw, pwlen);
  salted = keyed;
  hmacupdate(&salted, salt, saltlen);
  uint32_t oh[5];
  for (int i = 0; i < 5; i++) oh[i] = SHA1_IV[i];
  sha1blocks(oh, keyed.okey, 1);

  // The output blocks are independent, so up to SHA1_MAXLANES of them run
  // side by side through the iterations; each lane holds U and T of one block.
  const uint32_t nblocks = (outlen - 1) / 20 + 1;
  uint32_t u[SHA1_MAXLANES][5], t[SHA1_MAXLANES][5];
  uint8_t block[20];
  for (uint32_t first = 1; first <= nblocks; first += SHA1_MAXLANES) {
    const int lanes = static_cast<int>(std::min<uint32_t>(SHA1_MAXLANES, nblocks - first + 1));

    // No iterations leave T all zero.
    for (int j = 0; j < lanes; j++)
      for (uint32_t& w : t[j]) w = 0;

    if (iter != 0) {
      // First iteration: the salted state fed with the block index, 4 bytes
      // most significant first.
      for (int j = 0; j < lanes; j++) {
        work = salted;
        store32be(block, first + static_cast<uint32_t>(j));
        hmacupdate(&work, block, 4);
        hmacfinal(block, &work);
        for (int i = 0; i < 5; i++) u[j][i] = t[j][i] = load32be(block + 4 * i);
      }
      // The other iterations: the keyed state fed with the previous U. The
      // keyed inner hash has taken exactly its 64-byte key block, so its
      // chaining value is all that is left of it.
      sha1hmacchain(keyed.sha.h, oh, u, t, lanes, iter - 1);
    }

    // Copy T; the last block only as far as the requested length.
    for (int j = 0; j < lanes; j++) {
      const uint32_t off = (first - 1 + static_cast<uint32_t>(j)) * 20;
      for (int i = 0; i < 5; i++) store32be(block + 4 * i, t[j][i]);
      std::copy_n(block, std::min<uint32_t>(20, outlen - off), out + off);
    }
  }

  secure_zero(&keyed, sizeof keyed);
  secure_zero(oh, sizeof oh);
  secure_zero(&salted, sizeof salted);
  secure_zero(&work, sizeof work);
  secure_zero(u, sizeof u);
  secure_zero(t, sizeof t);
  secure_zero(block, sizeof block);
  burnstack();
}
