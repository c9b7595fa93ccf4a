// extract: the expansion engine without prompts, choosing records by glob
// patterns, into a folder or onto standard output.
#include <zlib.h>

#include "util/commands.h"
#include "archive/path_rules.h"
#include "engine/path_glob.h"

namespace tavmerk {

namespace {

class StreamSink : public ByteSink {
public:
    explicit StreamSink(std::ostream& out) : out_(out) {}
    bool write(const uint8_t* data, size_t size) override
    {
        out_.write(reinterpret_cast<const char*>(data), std::streamsize(size));
        return bool(out_);
    }

private:
    std::ostream& out_;
};

class ExtractReports : public ExpandEvents {
public:
    ExtractReports(UtilConsole& console, size_t root_length, ExistingFile existing)
        : console_(console), root_length_(root_length), existing_(existing)
    {
    }

    int status = util_ok;
    uint64_t written = 0;

    void record(const ExpandReport& report) override
    {
        const std::string path = shown_path(report.entry.path, root_length_);
        switch (report.outcome) {
        case ExpandOutcome::written:
            ++written;
            if (report.inflate_result != Z_OK)
                problem(path + ": bad zlib stream (zlib result " + std::to_string(report.inflate_result) +
                        "), written as far as it inflated");
            else if (report.entry.kind == RecordKind::compressed && report.size != report.entry.expanded_size)
                problem(path + ": zlib stream inflates to " + std::to_string(report.size) + " bytes, not " +
                        std::to_string(report.entry.expanded_size));
            break;
        case ExpandOutcome::exists:
            if (existing_ != ExistingFile::skip)
                problem(path + ": exists, left as it was");
            break;
        case ExpandOutcome::unsafe:
            problem(path + ": a \"..\" level in its path, not written");
            break;
        case ExpandOutcome::data_outside:
            problem(path + ": data outside the file, not written");
            break;
        case ExpandOutcome::cannot_create:
            problem(path + ": " + with_reason("cannot be created", report.error));
            break;
        case ExpandOutcome::write_failed:
            console_.error(path + ": " + with_reason("write failed", report.error));
            status = util_failed;
            break;
        case ExpandOutcome::deleted:
            break;
        }
        console_.progress("extracting", ++seen_);
    }

private:
    void problem(const std::string& line)
    {
        console_.error(line);
        status = worse(status, util_problems);
    }

    UtilConsole& console_;
    size_t root_length_;
    ExistingFile existing_;
    uint64_t seen_ = 0;
};

}  // namespace

int extract_command(const ExtractRequest& request, UtilConsole& console)
{
    // A version that cannot be had is told as such, before anything is written.
    if (!request.at.empty()) {
        const int found = with_mapped_archive(
            request.archive_path, console, [](const ArchiveBytes&) { return int(util_ok); }, request.at);
        if (found != util_ok)
            return found;
    }
    std::vector<bool> matched(request.patterns.size(), false);
    ExpandOptions options;
    options.workers = request.workers;
    // No key to wait for: an existing file is reported in its place, and
    // the work behind it goes on meanwhile.
    options.existing = request.existing == ExistingFile::report ? ExistingFile::skip : request.existing;
    options.select = [&](const FileEntry& entry, const std::string& relative) {
        if (!entry.live())
            return false;
        bool take = request.patterns.empty();
        for (size_t i = 0; i < request.patterns.size(); ++i)
            if (glob_match(request.patterns[i], relative))
                take = matched[i] = true;
        return take;
    };
    StreamSink sink(console.out());
    if (request.to_stdout)
        options.stream = &sink;
    options.at = request.at;
    ExtractReports reports(console, request.extract_root.size(), request.existing);
    const RunResult result = expand_archive(request.archive_path, request.extract_root, options, reports);
    console.out().flush();
    console.end_progress();
    int status = worse(reports.status, report_run_end(console, escape_name(request.archive_path), result));
    if (result.completed()) {
        for (size_t i = 0; i < matched.size(); ++i) {
            if (!matched[i]) {
                console.error(escape_name(request.patterns[i]) + ": matched nothing");
                status = worse(status, util_problems);
            }
        }
    }
    console.summary("extracted: " + std::to_string(reports.written));
    return status;
}

}  // namespace tavmerk
