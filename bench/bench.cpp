// Expansion and repacking throughput against baselines measured in the same
// run: (a) the straightforward single-threaded algorithm (zlib one-shot
// inflate / level-9 compress, one file at a time), (b) the physical floor
// (copying the expanded tree with `cp -r`; compressing the same files at
// level 9 on all cores in one process). Then the companion command on the
// same archive: update after 1% of the files changed (against "/P" of the
// same tree), patch apply of those edits (against update --sync), compact after three "/P" passes (against cp of its result),
// and test and extract (beside "/E"). Its structural commands: a 1 MiB add
// into a large archive (against zip adding the file), 1,000 small files in
// one add (against cp -r and a sync), create (against zip -9, tar with
// gzip -9 and level 9 on all cores) and update --sync (against zip -FS).
// The Python package: every file read through PackFile.open().read()
// (against extract --stdout), infolist() of 200,000 records, and 1,000
// writestr in one commit (against add). Where tavmerk-mount is built: reading
// every file through it, by this process and by find | xargs cat (against
// extract --stdout and the same reads on disk), random reads into a large
// zlib record, a 1 MiB save into a large archive, 1,000 small files copied
// in (against writing and fsyncing each on disk) and opens during a 96 MiB
// save.
//
//   tavmerk_bench [--size MiB] [--seed N] [--runs N] [--work DIR] [--large MiB]
//                 [--baseline-tool PATH] [--baseline-util PATH]
//   tavmerk_bench --scale 200000      time per record at 50,000 and 200,000
//   tavmerk_bench --large 1024 --size 0   only the large-file round
//   tavmerk_bench --mount-scale 200000   mounting and walking that many records
//   tavmerk_bench --history-scale 200000 one add with its version against one without
//   tavmerk_bench --only-mount 1 [--huge MiB]   the mount's rounds alone
//   tavmerk_bench --only-structure 1 [--add-size MiB]   the structural commands alone
//   tavmerk_bench --only-python 1   the Python package's rounds alone
//   tavmerk_bench --only-versions 1   reading, undoing and logging versions alone
//   tavmerk_bench --only-explorer 1   the explorer's rounds alone
//
// --large adds a first round on an archive of two large files (MiB of
// compressible data and a quarter of that stored): every command once,
// with its time and the peak of its anonymous memory. --size 0 leaves out
// the rounds on the generated tree. A baseline build, when given, takes its
// turn beside the tool in the rounds of "/E", "/P", test and extract.
//
// The archive is generated from the seed: thousands of files from 1 KiB to
// 4 MiB in nested folders, text-like, binary-like and incompressible data,
// stored and compressed records.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "archive/layout.h"
#include "archive/reader.h"
#include "checksum/checksum.h"
#include "engine/change_set.h"
#include "platform/platform.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Rng {
    uint64_t state;
    uint64_t next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    double unit() { return double(next() >> 11) / double(1ULL << 53); }
};

enum class Kind { text, binary, random };

Bytes make_data(Rng& rng, size_t size, Kind kind)
{
    static const char* const words[] = {"the ", "pack ", "archive ", "holds ", "folders ", "and ", "files, ",
                                        "each ", "stored ", "raw ", "or ", "compressed.\n", "level ", "score ",
                                        "player ", "texture ", "0.25 ", "1024 ", "true ", "false\n"};
    Bytes out;
    out.reserve(size);
    switch (kind) {
    case Kind::text:
        while (out.size() < size) {
            const char* w = words[rng.next() % 20];
            out.insert(out.end(), w, w + std::strlen(w));
        }
        break;
    case Kind::binary:
        // Records of small integers and repeated runs: compresses about 3:1.
        while (out.size() < size) {
            const uint64_t r = rng.next();
            if (r % 7 == 0) {
                out.insert(out.end(), 8 + r % 56, uint8_t(r >> 8));
            } else {
                for (int i = 0; i < 4; ++i)
                    out.push_back(uint8_t((r >> (8 * i)) & 0x3F));
            }
        }
        break;
    case Kind::random:
        while (out.size() < size) {
            const uint64_t r = rng.next();
            for (int i = 0; i < 8; ++i)
                out.push_back(uint8_t(r >> (8 * i)));
        }
        break;
    }
    out.resize(size);
    return out;
}

void put_be32(Bytes& b, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        b.push_back(uint8_t(v >> s));
}

struct GenFile {
    std::string name;
    Bytes stored;
    uint32_t expanded = 0;
};

// Generates the archive, with its record checksums and directory CRC (so
// that the companion command's test finds it intact); returns the number of
// files, the expanded bytes and each file's kind in directory order.
void generate(const std::string& path, size_t target_bytes, uint64_t seed, size_t& files, uint64_t& bytes,
              std::vector<Kind>& kinds)
{
    Rng rng{seed * 0x9E3779B97F4A7C15ULL + 1};
    struct Plan {
        size_t size;
        Kind kind;
        bool compress;
        uint64_t seed;
    };
    std::vector<Plan> plans;
    size_t total = 0;
    while (total < target_bytes) {
        const bool large = rng.unit() < 0.15;
        const double lo = large ? 16 : 10, hi = large ? 22 : 15;  // 64 KiB-4 MiB or 1-32 KiB
        const size_t size = size_t(std::exp2(lo + (hi - lo) * rng.unit()));
        const double k = rng.unit();
        const Kind kind = k < 0.5 ? Kind::text : k < 0.8 ? Kind::binary : Kind::random;
        const bool compress = kind != Kind::random && rng.unit() < 0.85;
        plans.push_back({size, kind, compress, rng.next()});
        total += size;
    }

    std::vector<GenFile> gen(plans.size());
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i; (i = next++) < plans.size();) {
            Rng r{plans[i].seed | 1};
            Bytes data = make_data(r, plans[i].size, plans[i].kind);
            gen[i].name = "file" + std::to_string(i) + (plans[i].kind == Kind::text ? ".txt" : ".bin");
            gen[i].expanded = uint32_t(data.size());
            if (plans[i].compress) {
                uLongf length = compressBound(uLong(data.size()));
                gen[i].stored.resize(length);
                compress2(gen[i].stored.data(), &length, data.data(), uLong(data.size()), 9);
                gen[i].stored.resize(length);
                if (length == data.size())
                    gen[i].stored = data;
            } else {
                gen[i].stored = std::move(data);
            }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < std::max(1u, std::thread::hardware_concurrency()); ++t)
        threads.emplace_back(worker);
    for (auto& t : threads)
        t.join();

    // Folders: 8 top-level, each with 6 subfolders of 5 subfolders; files
    // spread over the leaves and the levels above them.
    Bytes dir;
    std::vector<std::pair<size_t, size_t>> offsets;  // record position in dir, file index
    size_t file = 0;
    const size_t per_folder = (gen.size() + 8 * 6 * 6 - 1) / (8 * 6 * 6);
    auto folder_entry = [&](const std::string& name, uint32_t children) {
        put_be32(dir, 0);
        dir.push_back(0);
        put_be32(dir, 0);
        put_be32(dir, children);
        put_be32(dir, uint32_t(name.size()));
        dir.insert(dir.end(), name.begin(), name.end());
    };
    auto file_entries = [&](size_t count) {
        for (size_t i = 0; i < count && file < gen.size(); ++i, ++file) {
            put_be32(dir, uint32_t(file));
            dir.push_back(1);
            put_be32(dir, 0);
            offsets.emplace_back(dir.size(), file);
            put_be32(dir, uint32_t(gen[file].stored.size()));
            put_be32(dir, gen[file].expanded);
            put_be32(dir, tavmerk::additive_checksum(gen[file].stored.data(), gen[file].stored.size()));
            put_be32(dir, 0);
            put_be32(dir, uint32_t(gen[file].name.size()));
            dir.insert(dir.end(), gen[file].name.begin(), gen[file].name.end());
        }
    };
    auto remaining = [&](size_t want) { return uint32_t(std::min(want, gen.size() - file)); };
    for (int a = 0; a < 8; ++a) {
        folder_entry("area" + std::to_string(a), 6);
        for (int b = 0; b < 6; ++b) {
            const uint32_t own = remaining(per_folder);
            folder_entry("group" + std::to_string(b), 5 + own);
            file_entries(own);
            for (int c = 0; c < 5; ++c) {
                const uint32_t leaf = remaining(per_folder);
                folder_entry("set" + std::to_string(c), leaf);
                file_entries(leaf);
            }
        }
    }
    Bytes out(40, 0);
    out[16 + 3] = 8;
    const uint32_t dsize = uint32_t(dir.size());
    for (int i = 0; i < 4; ++i)
        out[28 + size_t(i)] = uint8_t(dsize >> (24 - 8 * i));
    const size_t data_start = 40 + dir.size();
    uint64_t at = data_start;
    files = 0;
    bytes = 0;
    kinds.clear();
    for (const auto& [pos, index] : offsets) {
        const uint32_t offset = uint32_t(at);
        for (int i = 0; i < 4; ++i)
            dir[pos + 12 + size_t(i)] = uint8_t(offset >> (24 - 8 * i));
        at += gen[index].stored.size();
        ++files;
        bytes += gen[index].expanded;
        kinds.push_back(plans[index].kind);
    }
    const uint32_t crc = tavmerk::Crc32().compute(dir.data(), dir.size());
    for (int i = 0; i < 4; ++i)
        out[36 + size_t(i)] = uint8_t(crc >> (24 - 8 * i));
    out.insert(out.end(), dir.begin(), dir.end());
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(out.data(), 1, out.size(), f);
    for (const auto& [pos, index] : offsets)
        std::fwrite(gen[index].stored.data(), 1, gen[index].stored.size(), f);
    std::fclose(f);
}

// Many small files in deep folder chains: `chains` top-level folders, each
// a chain of `depth` nested folders with `per_level` small files at every
// level (every third one compressed).
void generate_deep(const std::string& path, size_t chains, size_t depth, size_t per_level)
{
    const std::string text = "small file contents, small file contents\n";
    uLongf zlen = compressBound(uLong(text.size()));
    Bytes z(zlen);
    compress2(z.data(), &zlen, reinterpret_cast<const Bytef*>(text.data()), uLong(text.size()), 9);
    z.resize(zlen);
    Bytes dir;
    std::vector<std::pair<size_t, bool>> records;  // position, compressed
    for (size_t c = 0; c < chains; ++c) {
        for (size_t d = 0; d < depth; ++d) {
            const std::string name = d == 0 ? "chain" + std::to_string(c) : "level" + std::to_string(d);
            put_be32(dir, 0);
            dir.push_back(0);
            put_be32(dir, 0);
            put_be32(dir, uint32_t(per_level + (d + 1 < depth ? 1 : 0)));
            put_be32(dir, uint32_t(name.size()));
            dir.insert(dir.end(), name.begin(), name.end());
            for (size_t f = 0; f < per_level; ++f) {
                const std::string fname = "f" + std::to_string(f) + ".txt";
                const bool compressed = f % 3 == 0;
                put_be32(dir, 0);
                dir.push_back(1);
                put_be32(dir, 0);
                records.emplace_back(dir.size(), compressed);
                put_be32(dir, uint32_t(compressed ? z.size() : text.size()));
                put_be32(dir, uint32_t(text.size()));
                put_be32(dir, 0);
                put_be32(dir, 0);
                put_be32(dir, uint32_t(fname.size()));
                dir.insert(dir.end(), fname.begin(), fname.end());
            }
        }
    }
    Bytes out(40, 0);
    for (int i = 0; i < 4; ++i) {
        out[16 + size_t(i)] = uint8_t(uint32_t(chains) >> (24 - 8 * i));
        out[28 + size_t(i)] = uint8_t(uint32_t(dir.size()) >> (24 - 8 * i));
    }
    const uint32_t raw_at = uint32_t(40 + dir.size());
    const uint32_t z_at = uint32_t(raw_at + text.size());
    for (const auto& [pos, compressed] : records) {
        const uint32_t offset = compressed ? z_at : raw_at;  // records may share their data
        for (int i = 0; i < 4; ++i)
            dir[pos + 12 + size_t(i)] = uint8_t(offset >> (24 - 8 * i));
    }
    out.insert(out.end(), dir.begin(), dir.end());
    out.insert(out.end(), text.begin(), text.end());
    out.insert(out.end(), z.begin(), z.end());
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(out.data(), 1, out.size(), f);
    std::fclose(f);
}

long current_rss_kib()
{
    FILE* f = std::fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The anonymous memory a process holds now (KiB): its heap, stacks and
// private buffers, without the archive's mapped pages or the page cache.
long rss_anon_kib(pid_t pid)
{
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    long kib = 0;
    char line[256];
    while (f && std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "RssAnon: %ld", &kib) == 1)
            break;
    if (f)
        std::fclose(f);
    return kib;
}

// Runs `body` in a child process; returns wall seconds and peak RSS (KiB),
// and with `sample_anon` the peak of its anonymous memory, sampled every
// millisecond or so.
struct Measure {
    double seconds;
    long peak_kib;
    long anon_peak_kib = 0;
};

Measure in_child(const std::function<void()>& body, bool sample_anon = false)
{
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        body();
        _exit(0);
    }
    int status = 0;
    struct rusage usage {};
    long anon_peak = 0;
    if (sample_anon) {
        while (wait4(pid, &status, WNOHANG, &usage) == 0) {
            anon_peak = std::max(anon_peak, rss_anon_kib(pid));
            usleep(1000);
        }
    } else {
        wait4(pid, &status, 0, &usage);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "a measured run failed (status %d)\n", status);
        std::exit(1);
    }
    return {seconds, usage.ru_maxrss, anon_peak};
}

void run_command(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    std::vector<std::string> copies = args;
    for (auto& a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

void remove_tree(const std::string& path)
{
    if (fork() == 0)
        run_command({"rm", "-rf", "--one-file-system", path});  // never into a mount left behind
    int status;
    wait(&status);
    // Nothing left for the disk to write back while the next run is timed.
    ::sync();
}

// Baseline (a): the straightforward algorithm, one file at a time, over
// the archive reader's records (live ones with a safe path, as the tool
// expands them).
bool expandable(const tavmerk::FileEntry& entry) { return entry.live() && !entry.unsafe; }

void simple_expand(const std::string& archive, const std::string& root)
{
    tavmerk::platform::FileView view;
    tavmerk::platform::map_file(archive, view);
    tavmerk::ArchiveReader reader;
    if (!reader.open(view.data(), view.size(), view.size()))
        std::abort();
    tavmerk::RecordCursor records = reader.records(root + "/");
    while (records.next()) {
        const tavmerk::FileEntry& entry = records.entry();
        if (!expandable(entry))
            continue;
        const std::string& path = entry.path;
        for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
            mkdir(path.substr(0, at).c_str(), 0777);
        FILE* f = std::fopen(path.c_str(), "wb");
        const uint8_t* data = view.data() + entry.data_offset;
        if (entry.kind == tavmerk::RecordKind::stored) {
            std::fwrite(data, 1, entry.stored_size, f);
        } else {
            uLongf length = entry.expanded_size;
            Bytes buffer(length);
            uncompress(buffer.data(), &length, data, entry.stored_size);
            std::fwrite(buffer.data(), 1, length, f);
        }
        std::fclose(f);
        std::printf("%s\n", path.c_str());
    }
}

// Reads the header and directory into a buffer, appends each file's new
// data to the end of the archive, updates its record in the buffer, and
// writes the buffer back in place.
void simple_repack(const std::string& archive, const std::string& root)
{
    FILE* f = std::fopen(archive.c_str(), "r+b");
    uint8_t header[40];
    if (std::fread(header, 1, 40, f) != 40)
        std::abort();
    Bytes dir(40 + tavmerk::directory_size(header));
    std::fseek(f, 0, SEEK_SET);
    if (std::fread(dir.data(), 1, dir.size(), f) != dir.size())
        std::abort();
    std::fseek(f, 0, SEEK_END);
    tavmerk::ArchiveReader reader;
    if (!reader.open(dir.data(), dir.size(), uint64_t(std::ftell(f))))
        std::abort();
    tavmerk::RecordCursor records = reader.records(root + "/");
    while (records.next()) {
        const tavmerk::FileEntry& entry = records.entry();
        if (!expandable(entry))
            continue;
        FILE* source_file = std::fopen(entry.path.c_str(), "rb");
        if (!source_file)
            continue;
        std::fseek(source_file, 0, SEEK_END);
        Bytes source(size_t(std::ftell(source_file)));
        std::fseek(source_file, 0, SEEK_SET);
        if (std::fread(source.data(), 1, source.size(), source_file) != source.size())
            std::abort();
        std::fclose(source_file);
        std::fseek(f, 0, SEEK_END);
        const uint32_t offset = uint32_t(std::ftell(f));
        Bytes out;
        if (entry.kind == tavmerk::RecordKind::stored) {
            out = source;
        } else {
            uLongf length = compressBound(uLong(source.size()));
            out.resize(length);
            compress2(out.data(), &length, source.data(), uLong(source.size()), 9);
            out.resize(length);
        }
        std::fwrite(out.data(), 1, out.size(), f);
        uint8_t* record = dir.data() + tavmerk::directory_block_at + entry.record_at;
        tavmerk::set_data_offset(record, offset);
        tavmerk::set_stored_size(record, uint32_t(out.size()));
        tavmerk::set_expanded_size(record, uint32_t(source.size()));
        std::printf("%s\n", entry.path.c_str());
    }
    std::fseek(f, 0, SEEK_SET);
    std::fwrite(dir.data(), 1, dir.size(), f);
    std::fclose(f);
}

// Floor for repacking: the same files compressed at level 9 on all cores.
void compress_all(const std::vector<std::string>& paths)
{
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i; (i = next++) < paths.size();) {
            FILE* f = std::fopen(paths[i].c_str(), "rb");
            std::fseek(f, 0, SEEK_END);
            Bytes source(size_t(std::ftell(f)));
            std::fseek(f, 0, SEEK_SET);
            if (std::fread(source.data(), 1, source.size(), f) != source.size())
                std::abort();
            std::fclose(f);
            uLongf length = compressBound(uLong(source.size()));
            Bytes out(length);
            compress2(out.data(), &length, source.data(), uLong(source.size()), 9);
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < std::max(1u, std::thread::hardware_concurrency()); ++t)
        threads.emplace_back(worker);
    for (auto& t : threads)
        t.join();
}

// The live records of an archive, with paths under `root` ("" for paths
// relative to the archive), in directory order.
std::vector<tavmerk::FileEntry> live_records(const std::string& archive, const std::string& root)
{
    tavmerk::platform::FileView view;
    tavmerk::platform::map_file(archive, view);
    tavmerk::ArchiveReader reader;
    if (!reader.open(view.data(), view.size(), view.size()))
        std::abort();
    std::vector<tavmerk::FileEntry> entries;
    tavmerk::RecordCursor records = reader.records(root);
    while (records.next())
        if (expandable(records.entry()))
            entries.push_back(records.entry());
    return entries;
}

void copy_file(const std::string& from, const std::string& to)
{
    if (fork() == 0)
        run_command({"cp", from, to});
    int status;
    wait(&status);
}

uint64_t file_size(const std::string& path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return uint64_t(st.st_size);
}

// A fresh copy, on disk before the next run is timed.
void synced_copy(const std::string& from, const std::string& to)
{
    copy_file(from, to);
    ::sync();
}

// Rewrites about 1% of the files (at least one) with new content of the
// same kind and size; returns their indices in directory order and adds
// their sizes to `edited_bytes`.
std::vector<size_t> edit_files(const std::vector<tavmerk::FileEntry>& entries, const std::vector<Kind>& kinds,
                               uint64_t seed, uint64_t& edited_bytes)
{
    Rng rng{seed * 0xD1B54A32D192ED03ULL + 7};
    std::vector<size_t> chosen(entries.size());
    std::iota(chosen.begin(), chosen.end(), size_t(0));
    const size_t count = std::max<size_t>(1, entries.size() / 100);
    for (size_t i = 0; i < count; ++i)
        std::swap(chosen[i], chosen[i + rng.next() % (chosen.size() - i)]);
    chosen.resize(count);
    std::sort(chosen.begin(), chosen.end());
    for (const size_t i : chosen) {
        const Bytes data = make_data(rng, entries[i].expanded_size, kinds.at(i));
        FILE* f = std::fopen(entries[i].path.c_str(), "wb");
        if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size() || std::fclose(f) != 0)
            std::abort();
        edited_bytes += data.size();
    }
    return chosen;
}

// Another build of the two executables (--baseline-tool, --baseline-util),
// timed as one more contender in the rounds of "/E", "/P", test and
// extract: a before-and-after in the same run, under the same load.
std::string baseline_tool, baseline_util;

// The best of `runs` rounds for each contender. The contenders take turns
// within a round, each round starting with the next one, so that a machine
// that drifts (other load, memory the host has not backed yet, a file system
// slow to reuse what was just deleted) weighs on all of them alike.
struct Contender {
    std::function<void()> before;
    std::function<void()> body;
};

std::vector<Measure> best_of_rounds(int runs, const std::vector<Contender>& contenders)
{
    std::vector<Measure> best(contenders.size(), Measure{1e30, 0});
    for (int i = 0; i < runs; ++i) {
        for (size_t turn = 0; turn < contenders.size(); ++turn) {
            const size_t c = (size_t(i) + turn) % contenders.size();
            contenders[c].before();
            const Measure m = in_child(contenders[c].body);
            best[c].seconds = std::min(best[c].seconds, m.seconds);
            best[c].peak_kib = std::max(best[c].peak_kib, m.peak_kib);
        }
    }
    return best;
}


void report(const char* what, const Measure& m, uint64_t bytes, size_t files)
{
    std::printf("  %-44s %7.3f s %8.1f MB/s %9.0f files/s %8.1f MiB peak\n", what, m.seconds,
                double(bytes) / 1e6 / m.seconds, double(files) / m.seconds, double(m.peak_kib) / 1024);
}

void report_baseline(const char* what, const Measure& base, const Measure& tool, uint64_t bytes, size_t files)
{
    report(what, base, bytes, files);
    std::printf("  the tool under test takes %.2fx the baseline's time\n", tool.seconds / base.seconds);
}

// The tool's line and its baselines' (a) and (b), then the two ratios.
void report_round(const std::vector<Measure>& m, const char* const (&names)[3], const char* floor,
                  uint64_t bytes, size_t files)
{
    for (size_t i = 0; i < 3; ++i)
        report(names[i], m[i], bytes, files);
    std::printf("  ratio: %.2fx the single-threaded baseline, %.2fx the time of %s\n", m[1].seconds / m[0].seconds,
                m[0].seconds / m[2].seconds, floor);
}

void report_time(const char* what, const Measure& m)
{
    std::printf("  %-44s %7.3f s %8.1f MiB peak\n", what, m.seconds, double(m.peak_kib) / 1024);
}

// The companion command's rounds, on the same archive and tree: update
// after editing 1% of the files, against "/P"; a patch of those edits
// applied, against update --sync; compact after three "/P"
// passes, against cp of its result; test and extract beside "/E".
void util_rounds(const std::string& work, const std::string& tool, const std::string& util,
                 const std::string& archive, const std::string& out, const std::vector<Kind>& kinds, uint64_t seed,
                 int runs, uint64_t bytes, size_t files)
{
    const std::vector<tavmerk::FileEntry> original = live_records(archive, "");
    uint64_t edited_bytes = 0;
    const std::vector<size_t> edited = edit_files(live_records(archive, out + "/"), kinds, seed, edited_bytes);
    std::printf("update after rewriting %zu of %zu files (%.1f MB) with new content of the same kind (best of %d):\n",
                edited.size(), files, double(edited_bytes) / 1e6, runs);
    const std::string update_pak = work + "/update.pak", full_pak = work + "/full.pak";
    const std::vector<Measure> update_m = best_of_rounds(
        runs, {{[&] { synced_copy(archive, update_pak); }, [&] { run_command({util, "-q", "update", update_pak, out}); }},
               {[&] { synced_copy(archive, full_pak); }, [&] { run_command({tool, "/P", full_pak, out}); }}});
    report_time("tavmerk-util update", update_m[0]);
    report_time("tavmerk /P on the same tree", update_m[1]);
    std::printf("  ratio: update is %.1fx faster than /P (goal: 10x)\n", update_m[1].seconds / update_m[0].seconds);
    // What the last update round left: the records that got new data, and
    // how far the archive grew past the original.
    const std::vector<tavmerk::FileEntry> updated = live_records(update_pak, "");
    uint64_t new_data = 0;
    size_t moved = 0, moved_edited = 0;
    for (size_t i = 0; i < updated.size() && i < original.size(); ++i) {
        if (updated[i].data_offset == original[i].data_offset)
            continue;
        ++moved;
        moved_edited += std::binary_search(edited.begin(), edited.end(), i) ? 1 : 0;
        new_data += updated[i].stored_size;
    }
    const uint64_t grown = file_size(update_pak) - file_size(archive);
    std::printf("  archive grew by %llu bytes; %zu records got new data (%zu of them edited), %llu stored bytes:"
                " growth is %.3fx the changed files' new stored data\n",
                (unsigned long long)grown, moved, moved_edited, (unsigned long long)new_data,
                new_data ? double(grown) / double(new_data) : 0.0);

    // The same 1% shipped as a patch: made from the original to what
    // update left, applied to a copy of the original, against update
    // --sync of the same tree into a copy.
    const std::string patch = work + "/edit.patch", apply_pak = work + "/apply.pak";
    in_child([&] { run_command({util, "-q", "patch", "make", archive, update_pak, patch}); });
    std::printf("patch apply of the same edits: a %.2f MB patch for a %.1f MB archive (%.2f%%), best of %d:\n",
                double(file_size(patch)) / 1e6, double(file_size(archive)) / 1e6,
                100.0 * double(file_size(patch)) / double(file_size(archive)), runs);
    const std::vector<Measure> patch_m = best_of_rounds(
        runs, {{[&] { synced_copy(archive, apply_pak); }, [&] { run_command({util, "-q", "patch", "apply", apply_pak, patch}); }},
               {[&] { synced_copy(archive, full_pak); },
                [&] { run_command({util, "-q", "update", "--sync", full_pak, out}); }}});
    report_time("tavmerk-util patch apply", patch_m[0]);
    report_time("tavmerk-util update --sync from the tree", patch_m[1]);
    std::printf("  ratio: patch apply is %.1fx faster than update --sync\n", patch_m[1].seconds / patch_m[0].seconds);
    for (const std::string& file : {update_pak, full_pak, patch, apply_pak})
        remove_tree(file);

    const std::string passes = work + "/passes.pak", compacted = work + "/compacted.pak";
    const std::string compact_pak = work + "/compact.pak", cp_pak = work + "/cp.pak";
    copy_file(archive, passes);
    for (int i = 0; i < 3; ++i)
        in_child([&] { run_command({tool, "/P", passes, out}); });
    in_child([&] { run_command({util, "-q", "compact", passes, "-o", compacted}); });
    std::printf("compact after three /P passes: %.1f MB to %.1f MB (best of %d):\n", double(file_size(passes)) / 1e6,
                double(file_size(compacted)) / 1e6, runs);
    const auto remove_cp = [&] {
        unlink(cp_pak.c_str());
        ::sync();
    };
    const std::vector<Measure> compact_m = best_of_rounds(
        runs, {{[&] { synced_copy(passes, compact_pak); }, [&] { run_command({util, "-q", "compact", compact_pak}); }},
               {remove_cp, [&] { run_command({"cp", compacted, cp_pak}); }},
               {remove_cp, [&] {
                    // The copy made durable, as compact makes its result.
                    if (fork() == 0)
                        run_command({"cp", compacted, cp_pak});
                    int status;
                    wait(&status);
                    const int fd = open(cp_pak.c_str(), O_RDONLY);
                    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || fd < 0 || fsync(fd) != 0)
                        _exit(1);
                    close(fd);
                }}});
    report_time("tavmerk-util compact", compact_m[0]);
    report_time("cp of the compacted archive", compact_m[1]);
    report_time("cp of the compacted archive, then fsync", compact_m[2]);
    std::printf("  ratio: compact takes %.2fx the time of cp (goal: within 2x), %.2fx that of cp with fsync\n",
                compact_m[0].seconds / compact_m[1].seconds, compact_m[0].seconds / compact_m[2].seconds);
    std::printf("  compact's peak memory %.1f MiB for a %.1f MiB archive\n", double(compact_m[0].peak_kib) / 1024,
                double(file_size(passes)) / 1048576);
    for (const std::string& file : {passes, compacted, compact_pak, cp_pak})
        remove_tree(file);

    std::printf("test and extract beside /E (best of %d):\n", runs);
    const std::string expand_out = work + "/expand", extract_out = work + "/extract";
    std::vector<Contender> readers = {
        {[&] { remove_tree(expand_out); }, [&] { run_command({tool, "/E", archive, expand_out}); }},
        {[] {}, [&] { run_command({util, "-q", "test", archive}); }},
        {[&] { remove_tree(extract_out); }, [&] { run_command({util, "-q", "extract", archive, "-d", extract_out}); }}};
    if (!baseline_util.empty()) {
        readers.push_back({[] {}, [&] { run_command({baseline_util, "-q", "test", archive}); }});
        readers.push_back({[&] { remove_tree(extract_out); },
                           [&] { run_command({baseline_util, "-q", "extract", archive, "-d", extract_out}); }});
    }
    const std::vector<Measure> read_m = best_of_rounds(runs, readers);
    remove_tree(expand_out);
    remove_tree(extract_out);
    report("tavmerk /E", read_m[0], bytes, files);
    report("tavmerk-util test", read_m[1], bytes, files);
    report("tavmerk-util extract", read_m[2], bytes, files);
    std::printf("  ratio: test at %.2fx the MB/s of /E, extract at %.2fx\n", read_m[0].seconds / read_m[1].seconds,
                read_m[0].seconds / read_m[2].seconds);
    if (!baseline_util.empty()) {
        report_baseline("(baseline) tavmerk-util test", read_m[3], read_m[1], bytes, files);
        report_baseline("(baseline) tavmerk-util extract", read_m[4], read_m[2], bytes, files);
    }
}

// The large-file archive: one compressible file of `mib` MiB (binary-like
// data, compressed at level 1 to make it quickly) and one stored file of a
// quarter of that (noise), both made a block at a time so that this
// process stays small for the children it forks.
void generate_large(const std::string& path, size_t mib)
{
    const std::string names[2] = {"video.bin", "audio.raw"};
    Bytes dir;
    put_be32(dir, 0);
    dir.push_back(0);
    put_be32(dir, 0);
    put_be32(dir, 2);
    put_be32(dir, 5);
    dir.insert(dir.end(), {'l', 'a', 'r', 'g', 'e'});
    size_t record_at[2];
    for (int i = 0; i < 2; ++i) {
        put_be32(dir, uint32_t(i));
        dir.push_back(1);
        put_be32(dir, 0);
        record_at[i] = dir.size();
        for (int field = 0; field < 4; ++field)
            put_be32(dir, 0);
        put_be32(dir, uint32_t(names[i].size()));
        dir.insert(dir.end(), names[i].begin(), names[i].end());
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    Bytes head(40 + dir.size());
    std::fwrite(head.data(), 1, head.size(), f);

    const size_t block = size_t(1) << 20;
    uint64_t stored[2] = {0, 0}, expanded[2] = {uint64_t(mib) << 20, uint64_t(mib / 4) << 20};
    tavmerk::AdditiveChecksum sums[2];
    Rng rng{0x1A26E5EEDULL};
    z_stream z{};
    deflateInit(&z, 1);
    Bytes out(block * 2);
    for (uint64_t done = 0; done < expanded[0]; done += block) {
        Bytes data = make_data(rng, block, Kind::binary);
        z.next_in = data.data();
        z.avail_in = uInt(data.size());
        const bool last = done + block >= expanded[0];
        int result = Z_OK;
        do {
            z.next_out = out.data();
            z.avail_out = uInt(out.size());
            result = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            const size_t made = out.size() - z.avail_out;
            std::fwrite(out.data(), 1, made, f);
            sums[0].add(out.data(), made);
            stored[0] += made;
        } while (z.avail_out == 0 || (last && result != Z_STREAM_END));
    }
    deflateEnd(&z);
    for (uint64_t done = 0; done < expanded[1]; done += block) {
        const Bytes data = make_data(rng, block, Kind::random);
        std::fwrite(data.data(), 1, data.size(), f);
        sums[1].add(data.data(), data.size());
    }
    stored[1] = expanded[1];
    uint64_t at = head.size();
    for (int i = 0; i < 2; ++i) {
        uint8_t* record = dir.data() + record_at[i];
        tavmerk::set_stored_size(record, uint32_t(stored[i]));
        tavmerk::set_expanded_size(record, uint32_t(expanded[i]));
        tavmerk::set_record_checksum(record, sums[i].value());
        tavmerk::set_data_offset(record, uint32_t(at));
        at += stored[i];
    }
    head.assign(40, 0);
    head[19] = 1;
    tavmerk::write_be32(head.data() + 28, uint32_t(dir.size()));
    tavmerk::write_be32(head.data() + 36, tavmerk::Crc32().compute(dir.data(), dir.size()));
    head.insert(head.end(), dir.begin(), dir.end());
    std::fseek(f, 0, SEEK_SET);
    std::fwrite(head.data(), 1, head.size(), f);
    std::fclose(f);
}

// Every command once on the large-file archive, with its time and the
// peak of its anonymous memory: what must not grow with the files' size.
void large_round(const std::string& work, const std::string& tool, const std::string& util, size_t mib)
{
    const std::string archive = work + "/large.pak", out = work + "/large_out", extracted = work + "/large_extract";
    const std::string pak = work + "/large_repack.pak";
    generate_large(archive, mib);
    malloc_trim(0);
    std::printf("large files: %zu MiB compressible and %zu MiB stored, archive %.1f MB; each command once,"
                " with the peak of its anonymous memory (RssAnon):\n",
                mib, mib / 4, double(file_size(archive)) / 1e6);
    const auto fresh_copy = [&] { synced_copy(archive, pak); };
    const auto none = [] {};
    const struct {
        const char* what;
        std::function<void()> before;
        std::vector<std::string> command;
    } steps[] = {
        {"tavmerk /E", [&] { remove_tree(out); }, {tool, "/E", archive, out}},
        {"tavmerk-util test", none, {util, "-q", "test", archive}},
        {"tavmerk-util test ARCHIVE TREE", none, {util, "-q", "test", archive, out}},
        {"tavmerk-util extract -d", [&] { remove_tree(extracted); }, {util, "-q", "extract", archive, "-d", extracted}},
        {"tavmerk-util extract --stdout", none, {util, "-q", "extract", archive, "--stdout"}},
        {"tavmerk-util update, nothing changed", fresh_copy, {util, "-q", "update", pak, out}},
        {"tavmerk /P", fresh_copy, {tool, "/P", pak, out}},
        {"tavmerk-util compact (after /P)", none, {util, "-q", "compact", pak}},
        {"tavmerk-util update, the large file's last byte changed",
         [&] {
             const std::string large = out + "/large/video.bin";
             FILE* f = std::fopen(large.c_str(), "r+b");
             std::fseek(f, -1, SEEK_END);
             const int last = std::fgetc(f);
             std::fseek(f, -1, SEEK_END);
             std::fputc(last ^ 1, f);
             std::fclose(f);
             fresh_copy();
         },
         {util, "-q", "update", pak, out}},
    };
    long worst = 0;
    for (const auto& step : steps) {
        step.before();
        const Measure m = in_child([&] { run_command(step.command); }, true);
        std::printf("  %-58s %7.2f s %8.1f MiB anonymous\n", step.what, m.seconds, double(m.anon_peak_kib) / 1024);
        std::fflush(stdout);
        worst = std::max(worst, m.anon_peak_kib);
    }
    std::printf("  largest peak: %.1f MiB (bound: 64 MiB on 2 cores)\n", double(worst) / 1024);
    for (const std::string& path : {archive, out, extracted, pak})
        remove_tree(path);
}

// Time per record at two sizes: linear scaling keeps it level.
int scale(const std::string& work, const std::string& tool, size_t records)
{
    std::printf("scale: small files in chains of 200 nested folders\n");
    double per_record[2][2] = {};
    const size_t sizes[2] = {records / 4, records};
    for (int i = 0; i < 2; ++i) {
        const size_t depth = 200, per_level = 5;
        const size_t chains = std::max<size_t>(1, sizes[i] / (depth * per_level));
        const size_t n = chains * depth * per_level;
        const std::string archive = work + "/deep.pak";
        const std::string out = work + "/deep";
        generate_deep(archive, chains, depth, per_level);
        remove_tree(out);
        const Measure e = in_child([&] { run_command({tool, "/E", archive, out}); });
        const Measure p = in_child([&] { run_command({tool, "/P", archive, out}); });
        remove_tree(out);
        per_record[i][0] = e.seconds / double(n);
        per_record[i][1] = p.seconds / double(n);
        std::printf("  %7zu records: expand %6.2f s (%5.1f us/record), repack %6.2f s (%5.1f us/record)\n", n,
                    e.seconds, 1e6 * per_record[i][0], p.seconds, 1e6 * per_record[i][1]);
    }
    std::printf("  time per record, %zux the records: expand %.2fx, repack %.2fx (1.00x is linear)\n", sizes[1] / sizes[0],
                per_record[1][0] / per_record[0][0], per_record[1][1] / per_record[0][1]);
    return 0;
}

// Every file under `root`, listed as find lists them.
void files_under(const std::string& root, std::vector<std::string>& paths)
{
    DIR* dir = opendir(root.c_str());
    while (dir) {
        const dirent* entry = readdir(dir);
        if (!entry)
            break;
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        const bool folder = entry->d_type == DT_DIR ||
                            (entry->d_type == DT_UNKNOWN && stat((root + "/" + name).c_str(), &st) == 0 &&
                             S_ISDIR(st.st_mode));
        if (folder)
            files_under(root + "/" + name, paths);
        else
            paths.push_back(root + "/" + name);
    }
    if (dir)
        closedir(dir);
}

bool installed(const std::string& program)
{
    if (fork() == 0)
        run_command({"sh", "-c", "command -v " + program + " >/dev/null"});
    int status = 0;
    wait(&status);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ---- tavmerk-util's structural commands: add into a large archive (with
// room after its directory, and the one rewrite that makes it), add of many
// small files in one commit, create from the tree, and update --sync, each
// against zip, tar or the disk doing the same.

void shell(const std::string& line) { run_command({"sh", "-c", line}); }

// The exit status of a command whose output is of no interest.
int exit_status(const std::vector<std::string>& command)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        run_command(command);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

void write_file(const std::string& path, const Bytes& data)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size() || std::fclose(f) != 0)
        std::abort();
}

// A rewrite puts a new file in the archive's place: a new inode.
ino_t inode(const std::string& path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_ino;
}

void check(const char* what, bool ok)
{
    std::printf("  check: %s: %s\n", what, ok ? "ok" : "FAILED");
}

// Paths go into shell lines in single quotes.
std::string quoted(const std::string& path) { return "'" + path + "'"; }

// One 1 MiB text file at a time added to a large archive, with room after
// its directory, against zip adding the same file to a zip of the same
// tree; and the first add, which rewrites the archive to make that room.
void add_into_large(const std::string& work, const std::string& tool, const std::string& util, uint64_t seed,
                    int runs, size_t mib, bool have_zip)
{
    const std::string pak = work + "/add_large.pak", tree = work + "/add_large", zip = work + "/add_large.zip";
    const std::string stage = work + "/add_stage";
    size_t files = 0;
    uint64_t bytes = 0;
    std::vector<Kind> kinds;
    // MiB on disk: the generated data's ratio measured on a sample first
    // (the same seed, so the sample is the start of the same files).
    generate(pak, size_t(64) << 20, seed + 1, files, bytes, kinds);
    const double ratio = double(file_size(pak)) / double(bytes);
    generate(pak, size_t(double(mib << 20) / ratio), seed + 1, files, bytes, kinds);
    malloc_trim(0);
    if (have_zip) {
        // zip's default level for the tree: what is in the zip already
        // only has to be copied when a file is added.
        in_child([&] { run_command({tool, "/E", pak, tree}); });
        in_child([&] { shell("cd " + quoted(tree) + " && zip -q -r " + quoted(zip) + " ."); });
        remove_tree(tree);
    }
    mkdir(stage.c_str(), 0777);
    mkdir((stage + "/area0").c_str(), 0777);
    Rng rng{seed * 0x2545F4914F6CDD1DULL + 5};
    const auto fresh = [&](const std::string& name) {
        write_file(stage + "/area0/" + name, make_data(rng, 1 << 20, Kind::text));
        ::sync();
    };
    const auto add = [&](const std::string& name, const char* storage) {
        run_command({util, "-q", "add", pak, stage + "/area0/" + name, "--to", "area0", storage});
    };
    std::printf("adding one 1 MiB text file to a %.0f MiB archive (%zu files, %.1f MB expanded; best of %d):\n",
                double(file_size(pak)) / 1048576, files, double(bytes) / 1e6, runs);
    const ino_t original = inode(pak);
    fresh("first.txt");
    const Measure first = in_child([&] { add("first.txt", "--compress"); });
    const bool rewrote = inode(pak) != original;
    const Measure rewrite = in_child([&] {
        if (fork() == 0)
            run_command({"cp", pak, pak + ".copy"});
        int status;
        wait(&status);
        const int copy = open((pak + ".copy").c_str(), O_RDONLY);
        if (copy < 0 || fsync(copy) != 0)
            _exit(1);
    });
    remove_tree(pak + ".copy");

    const ino_t with_room = inode(pak);
    int serial = 0;
    std::string tool_name, stored_name, zip_name;
    // Stored, the same add without compressing: what the commit costs.
    // Compressing the file alone, in one process: what compressing costs.
    std::vector<Contender> adders = {
        {[&] { fresh(tool_name = "tool" + std::to_string(++serial) + ".txt"); }, [&] { add(tool_name, "--compress"); }},
        {[&] { fresh(stored_name = "stored" + std::to_string(++serial) + ".txt"); },
         [&] { add(stored_name, "--store"); }},
        {[] {},
         [&] {
             std::vector<std::string> one = {stage + "/area0/first.txt"};
             compress_all(one);
         }}};
    if (have_zip)
        adders.push_back({[&] { fresh(zip_name = "zip" + std::to_string(++serial) + ".txt"); },
                          [&] { shell("cd " + quoted(stage) + " && zip -q -9 " + quoted(zip) + " area0/" + zip_name); }});
    const std::vector<Measure> add_m = best_of_rounds(runs, adders);
    report_time("tavmerk-util add, with room", add_m[0]);
    if (have_zip) {
        report_time("zip -9 adding it to a zip of the same tree", add_m[3]);
        std::printf("  zip of the tree: %.1f MB; ratio: add takes %.3fx the time of zip\n",
                    double(file_size(zip)) / 1e6, add_m[0].seconds / add_m[3].seconds);
    } else {
        std::printf("  (zip is not installed here: no comparison)\n");
    }
    report_time("tavmerk-util add --store, with room", add_m[1]);
    report_time("level 9 of the file alone, in one process", add_m[2]);
    std::printf("  goal under 0.1 s: %s (%.3f s); compressing the file is %.0f%% of it\n",
                add_m[0].seconds < 0.1 ? "met" : "not met", add_m[0].seconds, 100 * add_m[2].seconds / add_m[0].seconds);
    // What the commit itself costs: the add less compressing the file, and
    // the stored add (which compresses nothing) beside it.
    const double commit_cost = add_m[0].seconds - add_m[2].seconds;
    std::printf("  the commit's own cost (add less compressing): %.1f ms, stored add %.1f ms; goal under 20 ms: %s\n",
                1000 * commit_cost, 1000 * add_m[1].seconds, commit_cost < 0.020 ? "met" : "not met");
    report_time("the first add, rewriting the archive for room", first);
    std::printf("  the first add %s the archive: %.3f s more than an add with room; a full copy (cp, then fsync)"
                " takes %.3f s\n",
                rewrote ? "rewrote" : "did not rewrite", first.seconds - add_m[0].seconds, rewrite.seconds);
    check("no timed add rewrote the archive", inode(pak) == with_room);
    check("tavmerk-util test exits 0", exit_status({util, "-q", "test", pak}) == 0);
    check("every added file listed", live_records(pak, "").size() == files + 1 + 2 * size_t(runs));
    for (const std::string& path : {pak, zip, stage})
        remove_tree(path);
}

// 1,000 files of 4 KiB in one add (one commit) into the benchmark's
// archive, with room made beforehand, against copying them to the disk
// and making them durable.
void add_many_small(const std::string& work, const std::string& util, const std::string& archive, int runs)
{
    const size_t count = 1000;
    const std::string batch = work + "/batch", room_pak = work + "/room.pak", pak = work + "/batch.pak";
    const std::string copy = work + "/batch_copy";
    mkdir(batch.c_str(), 0777);
    Rng rng{0xBA7C4ULL};
    for (size_t i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/small%04zu.%s", i, i % 2 ? "bin" : "txt");
        write_file(batch + name, make_data(rng, 4096, i % 2 ? Kind::binary : Kind::text));
    }
    // One small add first, so that the timed ones find room.
    copy_file(archive, room_pak);
    in_child([&] { run_command({util, "-q", "add", room_pak, batch + "/small0000.txt", "--to", "area1"}); });
    ::sync();
    const size_t before = live_records(room_pak, "").size();
    std::printf("adding %zu files of 4 KiB in one add, one commit (best of %d):\n", count, runs);
    ino_t fresh_inode = 0;
    const std::vector<Measure> m = best_of_rounds(
        runs, {{[&] {
                    synced_copy(room_pak, pak);
                    fresh_inode = inode(pak);
                },
                [&] { run_command({util, "-q", "add", pak, batch, "--to", "area0"}); }},
               {[&] { remove_tree(copy); }, [&] { shell("cp -r " + quoted(batch) + " " + quoted(copy) + " && sync -f " + quoted(copy)); }},
               {[&] { remove_tree(copy); },
                [&] {
                    // Each file written and fsync'd, then the folder.
                    mkdir(copy.c_str(), 0777);
                    std::vector<std::string> paths;
                    files_under(batch, paths);
                    std::vector<char> buffer(4096);
                    for (const std::string& from : paths) {
                        const int in = open(from.c_str(), O_RDONLY);
                        const ssize_t got = read(in, buffer.data(), buffer.size());
                        close(in);
                        const int out = open((copy + from.substr(batch.size())).c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0666);
                        if (got < 0 || out < 0 || write(out, buffer.data(), size_t(got)) != got || fsync(out) != 0)
                            _exit(1);
                        close(out);
                    }
                    const int folder = open(copy.c_str(), O_RDONLY);
                    if (folder < 0 || fsync(folder) != 0)
                        _exit(1);
                    close(folder);
                }}});
    report_time("tavmerk-util add of the folder", m[0]);
    report_time("cp -r of the folder, then sync -f", m[1]);
    report_time("each file written and fsync'd, then the folder", m[2]);
    std::printf("  ratio: add takes %.2fx the time of cp -r with sync -f, %.2fx that of a write and fsync per file\n",
                m[0].seconds / m[1].seconds, m[0].seconds / m[2].seconds);
    check("the add found room (no rewrite)", inode(pak) == fresh_inode);
    check("tavmerk-util test exits 0", exit_status({util, "-q", "test", pak}) == 0);
    check("every file listed", live_records(pak, "").size() == before + count);
    for (const std::string& path : {batch, room_pak, pak, copy})
        remove_tree(path);
}

// create from the expanded tree against zip -9 -r, tar with gzip -9, and
// the floor: every file compressed at level 9 on all cores. Leaves the new
// archive and zip for update --sync.
void create_round(const std::string& work, const std::string& util, const std::string& out, int runs, bool have_zip,
                  const std::string& created, const std::string& zipped)
{
    std::vector<std::string> paths;
    files_under(out, paths);
    uint64_t bytes = 0;
    for (const std::string& p : paths)
        bytes += file_size(p);
    const std::string tgz = work + "/created.tgz";
    std::printf("create from the expanded tree, %zu files, %.1f MB (best of %d):\n", paths.size(), double(bytes) / 1e6,
                runs);
    std::vector<Contender> makers = {
        {[&] { remove_tree(created); }, [&] { run_command({util, "-q", "create", created, out}); }},
        {[] {}, [&] { compress_all(paths); }},
        {[&] { remove_tree(tgz); }, [&] { shell("tar -I 'gzip -9' -cf " + quoted(tgz) + " -C " + quoted(out) + " ."); }}};
    if (have_zip)
        makers.push_back({[&] { remove_tree(zipped); },
                          [&] { shell("cd " + quoted(out) + " && zip -q -9 -r " + quoted(zipped) + " ."); }});
    const std::vector<Measure> m = best_of_rounds(runs, makers);
    report(("tavmerk-util create (" + std::to_string(file_size(created) / 1000000) + " MB)").c_str(), m[0], bytes,
           paths.size());
    report("level 9 on all cores, reading the files", m[1], bytes, paths.size());
    report(("tar -I 'gzip -9' -c (" + std::to_string(file_size(tgz) / 1000000) + " MB)").c_str(), m[2], bytes,
           paths.size());
    if (have_zip)
        report(("zip -9 -r (" + std::to_string(file_size(zipped) / 1000000) + " MB)").c_str(), m[3], bytes,
               paths.size());
    std::printf("  ratio: create takes %.2fx the time of the floor (goal: within 1.15x: %s), %.2fx that of tar with"
                " gzip -9",
                m[0].seconds / m[1].seconds, m[0].seconds <= 1.15 * m[1].seconds ? "met" : "not met",
                m[0].seconds / m[2].seconds);
    if (have_zip)
        std::printf(", %.2fx that of zip -9", m[0].seconds / m[3].seconds);
    std::printf("\n");
    check("tavmerk-util test ARCHIVE TREE exits 0", exit_status({util, "-q", "test", created, out}) == 0);
    check("every file listed", live_records(created, "").size() == paths.size());
    remove_tree(tgz);
}

// update --sync after 1% of the files changed, 1% added and 1% removed,
// against zip -FS on a zip of the same tree; both from fresh copies.
void sync_round(const std::string& work, const std::string& util, const std::string& out, int runs, bool have_zip,
                const std::string& created, const std::string& zipped, uint64_t seed)
{
    const std::string tree = work + "/sync_tree", pak = work + "/sync.pak", zip = work + "/sync.zip";
    // -a: zip -FS tells changed files by their time, which must be the
    // zipped tree's.
    in_child([&] { run_command({"cp", "-a", out, tree}); });
    sleep(2);  // the zip's times have a resolution of 2 s
    std::vector<std::string> paths;
    files_under(tree, paths);
    std::sort(paths.begin(), paths.end());
    Rng rng{seed * 0x94D049BB133111EBULL + 9};
    const size_t count = std::max<size_t>(1, paths.size() / 100);
    for (size_t i = 0; i < 3 * count; ++i)
        std::swap(paths[i], paths[i + rng.next() % (paths.size() - i)]);
    uint64_t changed_bytes = 0;
    for (size_t i = 0; i < count; ++i) {
        const std::string& p = paths[i];
        const Kind kind = p.size() > 4 && p.compare(p.size() - 4, 4, ".txt") == 0 ? Kind::text : Kind::binary;
        const Bytes data = make_data(rng, size_t(file_size(p)), kind);
        write_file(p, data);
        changed_bytes += data.size();
        unlink(paths[count + i].c_str());
        // A new file beside another, of its size.
        const std::string& beside = paths[2 * count + i];
        const Bytes added = make_data(rng, size_t(file_size(beside)), Kind::text);
        write_file(beside.substr(0, beside.rfind('/')) + "/added" + std::to_string(i) + ".txt", added);
        changed_bytes += added.size();
    }
    ::sync();
    std::printf("update --sync after %zu files changed, %zu added and %zu removed of %zu (%.1f MB new; best of %d):\n",
                count, count, count, paths.size(), double(changed_bytes) / 1e6, runs);
    ino_t fresh_inode = 0;
    std::vector<Contender> syncers = {{[&] {
                                           synced_copy(created, pak);
                                           fresh_inode = inode(pak);
                                       },
                                       [&] { run_command({util, "-q", "update", pak, tree, "--sync"}); }}};
    if (have_zip)
        syncers.push_back({[&] { synced_copy(zipped, zip); },
                           [&] { shell("cd " + quoted(tree) + " && zip -q -9 -r -FS " + quoted(zip) + " ."); }});
    const std::vector<Measure> m = best_of_rounds(runs, syncers);
    report_time("tavmerk-util update --sync", m[0]);
    if (have_zip) {
        report_time("zip -9 -r -FS on a zip of the same tree", m[1]);
        std::printf("  ratio: update --sync takes %.2fx the time of zip -FS\n", m[0].seconds / m[1].seconds);
    } else {
        std::printf("  (zip is not installed here: no comparison)\n");
    }
    std::printf("  the archive grew by %llu bytes and %s rewritten\n",
                (unsigned long long)(file_size(pak) - file_size(created)),
                inode(pak) == fresh_inode ? "was not" : "was");
    check("tavmerk-util test ARCHIVE TREE exits 0", exit_status({util, "-q", "test", pak, tree}) == 0);
    check("as many files listed as the tree holds", live_records(pak, "").size() == paths.size());
    for (const std::string& path : {tree, pak, zip})
        remove_tree(path);
}

void structure_rounds(const std::string& work, const std::string& tool, const std::string& util,
                      const std::string& archive, const std::string& out, uint64_t seed, int runs, size_t add_mib)
{
    const bool have_zip = installed("zip");
    if (!have_zip)
        std::printf("(zip is not installed here: the rounds below leave it out)\n");
    add_into_large(work, tool, util, seed, runs, add_mib, have_zip);
    add_many_small(work, util, archive, runs);
    const std::string created = work + "/created.pak", zipped = work + "/created.zip";
    create_round(work, util, out, runs, have_zip, created, zipped);
    sync_round(work, util, out, runs, have_zip, created, zipped, seed);
    remove_tree(created);
    remove_tree(zipped);
}


// ---- Versions: reading an earlier version against the current one, an
// undo of a 1 MiB change, and the log of 1,000 versions.
void versions_rounds(const std::string& work, const std::string& util, const std::string& archive, int runs)
{
    const std::string pak = work + "/versions.pak", prepared = work + "/versions-prepared.pak";
    const std::string small = work + "/versions-small.txt", large = work + "/versions-1mib.bin";
    const std::vector<tavmerk::FileEntry> records = live_records(archive, "");
    const std::string top = records.empty() ? "" : records.front().path.substr(0, records.front().path.find('/'));
    write_file(small, Bytes(100, 'v'));
    Rng rng{7};
    Bytes mib(1 << 20);
    for (uint8_t& b : mib)
        b = uint8_t(rng.next());
    write_file(large, mib);
    // The archive with three commits on it: 1 MiB (which makes room where
    // it has none), 1 MiB again under another name, then 100 bytes: the
    // version before the last holds as much as the current one but for
    // those 100 bytes, and an undo to ~2 takes back a 1 MiB change.
    copy_file(archive, prepared);
    const std::string large_again = work + "/versions-1mib-again.bin";
    write_file(large_again, mib);
    in_child([&] { run_command({util, "-q", "add", "--to", top, prepared, large}); });
    in_child([&] { run_command({util, "-q", "add", "--to", top, prepared, large_again}); });
    in_child([&] { run_command({util, "-q", "add", "--to", top, prepared, small}); });
    remove_tree(large_again);

    std::printf("versions: extract of an earlier version, against extract of the current one "
                "(best of %d):\n", runs);
    const std::string now_out = work + "/versions-now", then_out = work + "/versions-then";
    const std::vector<Measure> extract_m = best_of_rounds(
        runs, {{[&] { remove_tree(now_out); }, [&] { run_command({util, "-q", "extract", prepared, "-d", now_out}); }},
               {[&] { remove_tree(then_out); },
                [&] { run_command({util, "-q", "extract", "--at", "~1", prepared, "-d", then_out}); }}});
    report_time("tavmerk-util extract", extract_m[0]);
    report_time("tavmerk-util extract --at ~1 (100 bytes less)", extract_m[1]);
    std::printf("  ratio: %.2fx (goal: within 1.1x)\n", extract_m[1].seconds / extract_m[0].seconds);
    remove_tree(now_out);
    remove_tree(then_out);

    std::printf("versions: undo of a 1 MiB change (best of %d):\n", runs);
    const std::vector<Measure> undo_m = best_of_rounds(
        runs, {{[&] { synced_copy(prepared, pak); }, [&] { run_command({util, "-q", "undo", "--to", "~2", pak}); }}});
    report_time("tavmerk-util undo", undo_m[0]);
    std::printf("  goal: under 0.1 s: %s\n", undo_m[0].seconds < 0.1 ? "met" : "missed");

    // 1,000 commits on a small archive, made in-process, then its log.
    const std::string many = work + "/versions-many.pak";
    copy_file(prepared, many);
    {
        tavmerk::ChangeSet warm;
        warm.mkdir(top + "/versions");
        tavmerk::commit_changes(many, warm);
    }
    for (int i = 0; i < 1000; ++i) {
        tavmerk::ChangeSet changes;
        const std::string text = "commit " + std::to_string(i);
        changes.put(top + "/versions/log.txt", tavmerk::Content::of_bytes(std::vector<uint8_t>(text.begin(), text.end())));
        tavmerk::CommitOptions options;
        options.summary = "bench commit " + std::to_string(i);
        if (!tavmerk::commit_changes(many, changes, options).ok()) {
            std::printf("  a commit failed\n");
            return;
        }
    }
    std::printf("versions: log of 1,001 versions of an archive of %zu records (best of %d):\n", records.size() + 2,
                runs);
    const std::vector<Measure> log_m = best_of_rounds(runs, {{[] {}, [&] { run_command({util, "log", many}); }}});
    report_time("tavmerk-util log", log_m[0]);
    std::printf("  goal: under 0.5 s: %s\n", log_m[0].seconds < 0.5 ? "met" : "missed");
    for (const std::string& f : {pak, prepared, small, large, many})
        remove_tree(f);
}

#ifdef TAVMERK_MOUNT_BINARY
// ---- tavmerk-mount: reading through the mount against extract --stdout,
// random reads into a large zlib record, a 1 MiB save into a large archive,
// and mounting and walking many records.

struct MountProcess {
    pid_t pid = -1;
    std::string point;
};

// Runs `command` (a mount that stays in the foreground, or one that
// puts itself in the background) and waits until the mount is in place.
MountProcess start_mount_command(const std::vector<std::string>& command, const std::string& point)
{
    mkdir(point.c_str(), 0777);
    struct stat outer {}, inner {};
    stat((point + "/..").c_str(), &outer);
    MountProcess m{fork(), point};
    if (m.pid == 0)
        run_command(command);
    for (int i = 0; i < 100000; ++i) {
        if (stat(point.c_str(), &inner) == 0 && inner.st_dev != outer.st_dev)
            return m;
        usleep(200);
    }
    std::fprintf(stderr, "the mount did not come up\n");
    std::exit(1);
}

// Starts `tavmerk-mount -f` and waits until the mount is in place.
MountProcess start_mount(const std::string& archive, const std::string& point,
                         const std::vector<std::string>& options = {})
{
    std::vector<std::string> args = {TAVMERK_MOUNT_BINARY, archive, point, "-f"};
    args.insert(args.end(), options.begin(), options.end());
    return start_mount_command(args, point);
}

// Unmounts; the mount process's peak memory in KiB.
long stop_mount(MountProcess& m)
{
    const pid_t unmount = fork();
    if (unmount == 0)
        run_command({"fusermount3", "-u", m.point});
    int status = 0;
    waitpid(unmount, &status, 0);
    struct rusage usage {};
    wait4(m.pid, &status, 0, &usage);
    return usage.ru_maxrss;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One add of one file to an archive of `records` records (in deep folder
// chains), recording its version, against the same add recording none:
// the median of `runs` rounds each, and their ratio. A first add to each
// makes its room, untimed.
int history_scale(const std::string& work, size_t records, int runs)
{
    const size_t chains = std::max<size_t>(1, records / 50);  // 10 levels of 5 files
    const std::string with = work + "/history.pak", without = work + "/no-history.pak";
    generate_deep(with, chains, 10, 5);
    copy_file(with, without);
    const auto add = [](const std::string& pak, const std::string& name, bool keep) {
        tavmerk::ChangeSet changes;
        const std::string text = "a new file " + name + "\n";
        changes.put("chain0/" + name, tavmerk::Content::of_bytes(std::vector<uint8_t>(text.begin(), text.end())));
        tavmerk::CommitOptions options;
        options.keep_version = keep;
        const auto start = std::chrono::steady_clock::now();
        const bool ok = tavmerk::commit_changes(pak, changes, options).ok();
        const double took = seconds_since(start);
        return ok ? took : -1.0;
    };
    if (add(with, "first.txt", true) < 0 || add(without, "first.txt", false) < 0)
        return 1;
    std::vector<double> kept, none;
    for (int r = 0; r < runs; ++r) {
        const std::string name = "added" + std::to_string(r) + ".txt";
        kept.push_back(add(with, name, true));
        none.push_back(add(without, name, false));
    }
    std::sort(kept.begin(), kept.end());
    std::sort(none.begin(), none.end());
    const double a = kept[kept.size() / 2], b = none[none.size() / 2];
    std::printf("add of one file to %zu records: %.4f s with its version, %.4f s without: %.2fx (goal <= 1.2x)\n",
                chains * 50, a, b, b > 0 ? a / b : 0.0);
    return 0;
}

// Writes an archive of one folder "big" holding "huge.txt" (`huge` bytes
// of text, a zlib stream made at level 1 to keep this quick) and
// "edit.txt" (1 MiB of text, level 9), both compressed.
void generate_huge(const std::string& path, uint64_t huge, uint64_t seed)
{
    const std::string names[2] = {"huge.txt", "edit.txt"};
    Bytes dir;
    put_be32(dir, 0);
    dir.push_back(0);
    put_be32(dir, 0);
    put_be32(dir, 2);
    put_be32(dir, 3);
    dir.insert(dir.end(), {'b', 'i', 'g'});
    size_t record_at[2];
    for (int i = 0; i < 2; ++i) {
        put_be32(dir, 0);
        dir.push_back(1);
        put_be32(dir, 0);
        record_at[i] = dir.size();
        for (int k = 0; k < 5; ++k)
            put_be32(dir, 0);  // sizes, checksum, offset and name length set below
        dir.insert(dir.end(), names[i].begin(), names[i].end());
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    Bytes head(40 + dir.size(), 0);
    std::fwrite(head.data(), 1, head.size(), f);
    Rng rng{seed * 0x9E3779B97F4A7C15ULL + 3};
    uint64_t at = head.size();
    for (int i = 0; i < 2; ++i) {
        const uint64_t size = i == 0 ? huge : (1 << 20);
        z_stream strm{};
        deflateInit(&strm, i == 0 ? 1 : 9);
        Bytes out(1 << 20);
        uint64_t made = 0, stored = 0;
        uint32_t checksum = 0;
        Bytes chunk;
        strm.next_out = out.data();
        strm.avail_out = uInt(out.size());
        for (int ret = Z_OK; ret != Z_STREAM_END;) {
            if (strm.avail_in == 0 && made < size) {
                chunk = make_data(rng, size_t(std::min<uint64_t>(size - made, 1 << 20)), Kind::text);
                made += chunk.size();
                strm.next_in = chunk.data();
                strm.avail_in = uInt(chunk.size());
            }
            ret = deflate(&strm, made == size ? Z_FINISH : Z_NO_FLUSH);
            if (strm.avail_out > 0 && ret != Z_STREAM_END)
                continue;
            // Whole buffers (multiples of 4) but the last: the additive
            // checksums of the pieces add up.
            const size_t n = out.size() - strm.avail_out;
            std::fwrite(out.data(), 1, n, f);
            checksum += tavmerk::additive_checksum(out.data(), n);
            stored += n;
            strm.next_out = out.data();
            strm.avail_out = uInt(out.size());
        }
        deflateEnd(&strm);
        uint8_t* r = dir.data() + record_at[i];
        tavmerk::write_be32(r, uint32_t(stored));
        tavmerk::write_be32(r + 4, uint32_t(size));
        tavmerk::write_be32(r + 8, checksum);
        tavmerk::write_be32(r + 12, uint32_t(at));
        tavmerk::write_be32(r + 16, uint32_t(names[i].size()));
        at += stored;
    }
    tavmerk::write_be32(head.data() + 16, 1);
    tavmerk::write_be32(head.data() + 28, uint32_t(dir.size()));
    tavmerk::write_be32(head.data() + 36, tavmerk::Crc32().compute(dir.data(), dir.size()));
    std::copy(dir.begin(), dir.end(), head.begin() + 40);
    std::fseek(f, 0, SEEK_SET);
    std::fwrite(head.data(), 1, head.size(), f);
    std::fclose(f);
}

// Reads every file under `root` once, two at a time, as cat does (open,
// fstat, reads of 128 KiB, close), in this one process: the cost of
// reading without that of starting a program for every few files.
void read_all(const std::string& root)
{
    std::vector<std::string> paths;
    files_under(root, paths);
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    const auto reader = [&] {
        std::vector<char> buffer(128 << 10);
        for (size_t i = next++; i < paths.size(); i = next++) {
            const int fd = open(paths[i].c_str(), O_RDONLY);
            struct stat st;
            if (fd < 0 || fstat(fd, &st) != 0)
                failed = true;
            ssize_t got = 0;
            while (fd >= 0 && (got = read(fd, buffer.data(), buffer.size())) > 0) {
            }
            if (got < 0)
                failed = true;
            if (fd >= 0)
                close(fd);
        }
    };
    std::thread other(reader);
    reader();
    other.join();
    if (failed)
        _exit(1);
}

// The same tree read through other mounting tools, where the machine has
// them: fuse-zip from a zip of it (deflate, zip's default level),
// archivemount from a tar of it; the first read after mounting and one
// with the files in the kernel's cache, against extract --stdout.
void other_mounts(const std::string& work, const std::string& tree, const std::string& point,
                  const Measure& extract, uint64_t bytes, size_t files)
{
    const struct {
        const char* tool;
        std::string archive, make;
        std::vector<std::string> mount;
    } others[] = {
        {"fuse-zip", work + "/tree.zip", "zip -qr " + work + "/tree.zip .",
         {"fuse-zip", "-r", work + "/tree.zip", point}},
        {"archivemount", work + "/tree.tar", "tar -cf " + work + "/tree.tar .",
         {"archivemount", "-o", "readonly", work + "/tree.tar", point}},
    };
    for (const auto& other : others) {
        if (!installed(other.tool)) {
            std::printf("  (%s is not installed here: no comparison)\n", other.tool);
            continue;
        }
        in_child([&] { run_command({"sh", "-c", "cd '" + tree + "' && " + other.make}); });
        MountProcess m = start_mount_command(other.mount, point);
        const Measure first = in_child([&] { read_all(point); });
        const Measure again = in_child([&] { read_all(point); });
        in_child([&] { run_command({"umount", point}); });
        waitpid(m.pid, nullptr, 0);
        std::printf("  %s, archive %.1f MB:\n", other.tool, double(file_size(other.archive)) / 1e6);
        report("  every file read through the fresh mount", first, bytes, files);
        report("  and again, once the kernel has the files", again, bytes, files);
        std::printf("  ratio: %.2fx and %.2fx the time of extract --stdout\n", first.seconds / extract.seconds,
                    again.seconds / extract.seconds);
        remove_tree(other.archive);
    }
}

// Writing through the mount: 1,000 files of 4 KiB copied in, each
// durable when it is closed, against the floor of that durability on disk
// (each file written and fsynced); tar -x of the same files; two processes
// appending to one file, against the same on disk; and how long an open
// and read of another file, and of the file itself, wait while a 96 MiB
// save commits.
void mount_write_rounds(const std::string& work, const std::string& util, const std::string& point)
{
    const std::string src = work + "/small_src", floor_dir = work + "/small_floor", seed = work + "/seed";
    const std::string pak = work + "/writes.pak", tar = work + "/small.tar";
    Rng rng{21};
    mkdir(src.c_str(), 0755);
    for (int i = 0; i < 1000; ++i)
        write_file(src + "/f" + std::to_string(i) + ".txt", make_data(rng, 4096, Kind::text));
    in_child([&] { run_command({"tar", "-cf", tar, "-C", src, "."}); });
    mkdir(seed.c_str(), 0755);
    mkdir((seed + "/t").c_str(), 0755);
    write_file(seed + "/t/big.bin", make_data(rng, 1 << 20, Kind::binary));
    write_file(seed + "/t/small.txt", make_data(rng, 4096, Kind::text));
    const auto fresh_archive = [&] {
        remove_tree(pak);
        in_child([&] { run_command({util, "-q", "create", pak, seed}); });
    };
    const Measure floor = in_child([&] {
        mkdir(floor_dir.c_str(), 0755);
        std::vector<char> data(4096, 'x');
        for (int i = 0; i < 1000; ++i) {
            const int fd = open((floor_dir + "/f" + std::to_string(i) + ".txt").c_str(), O_WRONLY | O_CREAT, 0644);
            if (fd < 0 || write(fd, data.data(), data.size()) != ssize_t(data.size()) || fsync(fd) != 0 || close(fd))
                _exit(1);
        }
    });
    remove_tree(floor_dir);
    fresh_archive();
    MountProcess m = start_mount(pak, point);
    const Measure copied = in_child([&] { run_command({"cp", "-r", src, point + "/t/copied"}); });
    const Measure untarred = in_child([&] {
        mkdir((point + "/t/untarred").c_str(), 0755);
        run_command({"tar", "-xf", tar, "-C", point + "/t/untarred"});
    });
    stop_mount(m);
    const size_t in_archive = live_records(pak, "").size();
    std::printf("1,000 files of 4 KiB into the mount, each durable at close (%zu records after):\n", in_archive);
    std::printf("  written and fsynced one by one on disk (the floor): %.3f s, %.2f ms a file\n", floor.seconds,
                floor.seconds);
    std::printf("  cp -r into the mount: %.3f s, %.2f ms a file\n", copied.seconds, copied.seconds);
    std::printf("  ratio: %.2fx the floor (goal: within 3x)\n", copied.seconds / floor.seconds);
    std::printf("  tar -x into the mount: %.3f s, %.2fx the floor\n", untarred.seconds, untarred.seconds / floor.seconds);

    // Two processes appending lines to one file at once, each line
    // written with O_APPEND and fsynced: through the mount, every fsync a
    // commit of the one content both share, against the same on disk.
    const int lines = 500;
    const auto two_appenders = [&](const std::string& path) {
        return in_child([&] {
            pid_t appenders[2];
            for (int p = 0; p < 2; ++p) {
                appenders[p] = fork();
                if (appenders[p] != 0)
                    continue;
                const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
                for (int i = 0; i < lines && fd >= 0; ++i) {
                    const std::string line = "appender " + std::to_string(p) + " line " + std::to_string(i) + "\n";
                    if (write(fd, line.data(), line.size()) != ssize_t(line.size()) || fsync(fd) != 0)
                        _exit(1);
                }
                _exit(fd >= 0 && close(fd) == 0 ? 0 : 1);
            }
            for (const pid_t appender : appenders)
                waitpid(appender, nullptr, 0);
        });
    };
    // Every line there once, and nothing else.
    const auto all_lines = [&](const std::string& path) {
        std::string text;
        const int fd = open(path.c_str(), O_RDONLY);
        char buffer[65536];
        for (ssize_t n; fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0;)
            text.append(buffer, size_t(n));
        if (fd >= 0)
            close(fd);
        std::vector<std::string> got, wanted;
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            got.push_back(text.substr(at, end - at));
        for (int p = 0; p < 2; ++p)
            for (int i = 0; i < lines; ++i)
                wanted.push_back("appender " + std::to_string(p) + " line " + std::to_string(i));
        std::sort(got.begin(), got.end());
        std::sort(wanted.begin(), wanted.end());
        return got == wanted && text.size() == std::accumulate(wanted.begin(), wanted.end(), size_t(0),
                                                                [](size_t n, const std::string& line) {
                                                                    return n + line.size() + 1;
                                                                });
    };
    mkdir(floor_dir.c_str(), 0755);
    const Measure appended_floor = two_appenders(floor_dir + "/log");
    const bool floor_whole = all_lines(floor_dir + "/log");
    remove_tree(floor_dir);
    fresh_archive();
    m = start_mount(pak, point);
    const Measure appended = two_appenders(point + "/t/log");
    const bool mount_whole = all_lines(point + "/t/log");
    stop_mount(m);
    std::printf("two processes appending %d lines each to one file, each line fsynced:\n", lines);
    std::printf("  on disk: %.3f s%s\n", appended_floor.seconds, floor_whole ? "" : " (lines lost!)");
    std::printf("  through the mount: %.3f s%s\n", appended.seconds, mount_whole ? "" : " (lines lost!)");
    std::printf("  ratio: %.2fx (goal: within 3x)\n", appended.seconds / appended_floor.seconds);

    // A 96 MiB save, and opens of another file, and of the file being
    // saved, while it commits.
    fresh_archive();
    m = start_mount(pak, point);
    std::atomic<bool> saving{true};
    double save_seconds = 0;
    std::thread save([&] {
        const Bytes data = make_data(rng, size_t(96) << 20, Kind::text);
        const auto start = std::chrono::steady_clock::now();
        const int out = open((point + "/t/big.bin").c_str(), O_WRONLY | O_TRUNC);
        if (out < 0 || write(out, data.data(), data.size()) != ssize_t(data.size()) || close(out) != 0)
            std::exit(1);
        save_seconds = seconds_since(start);
        saving = false;
    });
    double worst = 0, worst_saving = 0;
    size_t opens = 0, opens_saving = 0;
    std::vector<char> buffer(4096);
    while (saving) {
        // Another file, then the one being saved (its data compressed or
        // being compressed: the open waits at most for the final commit).
        for (const bool same : {false, true}) {
            const auto start = std::chrono::steady_clock::now();
            // The file being saved may be empty yet: it was opened with O_TRUNC.
            const int in = open((point + (same ? "/t/big.bin" : "/t/small.txt")).c_str(), O_RDONLY);
            if (in < 0 || read(in, buffer.data(), buffer.size()) < (same ? 0 : 1) || close(in) != 0)
                std::exit(1);
            if (!saving)
                break;
            (same ? worst_saving : worst) = std::max(same ? worst_saving : worst, seconds_since(start));
            ++(same ? opens_saving : opens);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    save.join();
    stop_mount(m);
    std::printf("a 96 MiB save through the mount (%.2f s until close() returns):\n", save_seconds);
    std::printf("  the slowest of %zu opens and reads of another file meanwhile: %.1f ms (goal: at most 50 ms)\n",
                opens, worst * 1e3);
    std::printf("  the slowest of %zu opens and reads of the file being saved: %.1f ms (goal: at most 50 ms)\n",
                opens_saving, worst_saving * 1e3);
    remove_tree(src);
    remove_tree(seed);
    remove_tree(tar);
    remove_tree(pak);
}

void mount_rounds(const std::string& work, const std::string& tool, const std::string& util,
                  const std::string& archive, int runs, uint64_t bytes, size_t files, uint64_t huge_mib)
{
    const std::string point = work + "/mnt", tree = work + "/mount_floor";
    const auto cat_all = [](const std::string& root) {
        run_command({"sh", "-c", "find '" + root + "' -type f -print0 | xargs -0 -n 64 -P 2 cat"});
    };
    in_child([&] { run_command({tool, "/E", archive, tree}); });
    std::printf("reading every file through tavmerk-mount (--cache-size 64), against extract --stdout (best of %d):\n",
                runs);
    MountProcess m = start_mount(archive, point);
    // The first reads inflate every record; the rounds after may find the
    // files in the kernel's cache.
    const Measure first_read = in_child([&] { read_all(point); });
    const std::vector<Measure> read_m =
        best_of_rounds(runs, {{[] {}, [&] { run_command({util, "-q", "extract", "--stdout", archive}); }},
                              {[] {}, [&] { read_all(point); }},
                              {[] {}, [&] { read_all(tree); }},
                              {[] {}, [&] { cat_all(point); }},
                              {[] {}, [&] { cat_all(tree); }}});
    const long read_peak = stop_mount(m);
    report("tavmerk-util extract --stdout", read_m[0], bytes, files);
    report("every file read through the fresh mount", first_read, bytes, files);
    report("every file read through the mount (2 at once)", read_m[1], bytes, files);
    report("the same reads of the expanded tree on disk", read_m[2], bytes, files);
    std::printf("  ratio: the fresh mount takes %.2fx the time of extract --stdout (goal: at most 1.5x)\n",
                first_read.seconds / read_m[0].seconds);
    std::printf("  ratio: the mount takes %.2fx the time of extract --stdout once the kernel has the files, %.2fx"
                " that of the reads on disk\n",
                read_m[1].seconds / read_m[0].seconds, read_m[1].seconds / read_m[2].seconds);
    report("find | xargs -P 2 cat through the mount", read_m[3], bytes, files);
    report("the same cat of the expanded tree on disk", read_m[4], bytes, files);
    std::printf("  ratio: cat through the mount takes %.2fx the time of extract --stdout, %.2fx that of cat on disk\n",
                read_m[3].seconds / read_m[0].seconds, read_m[3].seconds / read_m[4].seconds);
    std::printf("  the mount's peak memory: %.1f MiB\n", double(read_peak) / 1024);
    other_mounts(work, tree, point, read_m[0], bytes, files);
    remove_tree(tree);

    const std::string huge_pak = work + "/huge.pak";
    const uint64_t huge = huge_mib << 20;
    generate_huge(huge_pak, huge, 5);
    std::printf("random 4 KiB reads in a %llu MiB zlib record (archive %.1f MB):\n", (unsigned long long)huge_mib,
                double(file_size(huge_pak)) / 1e6);
    m = start_mount(huge_pak, point);
    const int fd = open((point + "/big/huge.txt").c_str(), O_RDONLY);
    std::vector<char> block(4096);
    auto timed_read = [&](uint64_t at) {
        const auto start = std::chrono::steady_clock::now();
        if (pread(fd, block.data(), block.size(), off_t(at)) != ssize_t(block.size()))
            std::exit(1);
        return seconds_since(start);
    };
    std::printf("  first read, at the far end (inflates the record once, recording checkpoints): %.3f s\n",
                timed_read(huge - 4096));
    Rng rng{11};
    std::vector<double> by_quarter[4];
    for (int i = 0; i < 400; ++i) {
        const uint64_t at = rng.next() % (huge - 4096);
        by_quarter[at * 4 / huge].push_back(timed_read(at));
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    std::vector<double> all;
    for (int q = 0; q < 4; ++q) {
        all.insert(all.end(), by_quarter[q].begin(), by_quarter[q].end());
        std::printf("  offsets in quarter %d: median %.2f ms over %zu reads\n", q + 1, 1e3 * median(by_quarter[q]),
                    by_quarter[q].size());
    }
    std::printf("  all 400 reads: median %.2f ms\n", 1e3 * median(all));
    close(fd);

    std::printf("saving a 1 MiB edit into that archive (best of %d):\n", runs);
    Rng edit_rng{13};
    double best_save = 1e30;
    uint64_t grown = 0, new_stored = 0;
    for (int i = 0; i < runs; ++i) {
        const Bytes data = make_data(edit_rng, 1 << 20, Kind::text);
        const uint64_t before = file_size(huge_pak);
        const auto start = std::chrono::steady_clock::now();
        const int out = open((point + "/big/edit.txt").c_str(), O_WRONLY | O_TRUNC);
        if (out < 0 || write(out, data.data(), data.size()) != ssize_t(data.size()) || close(out) != 0)
            std::exit(1);
        best_save = std::min(best_save, seconds_since(start));
        grown = file_size(huge_pak) - before;
        new_stored = live_records(huge_pak, "").at(1).stored_size;
    }
    stop_mount(m);
    std::printf("  open, write and close() through the mount: %.3f s (goal: under 0.2 s)\n", best_save);
    std::printf("  the archive grew by %llu bytes, the record's new stored data is %llu bytes\n",
                (unsigned long long)grown, (unsigned long long)new_stored);
    const Measure rewrite = in_child([&] {
        if (fork() == 0)
            run_command({"cp", huge_pak, huge_pak + ".copy"});
        int status;
        wait(&status);
        const int copy = open((huge_pak + ".copy").c_str(), O_RDONLY);
        if (copy < 0 || fsync(copy) != 0)
            _exit(1);
    });
    std::printf("  a full rewrite of the archive (cp, then fsync): %.3f s\n", rewrite.seconds);
    remove_tree(huge_pak + ".copy");
    remove_tree(huge_pak);
    mount_write_rounds(work, util, point);
}

// Mounting an archive of `records` small records in nested folders, and
// find over the mount against find over the expanded tree.
int mount_scale(const std::string& work, const std::string& tool, size_t records)
{
    const size_t depth = 200, per_level = 5;
    const size_t chains = std::max<size_t>(1, records / (depth * per_level));
    const std::string archive = work + "/deep.pak", out = work + "/deep", point = work + "/mnt";
    generate_deep(archive, chains, depth, per_level);
    in_child([&] { run_command({tool, "/E", archive, out}); });
    std::printf("mount of %zu records in chains of %zu nested folders:\n", chains * depth * per_level, depth);
    const auto start = std::chrono::steady_clock::now();
    MountProcess m = start_mount(archive, point);
    std::printf("  mounted in %.3f s (goal: under 1 s)\n", seconds_since(start));
    const std::vector<Measure> find_m =
        best_of_rounds(3, {{[] {}, [&] { run_command({"find", point}); }}, {[] {}, [&] { run_command({"find", out}); }}});
    const long peak = stop_mount(m);
    report_time("find over the mount", find_m[0]);
    report_time("find over the expanded tree", find_m[1]);
    std::printf("  ratio: %.2fx (goal: within 2x); the mount's peak memory %.1f MiB\n",
                find_m[0].seconds / find_m[1].seconds, double(peak) / 1024);
    if (!std::getenv("TAVMERK_BENCH_KEEP"))
        remove_tree(out);
    return 0;
}
#endif

}  // namespace

#ifdef TAVMERK_EXPLORER
// ---- The explorer (tavmerk-util serve): answers over HTTP beside the
// commands that read the same: the first page of 200,000 records (info and
// the top folder) against tavmerk-util info, a folder of 10,000 entries
// against list, a search against list, and a 64 MiB record against extract
// --stdout of it. Requests are timed in this process, the commands as
// child processes.

namespace {

double elapsed_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Served {
    pid_t pid = -1;
    int port = 0;
    std::string token;
};

Served start_server(const std::string& util, const std::string& archive)
{
    int fds[2];
    if (pipe(fds) != 0)
        std::exit(1);
    Served s;
    s.pid = fork();
    if (s.pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        run_command({util, "serve", archive});
    }
    close(fds[1]);
    std::string line;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        line += c;
    close(fds[0]);
    const size_t colon = line.rfind(':');
    if (colon == std::string::npos || line.find("token=") == std::string::npos) {
        std::fprintf(stderr, "serve did not start: %s\n", line.c_str());
        std::exit(1);
    }
    s.port = std::stoi(line.substr(colon + 1));
    s.token = line.substr(line.find("token=") + 6);
    return s;
}

void stop_server(const Served& s)
{
    kill(s.pid, SIGTERM);
    int status;
    waitpid(s.pid, &status, 0);
}

// One GET; the bytes of the answer's body (its headers cut off).
size_t http_get(const Served& s, const std::string& target)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(s.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        std::exit(1);
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(s.port) +
                                "\r\nX-Tavmerk-Token: " + s.token + "\r\nConnection: close\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
        std::exit(1);
    std::vector<char> buffer(1 << 20);
    size_t total = 0;
    std::string head;
    for (ssize_t n; (n = recv(fd, buffer.data(), buffer.size(), 0)) > 0;) {
        if (head.size() < 12)
            head.append(buffer.data(), size_t(std::min<ssize_t>(n, 12)));
        total += size_t(n);
    }
    close(fd);
    if (head.compare(0, 12, "HTTP/1.1 200") != 0) {
        std::fprintf(stderr, "GET %s: %s\n", target.c_str(), head.c_str());
        std::exit(1);
    }
    return total;
}

// The best of `runs` timings of `body`, in seconds.
double best_time(int runs, const std::function<void()>& body)
{
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        body();
        best = std::min(best, elapsed_since(start));
    }
    return best;
}

void write_small_file(const std::string& path, const Bytes& data)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size() || std::fclose(f) != 0)
        std::exit(1);
}

}  // namespace

void explorer_rounds(const std::string& work, const std::string& util, int runs)
{
    const std::string deep = work + "/explorer_many.pak";
    generate_deep(deep, 4000, 10, 5);  // 200,000 records in 44,000 folders
    {
        const auto start = std::chrono::steady_clock::now();
        const Served s = start_server(util, deep);
        http_get(s, "/api/info");
        http_get(s, "/api/children?path=");
        const double first = elapsed_since(start);
        const double warm = best_time(runs, [&] {
            http_get(s, "/api/info");
            http_get(s, "/api/children?path=");
        });
        const double search = best_time(runs, [&] { http_get(s, "/api/search?q=nothing%20such"); });
        const double glob = best_time(runs, [&] { http_get(s, "/api/search?q=*9/*7*"); });
        stop_server(s);
        const std::vector<Measure> m = best_of_rounds(runs, {{[] {}, [&] { run_command({util, "info", deep}); }},
                                                             {[] {}, [&] { run_command({util, "list", deep}); }}});
        std::printf("explorer, 200,000 records:\n");
        std::printf("  first page (serve started, info, the top folder): %.3f s; again %.4f s\n", first, warm);
        report_time("tavmerk-util info", m[0]);
        std::printf("  ratio: first page %.2fx info, again %.3fx info\n", first / m[0].seconds, warm / m[0].seconds);
        std::printf("  search matching nothing (every path read): %.4f s, \"*9/*7*\" (capped at 1,000): %.4f s "
                    "(goal: under 0.2 s); list %.3f s, ratio %.3fx\n",
                    search, glob, m[1].seconds, std::max(search, glob) / m[1].seconds);
    }
    remove_tree(deep);

    // A folder of 10,000 entries, and a 64 MiB record.
    const std::string tree = work + "/explorer_tree", wide = tree + "/wide";
    mkdir(tree.c_str(), 0777);
    mkdir(wide.c_str(), 0777);
    Rng rng{11};
    for (int i = 0; i < 10000; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/f%05d.txt", i);
        write_small_file(wide + name, make_data(rng, 512, Kind::text));
    }
    const std::string big = tree + "/big";
    mkdir(big.c_str(), 0777);
    write_small_file(big + "/large.bin", make_data(rng, size_t(64) << 20, Kind::text));
    const std::string pak = work + "/explorer_wide.pak";
    in_child([&] { run_command({util, "-q", "create", pak, tree}); });
    remove_tree(tree);
    const Served s = start_server(util, pak);
    http_get(s, "/api/info");
    const double listing = best_time(runs, [&] { http_get(s, "/api/children?path=wide"); });
    const double record = best_time(runs, [&] { http_get(s, "/api/file?path=big/large.bin"); });
    stop_server(s);
    const std::vector<Measure> m =
        best_of_rounds(runs, {{[] {}, [&] { run_command({util, "list", pak}); }},
                              {[] {}, [&] { run_command({util, "-q", "extract", "--stdout", pak, "big/large.bin"}); }}});
    std::printf("explorer, a folder of 10,000 entries: %.4f s; tavmerk-util list of the archive %.3f s; ratio %.3fx\n",
                listing, m[0].seconds, listing / m[0].seconds);
    std::printf("explorer, a 64 MiB zlib record over HTTP: %.3f s; extract --stdout of it %.3f s; ratio %.2fx\n",
                record, m[1].seconds, record / m[1].seconds);
    remove_tree(pak);
}

#endif

#ifdef TAVMERK_PYTHON_PACKAGE
// ---- The Python package over libtavmerk: every file read through
// PackFile.open().read() beside extract --stdout, infolist() of 200,000
// records, and 1,000 writestr in one commit beside add of the same files.

const char* const python_read_all = R"(import sys, tavmerk
with tavmerk.PackFile(sys.argv[1]) as pack:
    for info in pack.infolist():
        if not info.is_dir():
            with pack.open(info) as stream:
                stream.read()
)";
const char* const python_infolist = R"(import sys, tavmerk
with tavmerk.PackFile(sys.argv[1]) as pack:
    if len(pack.infolist()) < int(sys.argv[2]):
        sys.exit(1)
)";
const char* const python_import = "import sys, tavmerk\n";
const char* const python_writestr = R"(import os, sys, tavmerk
with tavmerk.PackFile(sys.argv[1], "a") as pack:
    for name in sorted(os.listdir(sys.argv[2])):
        with open(os.path.join(sys.argv[2], name), "rb") as f:
            pack.writestr("area0/src/" + name, f.read())
)";

void python_rounds(const std::string& work, const std::string& util, const std::string& archive, int runs,
                   uint64_t bytes, size_t files)
{
    setenv("PYTHONPATH", TAVMERK_PYTHON_PACKAGE, 1);
    setenv("TAVMERK_LIBRARY", TAVMERK_LIBRARY_FILE, 1);
    std::printf("python: every file read (best of %d):\n", runs);
    const std::vector<Measure> read_m = best_of_rounds(
        runs, {{[] {}, [&] { run_command({"python3", "-c", python_read_all, archive}); }},
               {[] {}, [&] { run_command({util, "-q", "extract", "--stdout", archive}); }},
               {[] {}, [&] { run_command({"python3", "-c", python_import}); }}});
    report("PackFile.open().read() of every file", read_m[0], bytes, files);
    report("tavmerk-util extract --stdout", read_m[1], bytes, files);
    report_time("python3 starting and importing tavmerk", read_m[2]);
    std::printf("  ratio: %.2fx extract --stdout, %.2fx beyond starting python3 (goal: 1.3x at most)\n",
                read_m[0].seconds / read_m[1].seconds, (read_m[0].seconds - read_m[2].seconds) / read_m[1].seconds);

    const std::string deep = work + "/python_many.pak";
    generate_deep(deep, 4000, 10, 5);  // 200,000 records in 44,000 folders, 11 levels deep
    const std::vector<Measure> list_m = best_of_rounds(
        runs, {{[] {}, [&] { run_command({"python3", "-c", python_infolist, deep, "200000"}); }},
               {[] {}, [&] { run_command({"python3", "-c", python_import}); }}});
    std::printf("python: infolist() of 200,000 records: %.3f s beyond starting python3 and importing "
                "(%.3f s in all; goal: under 1 s)\n",
                list_m[0].seconds - list_m[1].seconds, list_m[0].seconds);
    remove_tree(deep);

    const std::string src = work + "/src", one = work + "/writestr.pak", other = work + "/add.pak";
    mkdir(src.c_str(), 0777);
    Rng rng{7};
    for (int i = 0; i < 1000; ++i) {
        const Bytes data = make_data(rng, 4096, Kind::text);
        char name[32];
        std::snprintf(name, sizeof name, "/f%04d.txt", i);
        FILE* f = std::fopen((src + name).c_str(), "wb");
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
    const std::vector<Measure> write_m = best_of_rounds(
        runs, {{[&] { synced_copy(archive, one); }, [&] { run_command({"python3", "-c", python_writestr, one, src}); }},
               {[&] { synced_copy(archive, other); }, [&] { run_command({util, "-q", "add", other, src, "--to", "area0"}); }}});
    report_time("1,000 writestr in one commit", write_m[0]);
    report_time("tavmerk-util add of the same 1,000 files", write_m[1]);
    std::printf("  ratio: %.2fx add\n", write_m[0].seconds / write_m[1].seconds);
    remove_tree(src);
    remove_tree(one);
    remove_tree(other);
}
#endif

int main(int argc, char** argv)
{
    size_t size_mib = 256;
    uint64_t seed = 1;
    int runs = 3;
    size_t scale_records = 0;
    size_t large_mib = 0;
    size_t mount_scale_records = 0;
    size_t history_records = 0;
    uint64_t huge_mib = 1024;
    bool only_mount = false;
    bool only_python = false;
    bool only_explorer = false;
    size_t add_mib = 1024;
    bool only_structure = false;
    bool only_versions = false;
    std::string work = "/tmp/tavmerk-bench";
    std::string tool = TAVMERK_BINARY;
    std::string util = TAVMERK_UTIL_BINARY;
    if (argc > 1 && std::string(argv[1]) == "--help") {
        std::printf("tavmerk_bench [--size MiB] [--seed N] [--runs N] [--work DIR] [--tool PATH] [--util PATH]"
                    " [--large MiB] [--baseline-tool PATH] [--baseline-util PATH] [--only-python 1]\n"
                    "tavmerk_bench --scale RECORDS\n"
                    "--large MiB: first, every command once on an archive of MiB of compressible data and a\n"
                    "quarter of that stored, with each one's time and peak anonymous memory; --size 0: only that.\n"
                    "--baseline-tool, --baseline-util: another build, timed beside the tool in the same rounds.\n"
                    "--only-structure 1 [--add-size MiB]: only add, create and update --sync against zip, tar and\n"
                    "the disk; --add-size: the archive a 1 MiB file is added to, on disk (default 1024).\n");
        return 0;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--size")
            size_mib = std::stoul(argv[i + 1]);
        else if (opt == "--seed")
            seed = std::stoull(argv[i + 1]);
        else if (opt == "--runs")
            runs = std::stoi(argv[i + 1]);
        else if (opt == "--work")
            work = argv[i + 1];
        else if (opt == "--tool")
            tool = argv[i + 1];
        else if (opt == "--util")
            util = argv[i + 1];
        else if (opt == "--scale")
            scale_records = std::stoul(argv[i + 1]);
        else if (opt == "--large")
            large_mib = std::stoul(argv[i + 1]);
        else if (opt == "--baseline-tool")
            baseline_tool = argv[i + 1];
        else if (opt == "--baseline-util")
            baseline_util = argv[i + 1];
        else if (opt == "--history-scale")
            history_records = std::stoul(argv[i + 1]);
        else if (opt == "--mount-scale")
            mount_scale_records = std::stoul(argv[i + 1]);
        else if (opt == "--huge")
            huge_mib = std::stoul(argv[i + 1]);
        else if (opt == "--only-mount")
            only_mount = std::stoi(argv[i + 1]) != 0;
        else if (opt == "--only-explorer")
            only_explorer = std::stoi(argv[i + 1]) != 0;
        else if (opt == "--only-python")
            only_python = std::stoi(argv[i + 1]) != 0;
        else if (opt == "--add-size")
            add_mib = std::stoul(argv[i + 1]);
        else if (opt == "--only-structure")
            only_structure = std::stoi(argv[i + 1]) != 0;
        else if (opt == "--only-versions")
            only_versions = std::stoi(argv[i + 1]) != 0;
    }
    remove_tree(work);
    mkdir(work.c_str(), 0777);
    if (history_records) {
        const int status = history_scale(work, history_records, std::max(runs, 5));
        if (!std::getenv("TAVMERK_BENCH_KEEP"))
            remove_tree(work);
        return status;
    }
    if (scale_records || mount_scale_records) {
        int status = 0;
        if (scale_records)
            status = scale(work, tool, scale_records);
#ifdef TAVMERK_MOUNT_BINARY
        if (mount_scale_records)
            status = mount_scale(work, tool, mount_scale_records);
#endif
        if (!std::getenv("TAVMERK_BENCH_KEEP"))
            remove_tree(work);
        return status;
    }
#ifdef TAVMERK_EXPLORER
    if (only_explorer) {
        explorer_rounds(work, util, runs);
        remove_tree(work);
        return 0;
    }
#else
    (void)only_explorer;
#endif
    if (large_mib)
        large_round(work, tool, util, large_mib);
    if (size_mib == 0) {
        remove_tree(work);
        return 0;
    }
    const std::string archive = work + "/bench.pak";
    size_t files = 0;
    uint64_t bytes = 0;
    std::vector<Kind> kinds;
    generate(archive, size_mib << 20, seed, files, bytes, kinds);
    // A measured child starts as a copy of this process, and its peak
    // memory counts what it had then: keep this process small.
    malloc_trim(0);
    struct stat st;
    stat(archive.c_str(), &st);
    std::printf("archive: %zu files, %.1f MB expanded, %.1f MB on disk (seed %llu); %u cores\n", files,
                double(bytes) / 1e6, double(st.st_size) / 1e6, (unsigned long long)seed,
                std::thread::hardware_concurrency());

    const std::string out = work + "/out";
#ifdef TAVMERK_PYTHON_PACKAGE
    if (only_python) {
        python_rounds(work, util, archive, runs, bytes, files);
        if (!std::getenv("TAVMERK_BENCH_KEEP"))
            remove_tree(work);
        return 0;
    }
#endif
#ifdef TAVMERK_MOUNT_BINARY
    if (only_mount) {
        mount_rounds(work, tool, util, archive, runs, bytes, files, huge_mib);
        if (!std::getenv("TAVMERK_BENCH_KEEP"))
            remove_tree(work);
        return 0;
    }
#endif
    if (only_versions) {
        versions_rounds(work, util, archive, runs);
        if (!std::getenv("TAVMERK_BENCH_KEEP"))
            remove_tree(work);
        return 0;
    }
    if (only_structure) {
        in_child([&] { run_command({tool, "/E", archive, out}); });
        structure_rounds(work, tool, util, archive, out, seed, runs, add_mib);
        if (!std::getenv("TAVMERK_BENCH_KEEP"))
            remove_tree(work);
        return 0;
    }

    std::printf("expand (best of %d):\n", runs);
    // cp copies the tree the first expansion made; each contender removes
    // its own previous tree before its turn.
    in_child([&] { run_command({tool, "/E", archive, out}); });
    const std::string tool_out = work + "/tool", simple_out = work + "/simple", copy = work + "/copy";
    const std::string base_out = work + "/baseline";
    std::vector<Contender> expanders = {
        {[&] { remove_tree(tool_out); }, [&] { run_command({tool, "/E", archive, tool_out}); }},
        {[&] { remove_tree(simple_out); }, [&] { simple_expand(archive, simple_out); }},
        {[&] { remove_tree(copy); }, [&] { run_command({"cp", "-r", out, copy}); }}};
    if (!baseline_tool.empty())
        expanders.push_back({[&] { remove_tree(base_out); }, [&] { run_command({baseline_tool, "/E", archive, base_out}); }});
    const std::vector<Measure> expand_m = best_of_rounds(runs, expanders);
    for (const std::string& tree : {tool_out, simple_out, copy, base_out})
        remove_tree(tree);
    report_round(expand_m, {"tavmerk /E", "(a) single-threaded zlib, one file at a time", "(b) cp -r of the expanded tree"},
                 "cp -r", bytes, files);
    if (!baseline_tool.empty())
        report_baseline("(baseline) tavmerk /E", expand_m[3], expand_m[0], bytes, files);

    // Repack: the expanded tree back into a fresh copy of the archive.
    const std::string pak = work + "/repack.pak";
    const auto fresh_copy = [&] { copy_file(archive, pak); };
    std::vector<std::string> compressed_paths;
    for (const tavmerk::FileEntry& entry : live_records(archive, out + "/"))
        if (entry.kind == tavmerk::RecordKind::compressed)
            compressed_paths.push_back(entry.path);
    size_t largest = 0;
    for (const auto& p : compressed_paths) {
        stat(p.c_str(), &st);
        largest = std::max(largest, size_t(st.st_size));
    }
    std::printf("(this process: %.1f MiB; every peak below includes what it held at the fork)\n",
                double(current_rss_kib()) / 1024);
    const int repack_runs = runs;
    std::printf("repack (best of %d):\n", repack_runs);
    const std::string base_pak = work + "/repack_baseline.pak";
    std::vector<Contender> repackers = {{fresh_copy, [&] { run_command({tool, "/P", pak, out}); }},
                                        {fresh_copy, [&] { simple_repack(pak, out); }},
                                        {[] {}, [&] { compress_all(compressed_paths); }}};
    if (!baseline_tool.empty())
        repackers.push_back({[&] { copy_file(archive, base_pak); }, [&] { run_command({baseline_tool, "/P", base_pak, out}); }});
    const std::vector<Measure> repack_m = best_of_rounds(repack_runs, repackers);
    report_round(repack_m,
                 {"tavmerk /P", "(a) single-threaded compress2 level 9", "(b) compress2 level 9 on all cores, no I/O"},
                 "the floor", bytes, files);
    if (!baseline_tool.empty()) {
        report_baseline("(baseline) tavmerk /P", repack_m[3], repack_m[0], bytes, files);
        remove_tree(base_pak);
    }
    std::printf("  peak memory %.1f MiB; largest file %.1f MiB, %u workers: 4 x largest x workers = %.1f MiB\n",
                double(repack_m[0].peak_kib) / 1024, double(largest) / 1048576, std::thread::hardware_concurrency(),
                4.0 * double(largest) * std::thread::hardware_concurrency() / 1048576);

    util_rounds(work, tool, util, archive, out, kinds, seed, runs, bytes, files);
    structure_rounds(work, tool, util, archive, out, seed, runs, add_mib);
    versions_rounds(work, util, archive, runs);
#ifdef TAVMERK_PYTHON_PACKAGE
    python_rounds(work, util, archive, runs, bytes, files);
#endif
#ifdef TAVMERK_EXPLORER
    explorer_rounds(work, util, runs);
#endif
#ifdef TAVMERK_MOUNT_BINARY
    mount_rounds(work, tool, util, archive, runs, bytes, files, huge_mib);
#endif
    if (!std::getenv("TAVMERK_BENCH_KEEP"))
        remove_tree(work);
    return 0;
}
