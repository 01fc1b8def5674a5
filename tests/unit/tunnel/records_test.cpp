// Data records: padding, the layout on the wire, the two-step receive and
// every way a received record is refused.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <string>

#include "crypto/cipher.h"
#include "tunnelfix.h"

using tfix::instance;

namespace {

uint32_t get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}

// A clientside conn 2 that sends and a serverside conn 1 that receives, keyed alike.
struct pair {
  instance c{true, false}, s{false, true};
  explicit pair(uint32_t encrtype = ENCR_RC4, uint32_t cbuf = 8192, uint32_t sbuf = 8192)
      : c(true, false, encrtype, cbuf), s(false, true, encrtype, sbuf) {
    tfix::keyedpair(c, s, "record secret");
    c.s2.wbuf = c.buf2.data(), c.s2.sbufwrsize = (uint32_t)c.buf2.size();
    s.s1.rbuf = s.buf1.data(), s.s1.sbufrdsize = (uint32_t)s.buf1.size();
  }
  // send(payload): build a record; its result.
  uint32_t send(const std::string& payload) {
    memcpy(c.s2.wbuf, payload.data(), payload.size());
    c.s2.wlen = (uint32_t)payload.size(), c.s2.wdone = 0;
    return tunnel(TC_SEND, &c.s2, &c.ctx);
  }
  std::string wire() const { return std::string((const char*)c.s2.wbuf, c.s2.wlen); }
  // header(w): hand the first 48 bytes of w to the receiver.
  uint32_t header(const std::string& w) {
    memcpy(s.s1.rbuf, w.data(), 48);
    s.s1.rdone = 48, s.s1.rneed = 48, s.s1.oper = 0;
    return tunnel(TC_RECV, &s.s1, &s.ctx);
  }
  // body(w): the rest of the record, up to the length the header asked for.
  uint32_t body(const std::string& w) {
    memcpy(s.s1.rbuf + 48, w.data() + 48, s.s1.rneed - 48);
    s.s1.rdone = s.s1.rneed;
    return tunnel(TC_RECV, &s.s1, &s.ctx);
  }
  std::string received() const { return std::string((const char*)s.s1.rbuf, s.s1.rdone); }
};

std::string bytes(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = (char)((seed = seed * 1103515245 + 12345) >> 16);
  return s;
}

}  // namespace

TEST(Records, PaddingRulesAndRoundTrip) {
  struct {
    uint32_t payload, minmsglen, msglenmult, totlen;
  } cases[] = {{1, 0, 256, 256},     {176, 0, 256, 256}, {177, 0, 256, 512},
               {8112, 0, 256, 8192}, {1, 1000, 256, 1024}, {300, 1000, 16, 1008},
               {100, 0, 16, 192}};
  for (uint32_t encrtype : {ENCR_RC4, ENCR_DES3}) {
    pair p(encrtype);
    for (auto& k : cases) {
      SCOPED_TRACE(testing::Message() << "type " << encrtype << " payload " << k.payload);
      p.c.prm.minmsglen = k.minmsglen, p.c.prm.msglenmult = k.msglenmult;
      std::string data = bytes(k.payload, k.payload);
      ASSERT_EQ(p.send(data), 0u);
      EXPECT_EQ(p.c.s2.wlen, k.totlen);
      std::string w = p.wire();
      ASSERT_EQ(p.header(w), 1u);
      EXPECT_EQ(p.s.s1.rneed, k.totlen);
      EXPECT_TRUE(p.s.s1.oper & OP_RD);
      // The header is plain text now: lengths, zeros, its check sum.
      const uint8_t* h = p.s.s1.rbuf;
      EXPECT_EQ(get32(h), k.payload);
      EXPECT_EQ(get32(h + 4), k.totlen - k.payload - 80);
      for (int i = 8; i < 16; i++) EXPECT_EQ(h[i], 0);
      uint8_t ref[20];
      unsigned int len;
      HMAC(EVP_sha1(), p.s.s1.hmackey, 20, h, 16, ref, &len);
      EXPECT_EQ(memcmp(h + 16, ref, 20), 0);
      for (int i = 36; i < 48; i++) EXPECT_EQ(h[i], 0);
      ASSERT_EQ(p.body(w), 0u);
      EXPECT_EQ(p.received(), data);
      // Pad and record check sum are still in place behind the payload's old spot.
      const uint8_t* b = p.s.s1.rbuf;
      for (uint32_t i = 48 + k.payload; i < k.totlen - 32; i++) ASSERT_EQ(b[i], 0) << i;
    }
  }
}

TEST(Records, RecordCheckSumCoversHeaderPayloadAndPad) {
  pair p;
  std::string data = "covered";
  ASSERT_EQ(p.send(data), 0u);
  std::string w = p.wire();
  ASSERT_EQ(p.header(w), 1u);
  std::string plainhdr((const char*)p.s.s1.rbuf, 48);
  ASSERT_EQ(p.body(w), 0u);
  std::string rec = plainhdr + data + std::string(256 - 80 - data.size(), '\0');
  uint8_t ref[20];
  unsigned int len;
  HMAC(EVP_sha1(), p.s.s1.hmackey, 20, (const unsigned char*)rec.data(), rec.size(), ref, &len);
  EXPECT_EQ(memcmp(p.s.s1.rbuf + 224, ref, 20), 0);
}

TEST(Records, TooLongForWriteBufferIsResult21) {
  pair p(ENCR_RC4, 512, 8192);
  p.c.prm.msglenmult = 512;
  testing::internal::CaptureStdout();
  EXPECT_EQ(p.send(bytes(433, 1)), 21u);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "7: ** Error: encrypted data record (len 1024) does not fit in buffer (len 512)\n"
            "   Connection closed.\n");
  EXPECT_EQ(p.send(bytes(432, 1)), 0u);   // 432 + 80 = 512 fits exactly
  EXPECT_EQ(p.c.s2.wlen, 512u);
}

TEST(Records, DifferentRulesOnTheTwoEnds) {
  // The receiver takes the pad from the header: any multiple the sender chose is fine.
  pair p;
  p.c.prm.msglenmult = 1024, p.c.prm.minmsglen = 3000;
  p.s.prm.msglenmult = 16;
  std::string data = bytes(10, 3);
  ASSERT_EQ(p.send(data), 0u);
  EXPECT_EQ(p.c.s2.wlen, 3072u);
  std::string w = p.wire();
  ASSERT_EQ(p.header(w), 1u);
  ASSERT_EQ(p.body(w), 0u);
  EXPECT_EQ(p.received(), data);
}

TEST(Records, StreamContinuesAcrossRecords) {
  pair p(ENCR_DES3);
  for (int i = 0; i < 20; i++) {
    std::string data = bytes(1 + i * 397, i);
    ASSERT_EQ(p.send(data), 0u);
    std::string w = p.wire();
    ASSERT_EQ(p.header(w), 1u);
    ASSERT_EQ(p.body(w), 0u);
    ASSERT_EQ(p.received(), data) << i;
  }
}

TEST(Records, FlippedByteInHeaderIs13InBodyIs17) {
  std::string data = bytes(500, 9);
  for (uint32_t pos : {0u, 7u, 15u, 16u, 47u, 48u, 300u, 547u, 600u, 767u}) {
    SCOPED_TRACE(pos);
    pair p;
    ASSERT_EQ(p.send(data), 0u);
    std::string w = p.wire();
    ASSERT_EQ(w.size(), 768u);
    w[pos] ^= 0x01;
    testing::internal::CaptureStdout();
    uint32_t rc = p.header(w);
    if (pos < 48) {
      std::string out = testing::internal::GetCapturedStdout();
      EXPECT_EQ(rc, 13u);
      EXPECT_EQ(out, "7: ** Data decryption: Invalid record header.\n   Connection closed.\n");
      continue;
    }
    ASSERT_EQ(rc, 1u);
    rc = p.body(w);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 17u);
    EXPECT_EQ(out,
              "7: ** Data decryption: Incorrect check sum in received record.\n"
              "   Connection closed.\n");
  }
}

namespace {

// forged(p, payload, pad, byte8): a header with the given fields and a valid
// check sum, encrypted as the sender would; the sender's stream moves on 48 bytes.
std::string forged(pair& p, uint32_t payload, uint32_t pad, uint8_t byte8 = 0) {
  uint8_t h[48] = {};
  put32(h, payload);
  put32(h + 4, pad);
  h[8] = byte8;
  h[9] = 0x55;   // bytes 9..15 are not looked at
  checksum(&p.c.s2, h, 16, h + 16);
  EXPECT_EQ(dataencr(p.c.s2.encrctx, h, h, 48), 0u);
  return std::string((const char*)h, 48);
}

}  // namespace

TEST(Records, ImpossibleHeadersAreRefused) {
  struct {
    uint32_t payload, pad;
    uint8_t byte8;
    uint32_t rc;
  } cases[] = {
      {0, 176, 0, 15},            // no payload
      {8192, 0, 0, 15},           // payload as long as the buffer
      {1, 8192, 0, 15},           // pad as long as the buffer
      {8000, 113, 0, 15},         // totlen 8193 > 8192
      {0xFFFFFFF0u, 0x40, 0, 15}, // would wrap around in 32 bits
      {100, 0x7FFFFFFF, 0, 15},
      {1, 175, 1, 14},            // byte 8 not zero
      {1, 175, 0, 1},             // valid, bytes 9..15 ignored
  };
  for (auto& k : cases) {
    SCOPED_TRACE(testing::Message() << k.payload << " " << k.pad);
    pair p;
    std::string w = forged(p, k.payload, k.pad, k.byte8);
    testing::internal::CaptureStdout();
    EXPECT_EQ(p.header(w), k.rc);
    std::string out = testing::internal::GetCapturedStdout();
    if (k.rc != 1) {
      EXPECT_EQ(out, "7: ** Data decryption: Invalid record header.\n   Connection closed.\n");
    }
  }
}

TEST(Records, BodyLengthsMustAgreeWithBytesRead) {
  // The loop hands over more (or other) bytes than the header announced.
  pair p;
  ASSERT_EQ(p.send(bytes(10, 1)), 0u);
  std::string w = p.wire();
  ASSERT_EQ(p.header(w), 1u);
  p.s.s1.rdone = 512;   // header says 256
  testing::internal::CaptureStdout();
  EXPECT_EQ(tunnel(TC_RECV, &p.s.s1, &p.s.ctx), 16u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "7: ** Data decryption: Invalid record header.\n   Connection closed.\n");
}

TEST(Records, BadCallsAre11And12WithDebugExit) {
  pair p;
  p.s.ctx.dbglevel = 2;
  p.s.s1.rdone = 47;
  testing::internal::CaptureStdout();
  EXPECT_EQ(tunnel(TC_RECV, &p.s.s1, &p.s.ctx), 11u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "7: tunnel(): call type=1 conn 1\n"
            "7: ** Data decryption: Bad value or call.\n"
            "   Connection closed.\n"
            "   tunnel() return value 11\n");
  p.s.s1.rdone = 8193;
  testing::internal::CaptureStdout();
  EXPECT_EQ(tunnel(TC_RECV, &p.s.s1, &p.s.ctx), 12u);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Bad value or call.\n"), std::string::npos);
}

TEST(Records, AcceptedHeaderPrintsReturnValueOneAtLevelTwo) {
  pair p;
  p.s.ctx.dbglevel = 3;
  ASSERT_EQ(p.send("x"), 0u);
  std::string w = p.wire();
  testing::internal::CaptureStdout();
  ASSERT_EQ(p.header(w), 1u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "7: tunnel(): call type=1 conn 1\n"
            "   inplen=48 maxlen=8192\n"
            "   payload len=1 pad len=175 totlen=256\n"
            "   tunnel() return value 1\n");
}

TEST(Records, PlainSocketsPassUntouched) {
  instance in(false, false);
  in.ctx.dbglevel = 5;
  socent before = in.s1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(tunnel(TC_RECV, &in.s1, &in.ctx), 0u);
  EXPECT_EQ(tunnel(TC_SEND, &in.s2, &in.ctx), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(memcmp(&before, &in.s1, sizeof before), 0);
  // With serverside only, conn 2 is plain.
  instance s(false, true);
  EXPECT_EQ(tunnel(TC_SEND, &s.s2, &s.ctx), 0u);
}
