#include "platform/clock.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

uint32_t tickcount() {
  // Wraps after 49.7 days; callers subtract unsigned.
  return uint32_t(GetTickCount());
}

void getlocaltm(localtm* t) {
  SYSTEMTIME st;
  GetLocalTime(&st);
  t->year = st.wYear;
  t->month = st.wMonth;
  t->dayofweek = st.wDayOfWeek;
  t->day = st.wDay;
  t->hour = st.wHour;
  t->minute = st.wMinute;
  t->second = st.wSecond;
  t->milliseconds = st.wMilliseconds;
}
