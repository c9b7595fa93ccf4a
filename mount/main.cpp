// tavmerk-mount: an archive as a folder, through FUSE. This file is the
// FUSE side: the command line, and each request of the kernel handed to
// the archive (mount/mounted_archive.h) by node number, through libfuse's
// low-level interface, so that nodes, listings and attributes are the
// archive's own and the kernel may keep them.
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>
#include <fuse_opt.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mount/mounted_archive.h"
#include "platform/platform.h"
#include "tavmerk_version.h"

namespace {

using tavmerk::MountedArchive;

constexpr int status_ok = 0;
constexpr int status_unsaved = 1;
constexpr int status_failed = 2;

const char usage[] =
    "Usage: tavmerk-mount ARCHIVE MOUNTPOINT [-f] [--read-only] [--cache-size MIB] [-o OPTIONS]\n"
    "Shows the archive's files in MOUNTPOINT; unmount with: fusermount3 -u MOUNTPOINT\n"
    "  -f               stay in the foreground (Ctrl-C unmounts)\n"
    "  -d               print every FUSE request (implies -f)\n"
    "  --read-only      refuse every change\n"
    "  --cache-size MIB memory for inflated data (default 64)\n"
    "  -o OPTIONS       the mount's own (at=VERSION, unlink=mark|drop, compact=RATIO, keep=N,\n"
    "                   entry_timeout=S, attr_timeout=S) and FUSE mount options (see mount.fuse3(8))\n"
    "  -h, --help       this text\n"
    "  --version        the version\n";

// The mount's settings, parsed from the command line by fuse_opt_parse
// (hence plain C members), and what each request needs: the session's
// user data, found again from each request.
struct Mount {
    MountedArchive* archive = nullptr;
    fuse_session* session = nullptr;
    uid_t uid = 0;
    gid_t gid = 0;
    int read_only = 0;
    int foreground = 0;
    int debug = 0;
    int help = 0;
    int version = 0;
    char* cache_size = nullptr;     // MiB, checked after parsing
    char* unlink = nullptr;         // "mark" or "drop"
    char* compact = nullptr;        // a share of the file, 0 to 1
    char* at = nullptr;             // a version, shown read only
    char* keep = nullptr;           // versions whose data compaction keeps, 1 or more
    const char* problem = nullptr;  // an unknown option
    std::vector<char*>* positional = nullptr;
    bool no_opendir = false;  // the kernel opens folders without asking
    // Every request costs a round trip through the kernel: what the kernel
    // may keep, it keeps. Names change only through this mount, which the
    // kernel sees, or by a load of a tree of another shape, which drops
    // the names it no longer has and the attributes of folders, which are
    // otherwise kept as long. The
    // attributes of files are kept a second: the sizes a commit of another
    // run changed are dropped by the open that loads it, the archive's
    // time shows within the second. Either may be set with
    // -o attr_timeout=, -o entry_timeout=.
    double entry_timeout = 60;
    double attr_timeout = 1;
    double negative_timeout = 0;  // taken, not used
};

Mount& mount_of(fuse_req_t req)
{
    return *static_cast<Mount*>(fuse_req_userdata(req));
}

MountedArchive& archive(fuse_req_t req)
{
    return *mount_of(req).archive;
}

MountedArchive::Handle* handle_of(const fuse_file_info* fi)
{
    return fi ? reinterpret_cast<MountedArchive::Handle*>(uintptr_t(fi->fh)) : nullptr;
}

void fill_stat(const Mount& mount, const tavmerk::EntryAttr& attr, struct stat* st)
{
    std::memset(st, 0, sizeof *st);
    const mode_t file_mode = mount.read_only ? 0444 : 0644;
    st->st_ino = attr.ino;
    st->st_mode = attr.folder ? (S_IFDIR | 0755) : (S_IFREG | file_mode);
    st->st_nlink = attr.links;
    st->st_size = off_t(attr.size);
    st->st_blocks = (st->st_size + 511) / 512;
    st->st_blksize = 128 * 1024;
    st->st_uid = mount.uid;
    st->st_gid = mount.gid;
    st->st_mtim.tv_sec = time_t(attr.modified_ns / 1000000000);
    st->st_mtim.tv_nsec = long(attr.modified_ns % 1000000000);
    st->st_ctim = st->st_mtim;
    st->st_atim = st->st_mtim;
    if (attr.accessed_ns != tavmerk::no_time) {
        st->st_atim.tv_sec = time_t(attr.accessed_ns / 1000000000);
        st->st_atim.tv_nsec = long(attr.accessed_ns % 1000000000);
    }
}

fuse_entry_param entry_of(const Mount& mount, const tavmerk::EntryAttr& attr)
{
    fuse_entry_param entry;
    std::memset(&entry, 0, sizeof entry);
    entry.ino = attr.ino;
    fill_stat(mount, attr, &entry.attr);
    entry.attr_timeout = attr.folder ? mount.entry_timeout : mount.attr_timeout;
    entry.entry_timeout = mount.entry_timeout;
    return entry;
}

void reply_status(fuse_req_t req, int result)
{
    fuse_reply_err(req, -result);
}

void on_init(void* userdata, fuse_conn_info* conn)
{
    Mount& mount = *static_cast<Mount*>(userdata);
    mount.no_opendir = (conn->capable & FUSE_CAP_NO_OPENDIR_SUPPORT) != 0;
    // Listings with attributes where the kernel finds them worth it.
    if (conn->capable & FUSE_CAP_READDIRPLUS)
        conn->want |= FUSE_CAP_READDIRPLUS | FUSE_CAP_READDIRPLUS_AUTO;
}

// Answers a call that names a node (or its errno), the kernel then
// holding the node: were the answer lost, it is forgotten again.
void reply_entry(fuse_req_t req, int result, const tavmerk::EntryAttr& attr)
{
    if (result != 0)
        return reply_status(req, result);
    const fuse_entry_param entry = entry_of(mount_of(req), attr);
    archive(req).remember(attr.ino);
    if (fuse_reply_entry(req, &entry) != 0)
        archive(req).forget(attr.ino, 1);
}

void on_lookup(fuse_req_t req, fuse_ino_t parent, const char* name)
{
    tavmerk::EntryAttr attr;
    reply_entry(req, archive(req).lookup(parent, name, attr), attr);
}

// What the kernel forgets lets nodes gone from the tree, and the
// generations they were last in, go.
void on_forget(fuse_req_t req, fuse_ino_t ino, uint64_t count)
{
    archive(req).forget(ino, count);
    fuse_reply_none(req);
}

void on_forget_multi(fuse_req_t req, size_t count, fuse_forget_data* forgets)
{
    for (size_t i = 0; i < count; ++i)
        archive(req).forget(forgets[i].ino, forgets[i].nlookup);
    fuse_reply_none(req);
}

void on_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi)
{
    tavmerk::EntryAttr attr;
    const int result = archive(req).getattr(ino, handle_of(fi), attr);
    if (result != 0)
        return reply_status(req, result);
    struct stat st;
    fill_stat(mount_of(req), attr, &st);
    fuse_reply_attr(req, &st, attr.folder ? mount_of(req).entry_timeout : mount_of(req).attr_timeout);
}

// A time in nanoseconds since 1970, or the time now.
int64_t nanoseconds(const timespec& time, bool now)
{
    if (now)
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    return int64_t(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// The archive stores no owners or permissions, and answers as a file
// system without them (vfat) does, checked before anything is changed:
// permission bits are accepted without effect (rsync -a makes its
// temporary files 0600), set-id and sticky bits and an owner or group
// other than the one shown are refused (EPERM). Times are shown for the
// life of the mount. A size is a truncation.
void on_setattr(fuse_req_t req, fuse_ino_t ino, struct stat* wanted, int to_set, fuse_file_info* fi)
{
    const Mount& mount = mount_of(req);
    if (mount.read_only)
        return reply_status(req, -EROFS);
    if (to_set & (FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) {
        tavmerk::EntryAttr attr;
        if (const int result = archive(req).getattr(ino, handle_of(fi), attr))
            return reply_status(req, result);
        struct stat shown;
        fill_stat(mount, attr, &shown);
        if (((to_set & FUSE_SET_ATTR_MODE) && (wanted->st_mode & 07000) != 0) ||
            ((to_set & FUSE_SET_ATTR_UID) && wanted->st_uid != shown.st_uid) ||
            ((to_set & FUSE_SET_ATTR_GID) && wanted->st_gid != shown.st_gid))
            return reply_status(req, -EPERM);
    }
    if (to_set & FUSE_SET_ATTR_SIZE) {
        if (wanted->st_size < 0)
            return reply_status(req, -EINVAL);
        const int result = archive(req).truncate(ino, handle_of(fi), uint64_t(wanted->st_size));
        if (result != 0)
            return reply_status(req, result);
    }
    const int atime = FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_ATIME_NOW;
    const int mtime = FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW;
    if (to_set & (atime | mtime)) {
        const int64_t accessed = to_set & atime ? nanoseconds(wanted->st_atim, to_set & FUSE_SET_ATTR_ATIME_NOW)
                                                : tavmerk::no_time;
        const int64_t modified = to_set & mtime ? nanoseconds(wanted->st_mtim, to_set & FUSE_SET_ATTR_MTIME_NOW)
                                                : tavmerk::no_time;
        const int result = archive(req).set_times(ino, handle_of(fi), accessed, modified);
        if (result != 0)
            return reply_status(req, result);
    }
    on_getattr(req, ino, fi);
}

// Listings are kept by the kernel: the names of a folder change only by
// this mount's own creations and renames, which the kernel sees, or by a
// load of another shape, which drops those of the folders it holds. Where the kernel can do
// without opening folders, the first open tells it to: a walk then costs
// no round trip for folders it has listed before.
void on_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi)
{
    if (mount_of(req).no_opendir)
        return reply_status(req, -ENOSYS);
    const int result = archive(req).open_folder(ino);
    if (result != 0)
        return reply_status(req, result);
    fi->cache_readdir = 1;
    fi->keep_cache = 1;
    fuse_reply_open(req, fi);
}

// Each name goes with its cookie, the offset the listing goes on from,
// so that it is handed over a buffer at a time; with `plus`, with its
// attributes, so that a walk need not ask for them name by name.
void list(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, bool plus)
{
    std::unique_ptr<char[]> buffer(new char[size]);
    size_t used = 0;
    const auto add = [&](const char* name, const tavmerk::EntryAttr& attr, uint64_t cookie) {
        fuse_entry_param entry = entry_of(mount_of(req), attr);
        const size_t room = size - used;
        const size_t needs = plus ? fuse_add_direntry_plus(req, buffer.get() + used, room, name, &entry, off_t(cookie))
                                  : fuse_add_direntry(req, buffer.get() + used, room, name, &entry.attr, off_t(cookie));
        if (needs > room)
            return false;
        used += needs;
        if (plus && attr.ino != 0)
            archive(req).remember(attr.ino);  // the kernel counts a lookup for each
        return true;
    };
    // "." and ".." with no node: nothing for the kernel to count.
    tavmerk::EntryAttr dot;
    dot.folder = true;
    if (offset < 1 && !add(".", dot, 1))
        return (void)fuse_reply_buf(req, buffer.get(), used);
    if (offset < 2 && !add("..", dot, 2))
        return (void)fuse_reply_buf(req, buffer.get(), used);
    const int result = archive(req).list(ino, uint64_t(std::max<off_t>(offset, 2)),
                                      [&](const std::string& name, const tavmerk::EntryAttr& attr, uint64_t cookie) {
                                          return add(name.c_str(), attr, cookie);
                                      });
    if (result != 0 && used == 0)
        return reply_status(req, result);
    fuse_reply_buf(req, buffer.get(), used);
}

void on_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*)
{
    list(req, ino, size, offset, false);
}

void on_readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*)
{
    list(req, ino, size, offset, true);
}

void on_releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info*)
{
    fuse_reply_err(req, 0);
}

void on_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi)
{
    const bool write = (fi->flags & O_ACCMODE) != O_RDONLY;
    MountedArchive::Handle* handle = nullptr;
    bool keep_cache = false;
    const int result = archive(req).open(ino, write, (fi->flags & O_TRUNC) != 0, handle, keep_cache);
    if (result != 0)
        return reply_status(req, result);
    fi->fh = uint64_t(reinterpret_cast<uintptr_t>(handle));
    fi->keep_cache = keep_cache;
    fi->direct_io = MountedArchive::past_cache(*handle);
    // A reader's close has nothing to save: no flush to wait for.
    fi->noflush = !write;
    if (fuse_reply_open(req, fi) != 0)
        archive(req).release(handle);
}

void on_create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t, fuse_file_info* fi)
{
    MountedArchive::Handle* handle = nullptr;
    tavmerk::EntryAttr attr;
    const int result = archive(req).create(parent, name, (fi->flags & O_EXCL) != 0, handle, attr);
    if (result != 0)
        return reply_status(req, result);
    fi->fh = uint64_t(reinterpret_cast<uintptr_t>(handle));
    const fuse_entry_param entry = entry_of(mount_of(req), attr);
    archive(req).remember(attr.ino);
    if (fuse_reply_create(req, &entry, fi) != 0) {
        archive(req).forget(attr.ino, 1);
        archive(req).release(handle);
    }
}

// The bytes go out as the cache holds them, without a copy.
void on_read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi)
{
    MountedArchive::ReadOut out;
    const int result = archive(req).read(*handle_of(fi), size, uint64_t(offset), out);
    if (result != 0)
        return reply_status(req, result);
    std::vector<iovec> pieces;
    for (const auto& [data, length] : out.pieces)
        pieces.push_back(iovec{const_cast<uint8_t*>(data), length});
    fuse_reply_iov(req, pieces.data(), int(pieces.size()));
}

void on_write(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t offset, fuse_file_info* fi)
{
    size_t written = 0;
    const int result = archive(req).write(ino, *handle_of(fi), reinterpret_cast<const uint8_t*>(buf), size,
                                          uint64_t(offset), written);
    if (result != 0)
        return reply_status(req, result);
    fuse_reply_write(req, written);
}

// close() waits for this, not for release: the save is done when it returns.
void on_flush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
{
    reply_status(req, archive(req).flush(*handle_of(fi)));
}

void on_fsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info* fi)
{
    reply_status(req, archive(req).flush(*handle_of(fi)));
}

// What is pending below the folder is committed: a file created there is
// then a record, its name durable.
void on_fsyncdir(fuse_req_t req, fuse_ino_t ino, int, fuse_file_info*)
{
    reply_status(req, archive(req).sync_folder(ino));
}

void on_release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
{
    archive(req).release(handle_of(fi));
    fuse_reply_err(req, 0);
}

void on_unlink(fuse_req_t req, fuse_ino_t parent, const char* name)
{
    reply_status(req, archive(req).unlink(parent, name));
}

void on_rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t new_parent, const char* new_name,
               unsigned int flags)
{
    reply_status(req, archive(req).rename(parent, name, new_parent, new_name, (flags & RENAME_NOREPLACE) != 0,
                                       (flags & RENAME_EXCHANGE) != 0));
}

void on_mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t)
{
    tavmerk::EntryAttr attr;
    reply_entry(req, archive(req).mkdir(parent, name, attr), attr);
}

void on_rmdir(fuse_req_t req, fuse_ino_t parent, const char* name)
{
    reply_status(req, archive(req).rmdir(parent, name));
}

void on_symlink(fuse_req_t req, const char*, fuse_ino_t parent, const char* name)
{
    reply_status(req, archive(req).refuse("make link", parent, name, "the archive holds no links"));
}

void on_link(fuse_req_t req, fuse_ino_t, fuse_ino_t parent, const char* name)
{
    reply_status(req, archive(req).refuse("make link", parent, name, "the archive holds no links"));
}

void on_mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t, dev_t)
{
    reply_status(req, archive(req).refuse("make", parent, name, "only regular files can be created"));
}

// The archive's bytes; those no live record uses show as free: what a
// compaction (-o compact=) would give back.
void on_statfs(fuse_req_t req, fuse_ino_t)
{
    uint64_t size = 0, unreferenced = 0, files = 0;
    archive(req).space(size, unreferenced, files);
    struct statvfs st;
    std::memset(&st, 0, sizeof st);
    st.f_bsize = 128 * 1024;
    st.f_frsize = 1;  // counted in bytes: the archive's garbage is often small
    st.f_blocks = fsblkcnt_t(size);
    st.f_bfree = st.f_bavail = fsblkcnt_t(unreferenced);
    st.f_files = fsfilcnt_t(files);
    st.f_namemax = 255;
    fuse_reply_statfs(req, &st);
}

fuse_lowlevel_ops operations()
{
    fuse_lowlevel_ops ops{};
    ops.init = on_init;
    ops.lookup = on_lookup;
    ops.forget = on_forget;
    ops.forget_multi = on_forget_multi;
    ops.getattr = on_getattr;
    ops.setattr = on_setattr;
    ops.opendir = on_opendir;
    ops.readdir = on_readdir;
    ops.readdirplus = on_readdirplus;
    ops.releasedir = on_releasedir;
    ops.fsyncdir = on_fsyncdir;
    ops.open = on_open;
    ops.create = on_create;
    ops.read = on_read;
    ops.write = on_write;
    ops.flush = on_flush;
    ops.fsync = on_fsync;
    ops.release = on_release;
    ops.unlink = on_unlink;
    ops.rename = on_rename;
    ops.mkdir = on_mkdir;
    ops.rmdir = on_rmdir;
    ops.symlink = on_symlink;
    ops.link = on_link;
    ops.mknod = on_mknod;
    ops.statfs = on_statfs;
    return ops;
}

enum Key { key_help, key_version, key_keep };

#define MOUNT_OPTION(templ, member, value) {templ, offsetof(Mount, member), value}

const fuse_opt option_table[] = {
    FUSE_OPT_KEY("-h", key_help),
    FUSE_OPT_KEY("--help", key_help),
    FUSE_OPT_KEY("--version", key_version),
    MOUNT_OPTION("-f", foreground, 1),
    MOUNT_OPTION("-d", debug, 1),
    FUSE_OPT_KEY("-d", key_keep),  // FUSE prints the requests
    MOUNT_OPTION("--read-only", read_only, 1),
    MOUNT_OPTION("--cache-size %s", cache_size, 0),
    MOUNT_OPTION("unlink=%s", unlink, 0),
    MOUNT_OPTION("compact=%s", compact, 0),
    MOUNT_OPTION("at=%s", at, 0),
    MOUNT_OPTION("keep=%s", keep, 0),
    MOUNT_OPTION("entry_timeout=%lf", entry_timeout, 0),
    MOUNT_OPTION("attr_timeout=%lf", attr_timeout, 0),
    // This mount caches no missing names: accepted, without effect.
    MOUNT_OPTION("negative_timeout=%lf", negative_timeout, 0),
    FUSE_OPT_END,
};

// What no template takes: the archive and mount point, FUSE's own -o
// options (kept for the session), and unknown options (refused).
int take_other(void* data, const char* arg, int key, fuse_args*)
{
    Mount& mount = *static_cast<Mount*>(data);
    switch (key) {
    case key_help:
        mount.help = 1;
        return 0;
    case key_version:
        mount.version = 1;
        return 0;
    case key_keep:
        return 1;
    case FUSE_OPT_KEY_NONOPT:
        mount.positional->push_back(const_cast<char*>(arg));
        return 0;
    default:
        if (arg[0] == '-') {
            mount.problem = arg;
            return -1;
        }
        return 1;  // inside -o: for FUSE, which refuses what it does not know
    }
}

// The settings parsed, checked; false with the problem in `error`.
bool check(const Mount& mount, const std::vector<char*>& positional, tavmerk::MountOptions& options,
           std::string& error)
{
    if (positional.size() != 2) {
        error = "takes an archive and a mount point";
        return false;
    }
    if (mount.cache_size) {
        char* end = nullptr;
        const unsigned long long mib = std::strtoull(mount.cache_size, &end, 10);
        if (!end || *end || mib == 0 || mib > (SIZE_MAX >> 20)) {
            error = "--cache-size takes a number of MiB";
            return false;
        }
        options.cache_bytes = size_t(mib) << 20;
    }
    for (const auto& [name, seconds] : {std::pair<const char*, double>{"entry_timeout", mount.entry_timeout},
                                       {"attr_timeout", mount.attr_timeout},
                                       {"negative_timeout", mount.negative_timeout}})
        if (!(seconds >= 0)) {
            error = std::string("-o ") + name + "=: takes a number of seconds";
            return false;
        }
    if (mount.unlink) {
        const std::string mode = mount.unlink;
        if (mode != "mark" && mode != "drop") {
            error = "-o unlink= takes mark or drop";
            return false;
        }
        options.unlink_drops = mode == "drop";
    }
    if (mount.compact) {
        char* end = nullptr;
        const double ratio = std::strtod(mount.compact, &end);
        if (end == mount.compact || *end || !(ratio >= 0 && ratio <= 1)) {
            error = "-o compact= takes a share of the file, from 0 to 1";
            return false;
        }
        options.compact_ratio = ratio;
    }
    if (mount.at && mount.compact) {
        error = "-o at= shows an earlier version and changes nothing: compact= does not go with it";
        return false;
    }
    if (mount.keep) {
        char* end = nullptr;
        const unsigned long long versions = std::strtoull(mount.keep, &end, 10);
        if (end == mount.keep || *end || mount.keep[0] == '-' || versions == 0 || versions > UINT32_MAX) {
            error = "-o keep= takes a number of versions, 1 or more";
            return false;
        }
        options.compact_keep = uint32_t(versions);
    }
    options.archive_path = tavmerk::platform::absolute_path(positional[0]);
    options.at = mount.at ? mount.at : "";
    options.read_only = mount.read_only != 0 || mount.at;
    return true;
}

// What fuse_opt_parse allocated, and the arguments, at every way out.
int ended(Mount& mount, fuse_args& args, int status)
{
    std::free(mount.cache_size);
    std::free(mount.unlink);
    std::free(mount.compact);
    std::free(mount.at);
    std::free(mount.keep);
    fuse_opt_free_args(&args);
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    tavmerk::platform::init_process();
    // The cache is the memory that stays: freed buffers go back at once.
    tavmerk::platform::return_freed_memory();
    // Every open file and every kept archive holds a descriptor.
    tavmerk::platform::raise_open_file_limit();

    Mount mount;
    std::vector<char*> positional;
    mount.positional = &positional;
    fuse_args fargs = FUSE_ARGS_INIT(argc, argv);
    const bool parsed = fuse_opt_parse(&fargs, &mount, option_table, take_other) == 0;
    if (parsed && (mount.help || mount.version)) {
        if (mount.help)
            std::fputs(usage, stdout);
        else
            std::printf("tavmerk-mount %s\n", TAVMERK_VERSION);
        return ended(mount, fargs, status_ok);
    }
    tavmerk::MountOptions options;
    std::string error;
    if (!parsed) {
        // fuse_opt_parse has said what it could not take; an unknown option is ours to name.
        if (mount.problem)
            std::fprintf(stderr, "tavmerk-mount: unknown option %s\n", mount.problem);
        std::fputs(usage, stderr);
        return ended(mount, fargs, status_failed);
    }
    if (!check(mount, positional, options, error)) {
        std::fprintf(stderr, "tavmerk-mount: %s\n%s", error.c_str(), usage);
        return ended(mount, fargs, status_failed);
    }
    const std::string archive_name = positional[0];
    const std::string mountpoint = positional[1];
    // Told from a request, with no lock of the mount held.
    options.attributes_changed = [&mount](tavmerk::Ino ino) {
        fuse_lowlevel_notify_inval_inode(mount.session, ino, 0, 0);
    };
    options.entry_changed = [&mount](tavmerk::Ino parent, const std::string& name) {
        fuse_lowlevel_notify_inval_entry(mount.session, parent, name.data(), name.size());
    };
    MountedArchive archive(options);
    std::string reason;
    if (!archive.load(reason)) {
        std::fprintf(stderr, "tavmerk-mount: %s: %s\n", archive_name.c_str(), reason.c_str());
        return ended(mount, fargs, status_failed);
    }

    // The archive's path names the mount in mount tables; a comma in it is
    // escaped, as FUSE options take it.
    std::string names = "subtype=tavmerk,fsname=";
    for (const char c : options.archive_path)
        names += c == ',' ? std::string("\\,") : std::string(1, c);
    fuse_opt_add_arg(&fargs, "-o");
    fuse_opt_add_arg(&fargs, names.c_str());
    if (options.read_only) {
        mount.read_only = 1;
        fuse_opt_add_arg(&fargs, "-o");
        fuse_opt_add_arg(&fargs, "ro");
    }

    mount.archive = &archive;
    mount.uid = ::getuid();
    mount.gid = ::getgid();
    const fuse_lowlevel_ops ops = operations();
    mount.session = fuse_session_new(&fargs, &ops, sizeof ops, &mount);
    if (!mount.session)
        return ended(mount, fargs, status_failed);
    int result = -1;
    if (fuse_set_signal_handlers(mount.session) == 0) {
        if (fuse_session_mount(mount.session, mountpoint.c_str()) == 0) {
            if (fuse_daemonize(mount.foreground || mount.debug) == 0) {
                fuse_loop_config* loop = fuse_loop_cfg_create();
                fuse_loop_cfg_set_idle_threads(loop, 16);
                result = fuse_session_loop_mt(mount.session, loop);
                fuse_loop_cfg_destroy(loop);
            }
            fuse_session_unmount(mount.session);
        }
        fuse_remove_signal_handlers(mount.session);
    }
    // Unmounted: what is still pending is saved, or rescued.
    const bool all_saved = archive.finish();
    fuse_session_destroy(mount.session);
    // A signal (Ctrl-C, SIGTERM, SIGHUP) ends the loop with its number: an
    // unmount like any other. Only an error of the loop itself fails.
    if (result < 0)
        return ended(mount, fargs, status_failed);
    return ended(mount, fargs, all_saved ? status_ok : status_unsaved);
}
