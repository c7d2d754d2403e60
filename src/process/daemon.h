// Detaching from the terminal and pointing the standard streams at the log.
#pragma once

// Forks twice around setsid, unless `foreground`: then the calling process
// stays in its session and becomes the server itself. Either way the server
// works from "/" with the mask 022. Returns true in the server process; false
// in a process that met a failure (already reported) and must go to shutdown.
// The parents of both forks end here with status 0.
[[nodiscard]] bool detach(bool foreground);

// Opens the log file for appending and makes it descriptors 1 and 2, with
// /dev/null as descriptor 0. Returns false when the log file can't be opened.
[[nodiscard]] bool redirect_to_log();
