// The explorer's HTTP server: who may talk to it, the page, and the JSON
// API under /api/ (documented in doc/tavmerk-util.1.scd, SERVE).
//
// Who may talk: the server listens on 127.0.0.1 alone and answers only
// requests whose Host is 127.0.0.1:PORT or localhost:PORT (a page of
// another site that has a name resolve to this machine cannot reach it)
// and that carry this run's token: in the query of the first visit, then
// in an HttpOnly, SameSite=Strict cookie the server sets, or in the
// X-Tavmerk-Token header. A change is made by a POST alone, with an Origin
// of this server, and only when the run was started with --write. What the
// archive holds is sent with a sandboxing Content-Security-Policy, so that
// a page in the archive cannot run as this site.
//
// Every answer reads one committed version (explorer/versions.h): the one
// in force, or with at=VERSION an earlier one, read only. A change is one
// change set, committed once (engine/change_set.h); an undo is one commit
// too (engine/undo.h).
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <thread>

#include "archive/layout.h"
#include "archive/path_rules.h"
#include "engine/change_messages.h"
#include "engine/change_set.h"
#include "engine/history.h"
#include "engine/locks.h"
#include "engine/tree_diff.h"
#include "engine/undo.h"
#include "explorer/page_files.h"
#include "explorer/record_bytes.h"
#include "explorer/serve.h"
#include "explorer/tar_stream.h"
#include "explorer/upload.h"
#include "explorer/versions.h"
#include "platform/platform.h"

namespace tavmerk::explorer {

namespace {

using nlohmann::json;

constexpr size_t token_bytes = 16;  // 128 bits
constexpr size_t default_search_cap = 1000;
constexpr size_t largest_search_cap = 10000;
constexpr size_t largest_change_body = size_t(1) << 20;
constexpr size_t response_piece = size_t(256) << 10;

std::string hex_of(const uint8_t* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

bool unhex(const std::string& hex, std::string& out)
{
    const auto value = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    if (hex.size() % 2)
        return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = value(hex[i]), low = value(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out += char(high << 4 | low);
    }
    return true;
}

// Compares in time that does not depend on where the texts differ.
bool same_secret(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char differ = 0;
    for (size_t i = 0; i < a.size(); ++i)
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

std::string cookie_value(const std::string& cookies, const std::string& name)
{
    size_t at = 0;
    while (at < cookies.size()) {
        size_t end = cookies.find(';', at);
        if (end == std::string::npos)
            end = cookies.size();
        std::string pair = cookies.substr(at, end - at);
        pair.erase(0, pair.find_first_not_of(' '));
        if (pair.compare(0, name.size() + 1, name + "=") == 0)
            return pair.substr(name.size() + 1);
        at = end + 1;
    }
    return std::string();
}

// A name or path as JSON takes it: valid UTF-8 in `key`, and the raw
// bytes in `key`_hex where they are not.
void put_name(json& object, const char* key, const std::string& raw)
{
    if (is_valid_utf8(raw)) {
        object[key] = raw;
        return;
    }
    object[key] = to_valid_utf8(raw);
    object[std::string(key) + "_hex"] = hex_bytes(raw);
}

const char* kind_word(const ArchiveEntry& e)
{
    return e.folder ? "folder" : record_kind_name(e.kind);
}

std::string checksum_text(uint32_t checksum)
{
    const uint8_t bytes[4] = {uint8_t(checksum >> 24), uint8_t(checksum >> 16), uint8_t(checksum >> 8),
                              uint8_t(checksum)};
    return hex_of(bytes, 4);
}

json entry_json(const TreeListing& tree, uint32_t index, bool folder, const std::string& name,
                const std::string& path)
{
    json row;
    put_name(row, "name", name);
    put_name(row, "path", path);
    if (folder || index == TreeListing::none) {
        row["kind"] = "folder";
        if (index != TreeListing::none)
            row["place"] = tree.entries()[index].place;
        return row;
    }
    const ArchiveEntry& e = tree.entries()[index];
    row["kind"] = kind_word(e);
    row["expanded_size"] = e.expanded_size;
    row["stored_size"] = e.stored_size;
    row["method"] = e.kind == RecordKind::compressed ? "zlib" : e.kind == RecordKind::stored ? "store" : "";
    row["data_offset"] = e.data_offset;
    row["checksum"] = checksum_text(e.checksum);
    row["place"] = e.place;
    row["shown"] = e.shown;
    return row;
}

// Content types by extension; anything a browser would run (HTML, SVG,
// XML) is sent as text.
std::string content_type_of(const std::string& name)
{
    const size_t dot = name.rfind('.');
    std::string ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    for (char& c : ext)
        c = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
    static const struct {
        const char* ext;
        const char* type;
    } types[] = {
        {"png", "image/png"},         {"jpg", "image/jpeg"},      {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},         {"bmp", "image/bmp"},       {"webp", "image/webp"},
        {"pdf", "application/pdf"},   {"json", "application/json"}, {"zip", "application/zip"},
        {"gz", "application/gzip"},   {"tar", "application/x-tar"}, {"wav", "audio/wav"},
        {"mp3", "audio/mpeg"},        {"ogg", "audio/ogg"},
    };
    for (const auto& t : types)
        if (ext == t.ext)
            return t.type;
    static const char* const texts[] = {"txt", "md",  "log", "csv", "ini", "cfg", "xml", "html", "htm", "svg",
                                        "css", "js",  "c",   "h",   "cpp", "py",  "sh",  "lua",  "yaml", "yml"};
    for (const char* t : texts)
        if (ext == t)
            return "text/plain; charset=utf-8";
    return "application/octet-stream";
}

// "attachment" with the name as plain ASCII and in full (RFC 5987).
std::string attachment(const std::string& name)
{
    std::string plain, encoded;
    static const char digits[] = "0123456789ABCDEF";
    for (const char ch : name) {
        const unsigned char c = static_cast<unsigned char>(ch);
        plain += c >= 0x20 && c < 0x7F && c != '"' && c != '\\' ? ch : '_';
        if (std::isalnum(c) || std::strchr("-._~", ch)) {
            encoded += ch;
        } else {
            encoded += '%';
            encoded += digits[c >> 4];
            encoded += digits[c & 15];
        }
    }
    return "attachment; filename=\"" + plain + "\"; filename*=UTF-8''" + encoded;
}

int http_status_of(ChangeStatus status)
{
    switch (status) {
    case ChangeStatus::committed:
        return 200;
    case ChangeStatus::refused_name:
        return 400;
    case ChangeStatus::not_found:
        return 404;
    case ChangeStatus::conflict:
    case ChangeStatus::stale_place:
    case ChangeStatus::no_record:
    case ChangeStatus::exists:
        return 409;
    case ChangeStatus::too_large:
        return 413;
    case ChangeStatus::cannot_open:
    case ChangeStatus::damaged:
    case ChangeStatus::data_outside:
    case ChangeStatus::read_failed:
    case ChangeStatus::write_failed:
    case ChangeStatus::cancelled:
        break;
    }
    return 500;
}

// A folder path as requests give it: no "/" at either end.
std::string trimmed_folder(std::string path)
{
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    while (!path.empty() && path.front() == '/')
        path.erase(0, 1);
    return path;
}

std::string folder_of(const std::string& path)
{
    size_t at = path.size();
    while (at > 0 && !platform::is_separator(path[at - 1]))
        --at;
    return at > 1 ? path.substr(0, at - 1) : path.substr(0, at);
}

// ---- versions

const char* history_end_word(HistoryEnd end)
{
    switch (end) {
    case HistoryEnd::complete:
        return "complete";
    case HistoryEnd::repack:
        return "repack";
    case HistoryEnd::damaged:
        break;
    }
    return "damaged";
}

// The fields of a line of `log --json`.
json version_json(const VersionInfo& v)
{
    const auto count = [&v](uint32_t n) { return v.counts_known ? json(n) : json(nullptr); };
    return json{{"version", v.version},
                {"time", v.time_known ? json(utc_time_text(v.time)) : json(nullptr)},
                {"files", v.files},
                {"added", count(v.added)},
                {"changed", count(v.changed)},
                {"removed", count(v.removed)},
                {"summary", to_valid_utf8(v.summary)},
                {"data_kept", v.data_kept}};
}

// A line of the diff: the path, the change and, for a file, the record
// of the tree it is in (the newer one's where both have it).
json tree_change_json(const TreeChange& c)
{
    const TreeItem& item = c.item();
    json row{{"change", tree_change_word(c.change)}};
    put_name(row, "path", item.path);
    if (item.folder) {
        row["kind"] = "folder";
        return row;
    }
    row["kind"] = item.stored() ? "stored" : "zlib";
    row["expanded_size"] = item.expanded_size;
    row["stored_size"] = item.stored_size;
    row["data_offset"] = item.data_offset;
    row["checksum"] = checksum_text(item.checksum);
    return row;
}

// A version as the tree comparison reads it: its directory, and the file's
// committed data.
bool view_of(const Version& version, ArchiveView& view)
{
    const Listing& listing = *version.listing;
    if (!view.directory.open(listing.image.data(), listing.image.size(), version.data_end))
        return false;
    const std::shared_ptr<platform::UpdateFile> file = version.file;
    const uint64_t end = version.data_end;
    view.read_at = [file, end](uint64_t offset, uint8_t* dest, size_t size) {
        return offset <= end && size <= end - offset && file->read_at(offset, dest, size);
    };
    return true;
}

class Explorer {
public:
    Explorer(const ServeOptions& options, std::string token)
        : options_(options), token_(std::move(token)), versions_(options.archive_path)
    {
    }

    bool check_archive(std::string& error)
    {
        Version version;
        return versions_.current(version, error);
    }

    void route(httplib::Server& server);
    const std::string& token() const { return token_; }
    void set_port(int port)
    {
        port_ = port;
        cookie_ = "tavmerk_token_" + std::to_string(port);
    }

private:
    using Request = httplib::Request;
    using Response = httplib::Response;

    httplib::Server::HandlerResponse admit(const Request& req, Response& res);

    void send_json(Response& res, const json& body, int status = 200)
    {
        res.status = status;
        res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
    }
    void send_error(Response& res, int status, const std::string& message)
    {
        send_json(res, json{{"error", to_valid_utf8(message)}}, status);
    }

    // The version a read asks for: the one in force, or `at` where given
    // (404 where the history has no such version or its data was
    // dropped). False, with the error answered, when it cannot be read.
    bool read_version(Response& res, Version& version, const std::string& at = std::string())
    {
        std::string error;
        switch (versions_.at(at, version, error)) {
        case VersionFailure::none:
            res.set_header("X-Tavmerk-Version", version_text(version.identity()));
            return true;
        case VersionFailure::unknown:
            send_error(res, 404, options_.archive_name + ": " + error);
            return false;
        case VersionFailure::unreadable:
            break;
        }
        send_error(res, 500, options_.archive_name + ": " + error);
        return false;
    }
    bool read_version(const Request& req, Response& res, Version& version)
    {
        return read_version(res, version, req.get_param_value("at"));
    }
    // What every read answers about its version: the directory's identity,
    // and the id of an earlier version where one was asked for.
    static json version_fields(const Version& version)
    {
        json fields{{"version", version_text(version.identity())}};
        if (version.past())
            fields["at"] = version.listing->past_id;
        return fields;
    }

    // A path parameter: `name`_hex (raw bytes as hex) where given, else `name`.
    static bool path_param(const Request& req, const std::string& name, std::string& out)
    {
        if (req.has_param(name + "_hex"))
            return unhex(req.get_param_value(name + "_hex"), out);
        out = req.get_param_value(name);
        return true;
    }
    static bool path_field(const json& body, const std::string& name, std::string& out)
    {
        const auto hex = body.find(name + "_hex");
        if (hex != body.end())
            return hex->is_string() && unhex(hex->get<std::string>(), out);
        const auto text = body.find(name);
        if (text == body.end() || !text->is_string())
            return false;
        out = text->get<std::string>();
        return true;
    }

    void page(const Request& req, Response& res, const PageFile& file);
    void info(const Request& req, Response& res);
    void children(const Request& req, Response& res);
    void search(const Request& req, Response& res);
    void file(const Request& req, Response& res);
    void tar(const Request& req, Response& res);
    void upload(const Request& req, Response& res, const httplib::ContentReader& reader);
    void change(const Request& req, Response& res, const httplib::ContentReader& reader, ChangeKind kind);
    void commit(Response& res, const ChangeSet& changes);
    void send_changes(Response& res, const ChangeResult& result);
    void log(Response& res);
    void diff(const Request& req, Response& res);
    void undo(const Request& req, Response& res, const httplib::ContentReader& reader);

    ServeOptions options_;
    std::string token_;
    int port_ = 0;
    std::string cookie_;
    Versions versions_;
    Mutex commit_mutex_;  // one change at a time from this server; other runs wait on the archive's lock
};

httplib::Server::HandlerResponse Explorer::admit(const Request& req, Response& res)
{
    using Answer = httplib::Server::HandlerResponse;
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", "no-store");
    const std::string host = req.get_header_value("Host");
    const std::string port = ":" + std::to_string(port_);
    if (host != "127.0.0.1" + port && host != "localhost" + port) {
        send_error(res, 403, "unknown host");
        return Answer::Handled;
    }
    const bool in_query = same_secret(req.get_param_value("token"), token_);
    const bool admitted = in_query || same_secret(req.get_header_value("X-Tavmerk-Token"), token_) ||
                          same_secret(cookie_value(req.get_header_value("Cookie"), cookie_), token_);
    if (!admitted) {
        send_error(res, 403, "no token, or a wrong one: open the address the server printed");
        return Answer::Handled;
    }
    if (in_query)
        res.set_header("Set-Cookie", cookie_ + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict");
    const bool changes = req.path == "/api/upload" || req.path == "/api/remove" || req.path == "/api/rename" ||
                         req.path == "/api/mkdir" || req.path == "/api/undo";
    if (!changes) {
        if (req.method != "GET" && req.method != "HEAD") {
            send_error(res, 405, "only GET reads");
            return Answer::Handled;
        }
        return Answer::Unhandled;
    }
    if (req.method != "POST") {
        res.set_header("Allow", "POST");
        send_error(res, 405, "changes are made by POST alone");
        return Answer::Handled;
    }
    if (req.get_header_value("Origin") != "http://" + host) {
        send_error(res, 403, "a change needs this server's Origin");
        return Answer::Handled;
    }
    if (!options_.write) {
        send_error(res, 403, "read-only: the server was started without --write");
        return Answer::Handled;
    }
    return Answer::Unhandled;
}

void Explorer::page(const Request&, Response& res, const PageFile& file)
{
    std::string body(reinterpret_cast<const char*>(file.data), file.size);
    const std::string name = file.name;
    std::string type = "application/octet-stream";
    if (name == "index.html") {
        type = "text/html; charset=utf-8";
        const std::string mark = "{{TOKEN}}";
        const size_t at = body.find(mark);
        if (at != std::string::npos)
            body.replace(at, mark.size(), token_);
        const std::string write_mark = "{{WRITE}}";
        const size_t w = body.find(write_mark);
        if (w != std::string::npos)
            body.replace(w, write_mark.size(), options_.write ? "1" : "0");
        res.set_header("Content-Security-Policy", "default-src 'none'; script-src 'self'; style-src 'self'; "
                                                  "img-src 'self' blob:; connect-src 'self'; frame-ancestors 'none'");
    } else if (name.size() > 3 && name.compare(name.size() - 3, 3, ".js") == 0) {
        type = "text/javascript; charset=utf-8";
    } else if (name.size() > 4 && name.compare(name.size() - 4, 4, ".css") == 0) {
        type = "text/css; charset=utf-8";
    }
    res.set_content(body, type);
}

void Explorer::info(const Request& req, Response& res)
{
    Version version;
    if (!read_version(req, res, version))
        return;
    const TreeListing::Totals& t = version.tree().totals();
    const uint8_t* header = version.listing->image.data();
    json body = version_fields(version);
    body.update(json{{"archive", to_valid_utf8(options_.archive_name)},
              {"writable", options_.write},
              {"data_end", version.data_end},
              {"root_folder_count", root_folder_count(header)},
              {"directory_size", directory_size(header)},
              {"entries", version.tree().entries().size()},
              {"files", t.files},
              {"live", t.live},
              {"deleted", t.deleted},
              {"folders", t.folders},
              {"unsafe", t.unsafe},
              {"expanded_size", t.expanded},
              {"stored_size", t.stored}});
    send_json(res, body);
}

void Explorer::children(const Request& req, Response& res)
{
    std::string path;
    if (!path_param(req, "path", path))
        return send_error(res, 400, "path_hex is not hex");
    path = trimmed_folder(path);
    Version version;
    if (!read_version(req, res, version))
        return;
    const TreeListing& tree = version.tree();
    const std::vector<TreeListing::Item>* items = tree.children(path);
    if (!items)
        return send_error(res, 404, escape_name(path) + ": no such folder in the archive");
    json rows = json::array();
    for (const TreeListing::Item& item : *items)
        rows.push_back(entry_json(tree, item.entry, item.folder, item.name, path.empty() ? item.name : path + "/" + item.name));
    json body = version_fields(version);
    body["items"] = std::move(rows);
    put_name(body, "path", path);
    send_json(res, body);
}

void Explorer::search(const Request& req, Response& res)
{
    const std::string query = req.get_param_value("q");
    size_t cap = default_search_cap;
    if (req.has_param("limit"))
        cap = std::min<size_t>(largest_search_cap, std::strtoull(req.get_param_value("limit").c_str(), nullptr, 10));
    Version version;
    if (!read_version(req, res, version))
        return;
    const TreeListing& tree = version.tree();
    std::vector<TreeListing::Found> found;
    const bool capped = !query.empty() && tree.search(query, cap, found);
    json rows = json::array();
    for (const TreeListing::Found& f : found)
        rows.push_back(entry_json(tree, f.entry, f.folder, last_level(f.path), f.path));
    json body = version_fields(version);
    body.update(json{{"results", std::move(rows)}, {"capped", capped}, {"limit", cap}});
    send_json(res, body);
}

void Explorer::file(const Request& req, Response& res)
{
    std::string path;
    if (!path_param(req, "path", path))
        return send_error(res, 400, "path_hex is not hex");
    Version version;
    if (!read_version(req, res, version))
        return;
    const TreeListing& tree = version.tree();
    uint32_t index = TreeListing::none;
    if (req.has_param("place")) {
        // A record other than the one "/E" writes at the path (an earlier
        // one that a later record hides), named by its place and path both.
        const uint64_t place = std::strtoull(req.get_param_value("place").c_str(), nullptr, 10);
        if (place < tree.entries().size() && !tree.entries()[place].folder && tree.path_of(uint32_t(place)) == path &&
            tree.entries()[place].live())
            index = uint32_t(place);
    } else {
        index = tree.shown_file(path);
    }
    if (index == TreeListing::none)
        return send_error(res, 404, escape_name(path) + ": no such file in the archive");
    auto bytes = std::make_shared<RecordBytes>(version.file, tree.entries()[index], version.data_end);
    if (!bytes->inside())
        return send_error(res, 500, escape_name(path) + ": its data lies outside the file");
    const std::string name = last_level(path);
    res.set_header("Content-Security-Policy", "sandbox; default-src 'none'");
    res.set_header("Accept-Ranges", "bytes");
    if (req.get_param_value("download") == "1")
        res.set_header("Content-Disposition", attachment(name));
    const std::string type = content_type_of(name);
    if (bytes->size() == 0)
        return res.set_content("", type);
    res.set_content_provider(size_t(bytes->size()), type,
                             [bytes](size_t offset, size_t length, httplib::DataSink& sink) {
                                 std::vector<uint8_t> piece(std::min(length, response_piece));
                                 if (!bytes->read(offset, piece.data(), piece.size()))
                                     return false;
                                 return sink.write(reinterpret_cast<const char*>(piece.data()), piece.size());
                             });
}

void Explorer::tar(const Request& req, Response& res)
{
    std::string path;
    if (!path_param(req, "path", path))
        return send_error(res, 400, "path_hex is not hex");
    path = trimmed_folder(path);
    auto version = std::make_shared<Version>();
    if (!read_version(req, res, *version))
        return;
    if (!version->tree().children(path))
        return send_error(res, 404, escape_name(path) + ": no such folder in the archive");
    const std::string name = (path.empty() ? std::string("archive") : last_level(path)) + ".tar";
    res.set_header("Content-Disposition", attachment(name));
    res.set_chunked_content_provider("application/x-tar", [version, path](size_t, httplib::DataSink& sink) {
        uint64_t unreadable = 0;
        const bool sent = write_tar(*version, path, [&sink](const uint8_t* data, size_t size) {
            return sink.write(reinterpret_cast<const char*>(data), size);
        }, unreadable);
        if (sent)
            sink.done();
        return sent;
    });
}

void Explorer::commit(Response& res, const ChangeSet& changes)
{
    ChangeResult result;
    {
        MutexLock lock(commit_mutex_);
        result = commit_changes(options_.archive_path, changes);
    }
    if (!result.ok())
        return send_error(res, http_status_of(result.status), change_failure(changes, result, options_.archive_name));
    send_changes(res, result);
}

void Explorer::send_changes(Response& res, const ChangeResult& result)
{
    json reports = json::array();
    for (const ChangeReport& r : result.reports) {
        json row{{"outcome", change_outcome_word(r.outcome)}, {"folder", r.folder}};
        put_name(row, "path", r.path);
        if (r.outcome == ChangeOutcome::renamed)
            put_name(row, "to", r.to);
        reports.push_back(std::move(row));
    }
    send_json(res, json{{"changes", std::move(reports)},
                        {"version", version_text(directory_identity(result.image.data(), result.image.size()))}});
}

void Explorer::upload(const Request& req, Response& res, const httplib::ContentReader& reader)
{
    // What is refused before the body is read leaves it unread: the
    // connection cannot carry another request after it.
    res.set_header("Connection", "close");
    if (!req.has_header("Content-Length"))
        return send_error(res, 411, "an upload needs a Content-Length");
    const uint64_t length = std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10);
    platform::FileStamp stamp;
    if (!platform::stamp_of(options_.archive_path, stamp))
        return send_error(res, 500, options_.archive_name + ": cannot open: " +
                                        platform::error_message(platform::last_error()));
    if (length >= archive_size_limit || stamp.size + length >= archive_size_limit)
        return send_error(res, 413, options_.archive_name + ": the upload would take the archive to 4 GiB; left as it was");
    UploadBody body;
    if (!body.open(folder_of(options_.archive_path)))
        return send_error(res, 500, body.error());
    const bool received = reader([&body](const char* data, size_t size) { return body.take(data, size); });
    if (!received || !body.complete())
        return send_error(res, 400, (body.error().empty() ? std::string("the body ended before its Content-Length")
                                                         : body.error()) + "; nothing changed");
    res.headers.erase("Connection");
    std::string to;
    if (!path_param(req, "to", to))
        return send_error(res, 400, "to_hex is not hex");
    const Storage storage = req.get_param_value("store") == "1" ? Storage::store : Storage::chosen;
    commit(res, body.changes(trimmed_folder(to), storage));
}

void Explorer::change(const Request&, Response& res, const httplib::ContentReader& reader, ChangeKind kind)
{
    std::string text;
    const bool received = reader([&text](const char* data, size_t size) {
        text.append(data, size);
        return text.size() <= largest_change_body;
    });
    if (!received)
        return send_error(res, 400, "the request's body is cut short or longer than 1 MiB");
    const json body = json::parse(text, nullptr, false);
    if (!body.is_object())
        return send_error(res, 400, "the request's body is not a JSON object");
    ChangeSet changes;
    std::string path, to;
    switch (kind) {
    case ChangeKind::remove: {
        const auto paths = body.find("paths");
        if (paths == body.end() || !paths->is_array() || paths->empty())
            return send_error(res, 400, "remove needs \"paths\": a list of paths");
        for (const json& p : *paths) {
            json one{{"path", p}};
            if (p.is_object())
                one = p;
            if (!path_field(one, "path", path))
                return send_error(res, 400, "remove: a path that is not text");
            changes.remove(path);
        }
        break;
    }
    case ChangeKind::rename:
        if (!path_field(body, "from", path) || !path_field(body, "to", to))
            return send_error(res, 400, "rename needs \"from\" and \"to\"");
        changes.rename(path, to);
        break;
    case ChangeKind::mkdir:
        if (!path_field(body, "path", path))
            return send_error(res, 400, "mkdir needs \"path\"");
        changes.mkdir(path);
        break;
    case ChangeKind::put:
        break;
    }
    commit(res, changes);
}

void Explorer::log(Response& res)
{
    Version version;
    if (!read_version(res, version))
        return;
    ArchiveReader reader;
    const Listing& listing = *version.listing;
    if (!reader.open(listing.image.data(), listing.image.size(), version.data_end))
        return send_error(res, 500, options_.archive_name + ": damaged directory");
    const std::shared_ptr<platform::UpdateFile> file = version.file;
    const History history = read_history(HistorySource{
        &reader, version.data_end,
        [&file](uint64_t offset, uint8_t* dest, size_t size) { return file->read_at(offset, dest, size); }});
    json rows = json::array();
    for (const VersionInfo& v : history.versions)
        rows.push_back(version_json(v));
    json body = version_fields(version);
    body["versions"] = std::move(rows);
    body["end"] = history_end_word(history.end);
    if (history.end == HistoryEnd::damaged)
        body["damaged_before"] = history.damaged_before;
    send_json(res, body);
}

void Explorer::diff(const Request& req, Response& res)
{
    const std::string from = req.get_param_value("from");
    const std::string to = req.get_param_value("to");
    if (from.empty())
        return send_error(res, 400, "diff needs from=VERSION");
    Version old_version, new_version;
    if (!read_version(res, old_version, from) || !read_version(res, new_version, to))
        return;
    ArchiveView old_view, new_view;
    if (!view_of(old_version, old_view) || !view_of(new_version, new_view))
        return send_error(res, 500, options_.archive_name + ": damaged directory");
    std::vector<TreeChange> changes;
    const DiffResult compared = diff_trees(old_view, new_view, changes);
    if (compared.end != DiffEnd::complete) {
        const std::string side = "version " + (compared.end == DiffEnd::old_damaged ? from : to.empty() ? "in force" : to);
        return send_error(res, 500, options_.archive_name + ": " + side + ": " +
                                        (compared.path.empty() ? "damaged directory"
                                                               : escape_name(compared.path) +
                                                                     ": its data cannot be read or inflated"));
    }
    json rows = json::array();
    for (const TreeChange& c : changes)
        rows.push_back(tree_change_json(c));
    json body{{"from", version_fields(old_version)}, {"to", version_fields(new_version)}, {"changes", std::move(rows)}};
    send_json(res, body);
}

// The body is {"to": VERSION} (an id, as text or a number, or "~K"), or
// empty for the version before the one in force.
void Explorer::undo(const Request& req, Response& res, const httplib::ContentReader& reader)
{
    std::string text;
    const bool has_body = req.get_header_value("Transfer-Encoding") == "chunked" ||
                          std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) > 0;
    const bool received = !has_body || reader([&text](const char* data, size_t size) {
        text.append(data, size);
        return text.size() <= largest_change_body;
    });
    if (!received)
        return send_error(res, 400, "the request's body is cut short or longer than 1 MiB");
    std::string to = "~1";
    if (text.find_first_not_of(" \t\r\n") != std::string::npos) {
        const json body = json::parse(text, nullptr, false);
        if (!body.is_object())
            return send_error(res, 400, "the request's body is not a JSON object");
        const auto given = body.find("to");
        if (given != body.end() && given->is_number_unsigned())
            to = std::to_string(given->get<uint64_t>());
        else if (given != body.end() && given->is_string())
            to = given->get<std::string>();
        else if (given != body.end())
            return send_error(res, 400, "undo: \"to\" is not a version");
    }
    if (!is_version_text(to))
        return send_error(res, 400, "undo: " + escape_name(to) + " is not a version (K or ~K)");
    ChangeResult result;
    bool dropped = false;
    {
        MutexLock lock(commit_mutex_);
        result = undo_to_version(options_.archive_path, to, CommitOptions(), &dropped);
    }
    const std::string name = options_.archive_name + ": ";
    switch (result.status) {
    case ChangeStatus::committed:
        return send_changes(res, result);
    case ChangeStatus::not_found:
        return send_error(res, 404, name + version_problem(dropped ? VersionOpen::dropped : VersionOpen::unknown, to) +
                                        "; nothing changed");
    case ChangeStatus::damaged:
        return send_error(res, 500, name + version_problem(VersionOpen::damaged, to) + "; nothing changed");
    case ChangeStatus::too_large:
        return send_error(res, 409, name + "no room after the directory for version " + to +
                                        "'s directory; nothing changed");
    default:
        break;
    }
    send_error(res, http_status_of(result.status), change_failure(ChangeSet(), result, options_.archive_name));
}

void Explorer::route(httplib::Server& server)
{
    server.set_pre_routing_handler([this](const Request& req, Response& res) { return admit(req, res); });
    for (size_t i = 0; i < page_file_count; ++i) {
        const PageFile& file = page_files[i];
        const std::string name = file.name;
        const auto serve_file = [this, &file](const Request& req, Response& res) { page(req, res, file); };
        server.Get("/" + name, serve_file);
        if (name == "index.html")
            server.Get("/", serve_file);
    }
    server.Get("/favicon.ico", [](const Request&, Response& res) { res.status = 204; });
    server.Get("/api/info", [this](const Request& req, Response& res) { info(req, res); });
    server.Get("/api/version", [this](const Request&, Response& res) {
        Version version;
        if (read_version(res, version))
            send_json(res, json{{"version", version_text(version.identity())}});
    });
    server.Get("/api/children", [this](const Request& req, Response& res) { children(req, res); });
    server.Get("/api/search", [this](const Request& req, Response& res) { search(req, res); });
    server.Get("/api/file", [this](const Request& req, Response& res) { file(req, res); });
    server.Get("/api/tar", [this](const Request& req, Response& res) { tar(req, res); });
    server.Post("/api/upload", [this](const Request& req, Response& res, const httplib::ContentReader& reader) {
        upload(req, res, reader);
    });
    server.Post("/api/remove", [this](const Request& req, Response& res, const httplib::ContentReader& reader) {
        change(req, res, reader, ChangeKind::remove);
    });
    server.Post("/api/rename", [this](const Request& req, Response& res, const httplib::ContentReader& reader) {
        change(req, res, reader, ChangeKind::rename);
    });
    server.Post("/api/mkdir", [this](const Request& req, Response& res, const httplib::ContentReader& reader) {
        change(req, res, reader, ChangeKind::mkdir);
    });
    server.Get("/api/log", [this](const Request&, Response& res) { log(res); });
    server.Get("/api/diff", [this](const Request& req, Response& res) { diff(req, res); });
    server.Post("/api/undo", [this](const Request& req, Response& res, const httplib::ContentReader& reader) {
        undo(req, res, reader);
    });
    server.set_error_handler([this](const Request&, Response& res) {
        if (res.body.empty())
            send_error(res, res.status, "no such page");
    });
    server.set_exception_handler([this](const Request&, Response& res, std::exception_ptr) {
        send_error(res, 500, "unexpected failure");
    });
}

}  // namespace

int serve(const ServeOptions& options, std::ostream& out, std::ostream& err)
{
    platform::hold_stop_signals();
    uint8_t secret[token_bytes];
    if (!platform::random_bytes(secret, sizeof secret)) {
        err << "tavmerk-util serve: no random bytes for a token: " << platform::error_message(platform::last_error())
            << "\n";
        return 2;
    }
    Explorer explorer(options, hex_of(secret, sizeof secret));
    std::string error;
    if (!explorer.check_archive(error)) {
        err << escape_name(options.archive_name) << ": " << error << "\n";
        return 2;
    }
    httplib::Server server;
    server.set_payload_max_length(size_t(archive_size_limit));
    // A port another server listens on is refused: no SO_REUSEPORT, which
    // would let both listen and share the connections.
    server.set_socket_options([](auto sock) {
        int yes = 1;
#ifdef _WIN32
        ::setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
#else
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
    });
    const int port = options.port == 0 ? server.bind_to_any_port("127.0.0.1")
                                       : server.bind_to_port("127.0.0.1", options.port) ? options.port : -1;
    if (port <= 0) {
        err << "tavmerk-util serve: cannot listen on 127.0.0.1"
            << (options.port ? ":" + std::to_string(options.port) : std::string()) << ": "
            << platform::error_message(platform::last_error()) << "\n";
        return 2;
    }
    explorer.set_port(port);
    explorer.route(server);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/?token=" + explorer.token();
    out << "serving " << url << std::endl;
    if (options.open && !platform::open_in_browser(url))
        err << "tavmerk-util serve: cannot start the browser: " << platform::error_message(platform::last_error())
            << "\n";
    std::atomic<bool> listening_ended{false};
    std::thread listener([&server, &listening_ended] {
        server.listen_after_bind();
        listening_ended = true;
    });
    platform::wait_for_stop_signal();
    // A stop before the listener has started listening does nothing: it is
    // asked again until the listener has ended.
    while (!listening_ended) {
        server.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    listener.join();
    return 0;
}

}  // namespace tavmerk::explorer
