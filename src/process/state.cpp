#include "process/state.h"

ProcessState state;
volatile sig_atomic_t terminate_requested = 0;
