// What the server does while the system is short of processes, descriptors
// or memory: it stops accepting for a moment, leaving new connections in the
// listen queue, and reports the shortage at most once a second, however many
// connections arrive meanwhile.
#pragma once

#include <ctime>
#include <sys/time.h>

// The reports of one failing call, named as perror names it.
struct ShortageReports {
    const char *call;
    timespec last_line{};          // when the last line about it was written
    bool any_line = false;         // whether a line has been written at all
    unsigned long unreported = 0;  // failures since then that wrote no line
};

// Reports the failure in errno: perror's line, or, within a second of the
// last line about the same call, only a count for a later line.
void report_shortage(ShortageReports &reports);

// Writes the count of failures that wrote no line, once a second has passed
// since the last line: a shortage that has ended still gets its total.
void report_unreported(ShortageReports &reports);

// Stops accepting for about a second; when ends_with_child, also until a
// client process ends (it frees a process slot).
void pause_accepting(bool ends_with_child);

// True while a pause lasts; the time left goes to `left`.
bool accepting_paused(timeval &left);

// A client process has ended.
void note_child_ended();

// Sleeps about a second, or less when a signal arrives: for a failure that
// leaves no way to wait for anything else.
void sleep_a_second();
