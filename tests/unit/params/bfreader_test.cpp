#include "params/bfreader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "paramtest.h"

namespace {

// readall(bf, rc): every byte bfgetc delivers, and the result that ended it.
std::string readall(bfreader* bf, uint32_t* rc) {
  std::string out;
  uint8_t c;
  while ((*rc = bfgetc(bf, &c)) == 0 && out.size() < 100000000) out += char(c);
  return out;
}

}  // namespace

TEST(BfReader, DeliversTheFileAcrossRefillsAndDropsCarriageReturns) {
  paramtest::tmpdir dir;
  std::string text;
  for (int i = 0; i < 300; i++) text += "line " + std::to_string(i) + "\r\n";
  text += "a\rb\r\r";
  std::string p = dir.write("f", text);

  // A 7-byte buffer forces many refills, one byte at a time.
  for (uint32_t bufsize : {1u, 7u, 1024u}) {
    uint8_t buf[1024];
    bfreader bf;
    ASSERT_EQ(bfopen(&bf, p.c_str(), buf, bufsize, BF_DROPCR), 0u);
    uint32_t rc;
    std::string got = readall(&bf, &rc);
    EXPECT_EQ(rc, 1u);
    std::string want;
    for (char c : text)
      if (c != '\r') want += c;
    EXPECT_EQ(got, want) << bufsize;
    // The end stays the end.
    uint8_t c;
    EXPECT_EQ(bfgetc(&bf, &c), 1u);
    bfclose(&bf);
    EXPECT_EQ(bfgetc(&bf, &c), 2u);
    bfclose(&bf);
  }

  // Without the option carriage returns are delivered.
  uint8_t buf[16];
  bfreader bf;
  ASSERT_EQ(bfopen(&bf, dir.write("g", "a\r\n").c_str(), buf, sizeof buf, 0), 0u);
  uint32_t rc;
  EXPECT_EQ(readall(&bf, &rc), "a\r\n");
  bfclose(&bf);
}

TEST(BfReader, OpenFailures) {
  paramtest::tmpdir dir;
  uint8_t buf[16];
  bfreader bf;
  uint8_t c;
  EXPECT_EQ(bfopen(&bf, (dir.path + "/missing").c_str(), buf, sizeof buf, BF_DROPCR), 1u);
  EXPECT_EQ(bfgetc(&bf, &c), 2u);
  EXPECT_EQ(bfopen(&bf, dir.path.c_str(), buf, sizeof buf, BF_DROPCR), 1u);   // a directory
  EXPECT_EQ(bfgetc(&bf, &c), 2u);
  EXPECT_EQ(bfopen(&bf, dir.write("f", "x").c_str(), buf, 0, BF_DROPCR), 2u);
  EXPECT_EQ(bfgetc(&bf, &c), 2u);
  bfclose(&bf);
  // A FIFO without a writer is refused at once, not waited for (in a child,
  // so that a hang fails the test instead of stopping it).
  std::string fifo = dir.path + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bfreader cbf;
    _exit(int(bfopen(&cbf, fifo.c_str(), buf, sizeof buf, BF_DROPCR)));
  }
  int status = 0;
  for (int i = 0; i < 500 && waitpid(child, &status, WNOHANG) == 0; i++) usleep(10000);
  if (waitpid(child, &status, WNOHANG) == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    ADD_FAILURE() << "bfopen waited for a writer of the FIFO";
  } else {
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
  }
  // An empty file is at its end at once.
  ASSERT_EQ(bfopen(&bf, dir.write("e", "").c_str(), buf, sizeof buf, BF_DROPCR), 0u);
  EXPECT_EQ(bfgetc(&bf, &c), 1u);
  bfclose(&bf);
}

TEST(BfReader, TheSizeTakenAtOpenIsTheEnd) {
  paramtest::tmpdir dir;
  std::string p = dir.write("f", std::string(3000, 'a'));
  uint8_t buf[1024];
  bfreader bf;
  uint32_t rc;

  // Bytes appended after the open are not read.
  ASSERT_EQ(bfopen(&bf, p.c_str(), buf, sizeof buf, BF_DROPCR), 0u);
  {
    int fd = open(p.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "bbbb", 4), 4);
    close(fd);
  }
  EXPECT_EQ(readall(&bf, &rc), std::string(3000, 'a'));
  EXPECT_EQ(rc, 1u);
  bfclose(&bf);

  // A file cut short while it is read ends where it was cut.
  ASSERT_EQ(bfopen(&bf, p.c_str(), buf, sizeof buf, BF_DROPCR), 0u);
  uint8_t c;
  ASSERT_EQ(bfgetc(&bf, &c), 0u);   // the first 1024 bytes are in the buffer now
  ASSERT_EQ(truncate(p.c_str(), 1500), 0);
  std::string rest = readall(&bf, &rc);
  EXPECT_EQ(rc, 1u);
  EXPECT_EQ(rest.size(), 1499u);
  EXPECT_EQ(bfgetc(&bf, &c), 1u);
  bfclose(&bf);
}

TEST(BfReader, ReadErrorIsResultTwo) {
  paramtest::tmpdir dir;
  std::string p = dir.write("f", "abc");
  uint8_t buf[16];
  bfreader bf;
  ASSERT_EQ(bfopen(&bf, p.c_str(), buf, sizeof buf, BF_DROPCR), 0u);
  // Put a descriptor that cannot be read in place of the file.
  int wfd = open(p.c_str(), O_WRONLY);
  ASSERT_GE(wfd, 0);
  ASSERT_GE(dup2(wfd, int(bf.hnd)), 0);
  close(wfd);
  uint8_t c;
  EXPECT_EQ(bfgetc(&bf, &c), 2u);
  bfclose(&bf);
}
