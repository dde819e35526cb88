/* vornseq: one fixed sequence of operations through the client library, for comparing the
 * files that different builds and platforms write.
 *
 *   vornseq write ADDRESS FILE [hold]
 *                                creates FILE, opens it on the server at ADDRESS and runs the
 *                                sequence on it (adds, rewrites, deletes, keys, control values);
 *                                with "hold" it then prints "held" and keeps the file open and
 *                                the connection up until its standard input ends
 *   vornseq read FILE            opens FILE locally, read-only with the integrity check, and
 *                                checks that it holds exactly what the sequence leaves
 *
 * Exit status 0 when every call did what it should; the first failure is named on stderr. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vornlink.h"

enum { kRecords = 240, kFids = 3, kMaxRecord = 700 };

static uint32_t seed;

/* A fixed pseudo-random sequence (the same on every platform). */
static uint32_t nextrandom(void) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) & 0xFFFFFFu;
}

/* Record i of generation g: a length and bytes that compress in places. */
static int16_t makerecord(int i, int g, char *out) {
    const int len = (int)((i * 37u + g * 101u) % kMaxRecord);
    for (int k = 0; k < len; ++k) {
        out[k] = (char)((k / 16) % 3 == 0 ? 'a' + (i + g) % 26 : (i * 7 + k * 13 + g) & 0xFF);
    }
    return (int16_t)len;
}

static int16_t makekey(int i, char *out) {
    return (int16_t)sprintf(out, "key-%05d-%03d", (int)(nextrandom() % 100000), i);
}

/* What the sequence leaves: for each i, live or not, its generation and its key. */
struct Model {
    int live[kRecords];
    int generation[kRecords];
    char key[kRecords][32];
    int16_t keylen[kRecords];
    uint8_t fid[kRecords];
};

static int fail(const char *what, int i) {
    fprintf(stderr, "vornseq: %s failed (record %d)\n", what, i);
    return 1;
}

static void buildmodel(struct Model *m) {
    seed = 20260101u;
    for (int i = 0; i < kRecords; ++i) {
        m->live[i] = 1;
        m->generation[i] = 0;
        m->fid[i] = (uint8_t)(0x10 * (1 + i % kFids));
        m->keylen[i] = makekey(i, m->key[i]);
    }
    for (int i = 0; i < kRecords; ++i) {
        if (i % 5 == 0) m->generation[i] = 1;
        if (i % 7 == 3) m->live[i] = 0;
    }
}

static int writesequence(const char *address, const char *file, int hold) {
    static struct Model m;
    static uint32_t rid[kRecords];
    char rec[kMaxRecord];
    buildmodel(&m);
    if (!fscreatedatabase(file, 0)) return fail("fscreatedatabase", -1);
    const char instance = fsinit(address);
    if (instance < 0) return fail("fsinit", -1);
    FS *fs = fsopen(instance, file, 1, 0);
    if (fs == NULL) return fail("fsopen", -1);
    for (int i = 0; i < kRecords; ++i) {
        const int16_t len = makerecord(i, 0, rec);
        rid[i] = fsadd(instance, fs, rec, len, m.fid[i]);
        if (rid[i] == 0) return fail("fsadd", i);
        if (!fsaddkey(instance, fs, (uint8_t)(m.fid[i] | 1), rid[i], m.keylen[i], m.key[i]))
            return fail("fsaddkey", i);
    }
    for (int i = 0; i < kRecords; ++i) {
        if (m.generation[i] == 1) {
            const int16_t len = makerecord(i, 1, rec);
            if (!fswrite(instance, fs, rec, len, rid[i])) return fail("fswrite", i);
        }
        if (!m.live[i]) {
            if (!fsdeletekey(instance, fs, (uint8_t)(m.fid[i] | 1), rid[i], m.keylen[i], m.key[i]))
                return fail("fsdeletekey", i);
            if (!fsdelete(instance, fs, rid[i])) return fail("fsdelete", i);
        }
    }
    if (!fsstorecannumber(instance, fs, 4711)) return fail("fsstorecannumber", -1);
    if (!fsstorebusinessdate(instance, fs, 20261208u)) return fail("fsstorebusinessdate", -1);
    if (!fssetappstat(instance, fs, 3)) return fail("fssetappstat", -1);
    if (hold) {
        printf("held\n");
        fflush(stdout);
        while (getchar() != EOF) {
        }
        closefs(instance);
        return 0;
    }
    fsclose(instance, fs);
    closefs(instance);
    return 0;
}

static int readsequence(const char *file) {
    static struct Model m;
    char rec[32768];
    char expect[kMaxRecord];
    buildmodel(&m);
    const char instance = fsinit("");
    if (instance < 0) return fail("fsinit", -1);
    FS *fs = fsopen(instance, file, 1, 1);
    if (fs == NULL) return fail("fsopen (integrity check)", -1);
    int found = 0;
    for (int f = 1; f <= kFids; ++f) {
        for (uint32_t r = fsfirst(instance, fs, (uint8_t)(f << 4)); r != 0;
             r = fsnext(instance, fs, r)) {
            ++found;
        }
    }
    int live = 0;
    for (int i = 0; i < kRecords; ++i) {
        char key[200];
        memcpy(key, m.key[i], (size_t)m.keylen[i]);
        const uint32_t r = fsfindkey(instance, fs, (uint8_t)(m.fid[i] | 1), m.keylen[i], key);
        if (!m.live[i]) {
            if (r != 0 && memcmp(key, m.key[i], (size_t)m.keylen[i]) == 0)
                return fail("deleted key still found", i);
            continue;
        }
        ++live;
        if (r == 0) return fail("fsfindkey", i);
        const int16_t len = makerecord(i, m.generation[i], expect);
        const int16_t got = fsread(instance, fs, r, rec);
        if (got != len || memcmp(rec, expect, (size_t)len) != 0) return fail("record contents", i);
    }
    if (found != live) return fail("record count", found);
    if (fsgetcannumber(instance, fs, 0) != 4711) return fail("fsgetcannumber", -1);
    if (fsgetbusinessdate(instance, fs) != 20261208u) return fail("fsgetbusinessdate", -1);
    if (fsgetappstat(instance, fs) == 0) return fail("fsgetappstat", -1);
    fsclose(instance, fs);
    closefs(instance);
    printf("vornseq: %s holds the sequence's %d records\n", file, live);
    return 0;
}

int main(int argc, char **argv) {
    if ((argc == 4 || (argc == 5 && strcmp(argv[4], "hold") == 0)) && strcmp(argv[1], "write") == 0)
        return writesequence(argv[2], argv[3], argc == 5);
    if (argc == 3 && strcmp(argv[1], "read") == 0) return readsequence(argv[2]);
    fprintf(stderr, "usage: vornseq write ADDRESS FILE [hold] | vornseq read FILE\n");
    return 2;
}
