// Cipher context: one direction of triple DES CFB-64 or RC4-drop256 in a
// caller-allocated work area that begins with the marker "QZV".
#pragma once
#include <cstdint>

// dataencr_init(encrtype, key, keylen, ctx, ctxsize): 0 ok, 1 bad type,
// 2 bad key length, 3 context too small. Nothing is written on failure.
uint32_t dataencr_init(uint32_t encrtype, const uint8_t* key, uint32_t keylen, uint8_t* ctx,
                       uint32_t ctxsize);

// dataencr(ctx, in, out, len) / datadecr(ctx, in, out, len): run len bytes
// through the context; in and out may be the same buffer. 0 ok, 1 broken
// context, 2 wrong direction, 3 a partial triple-DES block ended the stream.
uint32_t dataencr(uint8_t* ctx, const uint8_t* in, uint8_t* out, uint32_t len);
uint32_t datadecr(uint8_t* ctx, const uint8_t* in, uint8_t* out, uint32_t len);
