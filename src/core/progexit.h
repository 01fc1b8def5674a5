// The one way out of the program, and the start of the socket layer.
#pragma once
#include <cstdint>

#include "common/runctx.h"

// Exit codes: one per reason the relay ends.
constexpr uint32_t EX_OK = 0;            // accept-one: the connection closed cleanly
constexpr uint32_t EX_USAGE = 1;         // command-line error, usage printed
constexpr uint32_t EX_WINSOCK = 2;       // socket layer could not be started
constexpr uint32_t EX_RESOLVE = 3;       // server site could not be resolved
constexpr uint32_t EX_SOCKET = 4;        // socn3 could not be created
constexpr uint32_t EX_BIND = 5;          // bind() failed
constexpr uint32_t EX_LISTEN = 6;        // listen() failed
constexpr uint32_t EX_ACCEPT = 7;        // accept-one: accept() failed
constexpr uint32_t EX_CONNECT = 8;       // accept-one: connect() failed at once
constexpr uint32_t EX_INACTIVE = 9;      // accept-one: inactivity time-out
constexpr uint32_t EX_CONNPEND = 10;     // accept-one: the pending connect failed
constexpr uint32_t EX_SELECT = 11;       // select() failed
constexpr uint32_t EX_BINDADDR = 12;     // -b= address could not be resolved
constexpr uint32_t EX_NONBLOCK = 13;     // socn3 could not be made non-blocking
constexpr uint32_t EX_CONNERR = 14;      // accept-one: closed after a socket or tunnel failure
constexpr uint32_t EX_REJECTED = 15;     // accept-one: the connection was rejected
constexpr uint32_t EX_NOWORK = 16;       // every select() set is empty
constexpr uint32_t EX_SOCTBL = 17;       // no Socket Table entry for socn3
constexpr uint32_t EX_RECOPTS = 18;      // tunnel options do not fit the buffer size
constexpr uint32_t EX_KEYSETUP = 19;     // accept-one: encrsetup failed
constexpr uint32_t EX_NOINPUT = 20;      // console input ended before a start-up value was typed
constexpr uint32_t EX_PARAMFILE = 21;    // the parameter file could not be applied whole

// progexit(code, ctx): stop the socket layer if it was started, wipe the
// parameter record, say the exit code at debug level 1 or more, and end the
// process with code.
[[noreturn]] void progexit(uint32_t code, runctx* ctx);

// initwinsock22(mode): start the socket layer asking for version 2.2; its
// error code, 199 when another version was granted, else 0. Mode 0 prints nothing.
int initwinsock22(uint32_t mode);
