// The parameter record: every setting that comes from the parameter file.
#pragma once
#include <cstdint>

constexpr uint32_t MAXUSERS = 50;     // serverside users in usertbl
constexpr uint32_t MAXFILT = 500;     // IP address filter items
constexpr uint32_t UNAMELEN = 80;     // uname bytes, blank-padded, no terminator
constexpr uint32_t SECRETLEN = 128;   // secret bytes, zero-padded

// utype / pwtype values
constexpr uint8_t UT_PRESENT = 0;     // the value is in the entry
constexpr uint8_t UT_ASKONCE = 1;     // "?": ask at the console once, at start-up
constexpr uint8_t UT_ASKCONN = 2;     // "??": ask for every connection

// One username and its secret. Always stored and copied whole.
struct userent {
  uint8_t utype;
  uint8_t pwtype;
  uint8_t ulen;
  uint8_t pwlen;
  uint8_t uname[UNAMELEN];
  uint8_t secret[SECRETLEN];
};

constexpr uint8_t FILT_ALLOW = 1;
constexpr uint8_t FILT_DENY = 2;

struct paramrec {
  uint32_t clientside;
  uint32_t serverside;
  uint32_t encrtype;      // ENCR_* of crypto/cipher.h
  uint32_t ctxsize;       // CTXSIZE_* of the same type
  uint32_t minmsglen;
  uint32_t msglenmult;
  userent cluser;
  uint32_t numusers;
  userent usertbl[MAXUSERS];
  uint32_t numfilt;
  uint8_t filttype[MAXFILT];
  uint8_t filtlen[MAXFILT];
  uint32_t filtaddr[MAXFILT];
};
