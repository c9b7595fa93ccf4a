// An upload: files and folders dropped on a folder, sent as one request
// and committed as one change set. The body is a manifest line, then the
// files' bytes one after the other in its order:
//
//   {"files":[{"path":"a/b.txt","size":3},...],"folders":["a/empty"]}\n
//   <3 bytes of a/b.txt>...
//
// Paths are relative to the folder dropped on, "/" between levels. The
// bytes go to an unnamed scratch file as they arrive, so memory does not
// grow with the upload; a body that ends before the manifest's sizes are
// met, or goes on past them, is refused and nothing changes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/change_set.h"
#include "platform/platform.h"

namespace tavmerk::explorer {

struct UploadItem {
    std::string path;
    uint64_t size = 0;
    uint64_t offset = 0;  // in the bytes after the manifest line
    bool folder = false;
};

// The manifest line (without its "\n"); false with `error` set when it is
// not one.
bool parse_manifest(const std::string& line, std::vector<UploadItem>& items, std::string& error);

class UploadBody {
public:
    static constexpr size_t longest_manifest = size_t(4) << 20;

    // The scratch file, in the folder `scratch_folder`.
    bool open(const std::string& scratch_folder);

    // Takes the next piece of the body; false with error() set when the
    // body cannot be what a manifest says.
    bool take(const char* data, size_t size);
    // True when the body ended exactly where the manifest's sizes end.
    bool complete();

    const std::string& error() const { return error_; }
    const std::vector<UploadItem>& items() const { return items_; }

    // The changes that put every file and make every folder below the
    // archive folder `to` ("" the top), reading from the scratch file.
    ChangeSet changes(const std::string& to, Storage storage) const;

private:
    bool fail(std::string error)
    {
        error_ = std::move(error);
        return false;
    }

    std::shared_ptr<platform::UpdateFile> scratch_ = std::make_shared<platform::UpdateFile>();
    std::string manifest_;
    bool have_manifest_ = false;
    std::vector<UploadItem> items_;
    uint64_t expected_ = 0;  // bytes after the manifest line
    uint64_t written_ = 0;
    std::string error_;
};

}  // namespace tavmerk::explorer
