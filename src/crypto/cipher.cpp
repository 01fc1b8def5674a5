// The cipher context: one direction of triple DES CFB-64 or RC4-drop256 in a
// caller-allocated byte area. Layout (byte offsets):
//    0  marker "QZV"
//    3  state: 0 fresh, 1 encrypting, 2 decrypting, 0x81 / 0x82 the same
//       after a call that ended on a partial triple-DES block
//    4  encrtype, 32 bits, stored least significant byte first so that the
//       area reads the same whatever the machine's byte order
//    8  reserved, 8 bytes, never written or read
//   16  CFB feedback register (triple DES only)
//   24  reserved, 8 bytes, never written or read
//   32  cipher state: three expanded DES schedules (3 x 768 bytes), or the
//       RC4 permutation S, i and j (258 bytes)
#include "crypto/bytes.h"
#include "crypto/cipher.h"

#include <cstring>

#include "crypto/des.h"
#include "crypto/rc4.h"
#include "crypto/secure.h"

namespace {

constexpr uint32_t OFFSTATE = 3;
constexpr uint32_t OFFTYPE = 4;
constexpr uint32_t OFFFEEDBACK = 16;
constexpr uint32_t OFFCIPHER = 32;
// The work area sizes that cipher.h promises follow from the layout above.
static_assert(CTXSIZE_DES3 == OFFCIPHER + 3 * DESKSLEN && CTXSIZE_RC4 == OFFCIPHER + RC4STATELEN);

constexpr uint8_t ST_FRESH = 0;
constexpr uint8_t ST_ENCR = 1;
constexpr uint8_t ST_DECR = 2;
constexpr uint8_t ST_PARTIAL = 0x80;  // added to ST_ENCR or ST_DECR

constexpr uint8_t MARKER[3] = {'Q', 'Z', 'V'};

// Write marker, fresh state and type: the header both types share.
void puthead(uint8_t* ctx, uint32_t encrtype) {
  memcpy(ctx, MARKER, sizeof MARKER);
  ctx[OFFSTATE] = ST_FRESH;
  store32le(ctx + OFFTYPE, encrtype);
}

// May a call in direction dir (ST_ENCR or ST_DECR) run on this state?
// A CRYPT_* result; CRYPT_OK means yes.
uint32_t statecheck(uint32_t encrtype, uint8_t state, uint8_t dir) {
  if (state == ST_FRESH || state == dir) return CRYPT_OK;
  if (encrtype == ENCR_RC4) return CRYPT_WRONGDIR;
  if (state == ST_ENCR || state == ST_DECR) return CRYPT_WRONGDIR;
  if (state == (ST_PARTIAL | ST_ENCR) || state == (ST_PARTIAL | ST_DECR))
    return state == (ST_PARTIAL | dir) ? CRYPT_PARTIAL : CRYPT_WRONGDIR;
  return CRYPT_BROKEN;
}

// Triple DES in 64-bit cipher feedback over len bytes. Whole blocks run on
// words; each block's 8 input bytes are read before its output is stored,
// so in may equal out.
void des3cfb(uint8_t* ctx, const uint8_t* in, uint8_t* out, uint32_t len, bool decr) {
  if (len == 0) return;
  uint8_t* fbreg = ctx + OFFFEEDBACK;
  uint32_t pk[DES3PKLEN];
  des3pack(pk, ctx + OFFCIPHER);
  uint32_t fb0 = load32be(fbreg), fb1 = load32be(fbreg + 4);
  uint32_t ks[2];

  for (; len >= 8; len -= 8, in += 8, out += 8) {
    ks[0] = fb0;
    ks[1] = fb1;
    des3fast(pk, ks);
    uint32_t c0 = load32be(in), c1 = load32be(in + 4);
    uint32_t o0 = c0 ^ ks[0], o1 = c1 ^ ks[1];
    // The register takes the ciphertext: the output when encrypting, the input when decrypting.
    fb0 = decr ? c0 : o0;
    fb1 = decr ? c1 : o1;
    store32be(out, o0);
    store32be(out + 4, o1);
  }
  store32be(fbreg, fb0);
  store32be(fbreg + 4, fb1);

  // A final partial block uses the first len keystream bytes and replaces
  // only the first len bytes of the register.
  if (len > 0) {
    uint8_t kb[8];
    ks[0] = fb0;
    ks[1] = fb1;
    des3fast(pk, ks);
    store32be(kb, ks[0]);
    store32be(kb + 4, ks[1]);
    for (uint32_t k = 0; k < len; k++) {
      uint8_t c = in[k];
      uint8_t o = c ^ kb[k];
      fbreg[k] = decr ? c : o;
      out[k] = o;
    }
    secure_zero(kb, sizeof kb);
  }
  secure_zero(pk, sizeof pk);
  secure_zero(ks, sizeof ks);
}

// The body shared by dataencr (dir ST_ENCR) and datadecr (dir ST_DECR).
uint32_t crypt(uint8_t* ctx, const uint8_t* in, uint8_t* out, uint32_t len, uint8_t dir) {
  // Check marker, type and state; nothing changes on a failure.
  if (ctx == nullptr || memcmp(ctx, MARKER, sizeof MARKER) != 0) return CRYPT_BROKEN;
  uint32_t encrtype = load32le(ctx + OFFTYPE);
  if (encrtype != ENCR_DES3 && encrtype != ENCR_RC4) return CRYPT_BROKEN;
  uint32_t rc = statecheck(encrtype, ctx[OFFSTATE], dir);
  if (rc != CRYPT_OK) return rc;

  if (encrtype == ENCR_RC4) {
    ctx[OFFSTATE] = dir;
    rc4xor(ctx + OFFCIPHER, in, out, len);
    return CRYPT_OK;
  }
  // A partial block ends the stream, so the state says so before any data moves.
  ctx[OFFSTATE] = len % 8 ? uint8_t(ST_PARTIAL | dir) : dir;
  des3cfb(ctx, in, out, len, dir == ST_DECR);
  return CRYPT_OK;
}

}  // namespace

uint32_t dataencr_init(uint32_t encrtype, const uint8_t* key, uint32_t keylen, uint8_t* ctx,
                       uint32_t ctxsize) {
  // Check type, key length and size in that order; write nothing on failure.
  // A missing key counts as an empty one and a missing area as one too small.
  if (encrtype != ENCR_DES3 && encrtype != ENCR_RC4) return CIPHER_BADTYPE;
  if (key == nullptr) keylen = 0;
  if (ctx == nullptr) ctxsize = 0;

  if (encrtype == ENCR_DES3) {
    if (keylen < 32) return CIPHER_BADKEY;
    if (ctxsize < CTXSIZE_DES3) return CIPHER_SMALLCTX;
    puthead(ctx, encrtype);
    memcpy(ctx + OFFFEEDBACK, key + 24, 8);
    for (int n = 0; n < 3; n++) deskeysched(ctx + OFFCIPHER + n * DESKSLEN, key + 8 * n);
    return CIPHER_OK;
  }

  if (keylen < 1 || keylen > 256) return CIPHER_BADKEY;
  if (ctxsize < CTXSIZE_RC4) return CIPHER_SMALLCTX;
  puthead(ctx, encrtype);
  uint8_t* st = ctx + OFFCIPHER;
  rc4setup(st, key, keylen);
  // Drop the first 256 keystream bytes, which are known to leak key bits.
  for (int n = 0; n < 256; n++) (void)rc4byte(st);
  return CIPHER_OK;
}

uint32_t dataencr(uint8_t* ctx, const uint8_t* in, uint8_t* out, uint32_t len) {
  return crypt(ctx, in, out, len, ST_ENCR);
}

uint32_t datadecr(uint8_t* ctx, const uint8_t* in, uint8_t* out, uint32_t len) {
  return crypt(ctx, in, out, len, ST_DECR);
}
