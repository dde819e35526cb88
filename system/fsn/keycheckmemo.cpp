// The memo of checked key blocks. The 16 or 20 buffers of a file hold few of the key blocks a
// search passes, so a block is often read again soon after it left its buffer; the check of
// its entries (validkb) would then walk them again. While the file's change counter has not
// moved since a block was checked, nothing of the file has changed and no block of it was read
// anew from a file that another process may write: the block read again is the image that
// passed, and its check's result, the entries' offsets, may be taken from the memo.
#include <algorithm>

#include "keytree.h"

namespace vorn {

void rememberchecked(FSDATA *fsdata, const FSBUFF *b) {
    if (fsdata->checked == nullptr) fsdata->checked = std::make_unique<KeyCheckMemo>();
    KeyCheckMemo::Entry &e = fsdata->checked->entry[b->blk % KeyCheckMemo::kSlots];
    e.changes = fsdata->changes;
    e.blk = b->blk;
    e.count = b->kcount;
    std::copy(b->koffs, b->koffs + b->kcount + 1, e.offs);
}

bool recallchecked(FSDATA *fsdata, FSBUFF *b) {
    if (fsdata->checked == nullptr) return false;
    const KeyCheckMemo::Entry &e = fsdata->checked->entry[b->blk % KeyCheckMemo::kSlots];
    if (e.changes != fsdata->changes || e.blk != b->blk) return false;
    b->kcount = e.count;
    std::copy(e.offs, e.offs + e.count + 1, b->koffs);
    return true;
}

}  // namespace vorn
