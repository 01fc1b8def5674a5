#include "core/startup.h"

int main(int argc, char** argv) { kevramain(argc, argv); }
