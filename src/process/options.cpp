#include "process/options.h"

#include <cstring>

namespace {

// True when `option` takes an argument under `optstring`.
bool takes_argument(char option, const char *optstring)
{
    const char *found = option != ':' ? strchr(optstring, option) : nullptr;
    return found != nullptr && found[1] == ':';
}

// How many words the option word argv[index] uses: two when its last option
// takes the next word as its argument, one otherwise.
int option_word_span(int argc, char *const argv[], int index, const char *optstring)
{
    for (const char *letter = argv[index] + 1; *letter != '\0'; ++letter)
        if (takes_argument(*letter, optstring))
            return letter[1] == '\0' && index + 1 < argc ? 2 : 1;
    return 1;
}

}  // namespace

int count_option_words(int argc, char *const argv[], const char *optstring)
{
    int index = 1;
    while (index < argc) {
        const char *word = argv[index];
        if (word[0] != '-' || word[1] == '\0')
            break;
        if (strcmp(word, "--") == 0)
            return index + 1;
        index += option_word_span(argc, argv, index, optstring);
    }
    return index;
}
