#include "devices/inventory.h"

#include <gtest/gtest.h>

#include <string>

#include "state/var.h"

namespace {

TEST(Inventory, SysfsLinkTargets) {
  struct link_case {
    const char *target;
    bool disk;
    const char *name, *host;
    bool virtio;
  };
  const link_case cases[] = {
      {"../../devices/pci0000:00/0000:00:17.0/ata3/host3/target3:0:0/3:0:0:0/block/sdb", true, "sdb", "host3", false},
      {"../../devices/pci0000:00/0000:00:17.0/ata3/host3/target3:0:0/3:0:0:0/block/sdb/sdb1", false, "", "", false},
      {"../../devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host7/target7:0:0/7:0:0:0/block/sda", true, "sda", "host7", false},
      {"../../devices/platform/ide0/0.0/block/hda", true, "hda", "ide0", false},
      {"../../devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1", true, "nvme0n1", "nvme0", false},
      {"../../devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1/nvme0n1p1", false, "", "", false},
      {"../../devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0", false, "", "", false},
      {"../../devices/pci0000:00/0000:00:04.0/virtio2/block/vda", true, "vda", "virtio2", true},
      {"../../devices/pci0000:00/0000:00:04.0/virtio2/block/vda/vda1", false, "", "", false},
      {"../../devices/virtual/block/loop0", false, "", "", false},
      {"../../devices/virtual/block/md1", false, "", "", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.target);
    std::string name, host;
    bool virtio = false;
    ASSERT_EQ(classify_block_link(c.target, &name, &host, &virtio), c.disk);
    if (!c.disk) continue;
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(virtio, c.virtio);
  }
}

TEST(Inventory, ByIdNames) {
  struct id_case {
    const char *entry;
    bool known;
    const char *transport, *id;
  };
  const id_case cases[] = {
      {"ata-WDC_WD40EFRX-68N32N0_WD-WCC7K1234567", true, "ata", "WDC_WD40EFRX-68N32N0_WD-WCC7K1234567"},
      {"scsi-SATA_ST4000VN008-2DR1_ZGY0ABCD", true, "scsi-SATA", "ST4000VN008-2DR1_ZGY0ABCD"},
      {"scsi-1ATA_ST4000VN008-2DR1_ZGY0ABCD", true, "scsi-1ATA", "ST4000VN008-2DR1_ZGY0ABCD"},
      {"scsi-35000c500a1b2c3d4", true, "scsi", "35000c500a1b2c3d4"},
      {"usb-SanDisk_Cruzer_Fit_4C530001230101115432-0:0", true, "usb", "SanDisk_Cruzer_Fit_4C530001230101115432-0:0"},
      {"nvme-Samsung__SSD___X_123", true, "nvme", "Samsung_SSD_X_123"},
      {"virtio-vd1234", true, "virtio", "vd1234"},
      {"wwn-0x5000c500a1b2c3d4", false, "", ""},
      {"md-uuid-1234", false, "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.entry);
    std::string transport, id;
    ASSERT_EQ(parse_by_id_name(c.entry, &transport, &id), c.known);
    if (!c.known) continue;
    EXPECT_EQ(transport, c.transport);
    EXPECT_EQ(id, c.id);
  }
  std::string transport, id;
  ASSERT_TRUE(parse_by_id_name("ata-" + std::string(100, 'x'), &transport, &id));
  EXPECT_EQ(id.size(), 79u);
}

TEST(Inventory, PlainScsiIdsAreRebuiltFromUdev) {
  EXPECT_EQ(compose_udev_id(" ST4000NM0023 ", "Z1Z2 ABC", "35000c500"), "ST4000NM0023_Z1Z2_ABC_35000c500");
  EXPECT_EQ(compose_udev_id("", "SER", "3500"), "SER_3500");
  EXPECT_EQ(compose_udev_id("", "", "3500"), "3500");
  std::string id = compose_udev_id(std::string(100, 'm'), "serial", "old");
  EXPECT_EQ(id, std::string(78, 'm') + "_");  // the model is cut so the id stays within 79
  id = compose_udev_id("model", "serial", std::string(100, 'o'));
  EXPECT_EQ(id.size(), 79u);
  EXPECT_EQ(id.substr(0, 13), "model_serial_");
}

TEST(Inventory, RecordsAreFoundByNameSerialSlotAndPartition) {
  devices.clear();
  device a, b, gone;
  a.name = "sdb";
  a.id = "WDC_WD40EFRX_WD-AAA";
  a.presence = device_present;
  a.claims = 1;
  a.slot = 1;
  b.name = "nvme0n1";
  b.id = "Samsung_SSD_970_S4EW";
  b.presence = device_present;
  gone.name = "sdc";
  gone.id = "ST4000_ZZZ";
  gone.presence = device_free;
  gone.claims = 1;
  gone.slot = 2;
  devices = {a, b, gone};

  EXPECT_EQ(device_by_name("sdb"), &devices[0]);
  EXPECT_EQ(device_by_name("sdc"), nullptr);  // free records are no device
  EXPECT_EQ(device_by_id("OTHER_MODEL_WD-AAA"), &devices[0]);  // one serial, one device
  EXPECT_EQ(device_by_id("S4EW"), &devices[1]);
  EXPECT_EQ(device_by_id("ST4000_ZZZ"), nullptr);
  EXPECT_EQ(device_in_slot(2), &devices[2]);  // a claim counts whatever the presence
  EXPECT_EQ(device_by_partition("/dev/sdb1"), &devices[0]);
  EXPECT_EQ(device_by_partition("nvme0n1p1"), &devices[1]);
  EXPECT_EQ(device_by_partition("sdb"), nullptr);

  for (int i = 0; i < MAX_ARRAYSZ; i++) {
    put_var("diskName.%i=%s", i, i == 1 ? "md1p1" : "");
    put_var("rdevName.%i=%s", i, i == 1 ? "sdb" : "");
  }
  EXPECT_EQ(device_by_partition("/dev/mapper/md1p1"), &devices[0]);
  EXPECT_EQ(find_disk(0, MAX_ARRAYSZ, "diskName", "md1p1"), 1);
  EXPECT_EQ(find_disk(0, MAX_ARRAYSZ, "diskName", "md9p1"), -1);

  name_unassigned_devices();
  EXPECT_EQ(devices[1].ident, "dev1");
  EXPECT_EQ(devices[0].ident, "");
  unassign_slots(0, 2);
  EXPECT_EQ(devices[0].claims, 0);
  EXPECT_EQ(devices[2].claims, 1);
  name_unassigned_devices();
  EXPECT_EQ(devices[0].ident, "dev1");
  EXPECT_EQ(devices[1].ident, "dev2");
}

}  // namespace
