#include "support/harness.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/prctl.h>

#include <cstring>

namespace harness {

proc kevra(const std::vector<std::string>& args, const std::string& sh, bool pty, bool peer) {
  std::vector<std::string> cmd;
  if (!sh.empty()) cmd = {"/bin/sh", "-c", sh, "sh"};
  peer = peer && getenv("KEVRA_PEER_BIN") && *getenv("KEVRA_PEER_BIN");
  const char* bin = getenv(peer ? "KEVRA_PEER_BIN" : "KEVRA_BIN");
  const char* wrapper = getenv(peer ? "KEVRA_PEER_RUNNER" : "KEVRA_RUNNER");
  std::string runner = wrapper ? wrapper : "";
  for (size_t at = 0; at < runner.size();) {
    size_t end = std::min(runner.find(' ', at), runner.size());
    if (end > at) cmd.push_back(runner.substr(at, end - at));
    at = end + 1;
  }
  cmd.push_back(bin && *bin ? bin : KEVRA_BIN);
  cmd.insert(cmd.end(), args.begin(), args.end());
  return spawn(cmd, pty);
}

proc spawn(std::vector<std::string> cmd, bool pty) {
  std::string statedir = "KEVRA_STATEDIR=" + testdir();
  std::vector<char*> argv, envp{statedir.data()};
  for (auto& a : cmd) argv.push_back(a.data());
  for (char** e = environ; *e; e++)
    if (strncmp(*e, "KEVRA_STATEDIR=", 15) != 0) envp.push_back(*e);
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  proc p;
  int pipefd[2] = {-1, -1};
  pid_t parent = getpid();
  if (pty)
    p.pid = forkpty(&p.fd, nullptr, nullptr, nullptr);
  else if (::pipe(pipefd) == 0) {
    p.pid = ::fork();
    p.fd = pipefd[0];
  }
  if (p.pid == 0) {
    if (!pty) {
      ::dup2(pipefd[1], 1);
      ::dup2(pipefd[1], 2);
      ::dup2(::open("/dev/null", O_RDONLY), 0);
    }
    // Only stdin, stdout and stderr come along, so that the child's
    // descriptor counts do not depend on the test; and it dies with the
    // test, also when the test ended before it got here.
    if (::close_range(3, ~0u, 0) != 0)
      for (int fd = 3; fd < 1024; fd++) ::close(fd);
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
    execvpe(argv[0], argv.data(), envp.data());   // a runner is looked up on PATH
    _exit(127);
  }
  // Room for a long log while the test is busy: a relay whose stdout is
  // full waits in printf and stops relaying.
  if (!pty) {
    ::close(pipefd[1]);
    ::fcntl(p.fd, F_SETPIPE_SZ, 1 << 20);
  }
  ::fcntl(p.fd, F_SETFL, ::fcntl(p.fd, F_GETFL) | O_NONBLOCK);
  return p;
}

}   // namespace harness
