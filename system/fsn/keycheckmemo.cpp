// The memo of checked key blocks. The 16 or 20 buffers of a file hold few of the key blocks a
// search passes, so a block is often read again soon after it left its buffer; the check of
// its entries (validkb) would then walk them again. Only this process writes a file it may
// change, and every block it writes is dropped from the memo as it goes out; any event that
// may change blocks without that (buffers reset, a rollback, a file that another process may
// write) moves the file's image counter. So while the counter reads as it did when a block
// was checked and the block is still in the memo, the block read again is the image that
// passed, and its check's result, the entries' offsets, may be taken from the memo. Changes
// of other blocks or of the control block leave it valid.
#include <algorithm>

#include "keytree.h"
#include "prefetch.h"

namespace vorn {

void rememberchecked(FSDATA *fsdata, const FSBUFF *b) {
    if (b->asread == 0) return;  // only the file's own images are vouched for
    if (fsdata->checked == nullptr) fsdata->checked = std::make_unique<KeyCheckMemo>();
    KeyCheckMemo::Entry &e = fsdata->checked->entry[b->blk % KeyCheckMemo::kSlots];
    e.images = fsdata->images;
    e.blk = b->blk;
    e.count = b->kcount;
    std::copy(b->koffs, b->koffs + b->kcount + 1, e.offs);
}

void prefetchchecked(const FSDATA *fsdata, std::uint32_t blk) {
    if (fsdata->checked == nullptr) return;
    // A block that misses its buffer is read from the file's cache and then looked up here:
    // both lookups are sent off at once.
    prefetchlines<sizeof(KeyCheckMemo::Entry)>(&fsdata->checked->entry[blk % KeyCheckMemo::kSlots]);
}

bool recallchecked(FSDATA *fsdata, FSBUFF *b) {
    if (fsdata->checked == nullptr || b->asread == 0) return false;
    const KeyCheckMemo::Entry &e = fsdata->checked->entry[b->blk % KeyCheckMemo::kSlots];
    if (e.images != fsdata->images || e.blk != b->blk) return false;
    b->kcount = e.count;
    std::copy(e.offs, e.offs + e.count + 1, b->koffs);
    return true;
}

}  // namespace vorn
