// The bridge's Bulk-Only Transport as the kernel's usb-storage drives it:
// descriptors at attach, command block, data and status phases, the short
// and phase-error cases, and the recoveries (reset, clear-halt, cancel).
#include <gtest/gtest.h>

#include <vector>

#include "tests/simbridge/memory_store.h"
#include "tools/simbridge/bot.h"

namespace qelvar::simbridge {
namespace {

using Bytes = std::vector<uint8_t>;

struct Reply {
  uint64_t id;
  XferStatus status;
  Bytes data;
};

Bytes Cbw(uint32_t tag, uint32_t length, bool in, Bytes cdb) {
  Bytes c = {0x55, 0x53, 0x42, 0x43};
  for (int i = 0; i < 4; ++i) c.push_back(static_cast<uint8_t>(tag >> (8 * i)));
  for (int i = 0; i < 4; ++i) c.push_back(static_cast<uint8_t>(length >> (8 * i)));
  c.push_back(in ? 0x80 : 0x00);
  c.push_back(0);
  c.push_back(static_cast<uint8_t>(cdb.size()));
  cdb.resize(16, 0);
  c.insert(c.end(), cdb.begin(), cdb.end());
  return c;
}

// A CSW: signature, tag, residue, status.
Bytes Csw(uint32_t tag, uint32_t residue, uint8_t status) {
  Bytes c = {0x55, 0x53, 0x42, 0x53};
  for (int i = 0; i < 4; ++i) c.push_back(static_cast<uint8_t>(tag >> (8 * i)));
  for (int i = 0; i < 4; ++i) c.push_back(static_cast<uint8_t>(residue >> (8 * i)));
  c.push_back(status);
  return c;
}

const Bytes kInquiry36 = {0x12, 0, 0, 0, 36, 0};

struct Bridge {
  explicit Bridge(bool high = false, ScsiTarget::AtaPath ata = nullptr)
      : store(64 * 512),
        target(ScsiIdentity{"QELVAR", "SIM SATA BRIDGE", "0100", 6, 64, {}}, store, std::move(ata)),
        bot(
            UsbIdentity{0x1209, 0x0001, "Qelvar", "Simulated SATA Bridge", "QBRG00000007", high},
            target,
            [this](uint64_t id, XferStatus s, std::span<const uint8_t> d) {
              replies.push_back(Reply{id, s, Bytes(d.begin(), d.end())});
            },
            [this](bool busy) { busyLog.push_back(busy); }) {}
  // Sends a bulk-in request and returns its answer, which must come at once.
  Reply In(uint32_t length) {
    size_t before = replies.size();
    bot.BulkIn(++lastId, length);
    EXPECT_EQ(replies.size(), before + 1) << "no answer to bulk-in " << lastId;
    return replies.size() > before ? replies.back() : Reply{0, XferStatus::Stall, {}};
  }
  MemoryStore store;
  ScsiTarget target;
  std::vector<Reply> replies;
  std::vector<bool> busyLog;
  uint64_t lastId = 0;
  BotDevice bot;
};

TEST(BotDevice, DescriptorsOfABulkOnlyBridgeAtItsSpeed) {
  Bridge full;
  Bytes d = full.bot.DeviceDescriptor();
  ASSERT_EQ(d.size(), 18u);
  EXPECT_EQ(d[2], 0x10);  // USB 1.10
  EXPECT_EQ(d[3], 0x01);
  EXPECT_EQ(d[8] | d[9] << 8, 0x1209);
  EXPECT_EQ(d[10] | d[11] << 8, 0x0001);
  EXPECT_EQ(d[16], 3);  // serial string
  Bytes c = full.bot.ConfigurationDescriptor();
  ASSERT_EQ(c.size(), 32u);
  EXPECT_EQ(c[2], 32);
  EXPECT_EQ(Bytes(c.begin() + 14, c.begin() + 17), (Bytes{0x08, 0x06, 0x50}));
  EXPECT_EQ(Bytes(c.begin() + 18, c.begin() + 24), (Bytes{7, 0x05, 0x81, 0x02, 64, 0}));
  EXPECT_EQ(Bytes(c.begin() + 25, c.begin() + 31), (Bytes{7, 0x05, 0x02, 0x02, 64, 0}));

  Bridge high(true);
  d = high.bot.DeviceDescriptor();
  EXPECT_EQ(d[2] | d[3] << 8, 0x0200);
  c = high.bot.ConfigurationDescriptor();
  EXPECT_EQ(c[22] | c[23] << 8, 512);

  // The kernel reads the device descriptor with 64 bytes first, and the
  // serial number string.
  ControlReply r = full.bot.Control({0x80, 0x06, 0x0100, 0, 64}, {});
  EXPECT_EQ(r.data.size(), 18u);
  r = full.bot.Control({0x80, 0x06, 0x0200, 0, 9}, {});
  EXPECT_EQ(r.data.size(), 9u);
  r = full.bot.Control({0x80, 0x06, 0x0303, 0x0409, 255}, {});
  ASSERT_EQ(r.data.size(), 2u + 2 * 12);
  EXPECT_EQ(r.data[2], 'Q');
  EXPECT_EQ(full.bot.Control({0x80, 0x06, 0x0600, 0, 10}, {}).status, XferStatus::Stall);
  r = full.bot.Control({0xA1, 0xFE, 0, 0, 1}, {});
  EXPECT_EQ(r.status, XferStatus::Success);
  EXPECT_EQ(r.data, Bytes{0});  // one logical unit
  EXPECT_EQ(full.bot.Control({0x40, 0x01, 0, 0, 0}, {}).status, XferStatus::Stall);
}

TEST(BotDevice, ACommandGoesThroughItsThreePhases) {
  Bridge b;
  EXPECT_EQ(b.bot.BulkOut(Cbw(7, 36, true, kInquiry36)), XferStatus::Success);
  Reply data = b.In(36);
  EXPECT_EQ(data.status, XferStatus::Success);
  ASSERT_EQ(data.data.size(), 36u);
  EXPECT_EQ(data.data[2], 6);
  EXPECT_EQ(b.In(13).data, Csw(7, 0, 0));
  EXPECT_EQ(b.busyLog, (std::vector<bool>{true, false}));
}

TEST(BotDevice, ShortDataInEndsWithAShortPacketAndTheResidue) {
  Bridge b;
  // 36 bytes of INQUIRY for a host that asked for 96: one short packet.
  ASSERT_EQ(b.bot.BulkOut(Cbw(1, 96, true, {0x12, 0, 0, 0, 96, 0})), XferStatus::Success);
  EXPECT_EQ(b.In(96).data.size(), 36u);
  EXPECT_EQ(b.In(13).data, Csw(1, 60, 0));
  // Data ending exactly at a packet's end, short of the host's length: a
  // zero-length packet ends the phase.
  ASSERT_EQ(b.bot.BulkOut(Cbw(2, 72, true, kInquiry36)), XferStatus::Success);
  EXPECT_EQ(b.In(36).data.size(), 36u);
  EXPECT_EQ(b.In(36).data.size(), 0u);
  EXPECT_EQ(b.In(13).data, Csw(2, 36, 0));
}

TEST(BotDevice, LongDataInCrossesRequestsAndARequestMayComeFirst) {
  Bridge b;
  for (size_t i = 0; i < 4096; ++i) b.store.bytes()[512 + i] = static_cast<uint8_t>(i % 251);
  b.bot.BulkIn(100, 1024);  // queued: nothing to send yet
  EXPECT_TRUE(b.replies.empty());
  ASSERT_EQ(b.bot.BulkOut(Cbw(3, 4096, true, {0x28, 0, 0, 0, 0, 1, 0, 0, 8, 0})),
            XferStatus::Success);
  ASSERT_EQ(b.replies.size(), 1u);
  EXPECT_EQ(b.replies[0].id, 100u);
  Bytes all = b.replies[0].data;
  for (int i = 0; i < 3; ++i) {
    Bytes part = b.In(1024).data;
    all.insert(all.end(), part.begin(), part.end());
  }
  EXPECT_EQ(all, Bytes(b.store.bytes().begin() + 512, b.store.bytes().begin() + 512 + 4096));
  EXPECT_EQ(b.In(13).data, Csw(3, 0, 0));
}

TEST(BotDevice, DataOutArrivesInPiecesBeforeTheCommandRuns) {
  Bridge b;
  ASSERT_EQ(b.bot.BulkOut(Cbw(4, 1024, false, {0x2A, 0, 0, 0, 0, 2, 0, 0, 2, 0})),
            XferStatus::Success);
  EXPECT_EQ(b.bot.BulkOut(Bytes(512, 0x11)), XferStatus::Success);
  b.bot.BulkIn(50, 13);
  EXPECT_TRUE(b.replies.empty());  // the status waits for the rest of the data
  EXPECT_EQ(b.bot.BulkOut(Bytes(512, 0x22)), XferStatus::Success);
  ASSERT_EQ(b.replies.size(), 1u);
  EXPECT_EQ(b.replies[0].data, Csw(4, 0, 0));
  EXPECT_EQ(b.store.bytes()[2 * 512], 0x11);
  EXPECT_EQ(b.store.bytes()[3 * 512], 0x22);
}

// Host and device disagreeing on the data phase: phase error in the status,
// never data moved the wrong way.
TEST(BotDevice, DisagreementsOnTheDataPhaseArePhaseErrors) {
  Bridge b;
  // Host expects data in, the command writes.
  ASSERT_EQ(b.bot.BulkOut(Cbw(5, 512, true, {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0})),
            XferStatus::Success);
  EXPECT_EQ(b.In(512).data.size(), 0u);
  EXPECT_EQ(b.In(13).data, Csw(5, 512, 2));
  // Host expects no data, the command reads a block.
  ASSERT_EQ(b.bot.BulkOut(Cbw(6, 0, true, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0})), XferStatus::Success);
  EXPECT_EQ(b.In(13).data, Csw(6, 0, 2));
  // Host expects less than the command reads.
  ASSERT_EQ(b.bot.BulkOut(Cbw(7, 512, true, {0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0})),
            XferStatus::Success);
  EXPECT_EQ(b.In(512).data.size(), 0u);
  EXPECT_EQ(b.In(13).data, Csw(7, 512, 2));
  // Host sends data to a command that reads.
  ASSERT_EQ(b.bot.BulkOut(Cbw(8, 36, false, kInquiry36)), XferStatus::Success);
  ASSERT_EQ(b.bot.BulkOut(Bytes(36, 0)), XferStatus::Success);
  EXPECT_EQ(b.In(13).data, Csw(8, 36, 2));
  // And the transport still works.
  ASSERT_EQ(b.bot.BulkOut(Cbw(9, 36, true, kInquiry36)), XferStatus::Success);
  EXPECT_EQ(b.In(36).data.size(), 36u);
  EXPECT_EQ(b.In(13).data, Csw(9, 0, 0));
}

TEST(BotDevice, AFailedCommandReportsStatusOneAndKeepsItsSense) {
  Bridge b;
  ASSERT_EQ(b.bot.BulkOut(Cbw(1, 0, false, {0x04, 0, 0, 0, 0, 0})), XferStatus::Success);
  EXPECT_EQ(b.In(13).data, Csw(1, 0, 1));
  ASSERT_EQ(b.bot.BulkOut(Cbw(2, 18, true, {0x03, 0, 0, 0, 18, 0})), XferStatus::Success);
  Bytes sense = b.In(18).data;
  ASSERT_EQ(sense.size(), 18u);
  EXPECT_EQ(sense[2], 0x05);
  EXPECT_EQ(sense[12], 0x20);
}

TEST(BotDevice, ADrivethatDoesNotAnswerIsAPhaseError) {
  Bridge b(false, [](const platform::ScsiRequest&) { return platform::ScsiResult{}; });
  Bytes identify = {0xA1, 0x08, 0x0B, 0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00, 0x00};
  ASSERT_EQ(b.bot.BulkOut(Cbw(3, 512, true, identify)), XferStatus::Success);
  EXPECT_EQ(b.In(512).data.size(), 0u);
  EXPECT_EQ(b.In(13).data, Csw(3, 512, 2));
}

TEST(BotDevice, AnInvalidCommandBlockStallsUntilResetRecovery) {
  Bridge b;
  Bytes bad = Cbw(1, 36, true, kInquiry36);
  bad[0] = 0x00;
  EXPECT_EQ(b.bot.BulkOut(bad), XferStatus::Stall);
  EXPECT_EQ(b.In(13).status, XferStatus::Stall);
  EXPECT_EQ(b.bot.BulkOut(Cbw(2, 36, true, kInquiry36)), XferStatus::Stall);
  // Clearing the halts alone is not enough: the transport needs the reset.
  EXPECT_EQ(b.bot.Control({0x02, 0x01, 0, 0x81, 0}, {}).status, XferStatus::Success);
  EXPECT_EQ(b.bot.Control({0x02, 0x01, 0, 0x02, 0}, {}).status, XferStatus::Success);
  EXPECT_EQ(b.In(13).status, XferStatus::Stall);
  EXPECT_EQ(b.bot.Control({0x21, 0xFF, 0, 0, 0}, {}).status, XferStatus::Success);
  // After the reset the endpoints stay halted until cleared.
  EXPECT_EQ(b.bot.BulkOut(Cbw(3, 36, true, kInquiry36)), XferStatus::Success);
  EXPECT_EQ(b.In(36).data.size(), 36u);
  EXPECT_EQ(b.In(13).data, Csw(3, 0, 0));

  // A halt set by the host answers GET_STATUS and stalls until cleared.
  EXPECT_EQ(b.bot.Control({0x02, 0x03, 0, 0x81, 0}, {}).status, XferStatus::Success);
  EXPECT_EQ(b.bot.Control({0x82, 0x00, 0, 0x81, 2}, {}).data, (Bytes{1, 0}));
  EXPECT_EQ(b.In(13).status, XferStatus::Stall);
}

TEST(BotDevice, CancelAnswersTheRequestAndAPortResetDropsEverything) {
  Bridge b;
  ASSERT_EQ(b.bot.BulkOut(Cbw(1, 512, false, {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0})),
            XferStatus::Success);
  b.bot.BulkIn(77, 13);
  b.bot.Cancel(77);
  ASSERT_EQ(b.replies.size(), 1u);
  EXPECT_EQ(b.replies[0].id, 77u);
  EXPECT_EQ(b.replies[0].status, XferStatus::Cancelled);
  b.bot.Cancel(77);  // twice: nothing more
  EXPECT_EQ(b.replies.size(), 1u);

  b.bot.BulkIn(78, 13);
  b.bot.UsbReset();
  // Busy ended with the reset; a request from before it is never answered.
  EXPECT_EQ(b.busyLog, (std::vector<bool>{true, false}));
  ASSERT_EQ(b.bot.BulkOut(Cbw(2, 36, true, kInquiry36)), XferStatus::Success);
  EXPECT_EQ(b.In(36).data.size(), 36u);
  EXPECT_EQ(b.In(13).data, Csw(2, 0, 0));
  for (const Reply& r : b.replies) EXPECT_NE(r.id, 78u);
}

}  // namespace
}  // namespace qelvar::simbridge
