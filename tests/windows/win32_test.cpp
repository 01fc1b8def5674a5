// The Windows platform layer: what Winsock, share modes, named mutexes and
// the console give the relay on this system.
#define FD_SETSIZE 128
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/lock.h"
#include "platform/net.h"
#include "platform/statedir.h"

namespace {

const uint32_t LOOPBACK = htonl(INADDR_LOOPBACK);

uint16_t portof(sockh h) {
  sockaddr_in sa{};
  int len = sizeof sa;
  getsockname(SOCKET(h), reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

// A non-blocking listening socket on a port of its own.
sockh listener() {
  sockh l = net_socket();
  EXPECT_EQ(net_setnonblocking(l), 0);
  EXPECT_EQ(net_bind(l, LOOPBACK, 0), 0);
  EXPECT_EQ(net_listen(l, 5), 0);
  return l;
}

std::string tempname(const char* what) {
  char dir[MAX_PATH];
  GetTempPathA(sizeof dir, dir);
  return std::string(dir) + "kevratest_" + std::to_string(GetCurrentProcessId()) + "_" + what;
}

// Winsock is started for every test, as the relay starts it before its
// first lookup (without it a lookup fails with WSANOTINITIALISED here), and
// it grants the version asked for.
struct winsock : ::testing::Environment {
  void SetUp() override {
    uint16_t granted = 0;
    EXPECT_EQ(net_startup(2, 2, &granted), 0);
    EXPECT_EQ(granted, 0x0202);
  }
  void TearDown() override { net_cleanup(); }
};
::testing::Environment* const started = ::testing::AddGlobalTestEnvironment(new winsock);

}  // namespace

TEST(Win32Net, FullSetAcceptedSocketsAndKeepalive) {
  sockh l = listener();
  sockh c = net_socket();
  ASSERT_EQ(net_connect(c, LOOPBACK, portof(l)), 0);

  // A read set of 128 sockets, the only readable one last: a set of
  // Winsock's default size (64) would lose it.
  sockh a = net_accept(l, nullptr, nullptr);
  ASSERT_NE(a, NET_INVALID);
  char one = 'x';
  EXPECT_EQ(net_send(c, &one, 1), 1);
  std::vector<sockh> idle;
  sockset rd;
  sockset_zero(&rd);
  for (uint32_t i = 0; i + 1 < FDSETMAX; i++) {
    idle.push_back(net_socket());
    sockset_add(&rd, idle.back());
  }
  sockset_add(&rd, a);
  ASSERT_EQ(rd.count, FDSETMAX);
  EXPECT_EQ(net_select(&rd, nullptr, nullptr, 5000), 1);
  ASSERT_EQ(rd.count, 1u);
  EXPECT_EQ(rd.handles[0], a);

  // Keepalive on: it reads back as set.
  DWORD keepalive = 0;
  int optlen = sizeof keepalive;
  EXPECT_EQ(net_setkeepalive(a), 0);
  EXPECT_EQ(getsockopt(SOCKET(a), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&keepalive), &optlen), 0);
  EXPECT_NE(keepalive, 0u);

  // Nothing more to read on a socket accepted from a non-blocking listener
  // (it is non-blocking too): would-block, unchanged.
  EXPECT_EQ(net_recv(a, &one, 1), 1);
  EXPECT_EQ(net_recv(a, &one, 1), -1);
  EXPECT_EQ(net_lasterror(), NETERR_WOULDBLOCK);
  for (sockh h : idle) net_close(h);
  for (sockh h : {a, c, l}) net_close(h);
}

TEST(Win32Net, NobodyElseBindsTheListeningPort) {
  sockh l = listener();
  uint16_t port = portof(l);
  // Neither a second relay nor a process asking to share the address.
  sockh second = net_socket();
  EXPECT_NE(net_bind(second, LOOPBACK, port), 0);
  EXPECT_EQ(net_lasterror(), NETERR_ADDRINUSE);
  SOCKET thief = socket(AF_INET, SOCK_STREAM, 0);
  BOOL one = TRUE;
  setsockopt(thief, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = LOOPBACK;
  sa.sin_port = htons(port);
  EXPECT_NE(bind(thief, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  closesocket(thief);
  net_close(second);
  net_close(l);
}

TEST(Win32File, SeedFileIsPrivateAndOthersMayOnlyRead) {
  std::string path = tempname("seed");
  DeleteFileA(path.c_str());
  fileh h = file_openrw(path.c_str());
  ASSERT_NE(h, FILE_INVALID);
  EXPECT_EQ(file_write(h, "0123456789", 10), 10);

  // While it is open: a reader gets in, a second writer does not.
  struct opener {
    DWORD access;
    bool opens;
  } const openers[] = {{GENERIC_READ, true}, {GENERIC_WRITE, false}, {GENERIC_READ | GENERIC_WRITE, false}};
  for (const opener& o : openers) {
    HANDLE other = CreateFileA(path.c_str(), o.access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(other != INVALID_HANDLE_VALUE, o.opens) << "access " << o.access;
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  }
  EXPECT_EQ(file_openrw(path.c_str()), FILE_INVALID);

  // Its access list is its own: no entry for users, everyone or the
  // authenticated, and none inherited from the folder. (Wine keeps a file's
  // list as its Unix mode, so only Windows itself can fail this.)
  PSECURITY_DESCRIPTOR sd = nullptr;
  PACL dacl = nullptr;
  ASSERT_EQ(GetSecurityInfo(reinterpret_cast<HANDLE>(h), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &dacl, nullptr, &sd),
            DWORD(ERROR_SUCCESS));
  char* text = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1,
                                                                   DACL_SECURITY_INFORMATION, &text, nullptr));
  std::string acl = text;
  LocalFree(text);
  LocalFree(sd);
  for (const char* who : {";BU)", ";WD)", ";AU)", ";ID;"}) EXPECT_EQ(acl.find(who), std::string::npos) << acl;

  // Private while only its owner may write it; no longer once everyone may.
  struct grant {
    const char* acl;
    bool isprivate;
  } const grants[] = {{nullptr, true}, {"D:(A;;FA;;;OW)(A;;0x1200a9;;;WD)", true},
                      {"D:(A;;FA;;;OW)(A;;FA;;;WD)", false}};
  for (const grant& g : grants) {
    if (g.acl != nullptr) {
      PSECURITY_DESCRIPTOR newsd = nullptr;
      BOOL present = FALSE, defaulted = FALSE;
      PACL newdacl = nullptr;
      ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(g.acl, SDDL_REVISION_1, &newsd, nullptr));
      GetSecurityDescriptorDacl(newsd, &present, &newdacl, &defaulted);
      EXPECT_EQ(SetNamedSecurityInfoA(&path[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      newdacl, nullptr),
                DWORD(ERROR_SUCCESS));
      LocalFree(newsd);
    }
    EXPECT_EQ(file_private(h), g.isprivate) << (g.acl ? g.acl : "as created");
  }

  EXPECT_EQ(file_close(h), 0);
  h = file_openrw(path.c_str());
  EXPECT_NE(h, FILE_INVALID);
  uint64_t size = 0;
  EXPECT_EQ(file_size(h, &size), 0);
  EXPECT_EQ(size, 10u);
  file_close(h);
  DeleteFileA(path.c_str());

  // A pipe or a device has no size to read up to.
  HANDLE r, w;
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
  EXPECT_EQ(file_size(reinterpret_cast<fileh>(r), &size), -1);
  CloseHandle(r), CloseHandle(w);
  fileh nul = file_openread("NUL");
  ASSERT_NE(nul, FILE_INVALID);
  EXPECT_EQ(file_size(nul, &size), -1);
  file_close(nul);
}

TEST(Win32Lock, HeldOneIsWaitedForAbandonedOneTakenOver) {
  std::string name = "kevratest_" + std::to_string(GetCurrentProcessId());
  lockh h;
  for (const char* bad : {"", "a\\b", "a/b"}) EXPECT_EQ(lock_take(bad, 0, &h), LOCK_NOTCREATED) << bad;

  // Another holder of the machine's mutex (as another process would hold
  // it): the whole wait, then time-out; once it ends without giving the
  // mutex up, the next taker obtains it.
  HANDLE held = CreateEventA(nullptr, TRUE, FALSE, nullptr), end = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread holder([&] {
    CreateMutexA(nullptr, TRUE, ("Global\\" + name).c_str());   // handle kept: the mutex stays
    SetEvent(held);
    WaitForSingleObject(end, INFINITE);
  });
  WaitForSingleObject(held, INFINITE);
  DWORD start = GetTickCount();
  EXPECT_EQ(lock_take(name.c_str(), 150, &h), LOCK_TIMEDOUT);
  DWORD took = GetTickCount() - start;
  EXPECT_TRUE(took >= 140 && took < 1500) << took;
  SetEvent(end);
  holder.join();
  ASSERT_EQ(lock_take(name.c_str(), 0, &h), LOCK_OBTAINED);

  // Held by this thread: another take waits too (a Windows mutex alone
  // would let its owner take it twice), in this thread as in another.
  lockh again;
  EXPECT_EQ(lock_take(name.c_str(), 50, &again), LOCK_TIMEDOUT);
  std::thread([&] { EXPECT_EQ(lock_take(name.c_str(), 50, &again), LOCK_TIMEDOUT); }).join();
  lock_release(h);
  EXPECT_EQ(lock_take(name.c_str(), 0, &again), LOCK_OBTAINED);
  lock_release(again);
  CloseHandle(held), CloseHandle(end);
}

TEST(Win32Console, KeysFromAPipeAndFromConsoleRecords) {
  // Not a console: its bytes are the keys, as elsewhere.
  HANDLE r, w;
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
  const char bytes[] = "ab\r\nc\x7f\x1b[Ad";
  DWORD n;
  WriteFile(w, bytes, sizeof bytes - 1, &n, nullptr);
  CloseHandle(w);
  con_use(reinterpret_cast<fileh>(r), FILE_INVALID);
  for (int want : std::vector<int>{'a', 'b', CON_ENTER, 'c', CON_BACKSPACE, CON_KEYPREFIX, 'A', 'd', CON_EOF, CON_EOF})
    EXPECT_EQ(con_getkey(), want);
  CloseHandle(r);

  // A console: key records as _getch() gives them.
  HANDLE in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE && AllocConsole())
    in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE) {
    con_use(FILE_INVALID, FILE_INVALID);
    // Under Wine a console needs a terminal; the test run gives it one.
    if (getenv("KEVRA_NEED_CONSOLE") != nullptr) FAIL() << "no console";
    GTEST_SKIP() << "no console to be had";
  }
  struct key {
    char c;
    WORD vk, scan, repeat;
    DWORD state;
  } const keys[] = {
      {'x', 'X', 0x2D, 1, 0},
      {0, VK_SHIFT, 0x2A, 1, SHIFT_PRESSED},   // Shift alone: no key
      {0, VK_UP, 0x48, 1, ENHANCED_KEY},       // cursor block: 224, scan code
      {0, VK_F1, 0x3B, 1, 0},                  // function key: 0, scan code
      {'y', 'Y', 0x15, 2, 0},                  // held: as often as it repeated
      {'\b', VK_BACK, 0x0E, 1, 0},
      {'\r', VK_RETURN, 0x1C, 1, 0},
  };
  FlushConsoleInputBuffer(in);
  for (const key& k : keys) {
    INPUT_RECORD rec[2] = {};
    for (int up = 0; up < 2; up++) {
      rec[up].EventType = KEY_EVENT;
      KEY_EVENT_RECORD& e = rec[up].Event.KeyEvent;
      e.bKeyDown = up == 0;
      e.wRepeatCount = k.repeat;
      e.wVirtualKeyCode = k.vk;
      e.wVirtualScanCode = k.scan;
      e.uChar.AsciiChar = k.c;
      e.dwControlKeyState = k.state;
    }
    ASSERT_TRUE(WriteConsoleInputA(in, rec, 2, &n));
  }
  con_use(reinterpret_cast<fileh>(in), FILE_INVALID);
  DWORD before = 0, during = 0, after = 0;
  GetConsoleMode(in, &before);
  con_begin();
  GetConsoleMode(in, &during);
  for (int want : std::vector<int>{'x', CON_KEYPREFIX, 0x48, 0, 0x3B, 'y', 'y', CON_BACKSPACE, CON_ENTER}) EXPECT_EQ(con_getkey(), want);
  con_end();
  GetConsoleMode(in, &after);
  EXPECT_EQ(during & (ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT), 0u);
  EXPECT_NE(during & ENABLE_PROCESSED_INPUT, 0u);
  EXPECT_EQ(after, before);
  con_use(FILE_INVALID, FILE_INVALID);
  CloseHandle(in);
}

TEST(Win32State, FolderIsTheMachinesOrTheOneNamed) {
  char path[STATEPATHMAX];
  state_usedir(nullptr);
  SetEnvironmentVariableA("KEVRA_STATEDIR", nullptr);
  ASSERT_TRUE(state_path("s1.kvr", path));
  std::string p = path;
  ASSERT_GT(p.size(), 13u);
  EXPECT_EQ(p.substr(p.size() - 13), "\\kevra\\s1.kvr") << p;
  DWORD attr = GetFileAttributesA(p.substr(0, p.size() - 7).c_str());
  EXPECT_TRUE(attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) << p;

  SetEnvironmentVariableA("KEVRA_STATEDIR", "D:\\state");
  ASSERT_TRUE(state_path("s2.kvr", path));
  EXPECT_STREQ(path, "D:\\state\\s2.kvr");
  SetEnvironmentVariableA("KEVRA_STATEDIR", nullptr);
}
