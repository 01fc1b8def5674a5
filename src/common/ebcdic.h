// The EBCDIC column of the hex dump: one code page, translated by table.
#pragma once
#include <cstdint>

// ebcdictoascii(buf, len): translate len bytes in place from EBCDIC (code page
// 1047) to ISO 8859-1; returns len.
uint32_t ebcdictoascii(uint8_t* buf, uint32_t len);
