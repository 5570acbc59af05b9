// The kiv executable: everything happens in the start-up, which ends the process itself.
#include "app/startup.h"

int main(int argc, char** argv) { kiv::boot::start_up(argc, argv); }
