// Closing every descriptor above the standard ones, on any system.
#pragma once

// Closes every open descriptor numbered `lowest` or higher.
void close_descriptors_from(int lowest);
