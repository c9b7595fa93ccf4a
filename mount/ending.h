// The ending room: what the mount does once unmounted. Drafts still
// pending are saved; what cannot be saved (the archive would pass 4 GiB,
// the disk is full, the archive was cut short) is written under
// ARCHIVE.unsaved/ at its path, with descriptors kept back from the start
// so that it can be, however many the mount used up. Then, with
// -o compact=, the archive is compacted when the bytes no live record uses
// pass that share of it.
#pragma once

#include <memory>
#include <vector>

#include "mount/generations.h"
#include "mount/messages.h"
#include "mount/open_files.h"
#include "mount/saving.h"
#include "platform/platform.h"

namespace tavmerk {

class Ending {
public:
    Ending(const MountOptions& options, Generations& generations, OpenFiles& open_files, Saving& saving,
           Messages& messages);

    // At the start: the descriptors kept back.
    void keep_spares();
    // False when anything went under ARCHIVE.unsaved/.
    bool finish();

private:
    // What a rescue's copy came to: the size of the file written, the
    // bytes that could not be read back (left as zeros), and why a write
    // failed (0: none did).
    struct Copied {
        uint64_t size = 0;
        uint64_t unread = 0;
        uint64_t unread_at = 0;
        int read_error = 0;
        int write_error = 0;
    };
    Copied copy_data(Draft& draft, platform::OutputFile& out) REQUIRES(draft.mutex);
    bool rescue(Draft& draft) REQUIRES(draft.mutex);

    const MountOptions& options_;
    Generations& generations_;
    OpenFiles& open_files_;
    Saving& saving_;
    Messages& messages_;
    std::vector<std::unique_ptr<platform::UpdateFile>> spares_;  // only from the mount's own thread
};

}  // namespace tavmerk
