// tavmerk-util serve: the archive browsed from a web page served on this
// machine alone. The one entry the companion command calls; everything
// else of the explorer stays in this folder.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace tavmerk::explorer {

struct ServeOptions {
    std::string archive_path;  // absolute
    std::string archive_name;  // as the user gave it, for messages
    int port = 0;              // 0: any free port
    bool write = false;        // accept changes
    bool open = false;         // hand the address to the desktop's browser
};

// Serves until Ctrl-C or SIGTERM: status 0. An archive that cannot be
// opened or walked, a port that cannot be bound: status 2, with a message
// on `err`, nothing served. The address goes to `out` as one line.
int serve(const ServeOptions& options, std::ostream& out, std::ostream& err);

}  // namespace tavmerk::explorer
