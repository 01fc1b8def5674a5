#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "platform/sysinfo.h"

TEST(Sysinfo, IdsTellThreadsAndProcessesApart) {
  EXPECT_EQ(sys_processid(), uint32_t(getpid()));
  uint32_t mine = sys_threadid();
  uint32_t other = 0;
  std::thread t([&] { other = sys_threadid(); });
  t.join();
  EXPECT_NE(mine, other);
  EXPECT_EQ(mine, sys_threadid());
}

TEST(Sysinfo, DiskAndMemoryFiguresArePlausible) {
  uint64_t blocks = 0;
  ASSERT_EQ(sys_diskfree(&blocks), 0);
  EXPECT_GT(blocks, 0u);

  // The available memory lies between half the plainly free memory and all
  // of it; a wrong unit (kB taken for bytes, or counted twice) falls outside.
  uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
  uint64_t total = uint64_t(sysconf(_SC_PHYS_PAGES)) * page;
  uint64_t freemem = uint64_t(sysconf(_SC_AVPHYS_PAGES)) * page;
  uint64_t avail = sys_availmem();
  EXPECT_GE(avail, freemem / 2);
  EXPECT_LE(avail, total);
}
