// New-file images and the checks made when a file is opened.
#pragma once

#include <cstdint>

#include "vorn/fs.h"
#include "vorn/platform.h"

namespace vorn {

// The banner every new database file starts with: 51 characters with the signature at 21..28.
inline constexpr char kBanner[] = "vorn record database Varnholt file, 1024-byte block";
static_assert(sizeof(kBanner) == 52, "51 characters and a NUL");
static_assert(kBanner[21] == 'V' && kBanner[28] == 't', "the signature lies at bytes 21..28");

enum class ImageKind {
    Database,     // fscreatedatabase: banner, numusers 0, caller's spacing
    LibraryTemp,  // library temporary file: banner, numusers 1, own name, spacing 20
    ServerTemp,   // server temporary file: no banner, keytype k mod 9, dupkeys 0
};

// Fills the control block of a new file. `name` (may be null) goes to fsname.
void newcontrolblock(FSCB *cb, ImageKind kind, std::int16_t xblkfreq, const char *name);
// Fills xlate block k of a fresh file: entry s points at index k * 256 + s + 1.
void newxlateblock(XBLOCK *xb, std::uint32_t k);
// Fills an empty data block, the only block of free chain 0 of a new file.
void newdatablock(DB *db);

// The blocks of a new file: the control block, xlate block 0 and one empty data block.
inline constexpr int kNewFileBlocks = 3;
// Writes the blocks of a new file in order, the control block made from the arguments as by
// newcontrolblock. Returns how many were written: kNewFileBlocks when the file is whole.
int writenewfile(platform::BlockFile &file, ImageKind kind, std::int16_t xblkfreq,
                 const char *name);

// True when bytes 21..28 of the control block hold the signature.
bool hassignature(const FSCB &cb);

// The open-time integrity checks of a local open, in order: 0 when the file passes, else
// 4 (the free xlate chain starts beyond the last block), 5 (file length differs from lb + 1
// blocks) or 6 (a free chain starts beyond the last block). `filelength` in bytes.
int integritycheck(const FSCB &cb, std::int64_t filelength);

}  // namespace vorn
