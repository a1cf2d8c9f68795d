/* tmbio: the data I/O library. It owns environments, open files, keys,
 * dictionaries, transactions and SQL catalog handles; the server only calls
 * it and carries the results to its clients unchanged.
 *
 * Conventions of the whole interface:
 * - Results are 32-bit signed statuses unless a declaration says otherwise.
 * - Objects cross the wire as 32-bit ids; GetOwned*ById turns an id back
 *   into the object for the connection that owns it, or NULL. Every call
 *   that takes a handle refuses NULL with a negative status (-1 for the
 *   reads, so that nothing is copied), never by crashing.
 * - Texts are NUL-terminated 8-bit texts; NULL stands for an absent text.
 * - Every call may come from any session thread at any time.
 * - No C++ exception leaves the library. */
#ifndef TMBIO_TMBIO_H_
#define TMBIO_TMBIO_H_

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define TMBIO_API __attribute__((visibility("default")))
#else
#define TMBIO_API
#endif

#ifdef __cplusplus
#define TMBIO_NOEXCEPT noexcept
#define TMBIO_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define TMBIO_NOEXCEPT
#define TMBIO_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* ---- Versions, modes and statuses ---------------------------------------- */

/* Version number this library reports for TMBIO_MODE_VERSION. */
#define TMBIO_LIBRARY_VERSION 8100000
/* Oldest library version the server accepts at start-up. */
#define TMBIO_MIN_VERSION 8100000

/* QDGetEnvMode/QDSetEnvMode status for a mode the handle does not know. */
#define TMBIO_UNKNOWN_MODE (-1)

/* Process-wide modes (handle NULL). */
/* Gives the library's version number (read with QDGetEnvMode). */
#define TMBIO_MODE_VERSION 10
/* Numeric setting 1 (SetGlobalMode1); the value is an i16 widened. */
#define TMBIO_MODE_GLOBAL1 1
/* Numeric setting 2 (SetGlobalMode2); the value is an i16 widened. */
#define TMBIO_MODE_GLOBAL2 2
/* Text setting 6; the value is a text's address, the result a text or 0. */
#define TMBIO_MODE_GLOBAL_TEXT6 6
/* Text setting 7; the value is a text's address, the result a text or 0. */
#define TMBIO_MODE_GLOBAL_TEXT7 7

/* Per-file modes (handle a TMBFile). */
/* Gives the address of the file's server cell (TMBFile.server_cell). */
#define TMBIO_FILE_CELL (-1)
/* Gives the key room per record of a restricted block read. */
#define TMBIO_FILE_KEY_ROOM (-2)
/* Gives the key room per slot of a block read; first value sent at open. */
#define TMBIO_FILE_SLOT_KEY_ROOM (-3)
/* Gives the number of records per block read. */
#define TMBIO_FILE_BLOCK_RECORDS (-4)
/* Gives the first part of the record size (block reads read -5 plus -8). */
#define TMBIO_FILE_RECORD_BASE (-5)
/* Gives the length of the key of the record just read. */
#define TMBIO_FILE_LAST_KEY_LENGTH (-6)
/* Gives the address of the key of the record just read. */
#define TMBIO_FILE_LAST_KEY (-7)
/* Gives the second part of the record size (block reads read -5 plus -8). */
#define TMBIO_FILE_RECORD_EXTRA (-8)
/* Gives non-zero when the file refuses block reads. */
#define TMBIO_FILE_NO_BLOCK_READS (-9)
/* Gives the fifth value sent to the client at open. */
#define TMBIO_FILE_OPEN_INFO1 (-10)
/* Gives the sixth value sent to the client at open. */
#define TMBIO_FILE_OPEN_INFO2 (-11)

/* Read results; a positive result is a byte count. */
/* The read found nothing more: the operation ends, no data follows. */
#define TMBIO_READ_END (-1)
/* The record filled the whole buffer: all of it is data. */
#define TMBIO_READ_FILLED (-2)
/* A restricted or first read stopped: no data follows the status. */
#define TMBIO_READ_STOP (-4)

/* Statuses (docs/data-library.md section 2). A result of 0 or more is a
 * count, a position or a success; the error word of a failure is the status
 * negated. */
#define TMBIO_OK 0
#define TMBIO_END (-1)          /* no (more) record, entry or position */
#define TMBIO_FILLED (-2)       /* the buffer holds the first `size` bytes */
#define TMBIO_INVALID (-3)      /* bad handle, mode, key number, option or argument */
#define TMBIO_STOP (-4)         /* bound or scan limit passed */
#define TMBIO_DUPLICATE (-5)    /* a unique key would be duplicated; nothing changed */
#define TMBIO_LOCKED (-6)       /* record locked by another environment */
#define TMBIO_BUSY (-7)         /* file reserved by another transaction */
#define TMBIO_IO_ERROR (-8)     /* the disk or the database failed */
#define TMBIO_DENIED (-9)       /* read-only, exclusive elsewhere, credentials, logon */
#define TMBIO_NO_CURRENT (-10)  /* no current record */
#define TMBIO_BAD_LENGTH (-11)  /* record or key length out of range */
#define TMBIO_TX_STATE (-12)    /* begin inside / commit or rollback outside a transaction */
#define TMBIO_NO_FILE (-13)     /* no such data file */
#define TMBIO_CORRUPT (-14)     /* not a data file, or an invalid definition */
#define TMBIO_NO_MEMORY (-15)   /* memory exhausted */
#define TMBIO_LIMIT (-16)       /* too many files, handles or conditions */

/* Read modes (QDK_read, QDK_RestrictedRead): the low byte of the mode. */
#define TMBIO_READ_POSITIONED 1
#define TMBIO_READ_NEXT 2
#define TMBIO_READ_PREVIOUS 3
#define TMBIO_READ_FIRST 4
#define TMBIO_READ_LAST 5
/* Added to a read mode: lock the record read. */
#define TMBIO_READ_LOCK 0x100

/* Seek modes (QDK_seek, QDK_read_FIRST). */
#define TMBIO_SEEK_EQUAL 1
#define TMBIO_SEEK_GE 2
#define TMBIO_SEEK_GT 3
#define TMBIO_SEEK_LE 4
#define TMBIO_SEEK_LT 5
#define TMBIO_SEEK_FIRST 6
#define TMBIO_SEEK_LAST 7

/* QDK_ExtWrite option1 (operation) and option2 (flags). */
#define TMBIO_WRITE_INSERT 0
#define TMBIO_WRITE_UPDATE 1
#define TMBIO_WRITE_UPDATE_KEY 2
#define TMBIO_WRITE_UPSERT 3
#define TMBIO_WRITE_KEEP_LOCK 0x1

/* QDK_ExtReadDirect option1 and QDK_RestrictedRead option: lock the record. */
#define TMBIO_OPTION_LOCK 0x1
/* QDK_UnlockRecord `which`: the current record, or every lock on the file. */
#define TMBIO_UNLOCK_CURRENT 0
#define TMBIO_UNLOCK_ALL (-1)

/* QDK_OpenExt open modes (bits; 0 is a normal shared open). */
#define TMBIO_OPEN_NORMAL 0
#define TMBIO_OPEN_READ_ONLY 0x1
#define TMBIO_OPEN_EXCLUSIVE 0x2

/* Kind codes of a data file. */
#define TMBIO_KIND_PLAIN 1
#define TMBIO_KIND_CLASSIC 2
#define TMBIO_KIND_EXTENDED 21

/* Segment flag word. */
#define TMBIO_SEG_DUPLICATES 0x0001
#define TMBIO_SEG_NOCASE 0x0002
#define TMBIO_SEG_DESCENDING 0x0004
#define TMBIO_SEG_SPARSE 0x0008
#define TMBIO_SEG_AUTOINC 0x0010
#define TMBIO_SEG_MORE 0x0100
#define TMBIO_SEG_TYPE_MASK 0x3800
#define TMBIO_SEG_TEXT 0x0000
#define TMBIO_SEG_SIGNED 0x0800
#define TMBIO_SEG_UNSIGNED 0x1000
#define TMBIO_SEG_DATE 0x1800
/* Attribute byte (kind 2): alternate collating sequence, never offered. */
#define TMBIO_SEG_ATTR_ALTERNATE 0x80

/* Limits of a file definition and of an environment. */
#define TMBIO_MAX_KEYS 32
#define TMBIO_MAX_SEGMENTS 16
#define TMBIO_MAX_KEY_LENGTH 255
#define TMBIO_MAX_CONDITIONS 16
#define TMBIO_MAX_SQL_HANDLES 64

/* Restrictions (QDK_PutRestrictInfo). */
#define TMBIO_RESTRICT_CLEAR 0
#define TMBIO_RESTRICT_ADD 1
#define TMBIO_RESTRICT_SCAN_LIMIT 2
/* Condition operators (value3). */
#define TMBIO_OP_EQUAL 1
#define TMBIO_OP_NOT_EQUAL 2
#define TMBIO_OP_LESS 3
#define TMBIO_OP_LESS_EQUAL 4
#define TMBIO_OP_GREATER 5
#define TMBIO_OP_GREATER_EQUAL 6
#define TMBIO_OP_CONTAINS 7
#define TMBIO_OP_BEGINS 8
/* Condition comparisons (value4). */
#define TMBIO_CMP_BYTES 0
#define TMBIO_CMP_NOCASE 1
#define TMBIO_CMP_SIGNED 2
#define TMBIO_CMP_UNSIGNED 3

/* Process-wide modes, by their meaning (the TMBIO_MODE_GLOBAL* names above
 * are the same numbers). */
#define TMBIO_GLOBAL_LOCK_WAIT 1  /* tenths of a second, default 50 */
#define TMBIO_GLOBAL_TRACE 2      /* 1: one line per call to standard error */
#define TMBIO_GLOBAL_DATA_DIR 6   /* text */
#define TMBIO_GLOBAL_APP_NAME 7   /* text */
/* Set to 1 by tools that work on data files with the rights of the person
 * running them (tmbadmin): logons that users files ask for are not asked.
 * No request of the server reaches this mode. */
#define TMBIO_GLOBAL_TOOL_ACCESS 20

/* Environment modes. */
#define TMBIO_ENV_RECORD (-1)       /* address of the TMBEnvironment */
#define TMBIO_ENV_LOGON_TEXT (-7)   /* address of the logon text */
#define TMBIO_ENV_LOCK_WAIT 3       /* milliseconds, 0 to 600000 */
#define TMBIO_ENV_IN_TX 4
#define TMBIO_ENV_OPEN_FILES 5
#define TMBIO_ENV_APP_NAME 6        /* text */
#define TMBIO_ENV_USER_NAME 7       /* text */
#define TMBIO_ENV_DATA_DIR 8        /* text */
#define TMBIO_ENV_READ_ONLY 9
#define TMBIO_ENV_VERSION 10
#define TMBIO_ENV_LOGGED_ON 11
#define TMBIO_ENV_WORK_DIR 12       /* text */
#define TMBIO_ENV_LOCKS 13
#define TMBIO_ENV_WORKSTATION 16    /* text */
#define TMBIO_ENV_LANGUAGE 17       /* text */
#define TMBIO_ENV_DATE_FORMAT 18    /* text */
#define TMBIO_ENV_NUMBER_FORMAT 19  /* text */
#define TMBIO_ENV_CATALOG 21        /* set: a catalog name; get: its index */
#define TMBIO_ENV_COMMENT 25        /* text */
/* A statement's mark inside the environment's transaction, so that a
 * statement of several writes is all or nothing while the transaction goes
 * on. Set to one of the values below; answers 0, TMBIO_TX_STATE outside a
 * transaction (and for UNDO without a mark), TMBIO_INVALID for another
 * value, or the status that kept the files from it. Reads 1 while a mark
 * is set. */
#define TMBIO_ENV_STATEMENT 30
#define TMBIO_STATEMENT_RELEASE 0 /* drops the mark; the writes stay */
#define TMBIO_STATEMENT_MARK 1    /* marks the transaction as it is now (an earlier mark is released) */
#define TMBIO_STATEMENT_UNDO 2    /* takes every file back to the mark and drops it */

/* Open file modes besides the negative ones above. */
#define TMBIO_FILE_KEY_COUNT (-10)  /* the same number as TMBIO_FILE_OPEN_INFO1 */
#define TMBIO_FILE_FLAGS (-11)      /* the same number as TMBIO_FILE_OPEN_INFO2 */
#define TMBIO_FILE_CURRENT_KEY 1
#define TMBIO_FILE_RAW_MODE 2
#define TMBIO_FILE_RECORDS 3
#define TMBIO_FILE_KIND 4
/* Bits of TMBIO_FILE_FLAGS. */
#define TMBIO_FILE_FLAG_VARIABLE 0x1
#define TMBIO_FILE_FLAG_READ_ONLY 0x2
#define TMBIO_FILE_FLAG_EXCLUSIVE 0x4

/* Socket value of an environment that no connection owns yet. */
#define TMBIO_NO_SOCKET UINT64_MAX

/* Object types: the second word of every object the library hands out, so
 * that a bare handle (QDGetEnvMode) tells what it is. */
/* Marks a TMBEnvironment. */
#define TMBIO_OBJECT_ENVIRONMENT 1u
/* Marks a TMBFile. */
#define TMBIO_OBJECT_FILE 2u
/* Marks a TMBSqlHandle. */
#define TMBIO_OBJECT_SQL_HANDLE 3u

/* ---- Objects shared with the server ---------------------------------------- */

/* One catalog, as read from the registry's Catalogs key. Texts are
 * NUL-terminated within their fields. */
typedef struct TMBCatalogEntry {
  uint32_t is_default; /* 1 when the registry data began with "*" */
  char name[256];      /* the registry value's name */
  char text1[128];
  char text2[128];
  char text3[1024];
} TMBCatalogEntry;

/* Capacity of an environment's catalog table. */
#define TMBIO_MAX_CATALOGS 256

/* An environment: what one client logs on to and opens files in. The
 * library hands it out zero-filled apart from id, object_type and
 * owning_socket (TMBIO_NO_SOCKET); the server fills the owner and the
 * catalogs right after QDK_AllocEnv. The offsets of the catalog fields are
 * fixed; the library's own state stays behind `engine`. */
typedef struct TMBEnvironment {
  int32_t id;              /* wire id */
  uint32_t object_type;    /* TMBIO_OBJECT_ENVIRONMENT */
  uint64_t owning_socket;  /* use TMBSetEnvironmentOwner/TMBEnvironmentOwner */
  char logon_text[256];    /* sent by Logon when its result word is 2 */
  uint8_t reserved[1560];  /* library-owned; keeps the table at 1832 */
  TMBCatalogEntry catalogs[TMBIO_MAX_CATALOGS];
  int32_t catalog_count;   /* entries filled */
  char view_library[128];  /* NUL-terminated */
  void* engine;            /* library-owned */
} TMBEnvironment;

TMBIO_STATIC_ASSERT(sizeof(TMBCatalogEntry) == 1540, "catalog entry is 1540 bytes");
TMBIO_STATIC_ASSERT(offsetof(TMBCatalogEntry, name) == 4, "catalog name at 4");
TMBIO_STATIC_ASSERT(offsetof(TMBCatalogEntry, text1) == 260, "text1 at 260");
TMBIO_STATIC_ASSERT(offsetof(TMBCatalogEntry, text2) == 388, "text2 at 388");
TMBIO_STATIC_ASSERT(offsetof(TMBCatalogEntry, text3) == 516, "text3 at 516");
TMBIO_STATIC_ASSERT(offsetof(TMBEnvironment, catalogs) == 1832, "catalog table at 1832");
TMBIO_STATIC_ASSERT(offsetof(TMBEnvironment, catalog_count) == 396072, "count at 396072");
TMBIO_STATIC_ASSERT(offsetof(TMBEnvironment, view_library) == 396076, "view library at 396076");

/* Records the connection that owns `env`. QD_SocketClosed reads the owner
 * from other threads, hence the atomic store; write it only through here. */
static inline void TMBSetEnvironmentOwner(TMBEnvironment* env, uint64_t socket) {
  __atomic_store_n(&env->owning_socket, socket, __ATOMIC_RELEASE);
}

/* Returns the connection that owns `env`, or TMBIO_NO_SOCKET. */
static inline uint64_t TMBEnvironmentOwner(const TMBEnvironment* env) {
  return __atomic_load_n(&env->owning_socket, __ATOMIC_ACQUIRE);
}

/* One key of a file, as the key flag test at open reads it. */
typedef struct TMBFileKey {
  uint8_t segment_count;  /* segments of this key; 0 means none */
  int32_t first_segment;  /* index into TMBFile.segments */
} TMBFileKey;

/* One key segment, as the key flag test at open reads it. */
typedef struct TMBFileSegment {
  uint16_t flags;     /* segment flag word */
  uint8_t attribute;  /* read for kind 2 only */
} TMBFileSegment;

/* An open file. The server reads id, kind, current_key and the key tables
 * (bounded by key_count and segment_total), and owns server_cell. */
typedef struct TMBFile {
  int32_t id;                       /* wire id */
  uint32_t object_type;             /* TMBIO_OBJECT_FILE */
  TMBEnvironment* environment;      /* the environment it was opened in */
  /* The server's cell: NULL or its read buffer, a block from malloc().
   * When the library closes the file on its own (QD_SocketClosed,
   * QDK_DeAllocEnv) it frees that block; QDK_close leaves it to the caller.
   * QDSetEnvMode(file, TMBIO_FILE_CELL, v) never stores v here. */
  void* server_cell;
  int32_t kind;                     /* kind code: 2 and 21 have key flags */
  int32_t current_key;              /* counted from 1 */
  int32_t key_count;                /* entries of keys */
  int32_t segment_total;            /* entries of segments */
  const TMBFileKey* keys;           /* key 1 first */
  const TMBFileSegment* segments;
  void* engine;                     /* library-owned */
} TMBFile;

/* An SQL catalog handle; its id is its first word. */
typedef struct TMBSqlHandle {
  int32_t id;                    /* wire id */
  uint32_t object_type;          /* TMBIO_OBJECT_SQL_HANDLE */
  void* engine;                  /* library-owned */
  TMBEnvironment* environment;   /* the environment it lists */
} TMBSqlHandle;

/* Restriction for later restricted reads (QDK_PutRestrictInfo). */
typedef struct TMBRestriction {
  int32_t value1;
  int32_t value2;
  int32_t value3;
  int32_t value4;
  int32_t value5;
  int32_t text_length;   /* bytes of text, without its NUL */
  intptr_t reserved1;    /* always 0 */
  const char* text;      /* NUL-terminated, or NULL */
  intptr_t reserved2;    /* always 0 */
} TMBRestriction;

/* File description filled by QDDescribeFile. */
typedef struct TMBFileDescription {
  int32_t values[13];
  uint8_t byte1;
  uint8_t byte2;
} TMBFileDescription;

/* One key of QDDescribeIndex's first array. */
typedef struct TMBIndexKey {
  int32_t number1;
  int32_t number2;
  int32_t number3;
  uint8_t byte1;
  char name[25];  /* NUL-padded */
} TMBIndexKey;

/* One segment of QDDescribeIndex's second array. */
typedef struct TMBIndexSegment {
  uint8_t byte1;
  uint8_t byte2;
  int32_t number1;
  int32_t number2;
  int32_t number3;
} TMBIndexSegment;

/* One column description filled by QDFetchColumn; texts NUL-padded. The
 * blobs belong to the library and stay valid until the handle's next call. */
typedef struct TMBColumnRecord {
  char text1[64];
  char text2[64];
  char text3[32];
  char text4[81];
  char text5[11];
  char text6[81];
  char text7[81];
  char text8[251];
  char text9[41];
  char text10[64];
  char text11[64];
  char text12[64];
  const uint8_t* blob1;
  const uint8_t* blob2;
  int32_t blob1_length;
  int32_t blob2_length;
  int32_t int1;
  uint8_t flag;
  int32_t int2;
  int32_t int3;
  int32_t int4;
  int32_t int5;
  int32_t int6;
  int32_t int7;
  int32_t int8;
  int32_t int9;
  int32_t int10;
} TMBColumnRecord;

/* One table description filled by QDFetchTable; texts NUL-padded. The
 * blobs belong to the library and stay valid until the handle's next call. */
typedef struct TMBTableRecord {
  char text1[65];
  char text2[81];
  char text3[207];
  char text4[128];
  char text5[81];
  char text6[16];
  char text7[81];
  const uint8_t* blob1;
  const uint8_t* blob2;
  int32_t blob1_length;
  int32_t blob2_length;
  int32_t number1;
  uint8_t byte1;
  char text8[8];
  uint8_t byte2;
  int32_t extension_length;
  uint8_t extension[2048];
  int32_t has_extension;  /* 0 or 1 */
  int32_t number2;
} TMBTableRecord;

/* ---- Id lookups ------------------------------------------------------------- */

/* A connection reaches only its own objects: an environment whose owner
 * (TMBEnvironmentOwner) is `socket`, and the files and SQL handles that live
 * in one. The GetOwned*ById calls decide that inside the library, under the
 * lock that closes and socket closes take objects out by, so they never read
 * an object that another thread is freeing. They return NULL for an id that
 * names no live object of that kind, for another socket's object and for
 * every id when `socket` is TMBIO_NO_SOCKET. The object returned stays live
 * until its owner closes or releases it (QDK_close, QDFreeHandle,
 * QDK_DeAllocEnv, QD_SocketClosed of `socket`): the owner's own thread, so
 * the caller may use it until it does that itself. A server looks up every
 * id a client sends through these. */
TMBIO_API TMBEnvironment* GetOwnedEnvironmentById(int32_t id, uint64_t socket) TMBIO_NOEXCEPT;
/* The open file with wire id `id` when `socket` owns it, or NULL. */
TMBIO_API TMBFile* GetOwnedFileById(int32_t id, uint64_t socket) TMBIO_NOEXCEPT;
/* The live SQL handle with wire id `id` when `socket` owns it, or NULL. */
TMBIO_API TMBSqlHandle* GetOwnedSQLSessionById(int32_t id, uint64_t socket) TMBIO_NOEXCEPT;

/* The GetLocal*ById calls look an id up whoever owns it. The object may be
 * freed by its owner at any moment after the call returns, so only a caller
 * that is the one to free it (a tool or test with a single thread of
 * control) may read what they return. */
/* Returns the live environment with wire id `id`, or NULL. */
TMBIO_API TMBEnvironment* GetLocalEnvironmentById(int32_t id) TMBIO_NOEXCEPT;
/* Returns the open file with wire id `id`, or NULL. */
TMBIO_API TMBFile* GetLocalFileById(int32_t id) TMBIO_NOEXCEPT;
/* Returns the live SQL handle with wire id `id`, or NULL. */
TMBIO_API TMBSqlHandle* GetLocalSQLSessionById(int32_t id) TMBIO_NOEXCEPT;

/* ---- Environments ------------------------------------------------------------ */

/* Creates an environment (see TMBEnvironment); returns it, or NULL. */
TMBIO_API TMBEnvironment* QDK_AllocEnv(void) TMBIO_NOEXCEPT;
/* Closes the environment's files, rolls back, frees it; returns a status. */
TMBIO_API int32_t QDK_DeAllocEnv(TMBEnvironment* env) TMBIO_NOEXCEPT;
/* Starts a transaction in `env`; returns a status. */
TMBIO_API int32_t QDK_BeginTX(TMBEnvironment* env) TMBIO_NOEXCEPT;
/* Commits the transaction of `env`; returns a status. */
TMBIO_API int32_t QDK_CommitTX(TMBEnvironment* env) TMBIO_NOEXCEPT;
/* Rolls back the transaction of `env`; returns a status. */
TMBIO_API int32_t QDK_RollbackTX(TMBEnvironment* env) TMBIO_NOEXCEPT;
/* Logs on to `env` (*value is 2 on entry); sets *blob and *blob_length (blob
 * owned by the library), *result (2: env->logon_text is filled) and
 * `message` (256 bytes); returns a status. */
TMBIO_API int32_t QDLogon(TMBEnvironment* env, const char* text1, const char* text2,
                          const char* text3, const char* text4, int32_t* value,
                          const char* text5, const uint8_t** blob, int32_t* blob_length,
                          int32_t* result, char* message) TMBIO_NOEXCEPT;
/* Logs off from `env`; sets *out and `message` (256 bytes); returns a status. */
TMBIO_API int32_t QDLogoff(TMBEnvironment* env, const char* text1, const char* text2,
                           const char* text3, const char* text4, int32_t* value,
                           int32_t* out, char* message) TMBIO_NOEXCEPT;

/* ---- Settings ---------------------------------------------------------------- */

/* Reads setting `mode` of `handle` (a TMBEnvironment, a TMBFile, or NULL for
 * the process-wide settings); returns its value, an address for the address
 * modes, or TMBIO_UNKNOWN_MODE. NULL always means process-wide: a caller
 * whose id lookup failed must not pass its NULL here. */
TMBIO_API intptr_t QDGetEnvMode(void* handle, int32_t mode) TMBIO_NOEXCEPT;
/* Changes setting `mode` of `handle` (as QDGetEnvMode) to `value`, a number
 * or a text's address; returns the result, for text modes a text or 0, or
 * TMBIO_UNKNOWN_MODE. */
TMBIO_API intptr_t QDSetEnvMode(void* handle, int32_t mode, intptr_t value) TMBIO_NOEXCEPT;

/* ---- Files ------------------------------------------------------------------- */

/* Opens file `name` in `env` with `options` (options_length bytes, or NULL
 * and 0) and open `mode`; returns the file, or NULL with *error set. */
TMBIO_API TMBFile* QDK_OpenExt(TMBEnvironment* env, const char* name, const char* options,
                               int32_t options_length, int16_t mode,
                               int32_t* error) TMBIO_NOEXCEPT;
/* Closes `file` (its server cell is the caller's to empty); returns a status. */
TMBIO_API int32_t QDK_close(TMBFile* file) TMBIO_NOEXCEPT;
/* Reads dictionary entry `index` into buffer[0, size); returns a status
 * (>= 0 on success). */
TMBIO_API int32_t QDK_dict(TMBFile* file, int32_t index, void* buffer,
                           int32_t size) TMBIO_NOEXCEPT;
/* Stores data[0, length) as dictionary entry `index`; returns a status. */
TMBIO_API int32_t QDK_dict_add(TMBFile* file, int16_t index, const void* data,
                               int16_t length) TMBIO_NOEXCEPT;
/* Returns the error code of the last failed call on `file`. */
TMBIO_API int32_t QDK_geterrno(TMBFile* file) TMBIO_NOEXCEPT;

/* ---- Record reads and positioning ---------------------------------------------- */

/* Reads a record in `mode` into buffer[0, size) (NULL when size is 0);
 * returns its length, TMBIO_READ_END or TMBIO_READ_FILLED. */
TMBIO_API int32_t QDK_read(TMBFile* file, void* buffer, int32_t size,
                           int32_t mode) TMBIO_NOEXCEPT;
/* Reads the first record within `bound` (bound_length bytes) given
 * extra[0, extra_length); fills record[0, size), key (256 bytes),
 * *key_length and *value; returns a length or a TMBIO_READ_* status. */
TMBIO_API int32_t QDK_read_FIRST(TMBFile* file, void* record, int32_t size, int32_t mode,
                                 uint8_t* key, uint8_t* key_length, int32_t* value,
                                 const uint8_t* bound, uint8_t bound_length,
                                 const void* extra, int32_t extra_length) TMBIO_NOEXCEPT;
/* Reads the next record that passes the file's restriction (value may be
 * NULL); otherwise as QDK_read_FIRST. */
TMBIO_API int32_t QDK_RestrictedRead(TMBFile* file, void* record, int32_t size, int32_t mode,
                                     uint8_t* key, uint8_t* key_length, int32_t* value,
                                     const uint8_t* bound, uint8_t bound_length,
                                     int32_t option) TMBIO_NOEXCEPT;
/* Reads raw data into buffer[0, size) (NULL when size <= 0); returns a
 * byte count or a TMBIO_READ_* status. */
TMBIO_API int32_t QDK_ExtReadDirect(TMBFile* file, void* buffer, int32_t size,
                                    int32_t option1, int32_t option2,
                                    int32_t option3) TMBIO_NOEXCEPT;
/* Positions `file` by key[0, length) in `mode` (length -1: no key); returns
 * a status. */
TMBIO_API int32_t QDK_seek(TMBFile* file, const uint8_t* key, int32_t length,
                           int32_t mode) TMBIO_NOEXCEPT;
/* Returns the current record's position, or -1. */
TMBIO_API int32_t QDK_getpos(TMBFile* file) TMBIO_NOEXCEPT;
/* Makes `position` the current record; returns a status. */
TMBIO_API int32_t QDK_setpos(TMBFile* file, int32_t position) TMBIO_NOEXCEPT;
/* Copies the current key, in `mode`, into key[0, size); returns its length
 * or a status. */
TMBIO_API int32_t QDK_GetKey(TMBFile* file, uint8_t* key, int32_t size,
                             int32_t mode) TMBIO_NOEXCEPT;
/* Adjusts the file's key position by key[0, length) (key may be changed in
 * place) in `mode`; returns a status. */
TMBIO_API int32_t QDK_keyadjust(TMBFile* file, uint8_t* key, int32_t length,
                                int32_t mode) TMBIO_NOEXCEPT;
/* Turns raw reading on (1) or off (0); returns a status. */
TMBIO_API int32_t QDK_RawReadMode(TMBFile* file, int32_t on) TMBIO_NOEXCEPT;

/* ---- Record writes ------------------------------------------------------------ */

/* Writes record[0, record_length) with key[0, key_length) (key_length <= 0:
 * no key given); returns a status. */
TMBIO_API int32_t QDK_ExtWrite(TMBFile* file, const void* record, int32_t record_length,
                               const uint8_t* key, int16_t key_length, int32_t option1,
                               int32_t option2) TMBIO_NOEXCEPT;
/* Removes the record with key[0, length); returns a status. */
TMBIO_API int32_t QDK_remove(TMBFile* file, const uint8_t* key,
                             int16_t length) TMBIO_NOEXCEPT;
/* Releases record lock(s) selected by `which`; returns a status. */
TMBIO_API int32_t QDK_UnlockRecord(TMBFile* file, int32_t which) TMBIO_NOEXCEPT;
/* Installs `restriction` (copied) under `selector` for later restricted
 * reads; returns a status. */
TMBIO_API int32_t QDK_PutRestrictInfo(TMBFile* file, int32_t selector,
                                      const TMBRestriction* restriction) TMBIO_NOEXCEPT;

/* ---- SQL metadata -------------------------------------------------------------- */

/* Creates an SQL handle in `env`; returns it, or NULL with *error set. */
TMBIO_API TMBSqlHandle* QDRequestHandle(TMBEnvironment* env, int32_t* error) TMBIO_NOEXCEPT;
/* Frees `handle`; returns a status. */
TMBIO_API int32_t QDFreeHandle(TMBSqlHandle* handle) TMBIO_NOEXCEPT;
/* Queries tables matching the texts (each NULL or `length` bytes) of `kind`;
 * sets *count1 and *count2; returns a status. */
TMBIO_API int32_t QDGetTables(TMBSqlHandle* handle, const char* text1, int32_t length1,
                              const char* text2, int32_t length2, const char* text3,
                              int32_t length3, int32_t kind, int32_t* count1,
                              int32_t* count2) TMBIO_NOEXCEPT;
/* Queries columns matching the texts (each NULL or NUL-terminated); sets
 * *count; returns a status. */
TMBIO_API int32_t QDGetColumns(TMBSqlHandle* handle, const char* text1, const char* text2,
                               const char* text3, const char* text4,
                               int32_t* count) TMBIO_NOEXCEPT;
/* Fills up to `count` records of the table query (name: NULL or
 * name_length bytes); returns the number filled, or a status <= 0. */
TMBIO_API int32_t QDFetchTable(TMBSqlHandle* handle, const char* name, int32_t name_length,
                               int32_t count, TMBTableRecord* records) TMBIO_NOEXCEPT;
/* Fills up to `count` records of the column query; returns the number
 * filled, or a status <= 0. */
TMBIO_API int32_t QDFetchColumn(TMBSqlHandle* handle, int32_t count,
                                TMBColumnRecord* records) TMBIO_NOEXCEPT;
/* Fills `description` for `file`; returns 1 when filled, else a status. */
TMBIO_API int32_t QDDescribeFile(TMBFile* file, TMBFileDescription* description) TMBIO_NOEXCEPT;
/* Describes keys start..*end-1 into `keys` and up to *segment_count
 * segments into `segments` (either may be NULL); lowers *end and
 * *segment_count to what it filled, never raises them; returns a status
 * (0: nothing filled). */
TMBIO_API int32_t QDDescribeIndex(TMBFile* file, int32_t start, int32_t* end,
                                  int32_t* segment_count, TMBIndexKey* keys,
                                  TMBIndexSegment* segments) TMBIO_NOEXCEPT;

/* ---- Connections and counts ------------------------------------------------------ */

/* Mark the calls the calling thread makes for one client request. Inside
 * a request a file's read statement stays open from one call to the next
 * (a block of reads steps one statement); QD_EndRequest resets them all,
 * so that no read snapshot outlives the request. Outside a request each
 * call ends its own. A QD_BeginRequest while one is open ends it first. */
TMBIO_API void QD_BeginRequest(void) TMBIO_NOEXCEPT;
TMBIO_API void QD_EndRequest(void) TMBIO_NOEXCEPT;
/* Rolls back, unlocks, closes and frees everything of the environments
 * `socket` owns; unknown sockets and TMBIO_NO_SOCKET are ignored. */
TMBIO_API void QD_SocketClosed(uint64_t socket) TMBIO_NOEXCEPT;
/* Returns the number of live environments. */
TMBIO_API int32_t GetNumConnections(void) TMBIO_NOEXCEPT;
/* Returns the number of open files. */
TMBIO_API int32_t GetNumOpenFiles(void) TMBIO_NOEXCEPT;
/* Returns the number of live environments `socket` owns (0 for
 * TMBIO_NO_SOCKET), counted under the table's lock, so environments freed by
 * QDK_DeAllocEnv or QD_SocketClosed no longer count. */
TMBIO_API int32_t GetNumOwnedEnvironments(uint64_t socket) TMBIO_NOEXCEPT;
/* Returns the number of open files in the environments `socket` owns; files
 * closed with their environment no longer count. */
TMBIO_API int32_t GetNumOwnedFiles(uint64_t socket) TMBIO_NOEXCEPT;
/* Returns the number of environments `socket` owns that are in a
 * transaction (0 for TMBIO_NO_SOCKET). Reliable only on the thread that
 * serves `socket`, which alone begins and ends their transactions. */
TMBIO_API int32_t GetNumOwnedTransactions(uint64_t socket) TMBIO_NOEXCEPT;
/* Returns the number of syncs of data files' write-ahead logs that made
 * writes committed alone durable, since the process started (each covers
 * every such write to its file committed before it began). */
TMBIO_API int64_t GetNumLogSyncs(void) TMBIO_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TMBIO_TMBIO_H_ */
