// The handshake driven in-process between a clientside and a serverside
// instance; every message is also opened with keys computed independently
// (OpenSSL PBKDF2/HMAC) so the wire format is checked, not just agreement.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <string>
#include <vector>

#include "crypto/cipher.h"
#include "tunnelfix.h"

using tfix::hsresult;
using tfix::instance;

namespace {

const std::string USER = "alice";
const std::string SECRET = "correct horse";

// Client and server instances with one user, after encrsetup; the nonces
// are kept so the test can compute the key sets on its own.
struct hs {
  instance c, s;
  std::string cn1, cn2, sn1, sn2;
  hs(uint32_t ctype = ENCR_RC4, uint32_t stype = ENCR_RC4, const std::string& csecret = SECRET,
     const std::string& cuser = USER)
      : c(true, false, ctype), s(false, true, stype) {
    tfix::setuser(&c.prm.cluser, cuser, csecret);
    tfix::setuser(&s.prm.usertbl[0], "bob", "other");
    tfix::setuser(&s.prm.usertbl[1], USER, SECRET);
    s.prm.numusers = 2;
    EXPECT_EQ(encrsetup(&c.srv, &c.ctx), 0u);
    EXPECT_EQ(encrsetup(&s.srv, &s.ctx), 0u);
    cn1.assign((char*)c.s2.nonce1, 32), cn2.assign((char*)c.s2.nonce2, 32);
    sn1.assign((char*)s.s1.nonce1, 32), sn2.assign((char*)s.s1.nonce2, 32);
  }
};

std::string keyblock(const std::string& secret, const std::vector<std::string>& nonces) {
  std::string x = secret;
  for (auto& n : nonces) x += n;
  std::string kb(84, '\0');
  PKCS5_PBKDF2_HMAC_SHA1(x.data(), (int)x.size(), (const unsigned char*)"vimbe-RQ-659", 12, 4000,
                         84, (unsigned char*)kb.data());
  return kb;
}

std::string hmac20(const std::string& key, const std::string& data) {
  unsigned char out[20];
  unsigned int len;
  HMAC(EVP_sha1(), key.data(), 20, (const unsigned char*)data.data(), data.size(), out, &len);
  return std::string((char*)out, 20);
}

// crypt(kb, k, encrtype, msg, encr): run msg through a fresh context keyed
// with session key k of the key block.
std::string crypt(const std::string& kb, int k, uint32_t encrtype, std::string msg, bool encr) {
  uint32_t size = encrtype == ENCR_DES3 ? CTXSIZE_DES3 : CTXSIZE_RC4;
  std::vector<uint8_t> ctx(size);
  EXPECT_EQ(dataencr_init(encrtype, (const uint8_t*)kb.data() + 20 + 32 * (k - 1), 32, ctx.data(),
                          size),
            0u);
  uint8_t* p = (uint8_t*)msg.data();
  EXPECT_EQ((encr ? dataencr : datadecr)(ctx.data(), p, p, (uint32_t)msg.size()), 0u);
  return msg;
}

// expectmsg(plain, kb, first, second, tag): the layout of Msg2..Msg4.
void expectmsg(const std::string& plain, const std::string& kb, const std::string& first,
               const std::string& second, const std::string& tag) {
  ASSERT_EQ(plain.size(), 128u);
  EXPECT_EQ(plain.substr(0, 32), first);
  EXPECT_EQ(plain.substr(32, 32), second);
  EXPECT_EQ(plain.substr(64, 4), tag);
  EXPECT_EQ(plain.substr(68, 28), std::string(28, '\0'));
  EXPECT_EQ(plain.substr(96, 20), hmac20(kb, plain.substr(0, 96)));
  EXPECT_EQ(plain.substr(116, 12), std::string(12, '\0'));
}

// exchange(a, ae, b, be, data): one record from a's end to b's end.
void exchange(instance& a, socent* ae, instance& b, socent* be, const std::string& data) {
  ae->wbuf = ae == &a.s1 ? a.buf1.data() : a.buf2.data();
  ae->sbufwrsize = a.ctx.bufsize;
  memcpy(ae->wbuf, data.data(), data.size());
  ae->wlen = (uint32_t)data.size();
  ASSERT_EQ(tunnel(TC_SEND, ae, &a.ctx), 0u);
  be->rbuf = be == &b.s1 ? b.buf1.data() : b.buf2.data();
  be->sbufrdsize = b.ctx.bufsize;
  memcpy(be->rbuf, ae->wbuf, 48);
  be->rdone = 48;
  ASSERT_EQ(tunnel(TC_RECV, be, &b.ctx), 1u);
  memcpy(be->rbuf + 48, ae->wbuf + 48, be->rneed - 48);
  be->rdone = be->rneed;
  ASSERT_EQ(tunnel(TC_RECV, be, &b.ctx), 0u);
  EXPECT_EQ(std::string((char*)be->rbuf, be->rdone), data);
}

}  // namespace

TEST(Handshake, CompletesWithTheProtocolMessagesAndKeys) {
  for (uint32_t type : {ENCR_RC4, ENCR_DES3}) {
    SCOPED_TRACE(type);
    hs h(type, type);
    testing::internal::CaptureStdout();
    hsresult r = tfix::handshake(h.c, h.s);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(r.rc, 0u) << r.side << r.step << "\n" << out;
    EXPECT_EQ(out,
              "7: Authenticating conn 2 (as client side of tunnel)\n"
              "7: Authenticating conn 1 (as server side of tunnel)\n"
              "   Username: alice\n");

    // Msg1 in the clear.
    std::string m1 = r.wire[0];
    ASSERT_EQ(m1.size(), 128u);
    EXPECT_EQ(m1.substr(0, 16), std::string("Msg1\xB5\xB5\x01\x00\x50\0\0\0\0\0\0\0", 16));
    EXPECT_EQ(m1.substr(16, 32), h.cn1);
    EXPECT_EQ(m1.substr(48), USER + std::string(80 - USER.size(), ' '));

    // Msg2 under K1 (server to client: session key 2), Msg3 and Msg4 under K2.
    std::string k1 = keyblock(SECRET, {h.cn1});
    std::string k2 = keyblock(SECRET, {h.sn1, h.cn1});
    std::string k3 = keyblock(SECRET, {h.sn2, h.cn1, h.sn1, h.cn2});
    expectmsg(crypt(k1, 2, type, r.wire[1], false), k1, h.cn1, h.sn1, "Msg2");
    expectmsg(crypt(k2, 1, type, r.wire[2], false), k2, h.sn1, h.cn2, "Msg3");
    expectmsg(crypt(k2, 2, type, r.wire[3], false), k2, h.cn2, h.sn2, "Msg4");

    // K3 installed on both ends; the handshake material is gone.
    EXPECT_EQ(std::string((char*)h.c.s2.hmackey, 20), k3.substr(0, 20));
    EXPECT_EQ(std::string((char*)h.s.s1.hmackey, 20), k3.substr(0, 20));
    std::string zero(sizeof(socent::authent), '\0');
    for (socent* e : {&h.c.s2, &h.s.s1}) {
      EXPECT_EQ(std::string((char*)&e->authent, sizeof e->authent), zero);
      for (uint8_t* n : {e->nonce1, e->nonce2, e->pnonce1, e->pnonce2})
        EXPECT_EQ(std::string((char*)n, 32), std::string(32, '\0'));
    }
    // The loop's settings after the last steps.
    EXPECT_EQ(h.s.s1.action, 34u);
    EXPECT_EQ(h.c.s2.action, 54u);

    // Data both ways, with different record rules at the two ends.
    h.c.prm.msglenmult = 1024;
    h.s.prm.msglenmult = 16, h.s.prm.minmsglen = 500;
    exchange(h.c, &h.c.s2, h.s, &h.s.s1, "GET / HTTP/1.0\r\n\r\n");
    exchange(h.s, &h.s.s1, h.c, &h.c.s2, std::string(3000, 'r'));
    exchange(h.c, &h.c.s2, h.s, &h.s.s1, "x");
  }
}

TEST(Handshake, WrongSecretAndMismatchedCipherFailAtMsg2) {
  const char* lines =
      "7: ** Incorrect message received during authentication.\n"
      "      Possible wrong secret, or mismatched encryption type.\n"
      "   Connection closed.\n";
  for (int k = 0; k < 2; k++) {
    hs h(ENCR_RC4, k ? ENCR_DES3 : ENCR_RC4, k ? SECRET : "wrong secret");
    testing::internal::CaptureStdout();
    hsresult r = tfix::handshake(h.c, h.s);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.rc, 10u);
    EXPECT_EQ(r.side, 'C');
    EXPECT_EQ(r.step, 52u);
    EXPECT_NE(out.find(lines), std::string::npos) << out;
  }
}

TEST(Handshake, UnknownUserIsResult7WithoutUsernameLine) {
  hs h(ENCR_RC4, ENCR_RC4, SECRET, "mallory");
  h.s.ctx.dbglevel = 2;
  testing::internal::CaptureStdout();
  hsresult r = tfix::handshake(h.c, h.s);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r.rc, 7u);
  EXPECT_EQ(r.side, 'S');
  EXPECT_EQ(r.step, 31u);
  EXPECT_NE(out.find("7: ** Error: Authentication failed, unknown username: mallory"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Username:"), std::string::npos);
  EXPECT_NE(out.find("   Connection closed.\n   tunnel() return value 7\n"), std::string::npos);
}

TEST(Handshake, ControlBytesOfANameAreNotEchoed) {
  // A name with an escape sequence and a bell, known to the server side.
  std::string odd = "a\x1b[2Jb\x07";
  hs h(ENCR_RC4, ENCR_RC4, SECRET, odd);
  tfix::setuser(&h.s.prm.usertbl[1], odd, SECRET);
  testing::internal::CaptureStdout();
  hsresult r = tfix::handshake(h.c, h.s);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r.rc, 0u);
  EXPECT_NE(out.find("   Username: a.[2Jb.\n"), std::string::npos) << out;
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  EXPECT_EQ(out.find('\x07'), std::string::npos);
}

namespace {

struct flip {
  int msg;
  size_t pos;
};
void flipbyte(int n, std::string& m, void* arg) {
  auto* f = (flip*)arg;
  if (n == f->msg) m[f->pos] ^= 0x20;
}

}  // namespace

TEST(Handshake, TamperedMessagesAreRefused) {
  struct {
    flip f;
    uint32_t rc;
    char side;
    uint32_t step;
  } cases[] = {
      {{1, 0}, 6, 'S', 31},  {{1, 5}, 6, 'S', 31},  {{1, 9}, 6, 'S', 31},
      {{1, 10}, 0, '-', 0},  {{1, 15}, 0, '-', 0},   // bytes 10..15 of Msg1 are not looked at
      {{1, 20}, 10, 'C', 52},                        // client nonce 1 changed on the way
      {{2, 3}, 10, 'C', 52}, {{2, 127}, 10, 'C', 52},  // last byte: check sum padding
      {{3, 70}, 10, 'S', 33}, {{4, 100}, 10, 'C', 54},
  };
  for (auto& k : cases) {
    SCOPED_TRACE(testing::Message() << "Msg" << k.f.msg << " byte " << k.f.pos);
    hs h;
    testing::internal::CaptureStdout();
    hsresult r = tfix::handshake(h.c, h.s, flipbyte, &k.f);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.rc, k.rc) << out;
    EXPECT_EQ(r.side, k.side);
    EXPECT_EQ(r.step, k.step);
    if (k.rc == 6) {
      EXPECT_NE(out.find("7: ** Authentication failed: invalid Msg1 header.\n   Connection closed.\n"),
                std::string::npos);
    }
  }
}

namespace {

// Rewrite byte 68 of Msg2 or Msg3 and seal the message again with the right keys.
struct byte68 {
  hs* h;
  int msg;
};
void setbyte68(int n, std::string& m, void* arg) {
  auto* b = (byte68*)arg;
  if (n != b->msg) return;
  hs& h = *b->h;
  std::string kb = n == 2 ? keyblock(SECRET, {h.cn1}) : keyblock(SECRET, {h.sn1, h.cn1});
  int k = n == 2 ? 2 : 1;
  std::string plain = crypt(kb, k, ENCR_RC4, m, false);
  plain[68] = 1;
  std::string sum = hmac20(kb, plain.substr(0, 96));
  plain.replace(96, 20, sum);
  m = crypt(kb, k, ENCR_RC4, plain, true);
}

}  // namespace

TEST(Handshake, Byte68ChecksDifferBySide) {
  {
    hs h;
    byte68 b{&h, 3};
    testing::internal::CaptureStdout();
    hsresult r = tfix::handshake(h.c, h.s, setbyte68, &b);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.rc, 0u);   // the server side accepts Msg3 with byte 68 set
  }
  {
    hs h;
    byte68 b{&h, 2};
    testing::internal::CaptureStdout();
    hsresult r = tfix::handshake(h.c, h.s, setbyte68, &b);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.rc, 10u);   // the client side refuses Msg2 with byte 68 set
    EXPECT_EQ(r.step, 52u);
  }
}

TEST(Handshake, CommonEntryFailures) {
  hs h;
  h.s.ctx.dbglevel = 2;
  testing::internal::CaptureStdout();
  EXPECT_EQ(tunnel(31, &h.s.s2, &h.s.ctx), 4u);   // server step on conn 2
  EXPECT_EQ(tunnel(50, &h.s.s1, &h.s.ctx), 4u);   // client step without clientside
  EXPECT_EQ(tunnel(0, &h.s.s1, &h.s.ctx), 2u);
  EXPECT_EQ(tunnel(35, &h.s.s1, &h.s.ctx), 2u);
  h.s.s1.stype = 1;
  EXPECT_EQ(tunnel(31, &h.s.s1, &h.s.ctx), 3u);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "7: tunnel(): call type=31 conn 2\n"
            "7: ** Error in tunnel(): invalid call.\n"
            "   Connection closed.\n"
            "   tunnel() return value 4\n"
            "7: tunnel(): call type=50 conn 1\n"
            "7: ** Error in tunnel(): invalid call.\n"
            "   Connection closed.\n"
            "   tunnel() return value 4\n"
            "7: tunnel(): call type=0 conn 1\n"
            "7: ** Error: Invalid call type 0 to tunnel().\n"
            "   Connection closed.\n"
            "   tunnel() return value 2\n"
            "7: tunnel(): call type=35 conn 1\n"
            "7: ** Error: Invalid call type 35 to tunnel().\n"
            "   Connection closed.\n"
            "   tunnel() return value 2\n"
            "0: tunnel(): call type=31 conn 1\n"
            "0: ** Error in tunnel(): psoc->stype 1 is not 0.\n"
            "   Connection closed.\n"
            "   tunnel() return value 3\n");
}

TEST(Handshake, KeyAndCipherFailures) {
  {
    // The server's work areas are too small for its cipher: tunnnelkeys refuses, result 5.
    hs h;
    h.s.prm.encrtype = ENCR_DES3;
    testing::internal::CaptureStdout();
    hsresult r = tfix::handshake(h.c, h.s);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.rc, 5u);
    EXPECT_EQ(r.step, 31u);
    EXPECT_NE(out.find(" from dataencr_init().\n   Connection closed.\n"), std::string::npos);
  }
  {
    // A broken decr work area when Msg4 arrives: result 9.
    hs h;
    struct brk {
      static void fn(int n, std::string&, void* arg) {
        if (n == 4) ((uint8_t*)arg)[0] ^= 0xFF;   // after K2 was installed for Msg2/Msg3
      }
    };
    testing::internal::CaptureStdout();
    hsresult r = tfix::handshake(h.c, h.s, brk::fn, h.c.s2.decrctx);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.rc, 9u);
    EXPECT_EQ(r.step, 54u);
    EXPECT_NE(out.find("7: ** datadecr() error rc="), std::string::npos) << out;
  }
}

TEST(Records, BrokenWorkAreasAre8And9) {
  hs h;
  testing::internal::CaptureStdout();
  ASSERT_EQ(tfix::handshake(h.c, h.s).rc, 0u);
  h.c.s2.encrctx[0] ^= 0xFF;
  h.c.s2.wbuf = h.c.buf2.data(), h.c.s2.wlen = 5;
  EXPECT_EQ(tunnel(TC_SEND, &h.c.s2, &h.c.ctx), 8u);
  h.s.s1.decrctx[0] ^= 0xFF;
  h.s.s1.rbuf = h.s.buf1.data(), h.s.s1.rdone = 48;
  EXPECT_EQ(tunnel(TC_RECV, &h.s.s1, &h.s.ctx), 9u);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("7: ** dataencr() error rc="), std::string::npos) << out;
  EXPECT_NE(out.find("7: ** datadecr() error rc="), std::string::npos) << out;
}
