// The command line: options, positional parameters, the usage text, and the
// two text parsers every numeric option and site name goes through.
#pragma once
#include <cstdint>

constexpr uint32_t BUFSIZE_DEFAULT = 8192;
constexpr uint32_t BUFSIZE_MIN = 512;
constexpr uint32_t BUFSIZE_MAX = 200000;
constexpr uint32_t TRACELEN_DEFAULT = 512;

// The settings of one command line. Texts point into argv.
struct cmdopts {
  uint32_t listenport;
  const char* connsite;    // null unless given
  uint32_t connport;
  const char* bindaddr;    // -b=; null means every interface
  uint32_t bufsize;        // -buf=, already raised to BUFSIZE_MIN
  uint32_t dbglevel;       // -d, -d=n
  const char* paramfile;   // -f=; null when not given
  uint32_t trace;          // -t, -t=n: 1 on
  uint32_t tracelen;       // -t=n
  uint32_t acceptone;      // -1
  uint32_t version;        // -v, --version
  uint32_t help;           // -h, --help, -?
  uint32_t web;            // -w
  uint32_t npos;           // positional parameters seen
};

// parsecmd(argc, argv, o): fill o from the command line, printing every
// complaint, then the version lines when asked for; 0 when the command is
// usable, 1 on a usage error (the caller prints the usage text and ends),
// CMD_ANSWERED when the usage (printed here) or the version alone was asked
// for (the caller ends without error).
constexpr uint32_t CMD_ANSWERED = 2;
uint32_t parsecmd(int argc, char** argv, cmdopts* o);

// printusage(): print the usage text.
void printusage();

// printversion(): print the version line and the copyright line.
void printversion();

// decnum(text, len): the decimal value of len characters of text (leading
// blanks skipped); -1 when all are blanks, -2 for a length outside 1..9 or a
// character that is not a digit.
int decnum(const char* text, uint32_t len);

// resolve(text, addr): the IPv4 address (network byte order) of a dotted
// address or a host name; 0 ok, -2 bad text, -1 host not found, -4 socket
// layer not started, -3 other lookup failure, -5 no IPv4 address.
int resolve(const char* text, uint32_t* addr);
