// Where the options of a command line end.
#pragma once

// The number of leading words of argv (the program name included) that are
// options or their arguments under getopt's `optstring`, up to and including a
// "--", stopping at the first other word. Passed to getopt as its count, it
// keeps any getopt, permuting or not, from looking past that word.
int count_option_words(int argc, char *const argv[], const char *optstring);
