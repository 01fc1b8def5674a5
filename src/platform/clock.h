// Clock: a 32-bit millisecond tick count and the local time.
#pragma once
#include <cstdint>

// tickcount(): milliseconds since an arbitrary start, wrapping at 2^32 (GetTickCount).
uint32_t tickcount();

// Local date and time with the fields of a SYSTEMTIME, in its order.
struct localtm {
  uint16_t year;
  uint16_t month;        // 1 to 12
  uint16_t dayofweek;    // 0 = Sunday
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};

// getlocaltm(t): the current local time (GetLocalTime).
void getlocaltm(localtm* t);
