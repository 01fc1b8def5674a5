// PBKDF2 with HMAC-SHA1 (RFC 2898); iteration count 0 gives zero bytes.
#pragma once
#include <cstdint>

// pbkdf2(pw, pwlen, salt, saltlen, iter, out, outlen): write outlen derived
// bytes to out; bytes beyond outlen are not touched.
void pbkdf2(const uint8_t* pw, uint32_t pwlen, const uint8_t* salt, uint32_t saltlen,
            uint32_t iter, uint8_t* out, uint32_t outlen);
