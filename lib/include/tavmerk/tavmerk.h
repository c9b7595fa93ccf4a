/* libtavmerk: pack archives from C (and from anything that calls C).
 *
 * An archive handle holds the directory as it was last loaded, and no lock
 * while it is idle: the shared lock is taken only while the directory is
 * read, the exclusive lock only while a commit writes. Reads of file data
 * go to the data that directory points at, which later commits (by this
 * process or another) never overwrite.
 *
 * Every call returns a tavmerk_status; on failure, tavmerk_last_error()
 * gives a message for the calling thread (with the system's reason where
 * there is one) and tavmerk_last_system_error() the system's error code
 * (errno; GetLastError() on Windows), 0 when the failure was not the
 * system's; something that is not a regular file (a FIFO, socket or device
 * where a file is read) gives EINVAL (ERROR_INVALID_PARAMETER).
 *
 * Threads: one handle (archive or stream) may be used from several threads
 * at once; its calls are serialised. Streams of one archive read in
 * parallel. The entry table from tavmerk_entries() stays valid until the
 * handle reloads (tavmerk_reload, tavmerk_commit, tavmerk_undo) or is
 * closed. A callback runs while its call holds the archive handle: it may
 * use streams, but not call functions on that archive handle.
 *
 * Paths in the archive are byte strings with levels joined by "/", as "/E"
 * writes them below its root; a place is an entry's index in directory
 * order (top-level folders count) of the directory the handle loaded,
 * which reaches an entry whatever its path. Where another commit has
 * replaced that directory by the time a place is used (tavmerk_extract,
 * or tavmerk_commit for tavmerk_remove_place and tavmerk_rename_place), it
 * reaches the entry at its path only where that is still the same record
 * (a file with the same sizes, checksum and data offset, or a folder);
 * else the call fails with TAVMERK_ERROR_STALE.
 *
 * Versions: every commit keeps the directory it replaced, so that the
 * archive as it was after each earlier commit can be listed
 * (tavmerk_versions), read (tavmerk_open_version) and made current again
 * (tavmerk_undo) while its data is still in the file; a compaction or a
 * rewrite drops older history. A version is named as on the command line
 * of `tavmerk-util`: "K" (its id) or "~K" (K commits before the version in
 * force).
 */
#ifndef TAVMERK_TAVMERK_H
#define TAVMERK_TAVMERK_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(TAVMERK_BUILDING_LIBRARY)
#define TAVMERK_API __declspec(dllexport)
#else
#define TAVMERK_API __declspec(dllimport)
#endif
#else
#define TAVMERK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum tavmerk_status {
    TAVMERK_OK = 0,
    TAVMERK_ERROR_SYSTEM = 1,     /* the system refused (see tavmerk_last_system_error) */
    TAVMERK_ERROR_DAMAGED = 2,    /* the directory or a record's data is damaged */
    TAVMERK_ERROR_NOT_FOUND = 3,  /* no entry at that path or place */
    TAVMERK_ERROR_REFUSED = 4,    /* a name "/E" would not write back at its path */
    TAVMERK_ERROR_CONFLICT = 5,   /* a file where a folder is needed, or the reverse */
    TAVMERK_ERROR_TOO_LARGE = 6,  /* the archive would reach 4 GiB */
    TAVMERK_ERROR_EXISTS = 7,     /* something stands at the new archive's path */
    TAVMERK_ERROR_CANCELLED = 8,  /* the progress callback said stop */
    TAVMERK_ERROR_INVALID = 9,    /* a null or out-of-range argument, or a call the mode does not allow */
    TAVMERK_ERROR_INCOMPLETE = 10, /* extraction left something out (each told to its callback) */
    TAVMERK_ERROR_STALE = 11,      /* a place from a directory no longer in force whose record left its path */
    TAVMERK_ERROR_NO_VERSION = 12  /* no such version in the archive's history, or its data was dropped by compact */
} tavmerk_status;

/* How an archive is opened. */
enum {
    TAVMERK_READ = 0,   /* read only */
    TAVMERK_UPDATE = 1, /* read, and stage changes for tavmerk_commit */
    TAVMERK_CREATE = 2  /* a new archive, made by tavmerk_commit; refused where the path exists */
};

/* An entry's kind. */
enum { TAVMERK_STORED = 0, TAVMERK_ZLIB = 1, TAVMERK_DELETED = 2, TAVMERK_FOLDER = 3 };

/* Entry flags. */
#define TAVMERK_ENTRY_UNSAFE 1u /* a ".." level in its path: never written by "/E" */
#define TAVMERK_ENTRY_SHOWN 2u  /* the entry "/E" writes at its path (the first one there wins) */

/* How a put stores its data: as "/P" (a replaced record keeps its method, a
 * new one is zlib when that is smaller), always raw, or always zlib. */
enum { TAVMERK_STORAGE_CHOSEN = 0, TAVMERK_STORAGE_STORE = 1, TAVMERK_STORAGE_COMPRESS = 2 };

/* What extraction does where something stands at a file's path already:
 * leave it and tell the record to `left_out` (as TAVMERK_LEFT_EXISTS), leave
 * it silently, or replace it whole through a rename (never written through a
 * link). */
enum { TAVMERK_EXISTING_KEEP = 0, TAVMERK_EXISTING_SKIP = 1, TAVMERK_EXISTING_REPLACE = 2 };

/* Why extraction left a record out. */
enum {
    TAVMERK_LEFT_EXISTS = 1,        /* something stands at its path already */
    TAVMERK_LEFT_UNSAFE = 2,        /* a ".." level in its path */
    TAVMERK_LEFT_DATA_OUTSIDE = 3,  /* its data lies outside the file */
    TAVMERK_LEFT_CANNOT_CREATE = 4, /* a folder on the way, or the file, cannot be made (system error given) */
    TAVMERK_LEFT_WRITE_FAILED = 5,  /* the write failed, the partial file removed (system error given) */
    TAVMERK_LEFT_BAD_DATA = 6       /* written as far as its damaged stream inflated */
};

typedef struct tavmerk_archive tavmerk_archive;
typedef struct tavmerk_stream tavmerk_stream;

typedef struct tavmerk_entry {
    const char* path;   /* NUL-terminated too; may hold any byte but NUL */
    size_t path_length;
    uint64_t place;
    uint32_t stored_size;
    uint32_t expanded_size;
    uint32_t checksum;    /* the record's additive checksum of its stored bytes */
    uint32_t data_offset; /* 0 for deleted records and folders */
    int32_t kind;         /* TAVMERK_STORED ... TAVMERK_FOLDER */
    uint32_t flags;       /* TAVMERK_ENTRY_* */
} tavmerk_entry;

/* Told of bytes and records done; return 0 to cancel, anything else to go on. */
typedef int (*tavmerk_progress_fn)(void* context, uint64_t bytes, uint64_t records);
/* A record's problem found by tavmerk_verify (place UINT64_MAX: the
 * directory's CRC); return 0 to stop. */
typedef int (*tavmerk_problem_fn)(void* context, uint64_t place, const char* message);
/* A record tavmerk_extract left out (reason TAVMERK_LEFT_*; error: the
 * system's code, or 0). */
typedef void (*tavmerk_left_out_fn)(void* context, uint64_t place, int reason, int error);
/* Copies `size` bytes of content at `offset` into `dest`; 0 on failure. May
 * be called from another thread than the one that committed. */
typedef int (*tavmerk_read_fn)(void* context, uint64_t offset, void* dest, size_t size);

TAVMERK_API const char* tavmerk_version(void);
TAVMERK_API const char* tavmerk_last_error(void);
TAVMERK_API int tavmerk_last_system_error(void);

/* Opens the archive at `path` with a TAVMERK_READ/UPDATE/CREATE mode. */
TAVMERK_API tavmerk_status tavmerk_open(const char* path, int mode, tavmerk_archive** out);
/* Closes the handle; changes still staged are discarded. Null is ignored. */
TAVMERK_API void tavmerk_close(tavmerk_archive* archive);
/* Loads the directory in force again (what other runs committed). */
TAVMERK_API tavmerk_status tavmerk_reload(tavmerk_archive* archive);
/* Every entry in directory order. */
TAVMERK_API tavmerk_status tavmerk_entries(tavmerk_archive* archive, const tavmerk_entry** entries, size_t* count);

/* A reader of one file's content that streams and seeks, in bounded memory.
 * A read that reaches the end checks the record's checksum (and the zlib
 * stream's own); damage gives TAVMERK_ERROR_DAMAGED. */
TAVMERK_API tavmerk_status tavmerk_stream_open(tavmerk_archive* archive, uint64_t place, tavmerk_stream** out);
/* Reads up to `size` bytes at the stream's position; `got` is 0 at the end. */
TAVMERK_API tavmerk_status tavmerk_stream_read(tavmerk_stream* stream, void* buffer, size_t size, size_t* got);
TAVMERK_API tavmerk_status tavmerk_stream_seek(tavmerk_stream* stream, uint64_t offset);
TAVMERK_API uint64_t tavmerk_stream_size(tavmerk_stream* stream);
TAVMERK_API void tavmerk_stream_close(tavmerk_stream* stream);

/* The checks of `tavmerk-util test`: the directory's CRC, every live
 * record's data range, checksum and stream. TAVMERK_OK when all hold,
 * TAVMERK_ERROR_DAMAGED when some do not (each told to `problem`). */
TAVMERK_API tavmerk_status tavmerk_verify(tavmerk_archive* archive, tavmerk_problem_fn problem, void* problem_context,
                                          tavmerk_progress_fn progress, void* progress_context);

/* Writes live records under the folder `target` as "/E" writes them, never
 * outside it: those matching any of the globs (see `tavmerk-util extract`)
 * or at any of the places (of files; others are ignored); every one when
 * both lists are empty. `existing` is a TAVMERK_EXISTING_* rule.
 * TAVMERK_ERROR_INCOMPLETE when some were left out; TAVMERK_ERROR_STALE
 * when the archive changed since it was loaded and records asked for by
 * place are no longer at their paths (the others are written). */
TAVMERK_API tavmerk_status tavmerk_extract(tavmerk_archive* archive, const char* target, const char* const* patterns,
                                           size_t pattern_count, const uint64_t* places, size_t place_count,
                                           int existing, tavmerk_left_out_fn left_out, void* left_out_context,
                                           tavmerk_progress_fn progress, void* progress_context);

/* What tavmerk_check_name checks a name for. */
enum { TAVMERK_NAME_FILE = 0, TAVMERK_NAME_FOLDER = 1 };

/* Staged changes (TAVMERK_UPDATE, TAVMERK_CREATE), applied in order by one
 * tavmerk_commit. Each new name is checked when it is staged, as
 * tavmerk_check_name does, and a refused one fails at once (the changes
 * staged before stay). A path listed below a top-level folder with no name
 * ("/name", which "/E" writes at the top) reaches that entry by its place.
 * A
 * change by place carries the identity of the directory the handle had
 * loaded: its commit fails with TAVMERK_ERROR_STALE where the archive has
 * changed since and the record left its path (see the top of this file). */
/* Whether a file or folder (TAVMERK_NAME_*) could be staged at `path` now:
 * TAVMERK_ERROR_REFUSED for a name "/E" would not write back at its path,
 * or a file at the top level (files lie in folders); TAVMERK_ERROR_CONFLICT
 * where a file stands on the way, a folder at a file's path or a file at a
 * folder's, in the directory loaded as the staged changes leave it. The
 * commit checks again against the directory then in force. */
TAVMERK_API tavmerk_status tavmerk_check_name(tavmerk_archive* archive, const char* path, int kind);
TAVMERK_API tavmerk_status tavmerk_put_bytes(tavmerk_archive* archive, const char* path, const void* data, size_t size,
                                             int storage);
TAVMERK_API tavmerk_status tavmerk_put_file(tavmerk_archive* archive, const char* path, const char* file_path,
                                            int storage);
TAVMERK_API tavmerk_status tavmerk_put_reader(tavmerk_archive* archive, const char* path, uint64_t size,
                                              tavmerk_read_fn read, void* context, int storage);
TAVMERK_API tavmerk_status tavmerk_remove(tavmerk_archive* archive, const char* path);
TAVMERK_API tavmerk_status tavmerk_remove_place(tavmerk_archive* archive, uint64_t place);
TAVMERK_API tavmerk_status tavmerk_rename(tavmerk_archive* archive, const char* from, const char* to);
TAVMERK_API tavmerk_status tavmerk_rename_place(tavmerk_archive* archive, uint64_t place, const char* to);
TAVMERK_API tavmerk_status tavmerk_mkdir(tavmerk_archive* archive, const char* path);
/* Changes staged so far. */
TAVMERK_API size_t tavmerk_staged(tavmerk_archive* archive);
/* Commits the staged changes at once, crash-safe, and reloads; on failure
 * (a cancel included) the archive is as it was and the changes stay staged.
 * The commit is a version of its own, "library commit" in the history. */
TAVMERK_API tavmerk_status tavmerk_commit(tavmerk_archive* archive, tavmerk_progress_fn progress, void* context);
/* Drops the staged changes. */
TAVMERK_API tavmerk_status tavmerk_discard(tavmerk_archive* archive);

/* tavmerk_commit, with the one line the commit keeps in the archive's
 * history (see tavmerk_versions); NULL or "" gives "library commit", as
 * tavmerk_commit does. Control bytes become spaces; at most 200 bytes are
 * kept. */
TAVMERK_API tavmerk_status tavmerk_commit_summary(tavmerk_archive* archive, const char* summary,
                                                  tavmerk_progress_fn progress, void* context);

/* What tavmerk_version_info's flags tell. */
#define TAVMERK_VERSION_TIME_KNOWN 1u   /* `time` holds its commit's time */
#define TAVMERK_VERSION_COUNTS_KNOWN 2u /* added, changed, removed hold (not for the oldest version listed) */
#define TAVMERK_VERSION_DATA_KEPT 4u    /* it can still be opened and undone to (compact drops the data) */

/* One version of the archive, as the directory it had after a commit. */
typedef struct tavmerk_version_info {
    uint32_t version;     /* its id; ids count commits up from the first recorded */
    uint32_t flags;       /* TAVMERK_VERSION_* */
    uint64_t time;        /* UTC seconds since 1970 of its commit */
    uint32_t files;       /* live files */
    uint32_t added;       /* files against the version before it, by path */
    uint32_t changed;
    uint32_t removed;
    const char* summary;  /* NUL-terminated: what made the commit ("" for the oldest listed) */
} tavmerk_version_info;

/* How the history listed ends. */
enum {
    TAVMERK_HISTORY_COMPLETE = 0, /* the oldest version is the archive as first recorded */
    TAVMERK_HISTORY_REPACK = 1,   /* a repack or rewrite wrote the oldest version: older history ended there */
    TAVMERK_HISTORY_DAMAGED = 2   /* the next older version cannot be read */
};

/* The archive's versions, newest first: the first is the one in force
 * when the handle loaded (also for a handle opened at an earlier version).
 * The table stays valid until the handle reloads, commits, undoes or is
 * closed. `history_end` (may be NULL): a TAVMERK_HISTORY_*. */
TAVMERK_API tavmerk_status tavmerk_versions(tavmerk_archive* archive, const tavmerk_version_info** versions,
                                            size_t* count, int* history_end);
/* Opens the archive at `path` as it was at `version` ("K" or "~K"), read
 * only: entries, streams, verify and extract work as on a handle of the
 * version in force. TAVMERK_ERROR_INVALID for text of neither form,
 * TAVMERK_ERROR_NO_VERSION for a version the history does not hold or
 * whose data was dropped, TAVMERK_ERROR_DAMAGED where its directory cannot
 * be read. "~K" is resolved once, here: tavmerk_reload keeps the version. */
TAVMERK_API tavmerk_status tavmerk_open_version(const char* path, const char* version, tavmerk_archive** out);
/* Makes `to` ("K" or "~K"; NULL: "~1") the archive's tree again, in one
 * commit of its own (which a later undo can undo), and reloads. A handle
 * opened with TAVMERK_UPDATE and nothing staged (TAVMERK_ERROR_INVALID
 * otherwise). `summary`: the commit's line in the history; NULL or "" gives
 * "undo to version K". Errors as tavmerk_open_version's; undoing to the
 * version in force commits nothing. */
TAVMERK_API tavmerk_status tavmerk_undo(tavmerk_archive* archive, const char* to, const char* summary);

/* A new archive at `path` holding the tree under `folder`. */
TAVMERK_API tavmerk_status tavmerk_create(const char* path, const char* folder, tavmerk_progress_fn progress,
                                          void* context);

#ifdef __cplusplus
}
#endif

#endif
