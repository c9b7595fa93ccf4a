#include "explorer/upload.h"

#include <cstring>
#include <nlohmann/json.hpp>

#include "archive/layout.h"

namespace tavmerk::explorer {

bool parse_manifest(const std::string& line, std::vector<UploadItem>& items, std::string& error)
{
    const nlohmann::json manifest = nlohmann::json::parse(line, nullptr, false);
    if (!manifest.is_object()) {
        error = "the upload does not start with a manifest line";
        return false;
    }
    items.clear();
    uint64_t offset = 0;
    const auto files = manifest.find("files");
    if (files != manifest.end() && files->is_array()) {
        for (const nlohmann::json& f : *files) {
            if (!f.is_object() || !f.contains("path") || !f["path"].is_string() || !f.contains("size") ||
                !f["size"].is_number_unsigned() || f["size"].get<uint64_t>() >= archive_size_limit) {
                error = "a file in the manifest without a path or a size under 4 GiB";
                return false;
            }
            UploadItem item;
            item.path = f["path"].get<std::string>();
            item.size = f["size"].get<uint64_t>();
            item.offset = offset;
            offset += item.size;
            items.push_back(std::move(item));
        }
    }
    const auto folders = manifest.find("folders");
    if (folders != manifest.end() && folders->is_array()) {
        for (const nlohmann::json& f : *folders) {
            if (!f.is_string()) {
                error = "a folder in the manifest that is not a path";
                return false;
            }
            UploadItem item;
            item.path = f.get<std::string>();
            item.folder = true;
            items.push_back(std::move(item));
        }
    }
    if (items.empty()) {
        error = "the manifest names nothing to upload";
        return false;
    }
    return true;
}

bool UploadBody::open(const std::string& scratch_folder)
{
    if (!scratch_->open_unnamed(scratch_folder))
        return fail("cannot make a scratch file in " + scratch_folder + ": " +
                    platform::error_message(platform::last_error()));
    return true;
}

bool UploadBody::take(const char* data, size_t size)
{
    if (!error_.empty())
        return false;
    if (!have_manifest_) {
        const char* newline = static_cast<const char*>(std::memchr(data, '\n', size));
        const size_t n = newline ? size_t(newline - data) : size;
        manifest_.append(data, n);
        if (manifest_.size() > longest_manifest)
            return fail("the manifest line is longer than 4 MiB");
        if (!newline)
            return true;
        if (!parse_manifest(manifest_, items_, error_))
            return false;
        for (const UploadItem& item : items_)
            expected_ += item.size;
        have_manifest_ = true;
        data += n + 1;
        size -= n + 1;
    }
    if (size > expected_ - written_)
        return fail("the body goes on past the sizes its manifest gives");
    if (size > 0 && !scratch_->write_at(written_, reinterpret_cast<const uint8_t*>(data), size))
        return fail("cannot write the scratch file: " + platform::error_message(platform::last_error()));
    written_ += size;
    return true;
}

bool UploadBody::complete()
{
    if (!error_.empty())
        return false;
    if (!have_manifest_)
        return fail("the body ended within its manifest line");
    if (written_ != expected_)
        return fail("the body ended before the sizes its manifest gives");
    return true;
}

ChangeSet UploadBody::changes(const std::string& to, Storage storage) const
{
    ChangeSet changes;
    for (const UploadItem& item : items_) {
        const std::string path = to.empty() ? item.path : to + "/" + item.path;
        if (item.folder) {
            changes.mkdir(path);
            continue;
        }
        const std::shared_ptr<platform::UpdateFile> scratch = scratch_;
        const uint64_t base = item.offset;
        changes.put(path,
                    Content::of_reader(item.size,
                                       [scratch, base](uint64_t offset, uint8_t* dest, size_t size) {
                                           return scratch->read_at(base + offset, dest, size);
                                       }),
                    storage);
    }
    return changes;
}

}  // namespace tavmerk::explorer
