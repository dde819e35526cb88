/* A plain C program against vornlink.h and the shared library: it calls every exported
 * function once, on a temporary database of a local-only instance, in a temporary working
 * directory. Exit status 0 when every result is as expected. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#ifdef _WIN32
#include <direct.h>
#include <io.h>
/* A new directory named after the template (no mkdtemp on Windows). */
static char *makedir(char *templ) {
    return _mktemp(templ) != NULL && _mkdir(templ) == 0 ? templ : NULL;
}
#else
static char *makedir(char *templ) {
    return mkdtemp(templ);
}
#endif

#include "vornlink.h"

static int failures = 0;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

static void records(char inst, FS *fs) {
    char out[64];
    uint32_t rid = fsadd(inst, fs, "hello, world", 12, 0x10);
    CHECK(rid >> 28 == 1);
    CHECK(fsread(inst, fs, rid, out) == 12 && memcmp(out, "hello, world", 12) == 0);
    CHECK(fswrite(inst, fs, "bye", 3, rid) == 1);
    CHECK(fsread(inst, fs, rid, out) == 3 && memcmp(out, "bye", 3) == 0);
    CHECK(fsfirst(inst, fs, 0x10) == rid);
    CHECK(fslast(inst, fs, 0x10) == rid);
    CHECK(fsnext(inst, fs, rid) == 0);
    CHECK(fsprev(inst, fs, rid) == 0);
    CHECK(fsflush(inst, fs) == 1);
    CHECK(fsdelete(inst, fs, rid) == 1);
    CHECK(fsfirst(inst, fs, 0x10) == 0);
}

static void keys(char inst, FS *fs) {
    char key[200];
    CHECK(fsaddkey(inst, fs, 0x18, 5, 3, "abc") == 1);
    CHECK(fsaddkey(inst, fs, 0x18, 6, 3, "abd") == 1);
    CHECK(fsfirstkey(inst, fs, 0x18, key) == 5 && memcmp(key, "abc", 3) == 0);
    memcpy(key, "abc", 3);
    CHECK(fsfindkey(inst, fs, 0x18, 3, key) == 5);
    CHECK(fsnextkey(inst, fs, 0x18, 5, 3, key) == 6 && memcmp(key, "abd", 3) == 0);
    CHECK(fsprevkey(inst, fs, 0x18, 6, 3, key) == 5 && memcmp(key, "abc", 3) == 0);
    memcpy(key, "zzz", 3);
    CHECK(fslastkey(inst, fs, 0x18, 3, key) == 6);
    CHECK(fsdeletekey(inst, fs, 0x18, 6, 3, "abd") == 1);
}

static void locksandcontrol(char inst, FS *fs) {
    const uint32_t rids[] = {1, 2, 0};
    CHECK(fslock(inst, fs, rids) == 1);
    CHECK(fsunlock(inst, fs) == 1);
    CHECK(fsexclusivelock(inst, fs, 0) == 1);
    CHECK(fsexclusiveunlock(inst, fs) == 1);
    CHECK(fsunlockrid(inst, fs, 1) == 1);
    CHECK(fsforceunlockrid(inst, fs, 1) == 1);
    CHECK(fsstorecannumber(inst, fs, 30000) == 1);
    CHECK(fsgetcannumber(inst, fs, 1) == 0x00010000u);
    CHECK(fssetappstat(inst, fs, 1) == 1);
    CHECK(fsgetappstat(inst, fs) == -1);
    CHECK(fsstorebusinessdate(inst, fs, 20261208u) == 1);
    CHECK(fsgetbusinessdate(inst, fs) == 20261208u);
}

int main(void) {
    char dir[] = "capi_XXXXXX"; /* beside the test, removed at the end */
    char old[4096];
    if (getcwd(old, sizeof old) == NULL || makedir(dir) == NULL || chdir(dir) != 0) return 2;

    CHECK(sizeof(FS) == 19);
    CHECK(checkforshare(NULL) == 1);
    CHECK(fsinit("127.0.0.1:1") == -4);
    char inst = fsinit(NULL);
    CHECK(inst == 0);
    CHECK(getnwloginname(inst) == NULL);

    FS *fs = fsopentemp(inst);
    CHECK(fs != NULL);
    if (fs != NULL) {
        records(inst, fs);
        keys(inst, fs);
        locksandcontrol(inst, fs);
        fsclosetemp(inst, fs);
    }

    CHECK(fscreatedatabase("c.db", 20) == 1);
    fs = fsopen(inst, "c.db", 1, 1);
    CHECK(fs != NULL);
    if (fs != NULL) fsclose(inst, fs);
    CHECK(fsopen(inst, "c.db", 0, 0) == NULL); /* forwarded: no server */
    CHECK(fsforceclose(inst, "c.db") == 0);
    struct tm t;
    CHECK(fsgetlocaltime(inst, &t) == 0);
    CHECK(closefs(inst) == 1);

    remove("c.db");
    remove("checkerr.log");
    if (chdir(old) != 0 || rmdir(dir) != 0) ++failures;
    if (failures == 0) printf("capi_api: every exported function answered as expected\n");
    return failures == 0 ? 0 : 1;
}
