// Control values kept in a database's header for the application (the counter pair, the
// status flag, the business date) and the server's clock.
#include <cstring>

#include "fsn/blocks.h"
#include "linkstate.h"

using namespace vorn;
using namespace vorn::link;

namespace {

// The low half of the counter pair rolls over past this value into the high half.
constexpr int kCanRollover = 30000;

// The local database of a control-value call; an fsdatanum that names no open database is
// refused with 480 and, where given, a message.
FSDATA *controldb(char instance, const ::FS *fsinfo, const char *message) {
    FSDATA *fsdata = localdb(instance, fsinfo);
    if (fsdata == nullptr) {
        dodberror(kErrBadIndex);
        if (message != nullptr) setmsg(message);
    }
    return fsdata;
}

std::uint32_t canpair(const FSCB &cb) {
    return static_cast<std::uint32_t>(static_cast<std::uint16_t>(cb.cannumber[1])) << 16 |
           static_cast<std::uint16_t>(cb.cannumber[0]);
}

std::uint32_t nextcannumber(FSDATA *fsdata, std::int16_t increment) {
    FSCB &cb = fsdata->fscb;
    if (increment == 0) return canpair(cb);
    cb.cannumber[0] = static_cast<std::int16_t>(static_cast<std::uint16_t>(cb.cannumber[0]) + 1);
    if (cb.cannumber[0] > kCanRollover) {
        const auto high =
            static_cast<std::uint16_t>(static_cast<std::uint16_t>(cb.cannumber[1]) + 1);
        cb.cannumber[1] = static_cast<std::int16_t>(high);
        cb.cannumber[0] = high == 0 ? 1 : 0;
        changefscb(fsdata);
    }
    return canpair(cb);
}

// Stores one control value: a remote database is sent `value` in the block's rid with
// `call`; a local one has `store` write it into the header, which is then marked changed.
std::int16_t storecontrol(char instance, ::FS *fsinfo, std::uint8_t call, std::uint32_t value,
                          const char *invalid, void (*store)(FSCB &, std::uint32_t)) {
    lserrno = 0;
    if (isremote(fsinfo)) {
        fsinfo->len = 0;
        fsinfo->rid = value;
        return forward(instance, call, fsinfo);
    }
    FSDATA *fsdata = controldb(instance, fsinfo, invalid);
    if (fsdata == nullptr) return 0;
    store(fsdata->fscb, value);
    changefscb(fsdata);
    return 1;
}

}  // namespace

std::uint32_t fsgetcannumber(char instance, ::FS *fsinfo, std::int16_t increment) {
    lserrno = 0;
    if (isremote(fsinfo)) {
        fsinfo->len = sizeof increment;
        return forward(instance, kOpGetCanNumber, fsinfo, &increment) != 0 ? fsinfo->rid : 0;
    }
    FSDATA *fsdata = controldb(instance, fsinfo, "fsgetcannumber - invalid index.");
    return fsdata != nullptr ? nextcannumber(fsdata, increment) : 0;
}

std::int16_t fsstorecannumber(char instance, ::FS *fsinfo, std::uint32_t rid) {
    return storecontrol(instance, fsinfo, kOpStoreCanNumber, rid,
                        "fsstorecannumber - invalid index.", [](FSCB &cb, std::uint32_t v) {
                            cb.cannumber[0] = static_cast<std::int16_t>(v & 0xFFFF);
                            cb.cannumber[1] = static_cast<std::int16_t>(v >> 16);
                        });
}

std::int16_t fsgetappstat(char instance, ::FS *fsinfo) {
    lserrno = 0;
    if (isremote(fsinfo)) {
        fsinfo->len = 0;
        fsinfo->rid = 0;
        if (forward(instance, kOpGetAppStat, fsinfo) == 0) return lserrno;
        return fsinfo->rid != 0 ? 1 : 0;
    }
    FSDATA *fsdata = controldb(instance, fsinfo, "fsgetappstat - invalid index.");
    if (fsdata == nullptr) return kErrBadIndex;
    return static_cast<std::int16_t>(static_cast<signed char>(fsdata->fscb.appstat));
}

std::int16_t fssetappstat(char instance, ::FS *fsinfo, std::int16_t appstat) {
    return storecontrol(
        instance, fsinfo, kOpSetAppStat, appstat != 0 ? 0xFFFFFFFFu : 0, nullptr,
        [](FSCB &cb, std::uint32_t v) { cb.appstat = static_cast<char>(v & 0xFF); });
}

std::uint32_t fsgetbusinessdate(char instance, ::FS *fsinfo) {
    lserrno = 0;
    if (isremote(fsinfo)) {
        fsinfo->len = 0;
        return forward(instance, kOpGetBusinessDate, fsinfo) != 0 ? fsinfo->rid : 0;
    }
    FSDATA *fsdata = controldb(instance, fsinfo, "fsgetbusinessdate - invalid index.");
    return fsdata != nullptr ? fsdata->fscb.businessdate : 0;
}

std::int16_t fsstorebusinessdate(char instance, ::FS *fsinfo, std::uint32_t bdate) {
    return storecontrol(instance, fsinfo, kOpStoreBusinessDate, bdate,
                        "fsstorebusinessdate - invalid index.",
                        [](FSCB &cb, std::uint32_t v) { cb.businessdate = v; });
}

std::int16_t fsgetlocaltime(char instance, struct tm *data) {
    lserrno = 0;
    if (data == nullptr) return 0;
    ::FS fs{};
    fs.len = sizeof(DOSTM);
    DOSTM t{};
    if (forward(instance, kOpGetLocalTime, &fs, &t, sizeof t) == 0) return 0;
    if (fs.len != sizeof(DOSTM)) return 0;  // a reply without the whole time record
    data->tm_sec = t.tm_sec;
    data->tm_min = t.tm_min;
    data->tm_hour = t.tm_hour;
    data->tm_mday = t.tm_mday;
    data->tm_mon = t.tm_mon;
    data->tm_year = t.tm_year;
    data->tm_wday = t.tm_wday;
    data->tm_yday = t.tm_yday;
    data->tm_isdst = t.tm_isdst;
    return 1;
}
