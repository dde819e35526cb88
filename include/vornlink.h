/* vornlink: the client API of the vorn record-and-index database. This is the only header an
 * application needs; it compiles as C (C99 or later) and as C++.
 *
 * Handles
 *   An instance (0..11) comes from fsinit and names one server connection plus one table of
 *   up to 20 databases opened locally. An open database is named by its FS block, returned by
 *   fsopen or fsopentemp. The block's 19 bytes are the whole handle: an application may copy
 *   them into its own storage and pass the copy; the library never keys anything on the
 *   block's address.
 *
 * Ownership
 *   The FS block returned by fsopen/fsopentemp belongs to the library; fsclose or fsclosetemp
 *   frees it (never free it yourself, never use it after the close). After every forwarded
 *   operation the block holds the server's reply header (error, errororigin, len, rid, ...).
 *
 * Routing
 *   fsopen with readonly = 0 opens the database through the server: every later operation on
 *   it is one request to the server. fsopen with readonly != 0 reads the file directly
 *   (changes stay in memory and are never written), fsopentemp creates a private temporary
 *   database that the library writes itself, fscreatedatabase writes a new empty file.
 *   An instance started with a null or empty address serves local databases only.
 *
 * Results
 *   0 means failure or "nothing found" for nearly every call; success is 1, a record id, a
 *   length or a value. fsinit and fsgetappstat have their own codes (see below). A zero from a
 *   search does not tell "not found" from a failure: the library's last error code does
 *   (for network databases also the block's error field, with errororigin 'L').
 *
 * lserrno
 *   The library keeps a last error code, cleared on entry to every call: the server's code
 *   when a forwarded call fails with errororigin 'L', or the small codes of the open and
 *   create paths (1 no slot, 2 no memory, 4/5/6 integrity check, 7 file not opened, 8 new
 *   temporary header unreadable, 9/10/11 writing block 0/1/2, 406 file not created). It is
 *   not exported; fsgetappstat returns it when it fails.
 *
 * Transport log
 *   Connection failures are appended, one line each, to the text file "checkerr.log": on
 *   Windows "c:\checkerr.log" at the root of drive C:, or, where that file can't be opened
 *   for appending (no rights at the root), "checkerr.log" in the current directory; elsewhere
 *   always the latter, in the application's current working directory.
 *
 * Threads
 *   The library holds no locks and keeps process-wide state (instance tables, last error code,
 *   key scratch buffer): make one call at a time in the whole process.
 *
 * Limits
 *   Keys are 0..195 bytes. A record is stored compressed; it must fit one block (its stored
 *   form at most 1008 bytes, which every record of up to 1007 bytes does). Records read back
 *   are at most 32767 bytes; the caller's buffers must hold the longest record or key that
 *   the call can return.
 */
#ifndef VORNLINK_H
#define VORNLINK_H

#include <stdint.h>
#include <time.h>

#if defined(_WIN32)
#if defined(VORNLINK_BUILD)
#define VORNLINK_API __declspec(dllexport)
#elif defined(VORNLINK_STATIC)
#define VORNLINK_API
#else
#define VORNLINK_API __declspec(dllimport)
#endif
#else
#define VORNLINK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)
/* The call block: 19 bytes, packed, little-endian. The same bytes head every request and reply
 * on the wire. */
typedef struct FS {
    int16_t fsdatanum;    /* local: slot 0..19 of the instance; network: the server's index */
    uint8_t isnetwork;    /* nonzero: operations are forwarded to the server */
    uint16_t socket;      /* carried, never interpreted */
    char errororigin;     /* 'L' marks a server code in error */
    int32_t error;        /* result of the last forwarded operation, 0 = success */
    int16_t len;          /* data bytes of the last request or reply */
    uint8_t fid;          /* sub-file (high four bits, 1..15) and key number (low four bits) */
    uint32_t rid;         /* record id or 32-bit value of the last operation */
    uint8_t sequence;     /* carried, never interpreted */
    uint8_t totalpackets; /* carried, never interpreted */
} FS;
#pragma pack(pop)

/* ---- Instances ---------------------------------------------------------------------------- */

/* Claims the lowest free instance and connects it to the server at `name`: dotted IPv4 text,
 * optionally ":PORT" (default port 2000). A null or empty name claims an instance for local
 * databases only. Result: the instance 0..11; -1 all 12 are claimed; -2 no memory for the
 * connection state; -3 no socket; -4 the address is not dotted IPv4 or the connection failed.
 * On a failure the instance is released again. */
VORNLINK_API char fsinit(const char *name);

/* Releases the instance and closes its connection. Databases still open on it are not closed.
 * Result: 1. */
VORNLINK_API int16_t closefs(char instance);

/* The login name of the instance's connection; there is none, so always null. */
VORNLINK_API char *getnwloginname(char instance);

/* Always 1, for any name (also null). */
VORNLINK_API int16_t checkforshare(const char *fname);

/* ---- Opening, creating and closing -------------------------------------------------------- */

/* readonly = 0: opens `name` on the server (checkintegrity is not used). Null on failure:
 * lserrno 1 no memory, 3 a name longer than 128 characters (nothing is sent), or the server's
 * code; 0 when the connection failed.
 * readonly != 0: opens the file locally, read-only: nothing is ever written to it. With
 * checkintegrity != 0 a file whose header disagrees with its length is refused (lserrno 4 free
 * xlate chain beyond the file, 5 length differs from the header's last block, 6 a free chain
 * beyond the file). Null on failure: lserrno 1 no free slot, 2 no memory, 7 the file could not
 * be opened, 4/5/6; a bad signature or an unreadable header leave lserrno 0. The header copy
 * keeps the first 63 characters of the name; the library keeps the whole path for the reopen
 * that the unlock calls perform, so a path of any length works.
 * On the server one file is one slot, whatever name reaches it: a connection that opens the
 * same file under two names ("demo.vdb" and "./demo.vdb") gets the same slot twice and is one
 * user of it, so one fsclose of either block ends both handles: the file is closed for that
 * connection (for good when it was the last user), and closing the other block fails. */
VORNLINK_API FS *fsopen(char instance, const char *name, int16_t checkintegrity, int16_t readonly);

/* Creates and opens a private temporary database ("vtXXXXXX.tmp" in the current directory),
 * written by the library itself. Result: the FS block, null on failure (lserrno 1, 2, 7, 8, 9,
 * 10, 11). fsclosetemp deletes the file; fsclose keeps it. */
VORNLINK_API FS *fsopentemp(char instance);

/* Writes a new empty database file (created or truncated) and leaves it closed. `freq` is the
 * xlate block spacing: 0 means the default 20; 1 and negative values are refused.
 * Result: 1 created, 0 failed (lserrno 406 not created or a bad freq, 9/10/11 write failed). */
VORNLINK_API int16_t fscreatedatabase(const char *filename, int16_t freq);

/* Closes a database and frees its FS block (a copy of the block closes the database too and
 * frees the block handed out). A local database has its header user count lowered and, unless
 * read-only, its changes written. */
VORNLINK_API void fsclose(char instance, FS *fsinfo);

/* Closes a temporary database, deletes its file and frees the FS block; nothing is written.
 * A database opened with fsopen is closed without deleting its file. */
VORNLINK_API void fsclosetemp(char instance, FS *fsinfo);

/* Asks the server to close the named database for all of its users. The server keeps names
 * in upper case and compares the name given with them exactly: only the upper-case name
 * matches, and it closes every open file whose name differs from it only in case.
 * Result: 1 done, 0 failed (lserrno = the server's code, or 3 a name over 128 characters). */
VORNLINK_API int16_t fsforceclose(char instance, const char *name);

/* ---- Records ------------------------------------------------------------------------------ */

/* Record calls fail with 0. Locally the failing engine step's code goes to the error ring
 * (for example 1030..1055 add, 1060..1100 rewrite, 1105..1120 delete, 1125..1135 read); over
 * the network lserrno takes the server's code (471..479, 480, 481).
 *
 * Adds a record of `len` bytes (0..32767) to sub-file fid >> 4 (fid 0x10..0xFF). The record is
 * compressed first; one whose stored form does not fit a data block is refused before anything
 * is sent or changed. Result: the new rid (its sub-file in the top four bits), 0 on failure. */
VORNLINK_API uint32_t fsadd(char instance, FS *fsinfo, const void *rec, int16_t len, uint8_t fid);

/* Rewrites the record `rid` with `len` new bytes; the rid stays. Result: 1 or 0. */
VORNLINK_API int16_t fswrite(char instance, FS *fsinfo, const void *rec, int16_t len, uint32_t rid);

/* Deletes the record `rid`. Result: 1 or 0. */
VORNLINK_API int16_t fsdelete(char instance, FS *fsinfo, uint32_t rid);

/* Reads the record `rid` into `rec`, which must hold the record. Result: its length, 0 on
 * failure (also for a reply that is no valid stored record). */
VORNLINK_API int16_t fsread(char instance, FS *fsinfo, uint32_t rid, void *rec);

/* First / last rid of the sub-file fid >> 4; 0 when it is empty or on failure. */
VORNLINK_API uint32_t fsfirst(char instance, FS *fsinfo, uint8_t fid);
VORNLINK_API uint32_t fslast(char instance, FS *fsinfo, uint8_t fid);

/* The rid after / before `rid` in its sub-file; 0 at the end / start or on failure. */
VORNLINK_API uint32_t fsnext(char instance, FS *fsinfo, uint32_t rid);
VORNLINK_API uint32_t fsprev(char instance, FS *fsinfo, uint32_t rid);

/* Writes a local database's changed blocks and header (nothing for a read-only one).
 * Result: 1 done, 0 a write failed; 1 for a network database without a request. */
VORNLINK_API int16_t fsflush(char instance, FS *fsinfo);

/* ---- Keys --------------------------------------------------------------------------------- */

/* Adds / deletes the index entry (fid, key of len bytes, rid). len 0..195.
 * Result: 1 done, 0 failed. */
VORNLINK_API int16_t fsaddkey(char instance, FS *fsinfo, uint8_t fid, uint32_t rid, int16_t len,
                              const void *key);
VORNLINK_API int16_t fsdeletekey(char instance, FS *fsinfo, uint8_t fid, uint32_t rid, int16_t len,
                                 const void *key);

/* The first entry of index `fid`: result its rid (0 none or failure); its value goes to `key`. */
VORNLINK_API uint32_t fsfirstkey(char instance, FS *fsinfo, uint8_t fid, void *key);

/* Searches index `fid` for the value in `key` (len bytes, 0..195): fsfindkey finds the first
 * entry whose value equals it (the lowest rid among duplicates), fslastkey the greatest entry
 * whose value is below it. Result: the entry's rid, 0 when there is none or on failure; the
 * value found goes to `key`, which must hold the index's longest value. After a network search
 * the block's len is the found value's length; a local search leaves the block unchanged. */
VORNLINK_API uint32_t fslastkey(char instance, FS *fsinfo, uint8_t fid, int16_t len, void *key);
VORNLINK_API uint32_t fsfindkey(char instance, FS *fsinfo, uint8_t fid, int16_t len, void *key);

/* The entry after / before (key, rid) in index `fid`. Result: its rid, 0 at the end / start or
 * on failure; its value goes to `key`. */
VORNLINK_API uint32_t fsnextkey(char instance, FS *fsinfo, uint8_t fid, uint32_t rid, int16_t len,
                                void *key);
VORNLINK_API uint32_t fsprevkey(char instance, FS *fsinfo, uint8_t fid, uint32_t rid, int16_t len,
                                void *key);

/* ---- Locks -------------------------------------------------------------------------------- */

/* Locks the records of `ridary` (ended by 0; at most 21 are sent; null = none) on the server;
 * a local database only sets its lock flag. Result: 1 locked, 0 not (lserrno 481 held by
 * another user). */
VORNLINK_API int16_t fslock(char instance, FS *fsinfo, const uint32_t *ridary);

/* Locks the whole file for this user, waiting (retrying every few ms) while another user
 * holds it. allowreads != 0 lets other users read meanwhile. Result: 1 or 0. */
VORNLINK_API int16_t fsexclusivelock(char instance, FS *fsinfo, int16_t allowreads);

/* Release locks on the server (fsunlockrid / fsforceunlockrid refused because another user
 * holds the lock return 0 with lserrno 0). Locally every unlock clears the lock flag, writes
 * the database's changes and reopens its file in the mode it was opened in (0 with lserrno 7
 * when it can't be reopened: the database then fails every call until it is closed); fsunlock
 * on a read-only database returns 1 at once. */
VORNLINK_API int16_t fsunlock(char instance, FS *fsinfo);
VORNLINK_API int16_t fsunlockrid(char instance, FS *fsinfo, uint32_t rid);
VORNLINK_API int16_t fsforceunlockrid(char instance, FS *fsinfo, uint32_t rid);
VORNLINK_API int16_t fsexclusiveunlock(char instance, FS *fsinfo);

/* ---- Control values ----------------------------------------------------------------------- */

/* Locally a block that names no open database of the instance is refused: 480 in the error
 * ring and "<function> - invalid index." as the message; over the network lserrno takes the
 * server's code. Local changes reach the file at the next unlock, flush or close. */

/* The counter pair (low half in the low 16 bits). increment != 0 advances the low half first;
 * past 30000 it rolls over: the high half advances and the low half restarts at 0 (at 1 when
 * the high half wraps to 0). Result: the pair, 0 on failure. */
VORNLINK_API uint32_t fsgetcannumber(char instance, FS *fsinfo, int16_t increment);
VORNLINK_API int16_t fsstorecannumber(char instance, FS *fsinfo, uint32_t rid);

/* The status flag: nonzero when set (-1 set by this library locally, 1 by the server), 0 when
 * clear; on a failure the last error code (480 invalid index). */
VORNLINK_API int16_t fsgetappstat(char instance, FS *fsinfo);
VORNLINK_API int16_t fssetappstat(char instance, FS *fsinfo, int16_t appstat);

/* The business date, an opaque 32-bit value; 0 on failure. */
VORNLINK_API uint32_t fsgetbusinessdate(char instance, FS *fsinfo);
VORNLINK_API int16_t fsstorebusinessdate(char instance, FS *fsinfo, uint32_t bdate);

/* The server's local time into the nine standard fields of `data` (tm_sec .. tm_isdst).
 * Result: 1 or 0. */
VORNLINK_API int16_t fsgetlocaltime(char instance, struct tm *data);

#ifdef __cplusplus
}  // extern "C"

static_assert(sizeof(FS) == 19, "FS is the 19-byte call block");
#endif

#endif /* VORNLINK_H */
