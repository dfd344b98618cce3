#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "discovery/fake_topology.h"
#include "discovery/port_candidates.h"

namespace qelvar::discovery {
namespace {

using testing::FakeTopology;

struct Found {
  uint32_t disk;
  uint16_t port;
  std::string hub;
  bool operator==(const Found&) const = default;
};

std::vector<Found> Discover(platform::Topology& topology, size_t room = 24) {
  std::vector<PortCandidate> out(room);
  size_t n = DiscoverPortCandidates(topology, out);
  std::vector<Found> found;
  for (size_t i = 0; i < n; ++i) {
    found.push_back({out[i].diskNumber, out[i].portIndex, out[i].hubInstanceId});
  }
  return found;
}

TEST(DiscoverPortCandidates, TiesEachDiskToItsHubPortInDiskOrder) {
  FakeTopology t;
  // The external hub's record comes before its parent root hub's.
  t.Plug("usb\\vid_05e3&pid_0610\\5&1a2b", 3, 4);
  t.Plug("usb\\root_hub30\\4&2d3e", 2, 1);
  t.Plug("usb\\vid_05e3&pid_0610\\5&1a2b", 1, 7);
  EXPECT_EQ(Discover(t), (std::vector<Found>{{4, 2, "usb\\vid_05e3&pid_0610\\5&1a2b"},
                                             {1, 1, "usb\\root_hub30\\4&2d3e"},
                                             {7, 0, "usb\\vid_05e3&pid_0610\\5&1a2b"}}));
}

TEST(DiscoverPortCandidates, ComparesInstanceIdsLowerCased) {
  FakeTopology t;
  t.Plug("USB\\ROOT_HUB\\4&2D3E", 2, 0);
  // The backend reported the disk's grandparent and its bridge in upper case
  // and the hub table in lower case.
  platform::CopyName(t.hubs[0].hubInstanceId, platform::kNameCapacity, "usb\\root_hub\\4&2d3e");
  EXPECT_EQ(Discover(t), (std::vector<Found>{{0, 1, "usb\\root_hub\\4&2d3e"}}));
}

TEST(DiscoverPortCandidates, DiskWithoutMatchingHubPortGivesNoCandidate) {
  struct Case {
    const char* name;
    void (*spoil)(FakeTopology&);
  };
  const Case cases[] = {
      {"hub unknown", [](FakeTopology& t) { t.disks[0].hubInstanceId[0] = 'x'; }},
      {"bridge not on any port", [](FakeTopology& t) { t.hubs[0].entries[2] = {}; }},
      {"bridge on a port past the hub's port count",
       [](FakeTopology& t) { t.hubs[0].portCount = 2; }},
      {"bridge not among the USB devices", [](FakeTopology& t) { t.devices.clear(); }},
      {"bridge is the 25th USB device",
       [](FakeTopology& t) {
         platform::UsbDeviceRecord bridge = t.devices[0];
         t.devices.assign(24, platform::UsbDeviceRecord{});
         for (size_t i = 0; i < 24; ++i) t.devices[i].devNode = static_cast<uint32_t>(i + 1);
         t.devices.push_back(bridge);
       }},
  };
  for (const Case& c : cases) {
    FakeTopology t;
    t.Plug("hub", 3, 5);
    c.spoil(t);
    EXPECT_TRUE(Discover(t).empty()) << c.name;
  }
}

TEST(DiscoverPortCandidates, EmptyBridgeIdNeverMatchesAnEmptyPortEntry) {
  FakeTopology t;
  t.Plug("hub", 1, 0);
  t.devices.clear();  // the disk's USB instance ID stays empty
  t.hubs[0].entries[0].deviceInstanceId[0] = '\0';
  t.hubs[0].entries[5].portIndex = 5;  // empty entries on every other port
  EXPECT_TRUE(Discover(t).empty());
}

TEST(DiscoverPortCandidates, StopsAtTwentyFourCandidates) {
  FakeTopology t;
  for (uint32_t d = 0; d < 24; ++d) t.Plug("hub-" + std::to_string(d / 12), int(d % 12) + 1, d, 12);
  // A 25th disk, past every capacity but the caller's array.
  t.Plug("hub-2", 1, 24);
  auto found = Discover(t, 30);
  ASSERT_EQ(found.size(), 24u);
  EXPECT_EQ(found.back(), (Found{23, 11, "hub-1"}));
  EXPECT_EQ(Discover(t, 5).size(), 5u);
}

TEST(DiscoverPortCandidates, UnterminatedFieldsAndOversizedPortCountsStayInBounds) {
  FakeTopology t;
  t.Plug("hub", 24, 9, 255);
  // Every name field filled to the brim, without a terminator.
  std::memset(t.hubs[0].hubInstanceId, 'h', sizeof t.hubs[0].hubInstanceId);
  std::memset(t.disks[0].hubInstanceId, 'h', sizeof t.disks[0].hubInstanceId);
  std::memset(t.disks[0].interfacePath, 'p', sizeof t.disks[0].interfacePath);
  std::memset(t.devices[0].instanceId, 'b', sizeof t.devices[0].instanceId);
  std::memset(t.hubs[0].entries[23].deviceInstanceId, 'b',
              sizeof t.hubs[0].entries[23].deviceInstanceId);
  // The disk's copies are cut to 259 characters, so they no longer equal the
  // 263-character hub ID and nothing matches; and nothing is read or written
  // past a field (the sanitizer builds check that).
  EXPECT_TRUE(Discover(t).empty());
}

}  // namespace
}  // namespace qelvar::discovery
