// Holding back what the process writes to standard error until it is known
// whether anyone wants it: ssh shows a ProxyCommand's standard error to its
// user, who expects silence from a tunnel that works.
#pragma once

// Points standard error at a pipe of its own, keeping the original aside.
// Where that can't be done, standard error stays as it is.
void hold_standard_error();

// Gives standard error back and writes out everything held.
void release_standard_error();

// Drops everything held; from now on standard error goes to /dev/null.
void silence_standard_error();
