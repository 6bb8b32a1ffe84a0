// The simulated machine's non-volatile state: the variable store with the
// UEFI rules a platform relies on, power cuts after and in the middle of a
// persistent write, and the flash and variables carried from one power-on
// to the next.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/Machine.h"

namespace ftpm::sim {
namespace {

constexpr EFI_GUID kVendor = MakeGuid("0D3E9C8A-1B2C-4D5E-8F90-A1B2C3D4E5F6");
constexpr UINT32 kNvBs = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;

class Variables : public ::testing::Test {
 protected:
  // Not inlined: a stop unwinds through the EFIAPI thunk, and a caller with
  // destructors to run must not call the thunk itself (sim/Machine.h).
  [[gnu::noinline]] EFI_STATUS Set(const char16_t* name, UINT32 attributes, std::vector<UINT8> data) {
    EFI_GUID vendor = kVendor;
    return m.runtime.Table.SetVariable(const_cast<CHAR16*>(name), &vendor, attributes, data.size(),
                                       data.empty() ? nullptr : data.data());
  }
  EFI_STATUS Get(const char16_t* name, std::vector<UINT8>* data, UINT32* attributes = nullptr, UINTN capacity = 64) {
    EFI_GUID vendor = kVendor;
    data->assign(capacity, 0xEE);
    UINTN size = capacity;
    const EFI_STATUS status =
        m.runtime.Table.GetVariable(const_cast<CHAR16*>(name), &vendor, attributes, &size, data->data());
    data->resize(status == EFI_SUCCESS ? size : 0);
    lastSize = size;
    return status;
  }
  Machine m;
  UINTN lastSize = 0;
};

TEST_F(Variables, WriteReadAndDelete) {
  std::vector<UINT8> data;
  EXPECT_EQ(Get(u"Rec", &data), EFI_NOT_FOUND);
  EXPECT_EQ(Set(u"Rec", kNvBs, {1, 2, 3, 4}), EFI_SUCCESS);
  UINT32 attributes = 0;
  EXPECT_EQ(Get(u"Rec", &data, &attributes), EFI_SUCCESS);
  EXPECT_EQ(data, (std::vector<UINT8>{1, 2, 3, 4}));
  EXPECT_EQ(attributes, kNvBs);
  // A buffer too small is told the size and left as it was.
  EXPECT_EQ(Get(u"Rec", &data, nullptr, 2), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(lastSize, 4U);
  // No data, or no attributes, deletes; deleting what is not there fails.
  EXPECT_EQ(Set(u"Rec", kNvBs, {}), EFI_SUCCESS);
  EXPECT_EQ(Get(u"Rec", &data), EFI_NOT_FOUND);
  EXPECT_EQ(Set(u"Rec", kNvBs, {9}), EFI_SUCCESS);
  EXPECT_EQ(Set(u"Rec", 0, {9}), EFI_SUCCESS);
  EXPECT_EQ(Get(u"Rec", &data), EFI_NOT_FOUND);
  EXPECT_EQ(Set(u"Rec", 0, {}), EFI_NOT_FOUND);
}

TEST_F(Variables, AttributesAreFixedOnceTheVariableExists) {
  ASSERT_EQ(Set(u"Rec", kNvBs, {1}), EFI_SUCCESS);
  EXPECT_EQ(Set(u"Rec", kNvBs | EFI_VARIABLE_RUNTIME_ACCESS, {2}), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Set(u"Rec", EFI_VARIABLE_BOOTSERVICE_ACCESS, {2}), EFI_INVALID_PARAMETER);
  std::vector<UINT8> data;
  EXPECT_EQ(Get(u"Rec", &data), EFI_SUCCESS);
  EXPECT_EQ(data, (std::vector<UINT8>{1}));
  // Runtime access needs boot-service access; unknown bits are refused.
  EXPECT_EQ(Set(u"Other", EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_RUNTIME_ACCESS, {1}), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Set(u"Other", kNvBs | 0x20, {1}), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Set(u"", kNvBs, {1}), EFI_INVALID_PARAMETER);
}

TEST_F(Variables, TheNameWalkVisitsEveryVariableOnce) {
  ASSERT_EQ(Set(u"B", kNvBs, {1}), EFI_SUCCESS);
  ASSERT_EQ(Set(u"A", kNvBs, {1}), EFI_SUCCESS);
  std::vector<std::u16string> seen;
  CHAR16 name[16] = {};
  EFI_GUID vendor{};
  for (;;) {
    UINTN size = sizeof(name);
    const EFI_STATUS status = m.runtime.Table.GetNextVariableName(&size, name, &vendor);
    if (status == EFI_NOT_FOUND) {
      break;
    }
    ASSERT_EQ(status, EFI_SUCCESS);
    seen.emplace_back(name);
  }
  EXPECT_EQ(seen, (std::vector<std::u16string>{u"A", u"B"}));
  UINTN tiny = 2;
  name[0] = 0;
  EXPECT_EQ(m.runtime.Table.GetNextVariableName(&tiny, name, &vendor), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(tiny, 4U);
}

TEST_F(Variables, APowerCutLeavesWhatTheStoreOfItsKindWould) {
  struct Cut {
    TornVariable Torn;
    bool Present;
    std::vector<UINT8> Value;
  };
  const Cut cuts[] = {
      {TornVariable::KeepsOld, true, {1, 1, 1, 1}},
      {TornVariable::TakesNew, true, {2, 2, 2, 2}},
      {TornVariable::Vanishes, false, {}},
      {TornVariable::Mixes, true, {2, 2, 1, 1}},
  };
  for (const Cut& cut : cuts) {
    m.runtime.Variables.Variables.clear();
    m.power.Cut.reset();
    ASSERT_EQ(Set(u"Rec", kNvBs, {1, 1, 1, 1}), EFI_SUCCESS);
    m.power.Writes.clear();
    m.power.Cut = PowerCut{1, true, cut.Torn};
    const RunOutcome outcome = m.Run([&] { return Set(u"Rec", kNvBs, {2, 2, 2, 2}); });
    EXPECT_TRUE(outcome.StoppedBy(StopReason::PowerLoss));
    const Variable* v = m.runtime.Variables.Find(kVendor, u"Rec");
    ASSERT_EQ(v != nullptr, cut.Present) << static_cast<int>(cut.Torn);
    if (v != nullptr) {
      EXPECT_EQ(v->Data, cut.Value) << static_cast<int>(cut.Torn);
    }
  }
  // Right after the write: the write is whole, and the power goes then.
  m.power.Writes.clear();
  m.power.Cut = PowerCut{1, false};
  EXPECT_TRUE(m.Run([&] { return Set(u"Rec", kNvBs, {3, 3, 3, 3}); }).StoppedBy(StopReason::PowerLoss));
  EXPECT_EQ(m.runtime.Variables.Find(kVendor, u"Rec")->Data, (std::vector<UINT8>{3, 3, 3, 3}));
  // Volatile variables are no persistent write.
  m.power.Writes.clear();
  m.power.Cut = PowerCut{1, true};
  EXPECT_EQ(Set(u"Scratch", EFI_VARIABLE_BOOTSERVICE_ACCESS, {1}), EFI_SUCCESS);
  EXPECT_TRUE(m.power.Writes.empty());
}

TEST(PowerOnsTest, FlashAndVariablesOutliveThePowerOnAndNothingElseDoes) {
  NonVolatile state;
  {
    Machine m;
    m.flash.Write(0x1234, std::vector<UINT8>{0xAB});
    m.runtime.Variables.Put(kVendor, u"Rec", kNvBs, {7});
    m.settings.Set(122, 1);
    state = m.PowerOff();
    EXPECT_EQ(m.flash.At(0x1234), 0xFF);  // gone from the machine that powered off
    EXPECT_EQ(m.runtime.Variables.Find(kVendor, u"Rec"), nullptr);
  }
  Machine next;
  next.PowerOn(std::move(state));
  EXPECT_EQ(next.flash.At(0x1234), 0xAB);
  ASSERT_NE(next.runtime.Variables.Find(kVendor, u"Rec"), nullptr);
  EXPECT_EQ(next.settings.Get(122), 0U);
}

}  // namespace
}  // namespace ftpm::sim
