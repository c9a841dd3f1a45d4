// What the announcer publishes: TXT records from the Device ID, and the ID read from the cache.
#include "service/dnssd.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "service/portshare.h"

namespace {

using records = std::vector<std::string>;

TEST(Dnssd, RecordsFollowTheDeviceId) {
    struct row {
        const char *id;
        records raw;  // of _pdl-datastream._tcp
    };
    const row rows[] = {
        {"MFG:Acme;MDL:LP-1;CMD:PCL,PJL,POSTSCRIPT;CLS:PRINTER;",
         {"txtvers=1", "qtotal=1", "ty=Acme LP-1", "product=(LP-1)", "note=parallel port of h", "usb_MFG=Acme",
          "usb_MDL=LP-1", "usb_CMD=PCL,PJL,POSTSCRIPT", "pdl=application/vnd.hp-PCL,application/postscript"}},
        // A model that names its maker is not doubled; PJL alone names no printer language.
        {"MANUFACTURER: HP ; MODEL:HP LaserJet 4;COMMAND SET:PJL;",
         {"txtvers=1", "qtotal=1", "ty=HP LaserJet 4", "product=(HP LaserJet 4)", "note=parallel port of h",
          "usb_MFG=HP", "usb_MDL=HP LaserJet 4", "usb_CMD=PJL"}},
        {"MDL:Only;CMD:pclxl,PDF;", {"txtvers=1", "qtotal=1", "ty=Only", "product=(Only)", "note=parallel port of h",
                                     "usb_MDL=Only", "usb_CMD=pclxl,PDF", "pdl=application/vnd.hp-PCLXL,application/pdf"}},
        {"", {"txtvers=1", "qtotal=1", "ty=Unknown", "note=parallel port of h"}},
        {"garbage without keys", {"txtvers=1", "qtotal=1", "ty=Unknown", "note=parallel port of h"}},
    };
    for (const row &r : rows)
        EXPECT_EQ(dnssd_txt_raw(dnssd_describe(r.id), "h"), r.raw) << r.id;
}

TEST(Dnssd, OwnProtocolRecordsNameTheRawPortAndNoRecordPassesItsLimit) {
    const dnssd_printer p = dnssd_describe("MFG:Acme;MDL:" + std::string(400, 'm') + ";");
    const records with = dnssd_txt_tessal(p, "h", 9100), without = dnssd_txt_tessal(p, "h", 0);
    EXPECT_EQ(with.front(), "txtvers=1");
    EXPECT_EQ(with.back(), "raw=9100");
    EXPECT_EQ(with.size(), without.size() + 1);
    for (const std::string &r : with)
        EXPECT_LE(r.size(), 255u) << r.substr(0, 20);
    EXPECT_EQ(dnssd_service_name("printhost"), "tessal on printhost");
}

TEST(Dnssd, CachedIdIsReadOnlyOnceFilled) {
    auto region = std::make_unique<ps_region>();
    std::memset(region.get(), 0, sizeof *region);
    int64_t when = -1;
    EXPECT_EQ(dnssd_cached_id(nullptr, &when), "");
    EXPECT_EQ(when, 0);
    const char id[] = "MFG:Acme;MDL:LP-1;";
    std::memcpy(region->devid.devid, id, sizeof id - 1);
    region->devid.devid_len = sizeof id - 1;
    EXPECT_EQ(dnssd_cached_id(region.get(), &when), "") << "no time stamp: not filled yet";
    region->devid.devid_time = 1234;
    EXPECT_EQ(dnssd_cached_id(region.get(), &when), id);
    EXPECT_EQ(when, 1234);
    region->devid.devid_len = 60000;  // a length past the field is cut to it
    EXPECT_EQ(dnssd_cached_id(region.get(), &when), id);
}

}  // namespace
