// Start-up: the command line, the run context and the listening socket.
#pragma once

// kevramain(argc, argv): the program; never returns (every end goes through progexit).
[[noreturn]] void kevramain(int argc, char** argv);
