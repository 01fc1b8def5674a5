// The tunnel between a clientside and a serverside end in one process.
// Every handshake message and every record is also opened with keys derived
// by OpenSSL, so the wire format is checked, not just the agreement of the
// two ends; then the tables of what each end refuses.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <functional>
#include <sstream>

#include "support/tunnelend.h"
#include "unit/unitutil.h"

using namespace ut;
using harness::setuser, harness::tunnelend;

namespace {

const std::string USER = "alice", SECRET = "correct horse", ODDUSER = "a\x1b[2Jb\x07";
const std::string BADMSG =
    "7: ** Incorrect message received during authentication.\n"
    "      Possible wrong secret, or mismatched encryption type.\n   Connection closed.\n";
const std::string BADHDR = "7: ** Data decryption: Invalid record header.\n   Connection closed.\n";

// keyblock(nonces): the 84-byte key block of a key set of SECRET; hmac20(kb, data): a check sum's
// first 20 bytes.
std::string keyblock(std::initializer_list<std::string> nonces) {
  std::string x = SECRET, kb(84, '\0');
  for (const auto& n : nonces) x += n;
  PKCS5_PBKDF2_HMAC_SHA1(x.data(), int(x.size()), (const uint8_t*)"vimbe-RQ-659", 12, 4000, 84,
                         (uint8_t*)kb.data());
  return kb;
}
std::string hmac20(const std::string& kb, const std::string& data) {
  uint8_t d[20];
  HMAC(EVP_sha1(), kb.data(), 20, (const uint8_t*)data.data(), data.size(), d, nullptr);
  return std::string((const char*)d, 20);
}
// refctx(kb, k, type): a fresh context that decrypts under session key k of the key block;
// opened(ctx, m): m through it.
bytes refctx(const std::string& kb, int k, uint32_t type) {
  bytes ctx(CTXSIZE_DES3);
  EXPECT_EQ(dataencr_init(type, (const uint8_t*)kb.data() + 20 + 32 * (k - 1), 32, ctx.data(),
                          CTXSIZE_DES3),
            0u);
  return ctx;
}
std::string opened(bytes& ctx, std::string m) {
  EXPECT_EQ(datadecr(ctx.data(), (uint8_t*)m.data(), (uint8_t*)m.data(), uint32_t(m.size())), 0u);
  return m;
}

// A clientside and a serverside end after encrsetup, the handshake between
// them, then records from the client's conn 2 to the server's conn 1.
struct tun {
  tunnelend c, s;
  std::string cn1, cn2, sn1, sn2, wire[4], log;
  uint32_t rc = 0, step = 0;
  char side = '-';
  tun(uint32_t ctype = ENCR_RC4, uint32_t stype = ENCR_RC4, const std::string& secret = SECRET,
      const std::string& user = USER)
      : c(true, ctype), s(false, stype) {
    setuser(&c.prm.cluser, user, secret);
    setuser(&s.prm.usertbl[0], "bob", "other");
    setuser(&s.prm.usertbl[1], USER, SECRET);
    setuser(&s.prm.usertbl[2], ODDUSER, SECRET);
    s.prm.numusers = 3;
    EXPECT_EQ(c.encrsetup(), 0u) << "clientside";
    EXPECT_EQ(s.encrsetup(), 0u) << "serverside";
    cn1.assign((char*)c.e->nonce1, 32);
    cn2.assign((char*)c.e->nonce2, 32);
    sn1.assign((char*)s.e->nonce1, 32);
    sn2.assign((char*)s.e->nonce2, 32);
  }
  // run(tamper): the four messages in the order the event loop takes them; tamper may rewrite
  // message n on its way.
  tun& run(const std::function<void(int, std::string&)>& tamper = nullptr) {
    int sent = 0;
    auto pass = [&](tunnelend& from, tunnelend& to) {
      std::string m((const char*)from.e->wbuf, from.e->wlen);
      if (rc == 0 && tamper) tamper(sent + 1, m);
      if (rc != 0) return;
      wire[sent++] = m;
      memcpy(to.e->rbuf, m.data(), m.size());
      to.e->rdone = uint32_t(m.size());
    };
    auto call = [&](char who, uint32_t ct) {
      uint32_t r = rc ? 0 : (who == 'C' ? c : s).call(ct);
      if (r) {
        rc = r;
        side = who;
        step = ct;
      }
    };
    log = out([&] {
      call('C', 50);
      pass(c, s);
      call('C', 51);
      call('S', 31);
      pass(s, c);
      call('S', 32);
      call('C', 52);
      pass(c, s);
      call('C', 53);
      call('S', 33);
      pass(s, c);
      call('S', 34);
      call('C', 54);
    });
    return *this;
  }
  uint32_t send(const std::string& payload) {
    memcpy(c.e->wbuf, payload.data(), payload.size());
    c.e->wlen = uint32_t(payload.size());
    return c.call(TC_SEND);
  }
  std::string sent() const { return std::string((const char*)c.e->wbuf, c.e->wlen); }
  std::pair<uint32_t, uint32_t> receive(const std::string& w) {
    return s.receive((const uint8_t*)w.data(), w.size());
  }
};

}   // namespace

// Every handshake message and record is opened with keys derived by OpenSSL;
// the records show their padding and layout, and that K3 is in force.
TEST(Tunnel, HandshakeAndRecordsOpenWithKeysDerivedIndependently) {
  // Records: payload length, minmsglen, msglenmult, record length.
  const uint32_t rows[][4] = {{1, 0, 256, 256},     {176, 0, 256, 256},   {177, 0, 256, 512},
                              {8112, 0, 256, 8192}, {1, 1000, 256, 1024}, {300, 1000, 16, 1008},
                              {100, 0, 16, 192}};
  for (uint32_t type : {ENCR_RC4, ENCR_DES3}) {
    tun h(type, type);
    ASSERT_EQ(h.run().rc, 0u) << h.side << h.step << h.log;
    EXPECT_EQ(h.wire[0], std::string("Msg1\xB5\xB5\x01\0\x50\0\0\0\0\0\0\0", 16) + h.cn1 + USER +
                             std::string(75, ' '));
    std::string k1 = keyblock({h.cn1}), k2 = keyblock({h.sn1, h.cn1}),
                kb = keyblock({h.sn2, h.cn1, h.sn1, h.cn2});
    const struct {
      std::string kb;
      int key;
      std::string first, second, tag;
    } msgs[] = {{k1, 2, h.cn1, h.sn1, "Msg2"},
                {k2, 1, h.sn1, h.cn2, "Msg3"},
                {k2, 2, h.cn2, h.sn2, "Msg4"}};
    for (int n = 0; n < 3; n++) {   // each message starts a fresh stream
      std::string plain = msgs[n].first + msgs[n].second + msgs[n].tag + std::string(28, '\0');
      bytes ctx = refctx(msgs[n].kb, msgs[n].key, type);
      EXPECT_EQ(opened(ctx, h.wire[n + 1]),
                plain + hmac20(msgs[n].kb, plain) + std::string(12, '\0'))
          << msgs[n].tag;
    }
    // The nonces and the user are gone.
    for (socent* e : {h.c.e, h.s.e}) {
      std::string left((const char*)&e->authent, sizeof e->authent);
      for (const uint8_t* p : {e->nonce1, e->nonce2, e->pnonce1, e->pnonce2})
        left += std::string((const char*)p, 32);
      EXPECT_EQ(left, std::string(sizeof e->authent + 4 * 32, '\0'));
    }
    EXPECT_NE(h.cn1, h.cn2) << "client nonces";
    EXPECT_NE(h.cn1, h.sn1) << "first nonces";
    EXPECT_NE(h.sn1, h.sn2) << "server nonces";
    EXPECT_NE(h.cn2, h.sn2) << "second nonces";
    bytes ref = refctx(kb, 1, type);   // one stream across all records
    std::mt19937 rng(type);
    for (const auto& r : rows) {
      bytes data = random(rng, r[0]);
      std::string d(data.begin(), data.end()), pad(r[3] - r[0] - 80, '\0'),
          hdr = le32(r[0]) + le32(uint32_t(pad.size())) + std::string(8, '\0');
      h.c.prm.minmsglen = r[1];
      h.c.prm.msglenmult = r[2];
      hdr += hmac20(kb, hdr) + std::string(12, '\0');
      ASSERT_EQ(h.send(d), 0u) << type << " " << r[0];
      EXPECT_EQ(opened(ref, h.sent()),
                hdr + d + pad + hmac20(kb, hdr + d + pad) + std::string(12, '\0'))
          << type << " " << r[0];
      EXPECT_EQ(h.receive(h.sent()), std::make_pair(1u, 0u)) << type << " " << r[0];
      EXPECT_EQ(h.s.e->rneed, r[3]) << type << " " << r[0];
      EXPECT_TRUE(h.s.e->oper & OP_RD) << type << " " << r[0] << ": not reading on";
      EXPECT_EQ(std::string((char*)h.s.e->rbuf, h.s.e->rdone), d) << type << " " << r[0];
    }
  }
}

TEST(Handshake, FailuresByResultSideAndStep) {
  const std::string MSG1 =
      "7: ** Authentication failed: invalid Msg1 header.\n   Connection closed.\n";
  // Byte -68: byte 68 set and the check sum made right again. Order: server's
  // cipher, client's secret and user, message and byte changed, result, side, step, log.
  const struct {
    uint32_t stype;
    std::string secret, user;
    int msg, pos;
    uint32_t rc;
    char side;
    uint32_t step;
    std::string log;
  } rows[] = {
      {ENCR_RC4, "wrong secret", USER, 0, 0, 10, 'C', 52, BADMSG},
      {ENCR_DES3, SECRET, USER, 0, 0, 10, 'C', 52, BADMSG},
      {ENCR_RC4, SECRET, "mallory", 0, 0, 7, 'S', 31,
       "7: ** Error: Authentication failed, unknown username: mallory\n   Connection closed.\n"},
      {ENCR_RC4, SECRET, "alic", 0, 0, 7, 'S', 31,
       "unknown username: alic\n"},   // names compare whole
      {ENCR_RC4, SECRET, "Alice", 0, 0, 7, 'S', 31, "unknown username: Alice\n"},
      {ENCR_RC4, SECRET, ODDUSER, 0, 0, 0, '-', 0,
       "   Username: a.[2Jb.\n"},   // no control bytes reach the log
      {ENCR_RC4, SECRET, USER, 1, 0, 6, 'S', 31, MSG1},
      {ENCR_RC4, SECRET, USER, 1, 9, 6, 'S', 31, MSG1},
      {ENCR_RC4, SECRET, USER, 1, 10, 0, '-', 0, ""},   // bytes 10 to 15 of Msg1 are not looked at
      {ENCR_RC4, SECRET, USER, 1, 20, 10, 'C', 52, BADMSG},    // client nonce 1 changed on the way
      {ENCR_RC4, SECRET, USER, 2, 127, 10, 'C', 52, BADMSG},   // the zeros after the check sum
      {ENCR_RC4, SECRET, USER, 3, 70, 10, 'S', 33, BADMSG},
      {ENCR_RC4, SECRET, USER, 4, 100, 10, 'C', 54, BADMSG},
      {ENCR_RC4, SECRET, USER, 2, -68, 10, 'C', 52, BADMSG},   // the client checks byte 68 of Msg2
      {ENCR_RC4, SECRET, USER, 3, -68, 0, '-', 0, ""},         // the server does not for Msg3
  };
  for (const auto& r : rows) {
    tun h(ENCR_RC4, r.stype, r.secret, r.user);
    h.run([&](int n, std::string& m) {
      if (n != r.msg) return;
      if (r.pos >= 0) m[size_t(r.pos)] ^= 0x20;
      if (r.pos != -68) return;
      // RC4 is a plain XOR stream: flip the plain bytes through the cipher text.
      std::string plain =
          (n == 2 ? h.cn1 + h.sn1 + "Msg2" : h.sn1 + h.cn2 + "Msg3") + std::string(28, '\0');
      uint8_t before[32], after[32];
      checksum(n == 2 ? h.s.e : h.c.e, (const uint8_t*)plain.data(), 96, before);
      plain[68] = 1;
      m[68] ^= 1;
      checksum(n == 2 ? h.s.e : h.c.e, (const uint8_t*)plain.data(), 96, after);
      for (int i = 0; i < 32; i++) m[96 + i] ^= char(before[i] ^ after[i]);
    });
    std::ostringstream row;
    row << r.user << " Msg" << r.msg << " byte " << r.pos << "\n" << h.log;
    EXPECT_EQ(h.rc, r.rc) << row.str();
    EXPECT_EQ(h.side, r.side) << row.str();
    EXPECT_EQ(h.step, r.step) << row.str();
    EXPECT_NE(h.log.find(r.log), std::string::npos) << row.str();
    EXPECT_EQ(h.log.find_first_of("\x1b\x07"), std::string::npos) << row.str();
  }
}

TEST(Records, TamperedAndForgedRecordsAreRefused) {
  const std::string BADSUM =
      "7: ** Data decryption: Incorrect check sum in received record.\n   Connection closed.\n";
  // A byte flipped in a record of 500 bytes: in the header 13, in the body 17.
  for (size_t pos : {0, 7, 15, 16, 47, 48, 300, 547, 600, 767}) {
    tun p;
    ASSERT_EQ(p.run().send(std::string(500, 'x')), 0u);
    std::string bad = p.sent();
    std::pair<uint32_t, uint32_t> rc;
    bad[pos] ^= 0x01;
    EXPECT_EQ(out([&] { rc = p.receive(bad); }), pos < 48 ? BADHDR : BADSUM) << pos;
    EXPECT_EQ(rc, pos < 48 ? std::make_pair(13u, 0u) : std::make_pair(1u, 17u)) << pos;
  }
  // Headers with a good check sum and impossible fields. Order: payload length, pad length, byte 8,
  // result.
  const uint32_t rows[][4] = {{0, 176, 0, 15},
                              {8192, 0, 0, 15},
                              {1, 8192, 0, 15},
                              {8000, 113, 0, 15},
                              {0xFFFFFFF0u, 0x40, 0, 15},
                              {100, 0x7FFFFFFF, 0, 15},
                              {1, 175, 1, 14},
                              {1, 175, 0, 1}};   // bytes 9 to 15 are ignored
  for (const auto& r : rows) {
    tun p;
    std::string h = le32(r[0]) + le32(r[1]) + char(r[2]) + std::string(7, 'U');
    uint8_t sum[32];
    uint32_t rc = 0;
    checksum(p.run().c.e, (const uint8_t*)h.data(), 16, sum);
    h += std::string((const char*)sum, 32);
    ASSERT_EQ(dataencr(p.c.e->encrctx, (uint8_t*)h.data(), (uint8_t*)h.data(), 48), 0u);
    memcpy(p.s.e->rbuf, h.data(), 48);
    p.s.e->rdone = 48;
    // A record the peer meant but this end cannot hold: both lengths and the remedy.
    std::string bad = BADHDR;
    if (r[3] == 15 && r[0] != 0) {
      bad.insert(bad.find("   Connection"), "7:    (record of " +
                                                std::to_string(uint64_t(r[0]) + r[1] + 80) +
                                                " bytes, longer than this end's buffer of 8192: "
                                                "start both ends with the same -buf=)\n");
    }
    EXPECT_EQ(out([&] { rc = p.s.call(TC_RECV); }), r[3] == 1 ? "" : bad) << r[0] << " " << r[1];
    EXPECT_EQ(rc, r[3]) << r[0] << " " << r[1];
  }
}
