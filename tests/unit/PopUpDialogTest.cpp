// The pop-up dialog on the simulated console: its geometry read back from the
// screen, the shortening of wide rows, the console state it puts back, the
// key wait, and the consoles and allocations it cannot use.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/BoundedString.h"
#include "driver/PopUpDialog.h"
#include "sim/Machine.h"

namespace ftpm::driver {
namespace {

using sim::ConsoleOp;
using sim::Machine;
using sim::Op;
using sim::StopReason;

constexpr UINTN kAttribute = 0x17;

// The recovery prompt's six rows, full case: five of 87 columns and an empty one.
constexpr CHAR16 kRow1[] = u"Press Y to reset MVQ NVRAM and fTPM NVRAM. if you have BitLocker or encryption-enabled ";
constexpr CHAR16 kRow2[] = u"        system,the system will not boot without a recovery key.                        ";
constexpr CHAR16 kRow3[] = u"";
constexpr CHAR16 kRow4[] = u"Press N to keep previous fTPM record and continue system boot, fTPM will NOT be enabled";
constexpr CHAR16 kRow5[] = u"        with new CPU unless fTPM is reset (reinitialized), you could swap back to the  ";
constexpr CHAR16 kRow6[] = u"        old CPU to recover TPM related keys and data.                                  ";
static_assert(sizeof kRow1 / 2 - 1 == 87 && sizeof kRow2 / 2 - 1 == 87 && sizeof kRow4 / 2 - 1 == 87);
static_assert(sizeof kRow5 / 2 - 1 == 87 && sizeof kRow6 / 2 - 1 == 87);
const std::vector<const CHAR16*> kPromptRows = {kRow1, kRow2, kRow3, kRow4, kRow5, kRow6};

constexpr CHAR16 kErasingBoth[] = u" Erasing MVQ NVRAM and fTPM NVRAM.... ";  // 38
constexpr CHAR16 kErasingFtpm[] = u" Erasing fTPM NVRAM.... ";                // 24

std::string Utf8(const std::u16string& text) { return sim::Utf16ToUtf8(text); }
std::u16string Spaces(UINTN n) { return std::u16string(n, u' '); }

// A whole screen row: Body at column Left, blanks elsewhere.
std::string ScreenRow(UINTN columns, UINTN left, const std::u16string& body) {
  std::u16string row = Spaces(left) + body;
  row += Spaces(columns - row.size());
  return Utf8(row);
}
std::u16string TopEdge(UINTN maxLength) { return u"\u250C" + std::u16string(maxLength, u'\u2500') + u"\u2510"; }
std::u16string BottomEdge(UINTN maxLength) { return u"\u2514" + std::u16string(maxLength, u'\u2500') + u"\u2518"; }
std::u16string TextRow(const std::u16string& inside) { return u"\u2502" + inside + u"\u2502"; }

class DialogTest : public ::testing::Test {
 protected:
  DialogTest() { machine.LoadDriverImage(); }

  void UseConsole(UINTN columns, UINTN rows) { machine.console.SetModes({{columns, rows}}); }
  sim::RunOutcome Show(std::vector<const CHAR16*> rows, EFI_INPUT_KEY* key = nullptr) {
    rows.push_back(nullptr);
    return machine.Run([&] {
      PopUpDialogRows(kAttribute, key, rows.data());
      return EFI_SUCCESS;
    });
  }
  std::string Row(UINTN row) const { return machine.console.RowUtf8(row); }
  bool RowBlank(UINTN row) const { return machine.console.RowText(row) == Spaces(machine.console.Columns()); }
  bool ScreenBlank() const {
    for (UINTN r = 0; r < machine.console.Rows(); ++r) {
      if (!RowBlank(r)) {
        return false;
      }
    }
    return true;
  }
  // The cursor position of the n-th OutputString.
  std::pair<INT32, INT32> OutputAt(size_t n) const {
    const auto outputs = machine.console.CallsOf(ConsoleOp::OutputString);
    return {outputs.at(n).Column, outputs.at(n).Row};
  }

  Machine machine;
};

// --- Geometry, read back from the screen --------------------------------------

TEST_F(DialogTest, PromptOn80x25ShortensEveryLongRowToFitTheFullWidthBox) {
  // MaxLength 78, Lines 6, Left 0, Top 8, bottom edge at row 15.
  sim::RunOutcome outcome = machine.Run([] {
    PopUpDialog(kAttribute, nullptr, kRow1, kRow2, kRow3, kRow4, kRow5, kRow6, nullptr);
    return EFI_SUCCESS;
  });
  ASSERT_TRUE(outcome.Returned());
  for (UINTN r = 0; r < 8; ++r) {
    EXPECT_TRUE(RowBlank(r)) << "row " << r;
  }
  EXPECT_EQ(Row(8), ScreenRow(80, 0, TopEdge(78)));
  const std::u16string rows[] = {kRow1, kRow2, kRow3, kRow4, kRow5, kRow6};
  for (UINTN i = 0; i < 6; ++i) {
    const std::u16string inside = rows[i].empty() ? Spaces(78) : rows[i].substr(0, 75) + u"...";
    EXPECT_EQ(Row(9 + i), ScreenRow(80, 0, TextRow(inside))) << "row " << 9 + i;
  }
  EXPECT_EQ(Row(15), ScreenRow(80, 0, BottomEdge(78)));
  for (UINTN r = 16; r < 25; ++r) {
    EXPECT_TRUE(RowBlank(r)) << "row " << r;
  }
  // The shortened rows start at the left inner edge, not centred.
  EXPECT_EQ(OutputAt(2), std::make_pair(1, 9));
  EXPECT_EQ(machine.console.At(0, 8).Attribute, kAttribute);
  EXPECT_EQ(machine.console.At(79, 15).Attribute, kAttribute);
}

TEST_F(DialogTest, PromptOn100x31FitsUnshortened) {
  UseConsole(100, 31);
  ASSERT_TRUE(Show(kPromptRows).Returned());
  // MaxLength 87, Left 5, Top 11.
  EXPECT_TRUE(RowBlank(10));
  EXPECT_EQ(Row(11), ScreenRow(100, 5, TopEdge(87)));
  for (UINTN i = 0; i < 6; ++i) {
    const std::u16string inside = i == 2 ? Spaces(87) : std::u16string(kPromptRows[i]);
    EXPECT_EQ(Row(12 + i), ScreenRow(100, 5, TextRow(inside))) << "row " << 12 + i;
  }
  EXPECT_EQ(Row(18), ScreenRow(100, 5, BottomEdge(87)));
  EXPECT_TRUE(RowBlank(19));
  EXPECT_EQ(OutputAt(2), std::make_pair(6, 12));
}

TEST_F(DialogTest, PromptOn128x40IsCentredAndTheEmptyRowWritesNothing) {
  UseConsole(128, 40);
  ASSERT_TRUE(Show(kPromptRows).Returned());
  // Left 19, Top 15.
  EXPECT_EQ(Row(15), ScreenRow(128, 19, TopEdge(87)));
  EXPECT_EQ(Row(16), ScreenRow(128, 19, TextRow(kRow1)));
  EXPECT_EQ(Row(18), ScreenRow(128, 19, TextRow(Spaces(87))));
  EXPECT_EQ(Row(22), ScreenRow(128, 19, BottomEdge(87)));
  // The empty row: its framed line, then an empty text at column 20 + 43.
  const auto outputs = machine.console.CallsOf(ConsoleOp::OutputString);
  ASSERT_EQ(outputs.size(), 2U + 2U * 6U);
  EXPECT_EQ(outputs[6].Text, u"");
  EXPECT_EQ(std::make_pair(outputs[6].Column, outputs[6].Row), std::make_pair(63, 18));
}

TEST_F(DialogTest, OneRowDialogsAreCentred) {
  ASSERT_TRUE(Show({kErasingBoth}).Returned());
  // Left 20, Top 10, text from column 21.
  EXPECT_EQ(Row(10), ScreenRow(80, 20, TopEdge(38)));
  EXPECT_EQ(Row(11), ScreenRow(80, 20, TextRow(kErasingBoth)));
  EXPECT_EQ(Row(12), ScreenRow(80, 20, BottomEdge(38)));
  EXPECT_EQ(OutputAt(2), std::make_pair(21, 11));

  machine.console.ClearScreen();
  machine.console.Calls.clear();
  ASSERT_TRUE(Show({kErasingFtpm}).Returned());
  // Left 27, Top 10, text from column 28.
  EXPECT_EQ(Row(10), ScreenRow(80, 27, TopEdge(24)));
  EXPECT_EQ(Row(11), ScreenRow(80, 27, TextRow(kErasingFtpm)));
  EXPECT_EQ(Row(12), ScreenRow(80, 27, BottomEdge(24)));
  EXPECT_EQ(OutputAt(2), std::make_pair(28, 11));
}

TEST_F(DialogTest, AnOddDifferenceRoundsDown) {
  const std::u16string wide(78, u'w');
  const std::u16string narrower(77, u'n');
  ASSERT_TRUE(Show({wide.c_str(), narrower.c_str()}).Returned());
  // MaxLength 78, Top 10: the 77-column row starts at Left + 1 + 0.
  EXPECT_EQ(OutputAt(4), std::make_pair(1, 12));
  EXPECT_EQ(Row(12), ScreenRow(80, 0, TextRow(narrower + u" ")));
}

TEST_F(DialogTest, NoRowsDrawsATwoColumnBox) {
  ASSERT_TRUE(Show({}).Returned());
  // Top at (25 - 3) / 2, Left at (80 - 2) / 2.
  EXPECT_EQ(Row(11), ScreenRow(80, 39, u"\u250C\u2510"));
  EXPECT_EQ(Row(12), ScreenRow(80, 39, u"\u2514\u2518"));
  EXPECT_EQ(machine.console.CallsOf(ConsoleOp::OutputString).size(), 2U);
  machine.console.Calls.clear();
  // A NULL list is no rows too.
  ASSERT_TRUE(machine
                  .Run([] {
                    PopUpDialogRows(kAttribute, nullptr, nullptr);
                    return EFI_SUCCESS;
                  })
                  .Returned());
  EXPECT_EQ(machine.console.CallsOf(ConsoleOp::OutputString).size(), 2U);
}

TEST_F(DialogTest, MoreRowsThanFitDrawOnlyTheFirstRowsMinusThree) {
  UseConsole(40, 8);
  ASSERT_TRUE(Show({u"r1", u"r2", u"r3", u"r4", u"r5", u"r6", u"r7"}).Returned());
  // Lines 5, centred for five rows: Top (8 - 8) / 2 = 0, MaxLength 2, Left 18.
  EXPECT_EQ(Row(0), ScreenRow(40, 18, TopEdge(2)));
  for (UINTN i = 0; i < 5; ++i) {
    EXPECT_EQ(Row(1 + i), ScreenRow(40, 18, TextRow(u"r" + std::u16string(1, static_cast<CHAR16>(u'1' + i)))));
  }
  EXPECT_EQ(Row(6), ScreenRow(40, 18, BottomEdge(2)));
  EXPECT_TRUE(RowBlank(7));  // the last row is never written
  EXPECT_EQ(machine.console.CallsOf(ConsoleOp::OutputString).size(), 2U + 2U * 5U);
}

TEST_F(DialogTest, EachLineGoesOutRightAfterItsCursorPosition) {
  ASSERT_TRUE(Show({u"abc", u"de"}).Returned());
  std::vector<ConsoleOp> drawing;
  for (const auto& call : machine.console.Calls) {
    if (call.Kind == ConsoleOp::SetCursorPosition || call.Kind == ConsoleOp::OutputString) {
      drawing.push_back(call.Kind);
    }
  }
  // Top edge, two rows of two lines each, bottom edge, then the restored cursor.
  std::vector<ConsoleOp> expected;
  for (int i = 0; i < 6; ++i) {
    expected.push_back(ConsoleOp::SetCursorPosition);
    expected.push_back(ConsoleOp::OutputString);
  }
  expected.push_back(ConsoleOp::SetCursorPosition);
  EXPECT_EQ(drawing, expected);
}

// --- Wide characters -------------------------------------------------------------

TEST_F(DialogTest, AWideRowIsMeasuredInColumnsAndGoesOutWithItsMarker) {
  const CHAR16 row[] = {u'a', u'b', kWideMarker, u'c', u'd', 0};
  ASSERT_TRUE(Show({row}).Returned());
  // Width 2 + 4 = 6: MaxLength 6, Left 36. The simulated grid gives each
  // character one cell, so "abcd" fills four of the six inner cells.
  EXPECT_EQ(Row(10), ScreenRow(80, 36, TopEdge(6)));
  EXPECT_EQ(Row(11), ScreenRow(80, 36, TextRow(u"abcd  ")));
  EXPECT_EQ(machine.console.CallsOf(ConsoleOp::OutputString).at(2).Text, std::u16string(row));
}

TEST_F(DialogTest, AShortenedWideRowKeepsItsMarkerAndCountsUnits) {
  UseConsole(12, 25);
  // "abc", wide marker, "defgh": 3 + 10 columns against MaxLength 10. The walk
  // overflows at 'g', unit 7; the copy keeps units 0-3, the marker included,
  // and the dots follow a narrow marker: 3 + 3 columns.
  const CHAR16 row[] = {u'a', u'b', u'c', kWideMarker, u'd', u'e', u'f', u'g', u'h', 0};
  ASSERT_TRUE(Show({row}).Returned());
  const auto outputs = machine.console.CallsOf(ConsoleOp::OutputString);
  ASSERT_EQ(outputs.size(), 4U);
  EXPECT_EQ(outputs[2].Text, (std::u16string{u'a', u'b', u'c', kWideMarker, kNarrowMarker, u'.', u'.', u'.'}));
  EXPECT_EQ(std::make_pair(outputs[2].Column, outputs[2].Row), std::make_pair(1, 11));
  EXPECT_EQ(Row(11), ScreenRow(12, 0, TextRow(u"abc...    ")));
}

TEST_F(DialogTest, DotsAfterAWidePartThatWouldPassTheBoxGoOutNarrow) {
  UseConsole(12, 25);
  // Wide "abcde", then narrow "f": 11 columns against MaxLength 10. The walk
  // overflows at 'f', unit 7; the copy keeps the marker and "abc", 6 columns,
  // where wide dots would take 6 more and pass the box.
  const CHAR16 row[] = {kWideMarker, u'a', u'b', u'c', u'd', u'e', kNarrowMarker, u'f', 0};
  ASSERT_TRUE(Show({row}).Returned());
  const auto outputs = machine.console.CallsOf(ConsoleOp::OutputString);
  ASSERT_EQ(outputs.size(), 4U);
  EXPECT_EQ(outputs[2].Text, (std::u16string{kWideMarker, u'a', u'b', u'c', kNarrowMarker, u'.', u'.', u'.'}));
  EXPECT_TRUE(machine.boot.Outstanding().empty());
}

TEST_F(DialogTest, AWidePartEndedInsideTheKeptPartTakesNoMarkerBeforeTheDots) {
  UseConsole(12, 25);
  // Wide "a", then narrow "bcdefghij": 11 columns against MaxLength 10. The
  // walk overflows at 'j', unit 11; the copy keeps units 0-7, which end
  // narrow, so the dots follow directly: 2 + 5 + 3 columns.
  const CHAR16 row[] = {kWideMarker, u'a', kNarrowMarker, u'b', u'c', u'd', u'e', u'f', u'g', u'h', u'i', u'j', 0};
  ASSERT_TRUE(Show({row}).Returned());
  const auto outputs = machine.console.CallsOf(ConsoleOp::OutputString);
  ASSERT_EQ(outputs.size(), 4U);
  EXPECT_EQ(outputs[2].Text,
            (std::u16string{kWideMarker, u'a', kNarrowMarker, u'b', u'c', u'd', u'e', u'f', u'.', u'.', u'.'}));
  EXPECT_TRUE(machine.boot.Outstanding().empty());
}

TEST_F(DialogTest, AWideMarkerJustPastTheKeptPartLeavesTheDotsPlain) {
  UseConsole(12, 25);
  // "abcdef", wide marker, "ghi": 6 + 6 columns against MaxLength 10. The walk
  // overflows at 'i', unit 9; the copy keeps units 0-5, all narrow. The marker
  // at unit 6 is not kept, so nothing narrow goes before the dots.
  const CHAR16 row[] = {u'a', u'b', u'c', u'd', u'e', u'f', kWideMarker, u'g', u'h', u'i', 0};
  ASSERT_TRUE(Show({row}).Returned());
  EXPECT_EQ(machine.console.CallsOf(ConsoleOp::OutputString).at(2).Text, u"abcdef...");
  EXPECT_EQ(Row(11), ScreenRow(12, 0, TextRow(u"abcdef... ")));
}

TEST_F(DialogTest, MarkersAmongTheLastThreeUnitsShortenTheRowFurther) {
  UseConsole(12, 25);
  // "abcdefghi", two markers, "jk": the walk overflows at 'k', unit 12. Less
  // three units is "abcdefghi", 9 columns, and the dots would end past the
  // box; the kept part is cut to the 7 columns that leave room for them.
  const CHAR16 row[] = {u'a', u'b', u'c',          u'd',          u'e', u'f', u'g',
                        u'h', u'i', kNarrowMarker, kNarrowMarker, u'j', u'k', 0};
  ASSERT_TRUE(Show({row}).Returned());
  EXPECT_EQ(machine.console.CallsOf(ConsoleOp::OutputString).at(2).Text, u"abcdefg...");
  EXPECT_EQ(Row(11), ScreenRow(12, 0, TextRow(u"abcdefg...")));
}

TEST_F(DialogTest, ARowCutBelowThreeUnitsStaysBlank) {
  UseConsole(4, 25);
  // MaxLength 2; a wide row overflows at unit 2, too short for the dots.
  const CHAR16 row[] = {kWideMarker, u'a', u'b', u'c', 0};
  ASSERT_TRUE(Show({row}).Returned());
  EXPECT_EQ(Row(11), ScreenRow(4, 0, TextRow(u"  ")));
  EXPECT_EQ(machine.console.CallsOf(ConsoleOp::OutputString).at(2).Text, u"");
  EXPECT_TRUE(machine.boot.MemoryErrors.empty());
}

TEST_F(DialogTest, MarkersBeforeARowTooWideForTheDotsLeaveItBlank) {
  UseConsole(4, 25);
  // MaxLength 2; three markers take no column, so the walk overflows at
  // 'c', unit 5, but a box two columns wide has no room for the dots.
  const CHAR16 row[] = {kNarrowMarker, kNarrowMarker, kNarrowMarker, u'a', u'b', u'c', 0};
  ASSERT_TRUE(Show({row}).Returned());
  EXPECT_EQ(Row(11), ScreenRow(4, 0, TextRow(u"  ")));
  EXPECT_EQ(machine.console.CallsOf(ConsoleOp::OutputString).at(2).Text, u"");
  EXPECT_TRUE(machine.boot.MemoryErrors.empty());
}

// --- Console state ------------------------------------------------------------------

TEST_F(DialogTest, CursorAndAttributeAreAsTheyWereAfterTheCall) {
  UseConsole(100, 31);
  machine.console.SetAttribute(0x4E);
  machine.console.SetCursorPosition(7, 29);
  machine.console.EnableCursor(TRUE);
  machine.console.Calls.clear();
  ASSERT_TRUE(Show(kPromptRows).Returned());
  const SIMPLE_TEXT_OUTPUT_MODE& mode = machine.console.Mode;
  EXPECT_EQ(mode.Attribute, 0x4E);
  EXPECT_EQ(mode.CursorColumn, 7);
  EXPECT_EQ(mode.CursorRow, 29);
  EXPECT_EQ(mode.CursorVisible, TRUE);
  // Hidden and recoloured while drawing; the box itself carries the attribute.
  const auto& calls = machine.console.Calls;
  ASSERT_GE(calls.size(), 6U);  // query, hide, colour, ..., then the three restores
  EXPECT_EQ(calls[1].Kind, ConsoleOp::EnableCursor);
  EXPECT_EQ(calls[1].Value, FALSE);
  EXPECT_EQ(calls[2].Kind, ConsoleOp::SetAttribute);
  EXPECT_EQ(calls[2].Value, kAttribute);
  EXPECT_EQ(machine.console.At(5, 11).Attribute, kAttribute);
  EXPECT_EQ(machine.console.At(4, 11).Attribute, 0x07);
  // And restored in this order: visibility, position, attribute.
  const size_t n = calls.size();
  EXPECT_EQ(calls[n - 3].Kind, ConsoleOp::EnableCursor);
  EXPECT_EQ(calls[n - 2].Kind, ConsoleOp::SetCursorPosition);
  EXPECT_EQ(calls[n - 1].Kind, ConsoleOp::SetAttribute);

  // A hidden cursor stays hidden.
  machine.console.EnableCursor(FALSE);
  ASSERT_TRUE(Show({u"x"}).Returned());
  EXPECT_EQ(machine.console.Mode.CursorVisible, FALSE);
}

TEST_F(DialogTest, LineBuffersAreFreedBeforeTheKeyWait) {
  std::vector<size_t> outstanding;
  machine.console.KeySource = [&]() -> std::optional<EFI_INPUT_KEY> {
    outstanding.push_back(machine.boot.Outstanding().size());
    return EFI_INPUT_KEY{SCAN_NULL, u'n'};
  };
  const size_t before = machine.boot.Outstanding().size();
  EFI_INPUT_KEY key{};
  ASSERT_TRUE(Show(kPromptRows, &key).Returned());
  ASSERT_FALSE(outstanding.empty());
  EXPECT_EQ(outstanding.front(), before);
  EXPECT_EQ(machine.boot.Outstanding().size(), before);
  EXPECT_TRUE(machine.boot.MemoryErrors.empty());
  // Line buffer and five shortened rows, each taken and given back.
  EXPECT_EQ(machine.faults.Calls(Op::AllocatePool), 6U);
}

// --- The key wait ------------------------------------------------------------------------

std::vector<std::string>* gKeyLog = nullptr;
EFI_INPUT_READ_KEY gSimRead = nullptr;
EFI_WAIT_FOR_EVENT gSimWait = nullptr;

EFI_STATUS EFIAPI LoggedRead(EFI_SIMPLE_TEXT_INPUT_PROTOCOL* in, EFI_INPUT_KEY* key) {
  const EFI_STATUS status = gSimRead(in, key);
  gKeyLog->push_back("read:" + sim::StatusName(status));
  return status;
}

EFI_STATUS EFIAPI LoggedWait(UINTN count, EFI_EVENT* events, UINTN* index) {
  const bool onKey = count == 1 && events[0] == Machine::Current().console.ConIn.WaitForKey;
  gKeyLog->push_back(onKey ? "wait:WaitForKey" : "wait:other");
  return gSimWait(count, events, index);
}

class KeyWaitTest : public DialogTest {
 protected:
  KeyWaitTest() {
    gKeyLog = &log;
    gSimRead = machine.console.ConIn.ReadKeyStroke;
    gSimWait = machine.boot.Table.WaitForEvent;
    machine.console.ConIn.ReadKeyStroke = LoggedRead;
    machine.boot.Table.WaitForEvent = LoggedWait;
  }
  ~KeyWaitTest() override { gKeyLog = nullptr; }
  std::vector<std::string> log;
};

TEST_F(KeyWaitTest, NotReadyWaitsOnWaitForKeyBeforeReadingAgain) {
  machine.console.QueueStatus(EFI_NOT_READY);
  machine.console.QueueKey(u'y');
  EFI_INPUT_KEY key{};
  ASSERT_TRUE(Show(kPromptRows, &key).Returned());
  EXPECT_EQ(key.UnicodeChar, u'y');
  EXPECT_EQ(log, (std::vector<std::string>{"read:" + sim::StatusName(EFI_NOT_READY), "wait:WaitForKey",
                                           "read:" + sim::StatusName(EFI_SUCCESS)}));
  // The box was drawn before the wait.
  EXPECT_EQ(Row(8), ScreenRow(80, 0, TopEdge(78)));
}

TEST_F(KeyWaitTest, OtherErrorsReadAgainAtOnce) {
  machine.console.QueueStatus(EFI_DEVICE_ERROR);
  machine.console.QueueStatus(EFI_DEVICE_ERROR);
  machine.console.QueueKey(0, SCAN_ESC);
  EFI_INPUT_KEY key{};
  ASSERT_TRUE(Show({u"x"}, &key).Returned());
  EXPECT_EQ(key.ScanCode, SCAN_ESC);
  EXPECT_EQ(key.UnicodeChar, 0);
  const std::string error = "read:" + sim::StatusName(EFI_DEVICE_ERROR);
  EXPECT_EQ(log, (std::vector<std::string>{error, error, "read:" + sim::StatusName(EFI_SUCCESS)}));
}

TEST_F(KeyWaitTest, AWarningEndsTheWait) {
  machine.console.QueueStatus(EFI_WARN_UNKNOWN_GLYPH);
  machine.console.QueueKey(u'n');
  EFI_INPUT_KEY key{};
  ASSERT_TRUE(Show({u"x"}, &key).Returned());
  EXPECT_EQ(log.size(), 1U);
  EXPECT_EQ(machine.console.KeysLeft(), 1U);
}

TEST_F(KeyWaitTest, WithoutAKeyRecordNoKeyIsRead) {
  machine.console.QueueKey(u'y');
  ASSERT_TRUE(Show(kPromptRows).Returned());
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(machine.console.KeysLeft(), 1U);
}

TEST_F(KeyWaitTest, AboveApplicationLevelTheRefusedWaitTurnsIntoPolling) {
  machine.console.QueueStatus(EFI_NOT_READY);
  machine.console.QueueStatus(EFI_NOT_READY);
  machine.console.QueueKey(u'N');
  EFI_INPUT_KEY key{};
  const EFI_TPL old = machine.boot.Raise(TPL_CALLBACK);
  ASSERT_TRUE(Show({u"x"}, &key).Returned());
  machine.boot.Restore(old);
  EXPECT_EQ(key.UnicodeChar, u'N');
  EXPECT_EQ(log.size(), 5U);  // read, refused wait, read, refused wait, read
}

TEST_F(DialogTest, AKeyThatNeverComesStopsTheSimulatedMachine) {
  EFI_INPUT_KEY key{};
  sim::RunOutcome outcome = Show({u"x"}, &key);
  EXPECT_TRUE(outcome.StoppedBy(StopReason::KeysExhausted));
  // The console was restored before the wait began.
  EXPECT_EQ(machine.console.Mode.Attribute, 0x07);
  EXPECT_EQ(machine.console.Mode.CursorVisible, TRUE);
}

// --- Consoles and memory the dialog cannot use -----------------------------------------

TEST_F(DialogTest, ConsolesTooSmallForTheBoxGetNothingDrawnButTheKeyIsStillRead) {
  const std::pair<UINTN, UINTN> sizes[] = {{0, 0}, {1, 1}, {80, 2}, {1, 25}, {2, 2}};
  for (const auto& [columns, rows] : sizes) {
    UseConsole(columns, rows);
    machine.console.Calls.clear();
    machine.console.QueueKey(u'y');
    EFI_INPUT_KEY key{};
    ASSERT_TRUE(Show(kPromptRows, &key).Returned()) << columns << "x" << rows;
    EXPECT_EQ(key.UnicodeChar, u'y') << columns << "x" << rows;
    // No drawing and no change of the console's state.
    EXPECT_TRUE(machine.console.CallsOf(ConsoleOp::OutputString).empty()) << columns << "x" << rows;
    EXPECT_TRUE(machine.console.CallsOf(ConsoleOp::SetAttribute).empty()) << columns << "x" << rows;
    EXPECT_TRUE(machine.console.CallsOf(ConsoleOp::EnableCursor).empty()) << columns << "x" << rows;
  }
}

TEST_F(DialogTest, TheSmallestConsoleHoldsAnEmptyBox) {
  UseConsole(2, 3);
  ASSERT_TRUE(Show(kPromptRows).Returned());
  // Lines 0 and MaxLength 0: the corners alone, and the last row stays free.
  EXPECT_EQ(Row(0), Utf8(u"\u250C\u2510"));
  EXPECT_EQ(Row(1), Utf8(u"\u2514\u2518"));
  EXPECT_TRUE(RowBlank(2));
}

TEST_F(DialogTest, AFailedModeQueryDrawsFor80x25AndReadsTheKey) {
  UseConsole(100, 31);
  machine.console.QueryModeFailure = EFI_DEVICE_ERROR;
  machine.console.QueueKey(u'n');
  EFI_INPUT_KEY key{};
  ASSERT_TRUE(Show(kPromptRows, &key).Returned());
  EXPECT_EQ(key.UnicodeChar, u'n');
  // The 80x25 geometry on the larger grid: Top 8, Left 0, MaxLength 78.
  EXPECT_TRUE(RowBlank(7));
  EXPECT_EQ(Row(8), ScreenRow(100, 0, TopEdge(78)));
  EXPECT_EQ(Row(9), ScreenRow(100, 0, TextRow(std::u16string(kRow1).substr(0, 75) + u"...")));
  EXPECT_EQ(Row(15), ScreenRow(100, 0, BottomEdge(78)));
  EXPECT_TRUE(RowBlank(16));
  EXPECT_EQ(machine.console.CallsOf(ConsoleOp::QueryMode).size(), 1U);
  EXPECT_EQ(machine.console.Mode.Attribute, 0x07);
}

// QueryMode is asked about the current mode, not mode 0.
TEST_F(DialogTest, TheCurrentModeIsTheOneMeasured) {
  machine.console.SetModes({{80, 25}, {100, 31}}, 1);
  ASSERT_TRUE(Show(kPromptRows).Returned());
  const auto queries = machine.console.CallsOf(ConsoleOp::QueryMode);
  ASSERT_EQ(queries.size(), 1U);
  EXPECT_EQ(queries[0].Value, 1U);
  EXPECT_EQ(Row(11), ScreenRow(100, 5, TopEdge(87)));  // 100x31: Left 5, Top 11
  EXPECT_EQ(Row(12), ScreenRow(100, 5, TextRow(kRow1)));
}

// Widest counts every row, also those beyond the Rows - 3 drawn.
TEST_F(DialogTest, ARowThatIsNotDrawnStillWidensTheBox) {
  UseConsole(40, 8);
  ASSERT_TRUE(Show({u"r1", u"r2", u"r3", u"r4", u"r5", u"twenty columns wide."}).Returned());
  // Lines 5, MaxLength 20: Left (40 - 22) / 2 = 9; r1 centred at 9 + 1 + 9.
  EXPECT_EQ(Row(0), ScreenRow(40, 9, TopEdge(20)));
  EXPECT_EQ(Row(1), ScreenRow(40, 9, TextRow(Spaces(9) + u"r1" + Spaces(9))));
  EXPECT_EQ(Row(6), ScreenRow(40, 9, BottomEdge(20)));
  EXPECT_EQ(OutputAt(2), std::make_pair(19, 1));
}

// Offset 3, the least that holds the dots: the copy length is 0, and "..."
// alone goes out at the left inner edge.
TEST_F(DialogTest, ARowCutAtThreeUnitsBecomesTheDotsAlone) {
  UseConsole(5, 25);
  ASSERT_TRUE(Show({u"abcd"}).Returned());  // MaxLength 3, Left 0
  const auto outputs = machine.console.CallsOf(ConsoleOp::OutputString);
  ASSERT_EQ(outputs.size(), 4U);
  EXPECT_EQ(outputs[2].Text, u"...");
  EXPECT_EQ(std::make_pair(outputs[2].Column, outputs[2].Row), std::make_pair(1, 11));
  EXPECT_EQ(Row(11), ScreenRow(5, 0, TextRow(u"...")));
  EXPECT_TRUE(machine.boot.Outstanding().empty());
}

EFI_STATUS EFIAPI AbsurdQueryMode(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, UINTN, UINTN* columns, UINTN* rows) {
  *columns = ~UINTN{0} - 1;
  *rows = ~UINTN{0} - 1;
  return EFI_SUCCESS;
}

TEST_F(DialogTest, AConsoleClaimingAnAbsurdSizeCostsNoMoreThanTheRowsNeed) {
  machine.console.ConOut.QueryMode = AbsurdQueryMode;
  machine.console.SetCursorPosition(3, 4);
  const UINTN before = machine.boot.PoolBytesAllocated;
  ASSERT_TRUE(Show(kPromptRows).Returned());
  // Nothing is shortened; the one line buffer is 87 + 3 units.
  EXPECT_EQ(machine.boot.PoolBytesAllocated - before, (87U + 3U) * sizeof(CHAR16));
  EXPECT_TRUE(machine.boot.Outstanding().empty());
  EXPECT_EQ(machine.console.Mode.CursorColumn, 3);
  EXPECT_EQ(machine.console.Mode.CursorRow, 4);
}

TEST_F(DialogTest, WithoutALineBufferNothingIsDrawnButTheConsoleIsRestoredAndTheKeyRead) {
  machine.faults.FailNth(Op::AllocatePool, machine.faults.Calls(Op::AllocatePool) + 1);
  machine.console.SetCursorPosition(3, 4);
  machine.console.QueueKey(u'Y');
  EFI_INPUT_KEY key{};
  ASSERT_TRUE(Show(kPromptRows, &key).Returned());
  EXPECT_EQ(key.UnicodeChar, u'Y');
  EXPECT_TRUE(ScreenBlank());
  EXPECT_EQ(machine.console.Mode.Attribute, 0x07);
  EXPECT_EQ(machine.console.Mode.CursorVisible, TRUE);
  EXPECT_EQ(machine.console.Mode.CursorColumn, 3);
  EXPECT_EQ(machine.console.Mode.CursorRow, 4);
  EXPECT_TRUE(machine.boot.Outstanding().empty());
}

TEST_F(DialogTest, WithoutAShortenedRowBufferThatRowStaysBlankAndTheRestIsDrawn) {
  // The second allocation is the first long row's shortened copy.
  machine.faults.FailNth(Op::AllocatePool, machine.faults.Calls(Op::AllocatePool) + 2);
  ASSERT_TRUE(Show(kPromptRows).Returned());
  EXPECT_EQ(Row(9), ScreenRow(80, 0, TextRow(Spaces(78))));
  EXPECT_EQ(Row(10), ScreenRow(80, 0, TextRow(std::u16string(kRow2).substr(0, 75) + u"...")));
  EXPECT_EQ(Row(15), ScreenRow(80, 0, BottomEdge(78)));
  EXPECT_TRUE(machine.boot.Outstanding().empty());
  EXPECT_TRUE(machine.boot.MemoryErrors.empty());
}

TEST_F(DialogTest, TheListAndVariableFormsDrawTheSame) {
  UseConsole(100, 31);
  ASSERT_TRUE(Show(kPromptRows).Returned());
  const std::vector<sim::ConsoleCall> listCalls = machine.console.Calls;
  const std::vector<std::string> listScreen = machine.console.ScreenUtf8();
  machine.console.ClearScreen();
  machine.console.Calls.clear();
  ASSERT_TRUE(machine
                  .Run([] {
                    PopUpDialog(kAttribute, nullptr, kRow1, kRow2, kRow3, kRow4, kRow5, kRow6, nullptr);
                    return EFI_SUCCESS;
                  })
                  .Returned());
  EXPECT_EQ(machine.console.ScreenUtf8(), listScreen);
  ASSERT_EQ(machine.console.Calls.size(), listCalls.size());
  for (size_t i = 0; i < listCalls.size(); ++i) {
    EXPECT_EQ(machine.console.Calls[i].Text, listCalls[i].Text) << i;
    EXPECT_EQ(machine.console.Calls[i].Column, listCalls[i].Column) << i;
    EXPECT_EQ(machine.console.Calls[i].Row, listCalls[i].Row) << i;
  }
}

}  // namespace
}  // namespace ftpm::driver
