// DES on bits held one per byte: the permutations of FIPS 46-3 move bytes of
// 0 or 1, which keeps this form a direct reading of the standard. It is the
// reference the packed form (desfast.cpp) is checked against.
#include <cstring>

#include "crypto/des.h"
#include "crypto/destables.h"
#include "crypto/secure.h"

namespace {

// Spread n bytes into 8n bytes of 0 or 1, most significant bit first.
void spread(uint8_t* bits, const uint8_t* bytes, int n) {
  for (int i = 0; i < 8 * n; i++) bits[i] = (bytes[i / 8] >> (7 - i % 8)) & 1;
}

// Pack 64 bytes of 0 or 1 into 8 bytes, the inverse of spread.
void pack(uint8_t* bytes, const uint8_t* bits) {
  for (int i = 0; i < 8; i++) {
    uint8_t b = 0;
    for (int k = 0; k < 8; k++) b = uint8_t(b << 1 | bits[8 * i + k]);
    bytes[i] = b;
  }
}

// Rotate the 28 bytes of C or D left by n.
void rotl28(uint8_t* half, int n) {
  uint8_t tmp[2];
  memcpy(tmp, half, n);
  memmove(half, half + n, 28 - n);
  memcpy(half + 28 - n, tmp, n);
}

}  // namespace

void deskeysched(uint8_t* ks, const uint8_t* key) {
  uint8_t bits[64], cd[56];
  spread(bits, key, 8);
  for (int i = 0; i < 56; i++) cd[i] = bits[despc1[i] - 1];
  for (int r = 0; r < 16; r++) {
    rotl28(cd, desshift[r]);
    rotl28(cd + 28, desshift[r]);
    for (int i = 0; i < 48; i++) ks[48 * r + i] = cd[despc2[i] - 1];
  }
  secure_zero(bits, sizeof bits);
  secure_zero(cd, sizeof cd);
}

void desblock(const uint8_t* ks, uint8_t* out, const uint8_t* in, int decr) {
  uint8_t bits[64], lr[64], e[48], sout[32];
  uint8_t* l = lr;
  uint8_t* r = lr + 32;

  // Initial permutation into L0 R0.
  spread(bits, in, 8);
  for (int i = 0; i < 64; i++) lr[i] = bits[desip[i] - 1];

  for (int round = 0; round < 16; round++) {
    const uint8_t* k = ks + 48 * (decr ? 15 - round : round);
    // Expand R and mix in the subkey.
    for (int i = 0; i < 48; i++) e[i] = r[dese[i] - 1] ^ k[i];
    // Each 6-bit group, read as a number, picks its S-box output.
    for (int s = 0; s < 8; s++) {
      const uint8_t* g = e + 6 * s;
      int v = g[0] << 5 | g[1] << 4 | g[2] << 3 | g[3] << 2 | g[4] << 1 | g[5];
      uint8_t o = dessbox[s][v];
      for (int k4 = 0; k4 < 4; k4++) sout[4 * s + k4] = (o >> (3 - k4)) & 1;
    }
    // New R is L XOR P(S-box outputs); the old R becomes L.
    uint8_t f[32];
    for (int i = 0; i < 32; i++) f[i] = sout[desp[i] - 1];
    for (int i = 0; i < 32; i++) {
      uint8_t nr = l[i] ^ f[i];
      l[i] = r[i];
      r[i] = nr;
    }
    secure_zero(f, sizeof f);
  }

  // Final permutation of R16 L16.
  uint8_t pre[64];
  memcpy(pre, r, 32);
  memcpy(pre + 32, l, 32);
  for (int i = 0; i < 64; i++) bits[i] = pre[desfp[i] - 1];
  pack(out, bits);

  secure_zero(bits, sizeof bits);
  secure_zero(lr, sizeof lr);
  secure_zero(e, sizeof e);
  secure_zero(sout, sizeof sout);
  secure_zero(pre, sizeof pre);
}

void des3block(const uint8_t* ks, uint8_t* out, const uint8_t* in) {
  uint8_t tmp[8];
  desblock(ks, tmp, in, 0);
  desblock(ks + DESKSLEN, tmp, tmp, 1);
  desblock(ks + 2 * DESKSLEN, out, tmp, 0);
  secure_zero(tmp, sizeof tmp);
}
