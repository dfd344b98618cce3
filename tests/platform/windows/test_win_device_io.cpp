#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "platform/windows/fake_win32.h"
#include "platform/windows/pass_through_blocks.h"
#include "platform/windows/win_device_io.h"

namespace qelvar::platform::windows {
namespace {

using testing::Bytes;
using testing::FakeWin32;

// IDENTIFY DEVICE as an ATA PASS-THROUGH (12) image: PIO data-in, 512 bytes.
constexpr std::array<uint8_t, 12> kIdentifyCdb = {0xA1, 0x08, 0x0B, 0x00, 0x01, 0x00,
                                                  0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00};

ScsiRequest IdentifyRequest(uint8_t* buffer) {
  ScsiRequest r;
  r.cdb = kIdentifyCdb;
  r.direction = DataDirection::In;
  r.data = buffer;
  r.length = 512;
  r.timeoutSeconds = 300;
  return r;
}

TEST(PassThroughBlocks, ScsiRequestIsLaidOutByteForByteOnBothArchitectures) {
  uint8_t buffer[512];
  const ScsiRequest request = IdentifyRequest(buffer);

  std::vector<uint8_t> block32(SptdBlockBytes(kSptd32), 0xCC);
  ASSERT_TRUE(EncodeSptd(kSptd32, request, 0x11223344u, block32));
  const std::vector<uint8_t> expected32 = {0x2C, 0x00,              // Length 44
                                           0x00, 0x00, 0x01, 0x00,  // status, path, target 1, LUN
                                           0x0C, 0x20,  // CDB length 12, sense length 32
                                           0x01, 0x00, 0x00, 0x00,  // data in
                                           0x00, 0x02, 0x00, 0x00,  // 512 bytes
                                           0x2C, 0x01, 0x00, 0x00,  // 300 s
                                           0x44, 0x33, 0x22, 0x11,  // data buffer
                                           0x30, 0x00, 0x00, 0x00,  // sense at 48
                                           0xA1, 0x08, 0x0B, 0x00, 0x01, 0x00, 0x00, 0x00,  // CDB
                                           0x00, 0xE0, 0xEC, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0x00};  // to the sense area
  ASSERT_EQ(block32.size(), 80u);
  EXPECT_EQ(std::vector<uint8_t>(block32.begin(), block32.begin() + 48), expected32);
  EXPECT_EQ(std::vector<uint8_t>(block32.begin() + 48, block32.end()), std::vector<uint8_t>(32, 0));

  std::vector<uint8_t> block64(SptdBlockBytes(kSptd64), 0xCC);
  ASSERT_TRUE(EncodeSptd(kSptd64, request, 0x1122334455667788ull, block64));
  const std::vector<uint8_t> expected64 = {
      0x38, 0x00,                                      // Length 56
      0x00, 0x00, 0x01, 0x00, 0x0C, 0x20,              //
      0x01, 0x00, 0x00, 0x00,                          // data in
      0x00, 0x02, 0x00, 0x00,                          // 512 bytes
      0x2C, 0x01, 0x00, 0x00,                          // 300 s
      0x00, 0x00, 0x00, 0x00,                          // alignment of the pointer
      0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // data buffer
      0x38, 0x00, 0x00, 0x00,                          // sense at 56
      0xA1, 0x08, 0x0B, 0x00, 0x01, 0x00, 0x00, 0x00,  // CDB
      0x00, 0xE0, 0xEC, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};  // structure padding
  ASSERT_EQ(block64.size(), 88u);
  EXPECT_EQ(std::vector<uint8_t>(block64.begin(), block64.begin() + 56), expected64);
}

TEST(PassThroughBlocks, ScsiRequestWithoutDataGoesOutWithItsDirectionUnspecified) {
  uint8_t buffer[4] = {};
  ScsiRequest request;
  request.cdb = kIdentifyCdb;
  request.direction = DataDirection::None;
  request.data = buffer;  // ignored without a data phase
  request.length = 4;
  request.timeoutSeconds = 20;
  std::vector<uint8_t> block(SptdBlockBytes(kSptd64));
  ASSERT_TRUE(EncodeSptd(kSptd64, request, 0xABCDEF, block));
  EXPECT_EQ(block[8], 2);                                        // SCSI_IOCTL_DATA_UNSPECIFIED
  EXPECT_EQ(block[12], 0);                                       // length 0
  for (size_t i = 24; i < 32; ++i) EXPECT_EQ(block[i], 0) << i;  // no buffer

  std::array<uint8_t, 17> tooLong{};
  request.cdb = tooLong;
  EXPECT_FALSE(EncodeSptd(kSptd64, request, 0, block));
  std::vector<uint8_t> small(SptdBlockBytes(kSptd64) - 1);
  request.cdb = kIdentifyCdb;
  EXPECT_FALSE(EncodeSptd(kSptd64, request, 0, small));
}

TEST(PassThroughBlocks, ScsiAnswerIsReadBackWithinItsBounds) {
  std::vector<uint8_t> block(SptdBlockBytes(kSptd32), 0);
  block[2] = 0x02;   // CHECK CONDITION
  block[7] = 0xFF;   // a sense length larger than the area
  block[12] = 0x00;  // 0x1000 bytes reported for a 512-byte request
  block[13] = 0x10;
  for (size_t i = 0; i < kSenseBytes; ++i)
    block[SenseOffset(kSptd32) + i] = static_cast<uint8_t>(0x70 + i);
  ScsiResult result;
  DecodeSptd(kSptd32, block, 512, &result);
  EXPECT_EQ(result.scsiStatus, 0x02);
  EXPECT_EQ(result.transferred, 512u);
  EXPECT_EQ(result.senseLength, kSenseBytes);
  EXPECT_EQ(result.sense[0], 0x70);
  EXPECT_EQ(result.sense[31], 0x70 + 31);

  // A block cut short of its sense area yields no sense bytes.
  std::vector<uint8_t> bare(block.begin(), block.begin() + kSptd32.size);
  ScsiResult shortResult;
  DecodeSptd(kSptd32, bare, 512, &shortResult);
  EXPECT_EQ(shortResult.senseLength, 0);
}

AtaRequest WriteRequest(uint8_t* data) {
  AtaRequest r;
  r.previous = {0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00};
  r.current = {0xFC, 0x01, 0x02, 0x03, 0x04, 0xE0, 0xFF, 0x00};
  r.flags = kAtaFlagDrdyRequired | kAtaFlagDataOut | kAtaFlag48Bit;  // 0Dh
  r.data = data;
  r.length = 4;
  r.timeoutSeconds = 30;
  return r;
}

TEST(PassThroughBlocks, AtaRequestIsLaidOutByteForByteOnBothArchitectures) {
  uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  const AtaRequest request = WriteRequest(data);

  std::vector<uint8_t> block32(kAta32.size + 4, 0xCC);
  ASSERT_TRUE(EncodeAtaPassThrough(kAta32, request, block32));
  const std::vector<uint8_t> expected32 = {
      0x28, 0x00, 0x0D, 0x00,                          // Length 40, flags 0Dh
      0x00, 0x00, 0x00, 0x00,                          // path, target, LUN, reserved
      0x04, 0x00, 0x00, 0x00,                          // 4 bytes
      0x1E, 0x00, 0x00, 0x00,                          // 30 s
      0x00, 0x00, 0x00, 0x00,                          // reserved
      0x28, 0x00, 0x00, 0x00,                          // data at 40
      0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00,  // previous
      0xFC, 0x01, 0x02, 0x03, 0x04, 0xE0, 0xFF, 0x00,  // current
      0xDE, 0xAD, 0xBE, 0xEF};
  EXPECT_EQ(block32, expected32);

  std::vector<uint8_t> block64(kAta64.size + 4, 0xCC);
  ASSERT_TRUE(EncodeAtaPassThrough(kAta64, request, block64));
  const std::vector<uint8_t> expected64 = {
      0x30, 0x00, 0x0D, 0x00,                          // Length 48, flags 0Dh
      0x00, 0x00, 0x00, 0x00,                          //
      0x04, 0x00, 0x00, 0x00,                          // 4 bytes
      0x1E, 0x00, 0x00, 0x00,                          // 30 s
      0x00, 0x00, 0x00, 0x00,                          // reserved
      0x00, 0x00, 0x00, 0x00,                          // alignment of the offset
      0x30, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // data at 48
      0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00,  // previous
      0xFC, 0x01, 0x02, 0x03, 0x04, 0xE0, 0xFF, 0x00,  // current
      0xDE, 0xAD, 0xBE, 0xEF};
  EXPECT_EQ(block64, expected64);

  // A data-in request carries no caller bytes out; too long a request or too
  // small a block is refused.
  AtaRequest in = request;
  in.flags = kAtaFlagDrdyRequired | kAtaFlagDataIn;
  ASSERT_TRUE(EncodeAtaPassThrough(kAta64, in, block64));
  EXPECT_EQ(std::vector<uint8_t>(block64.begin() + 48, block64.end()), std::vector<uint8_t>(4, 0));
  std::vector<uint8_t> small(kAta64.size + 3);
  EXPECT_FALSE(EncodeAtaPassThrough(kAta64, request, small));
  in.length = kMaxAtaData + 1;
  std::vector<uint8_t> big(kAta64.size + kMaxAtaData + 1);
  EXPECT_FALSE(EncodeAtaPassThrough(kAta64, in, big));
}

TEST(PassThroughBlocks, ReturnedTaskFileCarriesStatusAndError) {
  std::vector<uint8_t> block(kAta32.size, 0);
  const uint8_t returned[8] = {0x04, 0x00, 0x11, 0x22, 0x33, 0xE0, 0x51, 0x00};
  std::copy(returned, returned + 8, block.begin() + kAta32.currentTaskFile);
  TaskFile t = DecodeAtaTaskFile(kAta32, block);
  EXPECT_EQ(t[kTaskCommand], 0x51);   // status: ERR
  EXPECT_EQ(t[kTaskFeatures], 0x04);  // error: ABRT
  EXPECT_EQ(t[kTaskLbaHigh], 0x33);
  // A block too short for the task file reads as zeros.
  EXPECT_EQ(DecodeAtaTaskFile(kAta64, std::vector<uint8_t>(40)), TaskFile{});
}

class WinDeviceIoTest : public ::testing::Test {
 protected:
  static constexpr const char* kDrive = "\\\\.\\PhysicalDrive2";
  void SetUp() override { fake.devices[kDrive]; }
  FakeWin32 fake;
  WinDeviceIo io{fake};
};

TEST_F(WinDeviceIoTest, OpensTheDriveSharedForSatAndAloneForAta) {
  EXPECT_EQ(io.DiskPath(2), kDrive);
  int error = -1;
  {
    auto shared = io.Open(kDrive, ShareMode::SharedReadWrite, &error);
    ASSERT_TRUE(shared);
  }
  EXPECT_EQ(error, 0);
  {
    auto alone = io.Open(kDrive, ShareMode::Exclusive, &error);
    ASSERT_TRUE(alone);
  }
  ASSERT_EQ(fake.opens.size(), 2u);
  EXPECT_EQ(fake.opens[0].access, GENERIC_READ | GENERIC_WRITE);
  EXPECT_EQ(fake.opens[0].share, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE});
  EXPECT_EQ(fake.opens[0].disposition, DWORD{OPEN_EXISTING});
  EXPECT_EQ(fake.opens[1].share, 0u);
  EXPECT_EQ(fake.openHandles, 0);  // closed with the handle

  // Wine's answer for a second disk: it does not exist.
  EXPECT_FALSE(io.Open("\\\\.\\PhysicalDrive1", ShareMode::SharedReadWrite, &error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(io.Open("", ShareMode::Exclusive, &error));
  EXPECT_EQ(fake.opens.size(), 3u);  // the empty path is not opened
}

TEST_F(WinDeviceIoTest, ScsiRequestIsNotFailedByAnEarlierCallsError) {
  fake.devices[kDrive].handlers[IOCTL_SCSI_PASS_THROUGH_DIRECT] =
      [](Bytes& in, uint8_t* out, DWORD outSize, DWORD* returned) {
        std::memcpy(out, in.data(), outSize);
        out[2] = 0x02;                   // CHECK CONDITION: diagnostics only
        out[7] = 18;                     // sense bytes written
        out[12] = 0x00, out[13] = 0x01;  // 256 of 512 bytes
        out[SenseOffset(kSptdNative)] = 0x72;
        uintptr_t address = 0;
        std::memcpy(&address, in.data() + kSptdNative.dataBuffer, sizeof address);
        std::memset(reinterpret_cast<uint8_t*>(address), 0xAB, 512);
        *returned = outSize;
        return TRUE;
      };
  auto handle = io.Open(kDrive, ShareMode::SharedReadWrite, nullptr);
  ASSERT_TRUE(handle);
  fake.lastError = ERROR_FILE_NOT_FOUND;  // left by an unrelated call
  uint8_t buffer[512];
  std::memset(buffer, 0x55, sizeof buffer);
  ScsiResult result = handle->SendScsi(IdentifyRequest(buffer));
  EXPECT_TRUE(result.completed);
  EXPECT_EQ(result.errorCode, 0);
  EXPECT_EQ(result.scsiStatus, 0x02);
  EXPECT_EQ(result.transferred, 256u);
  EXPECT_EQ(result.senseLength, 18);
  EXPECT_EQ(result.sense[0], 0x72);
  EXPECT_EQ(buffer[255], 0xAB);
  EXPECT_EQ(buffer[256], 0x00);  // past the reported count: not stale bytes

  ASSERT_EQ(fake.calls.size(), 2u);  // the adapter's limits (unanswered here), the request
  EXPECT_EQ(fake.calls[1].code, 0x0004D014u);
  std::vector<uint8_t> expected(SptdBlockBytes(kSptdNative));
  ASSERT_TRUE(EncodeSptd(kSptdNative, IdentifyRequest(buffer), reinterpret_cast<uintptr_t>(buffer),
                         expected));
  EXPECT_EQ(fake.calls[1].in, expected);
}

TEST_F(WinDeviceIoTest, ScsiRequestIsJudgedByTheCallsResultAlone) {
  auto handle = io.Open(kDrive, ShareMode::SharedReadWrite, nullptr);
  uint8_t buffer[512];
  std::memset(buffer, 0x55, sizeof buffer);
  // What Wine answers: not supported.
  ScsiResult refused = handle->SendScsi(IdentifyRequest(buffer));
  EXPECT_FALSE(refused.completed);
  EXPECT_EQ(refused.errorCode, ERROR_NOT_SUPPORTED);
  EXPECT_EQ(buffer[0], 0);  // nothing stale handed back

  // A failure that sets no code still fails; a success that leaves a code
  // behind (as successful calls may) is a success.
  fake.devices[kDrive].answers[{IOCTL_SCSI_PASS_THROUGH_DIRECT, 0}] = {false, {}, 0};
  ScsiResult silent = handle->SendScsi(IdentifyRequest(buffer));
  EXPECT_FALSE(silent.completed);
  EXPECT_EQ(silent.errorCode, ERROR_GEN_FAILURE);
  fake.devices[kDrive].answers[{IOCTL_SCSI_PASS_THROUGH_DIRECT, 0}] = {true, {}, 0};
  fake.errorAfterSuccess = ERROR_IO_PENDING;
  ScsiResult withCode = handle->SendScsi(IdentifyRequest(buffer));
  EXPECT_TRUE(withCode.completed);
  EXPECT_EQ(withCode.errorCode, 0);
}

TEST_F(WinDeviceIoTest, AtaRequestReturnsRegistersAndData) {
  fake.devices[kDrive].handlers[IOCTL_ATA_PASS_THROUGH] = [](Bytes& in, uint8_t* out, DWORD outSize,
                                                             DWORD* returned) {
    EXPECT_EQ(outSize, kAtaNative.size + 512u);
    std::memcpy(out, in.data(), outSize);
    const uint8_t registers[8] = {0x40, 0x00, 0, 0, 0, 0xE0, 0x50, 0};
    std::memcpy(out + kAtaNative.currentTaskFile, registers, 8);
    std::memset(out + kAtaNative.size, 0x5A, 512);
    *returned = outSize;
    return TRUE;
  };
  auto handle = io.Open(kDrive, ShareMode::Exclusive, nullptr);
  std::vector<uint8_t> data(512, 0);
  AtaRequest request;
  request.current = {0, 1, 0, 0, 0, 0xE0, 0x25, 0};
  request.flags = kAtaFlagDrdyRequired | kAtaFlagDataIn | kAtaFlag48Bit | kAtaFlagUseDma;
  request.data = data.data();
  request.length = 512;
  request.timeoutSeconds = 30;
  AtaResult result = handle->SendAta(request);
  ASSERT_TRUE(result.completed);
  EXPECT_EQ(result.current[kTaskCommand], 0x50);
  EXPECT_EQ(result.current[kTaskFeatures], 0x40);
  EXPECT_EQ(data[511], 0x5A);
  EXPECT_EQ(fake.calls.at(0).code, 0x0004D02Cu);
  EXPECT_EQ(fake.calls.at(0).in.size(), kAtaNative.size + 512u);

  // Rejected by the system (Wine: not supported), and too long to send.
  fake.devices[kDrive].handlers.clear();
  AtaResult refused = handle->SendAta(request);
  EXPECT_FALSE(refused.completed);
  EXPECT_EQ(refused.errorCode, ERROR_NOT_SUPPORTED);
  request.length = kMaxAtaData + 1;
  std::vector<uint8_t> big(request.length);
  request.data = big.data();
  EXPECT_FALSE(handle->SendAta(request).completed);
  EXPECT_EQ(fake.calls.size(), 2u);  // the long one was never sent
}

// STORAGE_ADAPTER_DESCRIPTOR: version and size 32, the longest transfer,
// 33 pages, the alignment mask.
Bytes Adapter(uint32_t maxTransfer, uint32_t mask) {
  using testing::Put32;
  Bytes b(32, 0);
  Put32(b, 0, 32);
  Put32(b, 4, 32);
  Put32(b, 8, maxTransfer);
  Put32(b, 12, 33);
  Put32(b, 16, mask);
  b[24] = 7;  // USB
  return b;
}

TEST_F(WinDeviceIoTest, ScsiDataMeetsTheAdaptersAlignmentAndLength) {
  fake.devices[kDrive].answers[{IOCTL_STORAGE_QUERY_PROPERTY, 1}] = {true, Adapter(4096, 3), 0};
  std::vector<uintptr_t> seen;
  fake.devices[kDrive].handlers[IOCTL_SCSI_PASS_THROUGH_DIRECT] =
      [&](Bytes& in, uint8_t* out, DWORD outSize, DWORD* returned) {
        std::memcpy(out, in.data(), outSize);
        uintptr_t address = 0;
        std::memcpy(&address, in.data() + kSptdNative.dataBuffer, sizeof address);
        seen.push_back(address);
        for (int i = 0; i < 512; ++i) reinterpret_cast<uint8_t*>(address)[i] = static_cast<uint8_t>(i);
        *returned = outSize;
        return TRUE;
      };
  alignas(8) uint8_t storage[520] = {};
  for (uint8_t* buffer : {storage, storage + 1}) {  // aligned, then not
    auto handle = io.Open(kDrive, ShareMode::SharedReadWrite, nullptr);
    ScsiResult r = handle->SendScsi(IdentifyRequest(buffer));
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(buffer[511], 511 & 0xFF);  // the answer reaches the caller's own buffer
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], reinterpret_cast<uintptr_t>(storage));
  EXPECT_NE(seen[1], reinterpret_cast<uintptr_t>(storage + 1));
  EXPECT_EQ(seen[1] & 3, 0u);

  // Longer than the adapter takes: not sent. The limits were asked once.
  std::vector<uint8_t> big(8192);
  ScsiRequest longer = IdentifyRequest(big.data());
  longer.length = 8192;
  auto handle = io.Open(kDrive, ShareMode::SharedReadWrite, nullptr);
  EXPECT_EQ(handle->SendScsi(longer).errorCode, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(seen.size(), 2u);
  int queries = 0;
  for (const auto& call : fake.calls) queries += call.code == IOCTL_STORAGE_QUERY_PROPERTY;
  EXPECT_EQ(queries, 1);

  // Limits out of reason are not trusted.
  EXPECT_EQ(ParseAdapterDescriptor(Adapter(0, 5).data(), 32).alignmentMask, 0u);
  EXPECT_EQ(ParseAdapterDescriptor(Adapter(65536, 0x1FFF).data(), 32).alignmentMask, 0u);
  EXPECT_EQ(ParseAdapterDescriptor(Adapter(65536, 1).data(), 19).maxTransferBytes, 0u);
}

// STORAGE_DEVICE_DESCRIPTOR of a USB bridge's disk: version 40, size 40,
// type 0, removable, no queueing, no strings, bus type 7 (USB).
Bytes Descriptor(uint8_t removable, uint8_t bus) {
  Bytes b = {0x28, 0, 0, 0, 0x28, 0, 0, 0, 0x00, 0x00, removable, 0x00, 0, 0, 0, 0, 0, 0, 0, 0,
             0,    0, 0, 0, 0,    0, 0, 0, bus,  0,    0,         0,    0, 0, 0, 0, 0, 0, 0, 0};
  return b;
}

TEST_F(WinDeviceIoTest, StorageDescriptorGivesBusAndRemovableMedium) {
  auto& answers = fake.devices[kDrive].answers;
  auto handle = io.Open(kDrive, ShareMode::SharedReadWrite, nullptr);
  StorageDescriptor d;
  EXPECT_FALSE(handle->QueryStorageDescriptor(&d));  // Wine: not supported

  answers[{IOCTL_STORAGE_QUERY_PROPERTY, 0}] = {true, Descriptor(0, 7), 0};
  ASSERT_TRUE(handle->QueryStorageDescriptor(&d));
  EXPECT_EQ(d.busType, BusType::Usb);
  EXPECT_FALSE(d.removableMedia);
  // The query asks for the device's standard property.
  const Bytes query = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(fake.calls.back().in, query);

  answers[{IOCTL_STORAGE_QUERY_PROPERTY, 0}] = {true, Descriptor(1, 11), 0};
  ASSERT_TRUE(handle->QueryStorageDescriptor(&d));
  EXPECT_EQ(d.busType, BusType::Sata);
  EXPECT_TRUE(d.removableMedia);

  Bytes cut = Descriptor(0, 7);
  cut.resize(31);  // ends before the bus type
  answers[{IOCTL_STORAGE_QUERY_PROPERTY, 0}] = {true, cut, 0};
  EXPECT_FALSE(handle->QueryStorageDescriptor(&d));
}

}  // namespace
}  // namespace qelvar::platform::windows
