// The Windows platform layer: what Winsock, share modes, access lists, named
// mutexes and the console give the relay on this system.
#define FD_SETSIZE 128
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/lock.h"
#include "platform/net.h"
#include "platform/statedir.h"
#include "platform/win32/account.h"
#include "support/testdir.h"

namespace {

const uint32_t LOOPBACK = htonl(INADDR_LOOPBACK);
const bool started = [] {
  uint16_t granted;
  return net_startup(2, 2, &granted) == 0;
}();

// A non-blocking listening socket on a port of its own, and that port.
sockh listener(uint16_t* port) {
  sockh l = net_socket();
  sockaddr_in sa{};
  int len = sizeof sa;
  EXPECT_TRUE(started) << "net_startup";
  EXPECT_EQ(net_setnonblocking(l), 0);
  EXPECT_EQ(net_bind(l, LOOPBACK, 0), 0);
  EXPECT_EQ(net_listen(l, 5), 0);
  getsockname(SOCKET(l), reinterpret_cast<sockaddr*>(&sa), &len);
  *port = ntohs(sa.sin_port);
  return l;
}

HANDLE conin() {
  return CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

}   // namespace

TEST(Win32Net, FullSetExclusivePortNonBlockingAccept) {
  uint16_t port;
  sockh l = listener(&port), c = net_socket();
  ASSERT_EQ(net_connect(c, LOOPBACK, port), 0);
  sockh a = net_accept(l, nullptr, nullptr);
  ASSERT_NE(a, NET_INVALID);
  // A read set of 128 sockets, the only readable one last: a set of
  // Winsock's default size (64) would lose it.
  char one = 'x';
  EXPECT_EQ(net_send(c, &one, 1), 1);
  sockset rd{};
  for (uint32_t i = 0; i + 1 < FDSETMAX; i++) sockset_add(&rd, net_socket());
  std::vector<sockh> idle(rd.handles, rd.handles + rd.count);
  sockset_add(&rd, a);
  ASSERT_EQ(rd.count, FDSETMAX);
  EXPECT_EQ(net_select(&rd, nullptr, nullptr, 5000), 1);
  EXPECT_EQ(rd.count, 1u);
  EXPECT_EQ(rd.handles[0], a);
  // Accepted from a non-blocking listener, it does not block either.
  EXPECT_EQ(net_recv(a, &one, 1), 1);
  EXPECT_EQ(net_recv(a, &one, 1), -1);
  EXPECT_EQ(net_lasterror(), NETERR_WOULDBLOCK);
  // No process that asks to share the address binds the listening port.
  SOCKET thief = socket(AF_INET, SOCK_STREAM, 0);
  BOOL yes = TRUE;
  setsockopt(thief, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = LOOPBACK;
  sa.sin_port = htons(port);
  EXPECT_NE(bind(thief, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  closesocket(thief);
  for (sockh h : idle) net_close(h);
  for (sockh h : {a, c, l}) net_close(h);
}

// A folder of the test's own in the temporary folder, the state folder while it lives.
struct statefolder {
  std::string path;
  statefolder() {
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    path = std::string(dir) + "kevratest_" + std::to_string(GetCurrentProcessId());
    PSECURITY_DESCRIPTOR sd = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;SY)",
                                                         SDDL_REVISION_1, &sd, nullptr);
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    CreateDirectoryA(path.c_str(), &sa);
    LocalFree(sd);
    state_usedir(path.c_str());
  }
  ~statefolder() {
    state_usedir(harness::testdir().c_str());   // the whole binary's, as it was
    RemoveDirectoryA(path.c_str());
  }
};

TEST(Win32File, SeedFileIsPrivateAndOthersMayOnlyRead) {
  statefolder folder;
  std::string path = folder.path + "\\seed";
  DeleteFileA(path.c_str());
  EXPECT_EQ(state_openrw((folder.path + "\\sub\\seed").c_str()), FILE_INVALID)
      << "not right in the folder";
  fileh h = state_openrw(path.c_str());
  ASSERT_NE(h, FILE_INVALID);
  EXPECT_EQ(file_write(h, "0123456789", 10), 10);
  // While it is open: a reader gets in, a second writer does not.
  for (DWORD access :
       std::vector<DWORD>{GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE}) {
    HANDLE other = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other != INVALID_HANDLE_VALUE, access == GENERIC_READ) << "access " << access;
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  }
  EXPECT_EQ(state_openrw(path.c_str()), FILE_INVALID);

  // Private while only its owner may write it; no longer once everyone may.
  EXPECT_TRUE(file_private(h));
  PSECURITY_DESCRIPTOR sd = nullptr;
  PACL dacl = nullptr;
  for (const char* grant : {"D:(A;;FA;;;OW)(A;;0x1200a9;;;WD)", "D:(A;;FA;;;OW)(A;;FA;;;WD)"}) {
    BOOL present, defaulted;
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorA(grant, SDDL_REVISION_1, &sd, nullptr));
    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    EXPECT_EQ(SetNamedSecurityInfoA(&path[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, dacl, nullptr),
              0u);
    LocalFree(sd);
    EXPECT_EQ(file_private(h), std::string(grant).find("0x1200a9") != std::string::npos) << grant;
  }
  file_close(h);
  DeleteFileA(path.c_str());

  // A pipe or a device has no size to read up to.
  HANDLE r, w;
  uint64_t size = 0;
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
  fileh nul = file_openread("NUL");
  EXPECT_EQ(file_size(fileh(r), &size), -1) << "a pipe";
  ASSERT_NE(nul, FILE_INVALID);
  EXPECT_EQ(file_size(nul, &size), -1) << "a device";
  CloseHandle(r);
  CloseHandle(w);
  file_close(nul);
}

TEST(Win32Lock, HeldOneIsWaitedForAbandonedOneTakenOver) {
  std::string name = "kevratest_" + std::to_string(GetCurrentProcessId());
  lockh h;
  EXPECT_EQ(lock_take("a\\b", 0, &h), LOCK_NOTCREATED);
  // Another holder of the machine's mutex (as another process would hold
  // it): the whole wait, then time-out; once it ends without giving the
  // mutex up, the next taker obtains it.
  HANDLE held = CreateEventA(nullptr, TRUE, FALSE, nullptr),
         end = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread holder([&] {
    CreateMutexA(nullptr, TRUE, ("Global\\" + name).c_str());   // handle kept: the mutex stays
    SetEvent(held);
    WaitForSingleObject(end, INFINITE);
  });
  WaitForSingleObject(held, INFINITE);
  DWORD start = GetTickCount();
  EXPECT_EQ(lock_take(name.c_str(), 150, &h), LOCK_TIMEDOUT);
  DWORD waited = GetTickCount() - start;
  EXPECT_GE(waited, 140u);
  EXPECT_LT(waited, 1500u);
  SetEvent(end);
  holder.join();
  ASSERT_EQ(lock_take(name.c_str(), 0, &h), LOCK_OBTAINED);
  lock_release(h);
  CloseHandle(held);
  CloseHandle(end);
}

TEST(Win32Console, KeysFromAPipeAndFromConsoleRecords) {
  // Not a console: its bytes are the keys, as elsewhere; a NUL byte is none.
  HANDLE r, w;
  DWORD n;
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
  WriteFile(w, "a\0b\r\nc\x7f\x1b[Ad", 11, &n, nullptr);
  CloseHandle(w);
  con_use(fileh(r), FILE_INVALID);
  for (int want : std::vector<int>{'a', 'b', CON_ENTER, 'c', CON_BACKSPACE, CON_KEYPREFIX, 'A', 'd',
                                   CON_EOF, CON_EOF})
    EXPECT_EQ(con_getkey(), want);
  CloseHandle(r);

  // A console: key records as _getch() gives them.
  HANDLE in = conin();
  if (in == INVALID_HANDLE_VALUE && AllocConsole()) in = conin();
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
      rec[up].Event.KeyEvent = {up == 0, k.repeat, k.vk, k.scan, {}, k.state};
      rec[up].Event.KeyEvent.uChar.AsciiChar = k.c;
    }
    ASSERT_TRUE(WriteConsoleInputA(in, rec, 2, &n));
  }
  con_use(fileh(in), FILE_INVALID);
  DWORD before = 0, during = 0, after = 0;
  GetConsoleMode(in, &before);
  con_begin();
  GetConsoleMode(in, &during);
  for (int want :
       std::vector<int>{'x', CON_KEYPREFIX, 0x48, 0, 0x3B, 'y', 'y', CON_BACKSPACE, CON_ENTER})
    EXPECT_EQ(con_getkey(), want);
  con_end();
  GetConsoleMode(in, &after);
  EXPECT_EQ(during & (ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT), 0u) << during;
  EXPECT_NE(during & ENABLE_PROCESSED_INPUT, 0u) << during;
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
  // Made afresh when missing, and usable: a folder of its own it trusts.
  RemoveDirectoryA(p.substr(0, p.size() - 7).c_str());
  EXPECT_TRUE(state_folderok()) << p;
  SetEnvironmentVariableA("KEVRA_STATEDIR", "D:\\state");
  ASSERT_TRUE(state_path("s2.kvr", path));
  EXPECT_STREQ(path, "D:\\state\\s2.kvr");
  SetEnvironmentVariableA("KEVRA_STATEDIR", nullptr);
  state_usedir(harness::testdir().c_str());
}

// The machine's state folder is made with an access list of its own: only
// this account, the system and the Administrators, handed down to its files,
// nothing taken from ProgramData. An existing folder is used only when it is
// itself (no junction or link), has a trusted owner and lets nobody else write.
TEST(Win32State, FolderMadePrivateForeignOnesRefused) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(account_foldersd(&sd));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorControl(sd, &control, &revision);
  ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
  ASSERT_TRUE(present);
  ASSERT_NE(dacl, nullptr);
  EXPECT_TRUE(control & SE_DACL_PROTECTED) << "takes nothing from ProgramData";
  ASSERT_EQ(dacl->AceCount, 3u);
  int who = 0;   // bits: this account, the system, the Administrators
  for (DWORD i = 0; i < dacl->AceCount; i++) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    PSID sid = &ace->SidStart;
    const int inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
    EXPECT_EQ(ace->Header.AceFlags & inherit, inherit) << i;
    who |= (account_isme(sid) ? 1 : 0) | (IsWellKnownSid(sid, WinLocalSystemSid) ? 2 : 0) |
           (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ? 4 : 0);
  }
  EXPECT_EQ(who, 7);
  EXPECT_TRUE(account_writers_trusted(dacl));
  LocalFree(sd);

  // Folders that must not be used. Order: name, what is done to a private
  // folder (or to what stands in its place), whether it may still be used.
  statefolder folder;
  EXPECT_TRUE(state_folderok()) << folder.path;
  // A link to a usable folder: one made here, or (Wine makes none) the one
  // the test run made, KEVRA_TEST_DIRLINK, to the folder KEVRA_TEST_LINKTARGET.
  std::string link = folder.path + "_link", target = folder.path;
  RemoveDirectoryA(link.c_str());
  auto islink = [](const std::string& p) {
    DWORD attr = GetFileAttributesA(p.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT);
  };
  CreateSymbolicLinkA(link.c_str(), folder.path.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
  if (!islink(link) && getenv("KEVRA_TEST_DIRLINK") != nullptr) {
    link = getenv("KEVRA_TEST_DIRLINK");
    target = getenv("KEVRA_TEST_LINKTARGET");
  }
  if (islink(link)) {
    state_usedir(target.c_str());
    EXPECT_TRUE(state_folderok()) << target;
    state_usedir(link.c_str());
    EXPECT_FALSE(state_folderok()) << "a link to the folder " << link;
  } else {
    ADD_FAILURE() << "no link to a folder could be made";
  }
  RemoveDirectoryA((folder.path + "_link").c_str());
  state_usedir(folder.path.c_str());
  // (Wine keeps of an access list what a Unix mode can hold: everyone's
  // reading or writing, so those are the rows it can show.)
  for (const char* grant :
       {"D:P(A;OICI;FA;;;OW)(A;OICI;0x1200a9;;;WD)", "D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;WD)"}) {
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorA(grant, SDDL_REVISION_1, &sd, nullptr));
    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    EXPECT_EQ(SetNamedSecurityInfoA(&folder.path[0], SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, dacl, nullptr),
              0u);
    LocalFree(sd);
    state_usedir(folder.path.c_str());
    EXPECT_EQ(state_folderok(), std::string(grant).find("0x1200a9") != std::string::npos) << grant;
  }
}
