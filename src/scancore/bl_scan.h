/* Native scan core: walks a folder tree in parallel into one flat array of
 * fixed-size node records, their names in an arena beside it. Used by the
 * fast scan engine and by scancore_bench. Plain C linkage so that any caller
 * can link it; no Qt below this line. */
#ifndef BL_SCAN_H
#define BL_SCAN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* obj_type codes */
enum {
    BL_OBJ_FILE = 1,
    BL_OBJ_DIRECTORY = 2,
    BL_OBJ_SYMLINK = 3,
    BL_OBJ_OTHER = 4,
    BL_OBJ_PACKAGE = 5
};

/* 56 bytes a record; its name (NUL-terminated, at most 255 bytes) is in the
 * result's arena: bl_node_name. */
typedef struct bl_flat_node_t {
    uint64_t name_offset;
    uint64_t allocated_size;
    uint64_t logical_size;
    int64_t modified_time; /* seconds since the epoch (st_mtime); 0 when unknown */
    int32_t parent_index;
    int32_t child_count;
    int32_t first_child;
    uint8_t name_length;
    uint8_t obj_type;
    uint8_t is_hidden;
    uint8_t is_package;
    uint8_t is_readable;
} bl_flat_node_t;

typedef struct bl_scan_result_t {
    bl_flat_node_t *nodes;
    int32_t *children;
    int32_t node_count;
    int32_t node_capacity;
    int32_t children_count;
    int32_t _items_scanned;
    int32_t _dirs_scanned;
    int32_t _files_scanned;
    int32_t _unreadable_count;
    void *_scan_shared; /* the scan's lock and what it guards (internal) */
    void *_names;       /* the records' names (internal): bl_node_name */
} bl_scan_result_t;

/* The name of a record of result's array or of a snapshot copy of it; valid
 * until bl_scan_result_free or bl_release_nodes past the record. */
const char *bl_node_name(const bl_scan_result_t *result, const bl_flat_node_t *node);

typedef struct bl_dir_entry_t {
    char name[256];
    uint64_t allocated_size;
    uint64_t logical_size;
    int64_t modified_time; /* seconds since the epoch; 0 when unknown */
    uint8_t obj_type;
    uint8_t is_hidden;
    uint8_t is_package;
    uint8_t is_readable;
} bl_dir_entry_t;

/* Scans the tree below root_path; blocks until done. The caller zeroes
 * *result and *cancel_flag first. Returns 0 done, 1 cancelled, 2 stopped
 * (bl_request_stop: what was found is kept, summed and indexed as a finished
 * scan), -1 when the root is missing, not a directory, or memory ran out. */
int bl_full_scan(const char *root_path, bl_scan_result_t *result, int32_t *cancel_flag);

/* Choices and outcomes of one scan beyond what bl_full_scan takes. Zero it
 * before filling the choices in. */
typedef struct bl_scan_options_t {
    int32_t threads;            /* worker threads; 0 or less: the default */
    int32_t cross_file_systems; /* nonzero: enter mounts below the root (never kernel ones) */
    /* Shell globs of entries to leave out (marked BL_MARK_EXCLUDED): one
     * without "/" matches the name, one starting with "/" the whole path,
     * any other the path below the root. */
    const char *const *exclude_patterns;
    int32_t exclude_pattern_count;
    int32_t exclude_caches;     /* nonzero: leave out folders with a valid CACHEDIR.TAG */
    /* Nonzero: no children index is made (children stays NULL, child_count
     * 0, first_child -1). A folder's children are always one run of records,
     * appended together by its listing: their parent_index says the rest. */
    int32_t no_children_index;
    /* Called once, when the scan's worker threads have all started; may be
     * NULL. A caller about to load a library waits for it: no thread can
     * start while another thread loads one (dlopen). Not called when the
     * scan ends before it starts threads. */
    void (*threads_started)(void *context);
    void *threads_started_context;
    int32_t error;              /* out: the errno that made the scan return -1 */
} bl_scan_options_t;

/* bl_full_scan with options; options may be NULL. */
int bl_full_scan_opts(const char *root_path, bl_scan_result_t *result, int32_t *cancel_flag,
                      bl_scan_options_t *options);

/* One folder that could not be listed (wholly or in part): its node index
 * and the errno that stopped it. */
typedef struct bl_unreadable_t {
    int32_t node_index;
    int32_t error;
} bl_unreadable_t;

/* Copies up to max_count of the folders that could not be listed, in the
 * order they were met; returns how many were copied. Valid until
 * bl_scan_result_free. */
int32_t bl_get_unreadable(const bl_scan_result_t *result, bl_unreadable_t *out, int32_t max_count);

/* What a record is beside its fields: a folder the scan did not enter (its
 * size is 0) or a regular file with more than one link, which every folder
 * above any of its links counts once. */
enum {
    BL_MARK_OTHER_FS = 1,  /* a mount point of another file system */
    BL_MARK_KERNEL_FS = 2, /* a mount point of a kernel file system (proc, sysfs, ...) */
    BL_MARK_EXCLUDED = 3,  /* left out by a pattern or a cache tag */
    BL_MARK_HARD_LINK = 4
};

typedef struct bl_node_mark_t {
    int32_t node_index;
    int32_t kind;        /* BL_MARK_* */
    uint32_t link_count; /* of a hard link; else 0 */
    uint32_t reserved;
} bl_node_mark_t;

/* Copies up to max_count marks from the from-th on, in node order; returns
 * how many were copied. Valid until bl_scan_result_free. */
int32_t bl_get_marks(const bl_scan_result_t *result, int32_t from, bl_node_mark_t *out,
                     int32_t max_count);
int32_t bl_get_mark_count(const bl_scan_result_t *result);

/* Which object a name leads to. */
typedef struct bl_file_identity_t {
    uint64_t device;
    uint64_t inode;
} bl_file_identity_t;

/* A regular file with more than one link, as one of its links was met: its
 * identity tells links of one file from another's. */
typedef struct bl_linked_file_t {
    int32_t node_index;
    uint32_t reserved;
    bl_file_identity_t file;
} bl_linked_file_t;

/* Copies up to max_count linked files from the from-th on, in node order;
 * returns how many were copied. Valid until bl_scan_result_free. */
int32_t bl_get_linked_files(const bl_scan_result_t *result, int32_t from, bl_linked_file_t *out,
                            int32_t max_count);

/* Lists one directory into entries[0..capacity). Returns -1 when it cannot
 * be opened, 1 when it holds more than capacity entries (*out_count ==
 * capacity), else 0. */
int bl_list_directory(const char *path, bl_dir_entry_t *entries, int32_t capacity,
                      int32_t *out_count);

/* Consistent copy of the first max_count nodes, callable from any thread
 * while bl_full_scan runs. Each of the first BL_LIVE_TOTALS_NODES records
 * carries the totals of everything discovered below it so far, also what
 * lies beyond the copy; later records, only what the copy holds. Returns
 * the records written. */
#define BL_LIVE_TOTALS_NODES 8192
int32_t bl_snapshot_nodes(const bl_scan_result_t *result, bl_flat_node_t *out,
                          int32_t max_count);

int32_t bl_get_items_scanned(const bl_scan_result_t *result);
int32_t bl_get_dirs_scanned(const bl_scan_result_t *result);
int32_t bl_get_files_scanned(const bl_scan_result_t *result);
int32_t bl_get_unreadable_count(const bl_scan_result_t *result);

void bl_request_cancel(int32_t *cancel_flag);
/* Ends the scan early keeping what it found; a cancel still wins. */
void bl_request_stop(int32_t *cancel_flag);

/* The caller is done with records [from, to) of a finished scan: the whole
 * pages under them, and under their names, go back to the system; the
 * records read as zeros from then on and their names are gone. */
void bl_release_nodes(bl_scan_result_t *result, int32_t from, int32_t to);
/* The caller is done with the children index: it goes, and children is NULL. */
void bl_release_children(bl_scan_result_t *result);

/* Releases what the core allocated; counters stay readable. Idempotent. */
void bl_scan_result_free(bl_scan_result_t *result);

#ifdef __cplusplus
}
#endif

#endif
