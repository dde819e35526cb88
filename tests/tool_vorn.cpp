// The vorn tool run as a program on real files: dump and load round-trip random files with
// every rid; check finds each kind of damage; salvage recovers every record that damage
// left intact, under its rid; the commands that only read leave the file as it was; a wrong
// command line gets a message and a non-zero exit.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fsn/blocks.h"
#include "fsn/keysearch.h"
#include "fsn/keyupdate.h"
#include "fsn/layout.h"
#include "fsn/records.h"
#include "support/childprocess.h"
#include "support/enginefile.h"
#include "vorn/compress.h"

namespace vorn {
namespace {

const std::string kVorn = std::string(TOOLS_DIR) + "/vorn";

// Runs `vorn ARGS` through the shell (ARGS may redirect); the exit status.
int vorn(const std::string &args) {
    const int status = std::system((kVorn + " " + args).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string hex8(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(v));
    return text;
}

std::string slurp(const std::string &path) {
    const auto bytes = test::readwholefile(path);
    return std::string(bytes.begin(), bytes.end());
}

// The record lines of a dump, by rid.
std::map<std::string, std::string> recordlines(const std::string &dump) {
    std::map<std::string, std::string> out;
    std::istringstream in(dump);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("{\"rid\":\"", 0) == 0) out[line.substr(8, 8)] = line;
    }
    return out;
}

std::vector<std::string> keylines(const std::string &dump) {
    std::vector<std::string> out;
    std::istringstream in(dump);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("{\"key\":", 0) == 0) out.push_back(line);
    }
    return out;
}

// A file on disk filled by a random sequence of adds, rewrites and deletes in four
// sub-files, with keys of several types (some indexes with duplicates) and non-default
// settings, so that rids have gaps and the free xlate chain is out of order.
struct RandomFile {
    static void build(const std::string &path, std::uint32_t seed, std::int16_t spacing, int ops) {
        ASSERT_TRUE(test::makedatabasefile(path, spacing));
        test::RecordingReporter reporter;
        auto fs = test::openenginepath(path, Flavor::Library, &reporter);
        ASSERT_NE(fs, nullptr);
        FSCB &cb = fs->fscb;
        cb.f[0].keytype[1] = 1;  // int16
        cb.f[1].keytype[3] = 5;  // uint32, with duplicates
        cb.f[1].dupkeys = static_cast<std::int16_t>(cb.f[1].dupkeys | 8);
        cb.f[1].keytype[9] = 0;  // bytes, duplicates (8..15 have them)
        cb.f[2].keytype[0] = 7;  // double
        std::memcpy(cb.f[2].name, "customers", 9);
        cb.f[3].rlen = 120;
        cb.cannumber[0] = 30000;
        cb.cannumber[1] = 7;
        cb.businessdate = 20261208;
        cb.appstat = 1;
        changefscb(fs.get());
        std::mt19937 rng(seed);
        std::vector<std::uint32_t> live;
        std::uint8_t plain[600], stored[kMaxStoredRecord + 8];
        auto randomrecord = [&]() {
            const int n = 1 + static_cast<int>(rng() % 400);
            for (int j = 0; j < n; ++j) {
                plain[j] = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() : 'a' + j % 3);
            }
            return compress(stored, sizeof stored, plain, static_cast<std::int16_t>(n));
        };
        for (int i = 0; i < ops; ++i) {
            const unsigned what = rng() % 10;
            Fault fault;
            if (what < 7 || live.empty()) {
                const int m = randomrecord();
                const auto fid = static_cast<std::uint8_t>((1 + rng() % 4) << 4);
                const std::uint32_t rid =
                    addrecord(fs.get(), stored, static_cast<std::int16_t>(m), fid, &fault);
                ASSERT_NE(rid, 0u);
                live.push_back(rid);
                addkeys(fs.get(), rid, rng);
            } else if (what < 9) {
                const std::size_t at = rng() % live.size();
                ASSERT_EQ(deleterecord(fs.get(), live[at], &fault), 1);
                live.erase(live.begin() + static_cast<long>(at));
            } else {
                const int m = randomrecord();
                ASSERT_EQ(rewriterecord(fs.get(), live[rng() % live.size()], stored,
                                        static_cast<std::int16_t>(m), &fault),
                          1);
            }
        }
        ASSERT_EQ(flushbuffs(fs.get()), 1);
    }

    static void addkeys(FSDATA *fs, std::uint32_t rid, std::mt19937 &rng) {
        const unsigned n = subfileof(rid);
        auto add = [&](unsigned index, const void *value, int len) {
            const auto fid = static_cast<std::uint8_t>(n << 4 | index);
            // A refusal (an equal value in an index without duplicates) is part of the game.
            (void)addkey(fs, static_cast<std::int16_t>(len + 1),
                         bldkey(fid, rid, static_cast<std::int16_t>(len), value));
        };
        const std::string text = "key-" + std::to_string(rng() % 5000);
        if (n == 1) {
            add(0, text.data(), static_cast<int>(text.size()));
            const auto v = static_cast<std::int16_t>(rng());
            add(1, &v, 2);
        } else if (n == 2) {
            const std::uint32_t v = rng() % 50;
            add(3, &v, 4);
            add(9, text.data(), static_cast<int>(rng() % text.size()));
        } else if (n == 3) {
            const double v = static_cast<double>(rng() % 1000) / 7.0;
            add(0, &v, 8);
        }
    }
};

class Tool : public ::testing::Test {
  protected:
    test::TempDir dir;
    std::string file(const std::string &name) const { return dir.file(name); }
};

TEST_F(Tool, DumpLoadDumpGivesTheSameTextOnRandomFiles) {
    struct Case {
        std::uint32_t seed;
        std::int16_t spacing;
        int ops;
    };
    for (const Case c : {Case{1, 20, 900}, Case{2, 3, 700}, Case{3, 2, 400}, Case{4, 20, 0}}) {
        SCOPED_TRACE("seed " + std::to_string(c.seed));
        const std::string a = file("a" + std::to_string(c.seed) + ".vdb");
        const std::string b = file("b" + std::to_string(c.seed) + ".vdb");
        ASSERT_NO_FATAL_FAILURE(RandomFile::build(a, c.seed, c.spacing, c.ops));
        ASSERT_EQ(vorn("dump --keys " + a + " > " + a + ".txt"), 0);
        ASSERT_EQ(vorn("load " + b + " < " + a + ".txt"), 0);
        ASSERT_EQ(vorn("dump --keys " + b + " > " + b + ".txt"), 0);
        const std::string first = slurp(a + ".txt"), second = slurp(b + ".txt");
        EXPECT_EQ(first, second);
        if (c.ops > 0) {
            EXPECT_GT(recordlines(first).size(), 100u);
            EXPECT_GT(keylines(first).size(), 100u);
        }
        EXPECT_EQ(vorn("check " + b + " > /dev/null"), 0);
        // The loaded file goes on working: an add takes the lowest free rid and stays sound.
        test::RecordingReporter reporter;
        auto fs = test::openenginepath(b, Flavor::Library, &reporter);
        ASSERT_NE(fs, nullptr);
        Fault fault;
        const std::uint8_t stored[] = {0, 'x'};
        const std::uint32_t rid = addrecord(fs.get(), stored, 2, 0x10, &fault);
        ASSERT_NE(rid, 0u);
        EXPECT_EQ(recordlines(first).count(hex8(rid)), 0u) << "a free rid was taken";
        ASSERT_EQ(flushbuffs(fs.get()), 1);
        fs.reset();
        EXPECT_EQ(vorn("check " + b + " > /dev/null"), 0);
    }
}

TEST_F(Tool, DumpOfOneSubFileLoadsIntoAFileWithOnlyThoseRecords) {
    const std::string a = file("a.vdb"), b = file("b.vdb");
    ASSERT_NO_FATAL_FAILURE(RandomFile::build(a, 5, 20, 300));
    ASSERT_EQ(vorn("dump --subfile 2 " + a + " > " + a + ".txt"), 0);
    ASSERT_EQ(vorn("load " + b + " < " + a + ".txt"), 0);
    ASSERT_EQ(vorn("dump " + b + " > " + b + ".txt"), 0);
    const auto records = recordlines(slurp(b + ".txt"));
    ASSERT_FALSE(records.empty());
    for (const auto &[rid, line] : records) EXPECT_EQ(rid[0], '2') << line;
    EXPECT_EQ(slurp(a + ".txt"), slurp(b + ".txt"));
}

TEST_F(Tool, LoadRefusesBadDumpsNamingTheLineAndLeavesNoFile) {
    const char *header =
        "{\"vorn\":\"dump\",\"version\":1,\"spacing\":20,\"counter\":0,\"businessdate\":0,"
        "\"appstat\":0,\"sitenumber\":0}\n";
    const struct {
        const char *name;
        std::string text;
        const char *says;
    } cases[] = {
        {"empty", "", "empty"},
        {"no header", "{\"rid\":\"10000000\",\"data\":\"41\"}\n", "line 1"},
        {"later version", "{\"vorn\":\"dump\",\"version\":2}\n", "version"},
        {"not json", std::string(header) + "rid 10000000\n", "line 2"},
        {"odd hex", std::string(header) + "{\"rid\":\"10000000\",\"data\":\"414\"}\n", "hex"},
        {"rid of sub-file 0", std::string(header) + "{\"rid\":\"00000001\",\"data\":\"41\"}\n",
         "sub-file"},
        {"rid twice",
         std::string(header) + "{\"rid\":\"10000000\",\"data\":\"41\"}\n" +
             "{\"rid\":\"10000000\",\"data\":\"42\"}\n",
         "in use"},
        {"record too long",
         std::string(header) + "{\"rid\":\"10000000\",\"stored\":\"" + std::string(2018, 'a') +
             "\"}\n",
         "1008"},
        {"sub-file after records",
         std::string(header) + "{\"rid\":\"10000000\",\"data\":\"41\"}\n" +
             "{\"subfile\":1,\"keytype\":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],\"dupkeys\":0,"
             "\"rlen\":0,\"name\":\"000000000000000000000000000000\"}\n",
         "before"},
        {"key value too long",
         std::string(header) + "{\"key\":\"10\",\"value\":\"" + std::string(392, 'a') +
             "\",\"rid\":\"10000000\"}\n",
         "195"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string in = file("in.txt"), out = file("out.vdb"), err = file("err.txt");
        ASSERT_TRUE(
            test::writewholefile(in, std::vector<std::uint8_t>(c.text.begin(), c.text.end())));
        EXPECT_NE(vorn("load " + out + " < " + in + " 2> " + err), 0);
        EXPECT_NE(slurp(err).find(c.says), std::string::npos) << slurp(err);
        EXPECT_TRUE(test::readwholefile(out).empty()) << "the failed load left its file";
    }
}

// --- damage ------------------------------------------------------------------------------

constexpr std::int16_t kDamageSpacing = 20;

// A clean random file's image and where its records and key blocks lie.
struct Clean {
    std::vector<std::uint8_t> bytes;
    std::string dump;                              // vorn dump --keys of the clean file
    std::map<std::string, std::uint32_t> blockof;  // rid text -> data block
    std::vector<std::uint32_t> datablocks, leaves, inner;
};

const Clean &clean(const test::TempDir &dir) {
    static Clean c;
    if (!c.bytes.empty()) return c;
    const std::string path = dir.file("clean.vdb");
    RandomFile::build(path, 11, kDamageSpacing, 1200);
    EXPECT_EQ(vorn("dump --keys " + path + " > " + path + ".txt"), 0);
    c.dump = slurp(path + ".txt");
    c.bytes = test::readwholefile(path);
    for (std::uint32_t blk = 2; blk < c.bytes.size() / kBlockSize; ++blk) {
        if ((blk - 1) % kDamageSpacing == 0) continue;
        DB db;
        std::memcpy(&db, c.bytes.data() + blk * kBlockSize, sizeof db);
        if (db.type == 1) {
            KB kb;
            std::memcpy(&kb, &db, sizeof kb);
            (kb.level == 0 ? c.leaves : c.inner).push_back(blk);
            continue;
        }
        if (db.len <= kDbHeader) continue;
        c.datablocks.push_back(blk);
        RecordCursor cursor(db);
        while (const RECORD *r = cursor.next()) c.blockof[hex8(recordrid(r))] = blk;
    }
    return c;
}

struct Damage {
    const char *name;
    // Damages the image; returns the blocks whose records are lost.
    std::function<std::set<std::uint32_t>(std::vector<std::uint8_t> &, const Clean &)> apply;
    bool keysintact;  // every key whose record survives must come back
};

template <typename T>
T &at(std::vector<std::uint8_t> &bytes, std::uint32_t blk) {
    return *reinterpret_cast<T *>(bytes.data() + static_cast<std::size_t>(blk) * kBlockSize);
}

const std::vector<Damage> &damages() {
    static const std::vector<Damage> list = {
        {"file cut in half",
         [](std::vector<std::uint8_t> &b, const Clean &c) {
             const std::uint32_t keep = static_cast<std::uint32_t>(b.size() / kBlockSize / 2);
             b.resize(static_cast<std::size_t>(keep) * kBlockSize);
             std::set<std::uint32_t> lost;
             for (std::uint32_t blk : c.datablocks) {
                 if (blk >= keep) lost.insert(blk);
             }
             return lost;
         },
         false},
        {"garbage data block",
         [](std::vector<std::uint8_t> &b, const Clean &c) {
             const std::uint32_t blk = c.datablocks[c.datablocks.size() / 2];
             std::mt19937 rng(3);
             for (std::uint32_t i = 0; i < kBlockSize; ++i) {
                 b[blk * kBlockSize + i] = static_cast<std::uint8_t>(rng());
             }
             return std::set<std::uint32_t>{blk};
         },
         false},
        {"data block len past the block",
         [](std::vector<std::uint8_t> &b, const Clean &c) {
             at<DB>(b, c.datablocks[3]).len = 2000;
             return std::set<std::uint32_t>{c.datablocks[3]};
         },
         false},
        {"record running past the block's len",
         [](std::vector<std::uint8_t> &b, const Clean &c) {
             DB &db = at<DB>(b, c.datablocks[5]);
             const std::int16_t len = 1000;
             std::memcpy(db.buff + 4, &len, 2);
             return std::set<std::uint32_t>{c.datablocks[5]};
         },
         false},
        {"xlate entries pointing anywhere",
         [](std::vector<std::uint8_t> &b, const Clean &) {
             XBLOCK &xb = at<XBLOCK>(b, 1);
             for (int s = 0; s < 256; s += 3)
                 xb.xlate[s] = 0x1FFFFFFFu - static_cast<std::uint32_t>(s);
             return std::set<std::uint32_t>{};
         },
         true},
        {"garbage xlate block",
         [](std::vector<std::uint8_t> &b, const Clean &) {
             std::mt19937 rng(5);
             for (std::uint32_t i = 0; i < kBlockSize; ++i) {
                 b[(kDamageSpacing + 1) * kBlockSize + i] = static_cast<std::uint8_t>(rng());
             }
             return std::set<std::uint32_t>{};
         },
         true},
        {"free chain head and link pointing anywhere",
         [](std::vector<std::uint8_t> &b, const Clean &c) {
             FSCB &cb = at<FSCB>(b, 0);
             cb.fc[2] = cb.lb + 40;
             at<DB>(b, c.datablocks[1]).nbic = 1;
             return std::set<std::uint32_t>{};
         },
         true},
        {"control block spacing and last block out of range",
         [](std::vector<std::uint8_t> &b, const Clean &) {
             FSCB &cb = at<FSCB>(b, 0);
             cb.xblkfreq = 1;
             cb.lb = 0x7FFFFFFF;
             return std::set<std::uint32_t>{};
         },
         false},
        {"key leaf with a keys out of order and an ancestor",
         [](std::vector<std::uint8_t> &b, const Clean &c) {
             KB &kb = at<KB>(b, c.leaves[1]);
             kb.ancestor = 5;
             std::swap(kb.buff[3], kb.buff[4]);
             return std::set<std::uint32_t>{};
         },
         false},
        {"inner key block naming one child twice",
         [](std::vector<std::uint8_t> &b, const Clean &c) {
             KB &kb = at<KB>(b, c.inner[0]);
             std::uint32_t first;
             std::memcpy(&first, kb.buff + 2, 4);
             kb.xtrablk = first;
             return std::set<std::uint32_t>{};
         },
         true},
    };
    return list;
}

TEST_F(Tool, CheckFindsEachKindOfDamage) {
    const Clean &c = clean(dir);
    ASSERT_FALSE(c.inner.empty()) << "the key tree needs inner blocks";
    const std::string path = file("clean2.vdb");
    ASSERT_TRUE(test::writewholefile(path, c.bytes));
    EXPECT_EQ(vorn("check " + path + " > /dev/null"), 0);
    for (const Damage &d : damages()) {
        SCOPED_TRACE(d.name);
        auto bytes = c.bytes;
        d.apply(bytes, c);
        const std::string damaged = file("damaged.vdb");
        ASSERT_TRUE(test::writewholefile(damaged, bytes));
        const int status = vorn("check " + damaged + " > /dev/null 2>&1");
        EXPECT_TRUE(status == 1 || status == 2) << "exit status " << status;
    }
}

TEST_F(Tool, DumpRefusesToLeaveOutRecordsItCannotReach) {
    const Clean &c = clean(dir);
    auto bytes = c.bytes;
    std::memset(bytes.data() + kBlockSize, 0, kBlockSize);  // xlate block 0: every entry free
    const std::string damaged = file("damaged.vdb"), err = file("err.txt");
    ASSERT_TRUE(test::writewholefile(damaged, bytes));
    EXPECT_EQ(vorn("dump " + damaged + " > /dev/null 2> " + err), 1);
    EXPECT_NE(slurp(err).find("salvage"), std::string::npos) << slurp(err);
}

TEST_F(Tool, SalvageRecoversEveryIntactRecordUnderItsRid) {
    const Clean &c = clean(dir);
    const auto original = recordlines(c.dump);
    // Keys of records that live (the random file keeps keys of deleted records too).
    std::vector<std::string> originalkeys;
    for (const std::string &line : keylines(c.dump)) {
        if (original.count(line.substr(line.size() - 10, 8)) != 0) originalkeys.push_back(line);
    }
    for (const Damage &d : damages()) {
        SCOPED_TRACE(d.name);
        auto bytes = c.bytes;
        const std::set<std::uint32_t> lost = d.apply(bytes, c);
        const std::string damaged = file("damaged.vdb"), saved = file("saved.vdb");
        std::remove(saved.c_str());
        ASSERT_TRUE(test::writewholefile(damaged, bytes));
        ASSERT_EQ(vorn("salvage " + damaged + " " + saved + " > " + saved + ".report"), 0);
        EXPECT_EQ(vorn("check " + saved + " > /dev/null"), 0);
        ASSERT_EQ(vorn("dump --keys " + saved + " > " + saved + ".txt"), 0);
        const std::string dump = slurp(saved + ".txt");
        const auto got = recordlines(dump);
        std::size_t expected = 0;
        for (const auto &[rid, line] : original) {
            if (lost.count(c.blockof.at(rid)) != 0) continue;
            ++expected;
            const auto it = got.find(rid);
            ASSERT_NE(it, got.end()) << "record " << rid << " was not salvaged";
            EXPECT_EQ(it->second, line);
        }
        for (const auto &[rid, line] : got) {
            EXPECT_EQ(original.count(rid), 1u) << "salvage made up record " << line;
        }
        EXPECT_GT(expected, original.size() / 3);
        if (d.keysintact) {
            EXPECT_EQ(keylines(dump), originalkeys);
        }
        if (!lost.empty()) {
            EXPECT_NE(slurp(saved + ".report").find("lost"), std::string::npos);
        }
    }
}

TEST_F(Tool, ReadingCommandsLeaveTheFileAsItWas) {
    const std::string a = file("a.vdb"), out = file("out.vdb");
    ASSERT_NO_FATAL_FAILURE(RandomFile::build(a, 9, 20, 200));
    const auto before = test::readwholefile(a);
    for (const std::string cmd : {"info ", "check ", "dump --keys ", "stat "}) {
        SCOPED_TRACE(cmd);
        EXPECT_EQ(vorn(cmd + a + " > /dev/null"), 0);
        EXPECT_EQ(test::readwholefile(a), before);
    }
    EXPECT_EQ(vorn("salvage " + a + " " + out + " > /dev/null"), 0);
    EXPECT_EQ(test::readwholefile(a), before);
}

TEST_F(Tool, InfoAndStatDescribeTheFile) {
    const std::string a = file("a.vdb");
    ASSERT_NO_FATAL_FAILURE(RandomFile::build(a, 9, 20, 200));
    const test::RunResult info = test::runprogram(kVorn, {"info", a});
    ASSERT_EQ(info.status, 0);
    for (const char *part : {"sub-files", "key indexes", "int16", "uint32", "float64",
                             "free chains", "% full", "business date 20261208"}) {
        EXPECT_NE(info.out.find(part), std::string::npos) << part << " in\n" << info.out;
    }
    const test::RunResult stats = test::runprogram(kVorn, {"stat", a});
    ASSERT_EQ(stats.status, 0);
    for (const char *part : {"xlate", "key tree         depth", "fan-out", "re-linked"}) {
        EXPECT_NE(stats.out.find(part), std::string::npos) << part << " in\n" << stats.out;
    }
}

TEST_F(Tool, BadCommandLinesGetAMessageAndANonZeroExit) {
    const std::string a = file("a.vdb");
    ASSERT_EQ(vorn("create " + a + " > /dev/null"), 0);
    const struct {
        std::string args;
        int status;
        const char *says;
    } cases[] = {
        {"", 2, "usage"},
        {"frobnicate", 2, "unknown command"},
        {"info", 2, "wrong number"},
        {"info " + a + " extra", 2, "wrong number"},
        {"dump --subfile 16 " + a, 2, "--subfile"},
        {"dump --subfile " + a, 2, "wrong number"},
        {"dump --bogus " + a, 2, "unknown option"},
        {"create --spacing 1 " + file("b.vdb"), 2, "--spacing"},
        {"create " + a, 1, "exists"},
        {"info " + file("missing.vdb"), 2, "cannot open"},
        {"check " + file("missing.vdb"), 2, "cannot open"},
        {"salvage " + a + " " + a, 1, "exists"},
        {"load " + a, 1, "exists"},
        {"backup 127.0.0.1:1 x.vdb " + file("copy.vdb"), 1, "connect"},
        {"status --pipe", 2, "wants a value"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        const std::string err = file("err.txt");
        EXPECT_EQ(vorn(c.args + " < /dev/null > /dev/null 2> " + err), c.status);
        EXPECT_NE(slurp(err).find(c.says), std::string::npos) << slurp(err);
    }
    const std::string notdb = file("text.vdb");
    ASSERT_TRUE(test::writewholefile(notdb, std::vector<std::uint8_t>(3072, 'x')));
    EXPECT_EQ(vorn("info " + notdb + " > /dev/null 2>&1"), 2);
    EXPECT_EQ(vorn("dump " + notdb + " > /dev/null 2>&1"), 2);
    for (const char *cmd : {"--help", "info --help", "dump --help", "backup --help"}) {
        EXPECT_EQ(vorn(std::string(cmd) + " > /dev/null"), 0) << cmd;
    }
}

}  // namespace
}  // namespace vorn
