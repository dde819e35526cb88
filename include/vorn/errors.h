// The codes the engine and the library record in the library's error ring (`err`) when a
// step fails. Each names one step; a code used by two steps is named once for each.
// docs/ERRORS.md tells what the caller sees for each.
// The server's result codes (FS.error) are ServerCode in wire.h.
#pragma once

#include <cstdint>

namespace vorn {

enum DbError : std::int16_t {
    // Opening and creating (the library).
    kDbNoSlot = 1009,         // every file slot of the instance is in use
    kDbNoStateMemory = 1010,  // no memory for the file's state
    kDbNoBlockMemory = 1012,  // no memory for the file's FS block
    kDbOpenFile = 1015,       // the file could not be opened, created or reopened
    kDbBadSignature = 1020,   // the header's signature is wrong (not a database)
    kDbBadHeader = 1021,      // the header fails the integrity check / temp header not written
    kDbBadXlate = 1022,       // the header's sizes disagree with the file / temp xlate not written
    kDbTempData = 1023,       // the temporary file's first data block could not be written

    // fsadd (records.cpp, restore.cpp and the chain walk).
    kDbAddNoChain = 1030,       // the chain search yielded no block
    kDbAddChainRead = 1035,     // the chain's first block could not be read
    kDbAddRepairWrite = 1038,   // a re-linked chain block could not be written
    kDbAddNoChainAfter = 1040,  // no block after the chain's end (or the walk went on too long)
    kDbAddReadWalk = 1042,      // a later chain block could not be read
    kDbAddNoXlate = 1045,       // no translation entry could be had (or the rid is in use)
    kDbAddToBlock = 1050,       // the record did not go into the chosen block
    kDbAddWrite = 1055,         // the block with the new record could not be written

    // fswrite.
    kDbRewriteRead = 1065,          // the record's block could not be read
    kDbRewriteNotInBlock = 1070,    // the record is not in the block its rid names
    kDbRewriteWrite = 1075,         // the block rewritten in place could not be written
    kDbRewriteNoChain = 1080,       // the chain search yielded no block
    kDbRewriteChainRead = 1085,     // the chain's first block could not be read
    kDbRewriteRepairWrite = 1089,   // a re-linked chain block could not be written
    kDbRewriteNoChainAfter = 1090,  // no block after the chain's end
    kDbRewriteReadWalk = 1092,      // a later chain block could not be read
    kDbRewriteChangeXlate = 1094,   // the rid's translation entry could not be moved
    kDbRewriteToBlock = 1095,       // the record did not go into its new block
    kDbRewriteWriteMoved = 1100,    // the block the record moved to could not be written
    kDbRewriteRidToBlock = 1160,    // the rid names no block

    // fsdelete and fsread.
    kDbDeleteRidToBlock = 1105,  // the rid names no block
    kDbDeleteRead = 1110,        // the record's block could not be read
    kDbDeleteNotInBlock = 1115,  // the record is not in the block its rid names
    kDbDeleteFreeXlate = 1120,   // the rid's translation entry could not be freed
    kDbReadRidToBlock = 1125,    // the rid names no block
    kDbReadRead = 1130,          // the record's block could not be read
    kDbReadNotInBlock = 1135,    // the record is not in the block its rid names

    // The key index: adding and deleting (keyupdate.cpp, keysplit.cpp).
    kDbKeyNoRoot = 1140,        // no root key block could be allocated
    kDbKeyAdd = 1145,           // the key was refused (length, index, duplicate) or not added
    kDbKeyDeleteWrite = 1147,   // a block changed by a delete could not be written or freed
    kDbKeyPathRead = 1155,      // a block on the key's path is unreadable or inconsistent
    kDbKeyZeroChild = 1160,     // a key block names child 0 where a child is needed
    kDbKeyChildRead = 1165,     // a key block on the key's path (a leaf, when adding) is unreadable
    kDbKeyLeafNoSplit = 1170,   // the leaf has no split point, or no block for its new half
    kDbKeyLeafHalfRead = 1175,  // the leaf's new half could not be read
    kDbKeyLeafWrite = 1180,     // the split leaf could not be written
    kDbKeyLeafHalfWrite = 1185,      // the leaf's new half could not be written
    kDbKeyRootFromLeaf = 1190,       // the root above a leaf could not be allocated (or too deep)
    kDbKeyRootFromLeafRead = 1195,   // that new root could not be read
    kDbKeyParentRead = 1200,         // the parent of the leaf could not be read (or is damaged)
    kDbKeyLeafSeparator = 1205,      // the leaf's separator did not go into (or write) its parent
    kDbKeyInnerNoSplit = 1210,       // an inner block has no split point, or no block for its half
    kDbKeyInnerHalfRead = 1215,      // an inner block's new half could not be read
    kDbKeyInnerWrite = 1220,         // the split inner block could not be written
    kDbKeyInnerHalfWrite = 1225,     // the inner block's new half could not be written
    kDbKeyRootFromInner = 1230,      // the root above an inner block could not be allocated
    kDbKeyRootFromInnerRead = 1235,  // that new root could not be read
    kDbKeyUpperRead = 1240,          // a block above the parent could not be read, or no level left
    kDbKeyInnerSeparator = 1245,     // an inner separator did not go into (or write) its parent

    // The key index: walking (keysearch.cpp).
    kDbKeyRootRead = 1250,       // the root key block could not be read (next key)
    kDbKeyNextZeroChild = 1255,  // the walk to the next key met a child of 0
    kDbKeyNextRead = 1260,       // a block on the walk to the next key could not be read
    kDbKeyLastRead = 1265,       // the walk to the last key could not read its first block
    kDbKeyLastDescend = 1275,    // the walk to the last key could not read a block below
    kDbKeyNewBlock = 1280,       // no extended block for a new key block
    kDbKeyNewBlockFree = 1285,   // the free chain's head is no empty data block for a key block

    // Blocks, the header and the translation (blocks.cpp, placement.cpp).
    kDbFlushBlock = 1295,         // a buffered block could not be written back
    kDbFlushExtended = 1305,      // a buffered extended block could not be written back
    kDbFlushHeader = 1315,        // the header could not be written back
    kDbNextRidRead = 1320,        // nextrid: a translation block could not be read
    kDbNextRidNone = 1325,        // nextrid: no record after the rid
    kDbPrevRidRead = 1330,        // prevrid: a translation block could not be read
    kDbPrevRidNone = 1335,        // prevrid: no record before the rid
    kDbFindRecord = 1340,         // findrec: the record is not in its data block
    kDbRidToBlockRead = 1345,     // ridtoblk: the rid is out of range or its block unreadable
    kDbFreeXlateRead = 1350,      // freexlate: the translation block could not be read
    kDbFreeXlateWrite = 1355,     // freexlate: the translation block could not be written
    kDbGetXlateExtend = 1357,     // getxlate: no extended block for more translation entries
    kDbGetXlateExtRead = 1358,    // getxlate: an extended translation block could not be read
    kDbGetXlateRead = 1360,       // getxlate: the translation block could not be read
    kDbGetXlateWrite = 1365,      // getxlate: the translation block could not be written
    kDbChangeXlateRange = 1366,   // changexlate: the translation block is past the last block
    kDbChangeXlateRead = 1367,    // changexlate: the translation block could not be read
    kDbChangeXlateWrite = 1368,   // changexlate: the translation block could not be written
    kDbWriteBlock = 1370,         // writeblk: the block could not be written
    kDbWriteFlush = 1375,         // writeblk: the file's buffers could not be flushed
    kDbReadPastEnd = 1390,        // readblk: the block is past the last block
    kDbReadBlock = 1400,          // readblk: the block could not be read
    kDbFull = 1405,               // allocextendedblk: the database is full
    kDbFullXlate = 1415,          // allocextendedblk: the translation has no room for the block
    kDbExtendedXlateRead = 1420,  // allocextendedblk: a translation block could not be read
};

}  // namespace vorn
