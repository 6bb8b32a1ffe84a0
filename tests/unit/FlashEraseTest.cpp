// The erase request: the 48 bytes it hands to SMM, the two protocols it looks
// up and remembers, the buffer address read for every request, and the size
// SMM leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "driver/FlashErase.h"
#include "sim/Machine.h"

namespace ftpm::driver {
namespace {

using sim::Machine;
using sim::MachineConfig;

constexpr UINT8 kFill = 0xAA;

// The lookups of the two protocols, in order, leaving out everything else.
std::vector<EFI_GUID> EraseLookups(const Machine& m) {
  std::vector<EFI_GUID> out;
  for (const EFI_GUID& guid : m.boot.LocateLog) {
    if (guid == gEraseServiceReadyProtocolGuid || guid == gEfiSmmCommunicationProtocolGuid) {
      out.push_back(guid);
    }
  }
  return out;
}

class FlashEraseTest : public ::testing::Test {
 protected:
  explicit FlashEraseTest(const MachineConfig& config = {}) : machine(config) {
    machine.LoadDriverImage();
    std::vector<UINT8> image(0x10000, 0x5A);
    machine.flash.SetImage(image);
    std::fill_n(machine.smm.CommBuffer(), machine.smm.CommBufferSize(), kFill);
  }
  std::vector<UINT8> Buffer(size_t n) const {
    const UINT8* b = const_cast<Machine&>(machine).smm.CommBuffer();
    return std::vector<UINT8>(b, b + n);
  }
  bool BufferUntouched() const {
    const std::vector<UINT8> all = Buffer(machine.smm.CommBufferSize());
    return std::all_of(all.begin(), all.end(), [](UINT8 b) { return b == kFill; });
  }
  EFI_STATUS Erase(UINT64 address, UINT64* size) {
    sim::RunOutcome outcome = machine.Run([&] { return RequestFlashErase(address, size); });
    EXPECT_TRUE(outcome.Returned());
    return outcome.Status.value_or(EFI_ABORTED);
  }
  Machine machine;
};

TEST_F(FlashEraseTest, SendsTheFortyEightBytesOfTheRequestAndSmmErasesTheRange) {
  UINT64 size = 0x4000;
  EXPECT_EQ(Erase(0x1000, &size), EFI_SUCCESS);
  const std::vector<UINT8> expected = {
      0xBF, 0xCC, 0xAB, 0xB2, 0xE1, 0x02, 0x6F, 0x43, 0x98, 0xB0, 0x20, 0x59, 0x9C, 0x49, 0xE2, 0xA1,  // HeaderGuid
      0x18, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                                                  // 24
      0x04, 0x00, 0x00, 0x00,                                                                          // Function
      0x00, 0x00, 0x00, 0x00,                                                                          // reserved
      0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                                                  // Address
      0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                                                  // Size
  };
  ASSERT_EQ(machine.smm.Messages.size(), 1U);
  EXPECT_EQ(machine.smm.Messages[0].CommSize, 48U);
  EXPECT_EQ(machine.smm.Messages[0].Bytes, expected);
  // Written into the platform's buffer, and nothing behind the 48 bytes.
  EXPECT_EQ(Buffer(48), expected);
  EXPECT_EQ(machine.smm.CommBuffer()[48], kFill);
  ASSERT_EQ(machine.smm.EraseRequests.size(), 1U);
  EXPECT_TRUE(machine.smm.EraseRequests[0].Valid);
  // The flash service erased exactly [0x1000, 0x5000).
  EXPECT_EQ(machine.flash.At(0xFFF), 0x5A);
  EXPECT_TRUE(machine.flash.IsErased(0x1000, 0x4000));
  EXPECT_EQ(machine.flash.At(0x5000), 0x5A);
  EXPECT_EQ(size, 0x4000U);
}

TEST_F(FlashEraseTest, ZeroSizeIsRefusedAfterTheLookupsAndBeforeTheBuffer) {
  UINT64 size = 0;
  EXPECT_EQ(Erase(0x1000, &size), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(BufferUntouched());
  EXPECT_TRUE(machine.smm.Messages.empty());
  EXPECT_EQ(EraseLookups(machine).size(), 2U);
  EXPECT_EQ(Erase(0x1000, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(BufferUntouched());
}

TEST_F(FlashEraseTest, TheBufferAddressIsReadForEveryRequest) {
  UINT64 size = 0x100;
  EXPECT_EQ(Erase(0x2000, &size), EFI_SUCCESS);
  // Another buffer for the second request.
  std::vector<UINT8> other(64, kFill);
  machine.settings.SetGuided(gSmmCommBufferTokenSpaceGuid, sim::kSmmCommBufferToken,
                             reinterpret_cast<UINT64>(other.data()));
  size = 0x200;
  EXPECT_EQ(Erase(0x3000, &size), EFI_SUCCESS);
  EXPECT_EQ(other[24], 0x04);
  EXPECT_EQ(other[33], 0x30);  // Address 0x3000
  EXPECT_EQ(other[48], kFill);
  const auto reads = std::count_if(machine.settings.Log.begin(), machine.settings.Log.end(), [](const auto& a) {
    return a.Guided && a.Token == sim::kSmmCommBufferToken && a.TokenSpace == gSmmCommBufferTokenSpaceGuid;
  });
  EXPECT_EQ(reads, 2);
}

TEST_F(FlashEraseTest, SizeSmmLeavesIsHandedBackAlsoOnAnError) {
  machine.smm.RewriteSize = 0x2000;
  UINT64 size = 0x4000;
  EXPECT_EQ(Erase(0x1000, &size), EFI_SUCCESS);
  EXPECT_EQ(size, 0x2000U);

  machine.smm.EraseStatus = EFI_DEVICE_ERROR;
  size = 0x4000;
  EXPECT_EQ(Erase(0x1000, &size), EFI_DEVICE_ERROR);
  EXPECT_EQ(size, 0x2000U);
}

TEST_F(FlashEraseTest, ARangeTheServiceRefusesPassesItsStatusOn) {
  UINT64 size = 0x1000;
  // Past the end of the 64 MB flash, so outside every range the service may
  // erase: it refuses and leaves Size alone.
  EXPECT_EQ(Erase(sim::kFlashSize - 0x800, &size), EFI_ACCESS_DENIED);
  EXPECT_EQ(size, 0x1000U);
  ASSERT_EQ(machine.smm.EraseRequests.size(), 1U);
  EXPECT_TRUE(machine.smm.EraseRequests[0].Valid);
}

TEST_F(FlashEraseTest, ProtocolsAreLookedUpReadyFirstAndRememberedOnceFound) {
  UINT64 size = 0x100;
  EXPECT_EQ(Erase(0x1000, &size), EFI_SUCCESS);
  EXPECT_EQ(EraseLookups(machine),
            (std::vector<EFI_GUID>{gEraseServiceReadyProtocolGuid, gEfiSmmCommunicationProtocolGuid}));
  EXPECT_EQ(gFlashEraseState.EraseServiceReady, TRUE);
  EXPECT_EQ(gFlashEraseState.SmmCommunication, &machine.smm.Communication);

  // Later requests look neither up again, even once the ready protocol is gone.
  machine.UninstallProtocol(gEraseServiceReadyProtocolGuid);
  size = 0x100;
  EXPECT_EQ(Erase(0x1000, &size), EFI_SUCCESS);
  EXPECT_EQ(EraseLookups(machine).size(), 2U);
  EXPECT_EQ(machine.smm.Messages.size(), 2U);

  // A fresh image forgets both.
  machine.LoadDriverImage();
  EXPECT_EQ(gFlashEraseState.EraseServiceReady, FALSE);
  EXPECT_EQ(gFlashEraseState.SmmCommunication, nullptr);
}

// A firmware whose LocateProtocol fails for one GUID with a status of its
// choice, after writing a stale pointer: the request must not keep it.
const EFI_GUID* gFailingGuid = nullptr;
EFI_STATUS gFailingStatus = EFI_SUCCESS;
EFI_LOCATE_PROTOCOL gSimLocate = nullptr;
UINT8 gStale[16];

EFI_STATUS EFIAPI FailingLocate(const EFI_GUID* guid, VOID* registration, VOID** iface) {
  if (gFailingGuid != nullptr && *guid == *gFailingGuid) {
    *iface = gStale;
    return gFailingStatus;
  }
  return gSimLocate(guid, registration, iface);
}

TEST_F(FlashEraseTest, AnyFailedLookupIsReportedAsNotFound) {
  gSimLocate = machine.boot.Table.LocateProtocol;
  machine.boot.Table.LocateProtocol = FailingLocate;
  UINT64 size = 0x100;

  gFailingGuid = &gEraseServiceReadyProtocolGuid;
  gFailingStatus = EFI_DEVICE_ERROR;
  EXPECT_EQ(Erase(0x1000, &size), EFI_NOT_FOUND);
  EXPECT_EQ(gFlashEraseState.EraseServiceReady, FALSE);

  gFailingGuid = &gEfiSmmCommunicationProtocolGuid;
  gFailingStatus = EFI_INVALID_PARAMETER;
  EXPECT_EQ(Erase(0x1000, &size), EFI_NOT_FOUND);
  EXPECT_EQ(gFlashEraseState.EraseServiceReady, TRUE);
  EXPECT_EQ(gFlashEraseState.SmmCommunication, nullptr);
  EXPECT_TRUE(machine.smm.Messages.empty());
  EXPECT_TRUE(BufferUntouched());

  // The next request looks only for what is still missing, and goes through.
  gFailingGuid = nullptr;
  EXPECT_EQ(Erase(0x1000, &size), EFI_SUCCESS);
  EXPECT_EQ(EraseLookups(machine),
            (std::vector<EFI_GUID>{gEraseServiceReadyProtocolGuid, gEfiSmmCommunicationProtocolGuid}));
  EXPECT_EQ(machine.smm.EraseRequests.size(), 1U);
}

class NoEraseServiceTest : public FlashEraseTest {
 protected:
  static MachineConfig Config() {
    MachineConfig config;
    config.EraseServiceReady = false;
    return config;
  }
  NoEraseServiceTest() : FlashEraseTest(Config()) {}
};

TEST_F(NoEraseServiceTest, TheReadyProtocolIsTestedBeforeTheSize) {
  UINT64 size = 0;
  EXPECT_EQ(Erase(0x1000, &size), EFI_NOT_FOUND);
  // The SMM protocol is not even looked up.
  EXPECT_EQ(EraseLookups(machine), std::vector<EFI_GUID>{gEraseServiceReadyProtocolGuid});
  EXPECT_TRUE(BufferUntouched());
}

TEST_F(NoEraseServiceTest, AServiceThatAppearsLaterIsFoundByTheNextRequest) {
  UINT64 size = 0x100;
  EXPECT_EQ(Erase(0x1000, &size), EFI_NOT_FOUND);
  EXPECT_TRUE(machine.smm.Messages.empty());
  machine.InstallProtocol(gEraseServiceReadyProtocolGuid, machine.PresenceInterface(gEraseServiceReadyProtocolGuid));
  EXPECT_EQ(Erase(0x1000, &size), EFI_SUCCESS);
  EXPECT_EQ(machine.smm.EraseRequests.size(), 1U);
}

class NoSmmCommunicationTest : public FlashEraseTest {
 protected:
  static MachineConfig Config() {
    MachineConfig config;
    config.SmmCommunication = false;
    return config;
  }
  NoSmmCommunicationTest() : FlashEraseTest(Config()) {}
};

TEST_F(NoSmmCommunicationTest, AProtocolThatAppearsLaterIsFoundByTheNextRequest) {
  UINT64 size = 0x100;
  EXPECT_EQ(Erase(0x1000, &size), EFI_NOT_FOUND);
  EXPECT_EQ(gFlashEraseState.EraseServiceReady, TRUE);
  machine.InstallProtocol(gEfiSmmCommunicationProtocolGuid, &machine.smm.Communication);
  EXPECT_EQ(Erase(0x1000, &size), EFI_SUCCESS);
  // The ready protocol was found the first time and not asked for again.
  EXPECT_EQ(EraseLookups(machine),
            (std::vector<EFI_GUID>{gEraseServiceReadyProtocolGuid, gEfiSmmCommunicationProtocolGuid,
                                   gEfiSmmCommunicationProtocolGuid}));
}

TEST_F(NoSmmCommunicationTest, AnInstalledButEmptyInterfaceCountsAsMissing) {
  machine.InstallProtocol(gEfiSmmCommunicationProtocolGuid, nullptr);
  UINT64 size = 0x100;
  EXPECT_EQ(Erase(0x1000, &size), EFI_NOT_FOUND);
  EXPECT_EQ(gFlashEraseState.SmmCommunication, nullptr);
  EXPECT_TRUE(BufferUntouched());
}

class NoCommBufferTest : public FlashEraseTest {
 protected:
  static MachineConfig Config() {
    MachineConfig config;
    config.CommBuffer = false;
    return config;
  }
  NoCommBufferTest() : FlashEraseTest(Config()) {}
};

TEST_F(NoCommBufferTest, WithoutABufferTheRequestIsDroppedAsASuccess) {
  UINT64 size = 0x4000;
  EXPECT_EQ(Erase(0x1000, &size), EFI_SUCCESS);
  EXPECT_EQ(size, 0x4000U);
  EXPECT_TRUE(machine.smm.Messages.empty());
  EXPECT_TRUE(BufferUntouched());
  EXPECT_EQ(machine.flash.At(0x1000), 0x5A);
}

}  // namespace
}  // namespace ftpm::driver
