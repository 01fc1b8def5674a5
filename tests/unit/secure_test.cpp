#include <gtest/gtest.h>

#include <cstring>

#include "crypto/secure.h"

TEST(Secure, WipeAndConstantTimeCompare) {
  uint8_t buf[37];
  memset(buf, 0xA5, sizeof buf);
  secure_zero(buf + 1, 35);
  EXPECT_EQ(buf[0], 0xA5);
  EXPECT_EQ(buf[36], 0xA5);
  for (int i = 1; i < 36; i++) EXPECT_EQ(buf[i], 0) << i;

  uint8_t a[32], b[32];
  memset(a, 7, sizeof a);
  memcpy(b, a, sizeof b);
  EXPECT_TRUE(ctequal(a, b, 32));
  EXPECT_TRUE(ctequal(a, b, 0));
  for (int i = 0; i < 32; i++) {
    b[i] ^= 0x80;
    EXPECT_FALSE(ctequal(a, b, 32)) << i;
    b[i] ^= 0x80;
  }
}
