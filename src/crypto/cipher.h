// Cipher context: one direction of triple DES CFB-64 or RC4-drop256 in a
// caller-allocated work area that begins with the marker "QZV".
#pragma once
#include <cstdint>

// The cipher types (encrtype), and the work area each needs at least.
constexpr uint32_t ENCR_DES3 = 1;       // triple DES CFB-64
constexpr uint32_t ENCR_RC4 = 2;        // RC4-drop256
constexpr uint32_t CTXSIZE_DES3 = 2336;
constexpr uint32_t CTXSIZE_RC4 = 290;

// Results of dataencr_init.
constexpr uint32_t CIPHER_OK = 0;
constexpr uint32_t CIPHER_BADTYPE = 1;     // not an ENCR_* type
constexpr uint32_t CIPHER_BADKEY = 2;      // a key length the type does not take
constexpr uint32_t CIPHER_SMALLCTX = 3;    // the work area is too small for the type

// Results of dataencr and datadecr.
constexpr uint32_t CRYPT_OK = 0;
constexpr uint32_t CRYPT_BROKEN = 1;       // no marker, or an unknown type or state
constexpr uint32_t CRYPT_WRONGDIR = 2;     // the context runs the other way
constexpr uint32_t CRYPT_PARTIAL = 3;      // a partial triple-DES block ended the stream

// dataencr_init(encrtype, key, keylen, ctx, ctxsize): a CIPHER_* result.
// Nothing is written on failure.
uint32_t dataencr_init(uint32_t encrtype, const uint8_t* key, uint32_t keylen, uint8_t* ctx,
                       uint32_t ctxsize);

// dataencr(ctx, in, out, len) / datadecr(ctx, in, out, len): run len bytes
// through the context; in and out may be the same buffer. A CRYPT_* result.
uint32_t dataencr(uint8_t* ctx, const uint8_t* in, uint8_t* out, uint32_t len);
uint32_t datadecr(uint8_t* ctx, const uint8_t* in, uint8_t* out, uint32_t len);
