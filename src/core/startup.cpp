// Placeholder until start-up lands.
#include "core/startup.h"

#include <cstdio>
#include <cstdlib>

void kevramain(int argc, char** argv) {
  (void)argc, (void)argv;
  printf("kevra 1.1\n");
  exit(1);
}
