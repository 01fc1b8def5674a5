#include "platform/clock.h"

#include <time.h>

uint32_t tickcount() {
  // Monotonic, so a change of the wall clock never fakes inactivity; the
  // 32-bit result wraps like GetTickCount, and callers subtract unsigned.
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint32_t(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u);
}

void getlocaltm(localtm* t) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm lt;
  localtime_r(&ts.tv_sec, &lt);
  t->year = uint16_t(lt.tm_year + 1900);
  t->month = uint16_t(lt.tm_mon + 1);
  t->dayofweek = uint16_t(lt.tm_wday);
  t->day = uint16_t(lt.tm_mday);
  t->hour = uint16_t(lt.tm_hour);
  t->minute = uint16_t(lt.tm_min);
  t->second = uint16_t(lt.tm_sec);
  t->milliseconds = uint16_t(ts.tv_nsec / 1000000);
}
