#!/usr/bin/env python3
"""symbol_sizes.py on a map in lld-link's format: sizes run to the next
symbol of the section or to the section's end, and names are read back."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import symbol_sizes  # noqa: E402

MAP = """ Image

 Timestamp is 00000000

 Preferred load address is 0000000140000000

 Start         Length     Name                   Class
 0001:00000000 00000100H .text                   CODE
 0002:00000000 00000030H .rdata                  DATA
 0003:00000000 00000010H .data                   DATA
 0003:00000010 00000020H .bss                    DATA

  Address         Publics by Value              Rva+Base               Lib:Object

 0001:00000000       ?Fletcher32@directory@ftpm@@YAIPEBXI@Z 0000000140001000     Validation.cpp.obj
 0001:00000040       FtpmRecoveryDxeEntry       0000000140001040     EntryPoint.cpp.obj
 0002:00000000       ?kCpuIdentityTable@directory@ftpm@@3QBUCpuIdentityRow@12@B 0000000140002000     ProcessorIdentity.cpp.obj
 0002:00000020       ??_C@_0BB@IAAHMNFJ@RecoveryFlag?5?$CFx?6?$AA@ 0000000140002020     EntryLookup.cpp.obj
 0003:00000010       ?gEntryState@driver@ftpm@@3UEntryState@12@A 0000000140003010     EntryPoint.cpp.obj

 entry point at         0001:00000040

 Static symbols

 0001:000000c0       ?Lookup@?A0x2436C996@directory@ftpm@@YAEIPEA_KPEAIE@Z 00000001400010c0     EntryLookup.cpp.obj
"""


class SymbolSizes(unittest.TestCase):
    def setUp(self):
        handle, self.path = tempfile.mkstemp(suffix=".map")
        with os.fdopen(handle, "w") as out:
            out.write(MAP)

    def tearDown(self):
        os.unlink(self.path)

    def sizes(self):
        sections, symbols = symbol_sizes.parse(self.path)
        return {name: (size, part) for size, part, name, _ in symbol_sizes.sized(sections, symbols)}

    def test_sizes_run_to_the_next_symbol_or_the_section_end(self):
        sizes = self.sizes()
        self.assertEqual(sizes["?Fletcher32@directory@ftpm@@YAIPEBXI@Z"], (0x40, ".text"))
        self.assertEqual(sizes["FtpmRecoveryDxeEntry"], (0x80, ".text"))  # up to the static symbol
        self.assertEqual(sizes["?Lookup@?A0x2436C996@directory@ftpm@@YAEIPEA_KPEAIE@Z"], (0x40, ".text"))
        self.assertEqual(sizes["?kCpuIdentityTable@directory@ftpm@@3QBUCpuIdentityRow@12@B"], (0x20, ".rdata"))
        self.assertEqual(sizes["??_C@_0BB@IAAHMNFJ@RecoveryFlag?5?$CFx?6?$AA@"], (0x10, ".rdata"))
        # .data and .bss share section 3: the record runs to the end of .bss.
        self.assertEqual(sizes["?gEntryState@driver@ftpm@@3UEntryState@12@A"], (0x20, ".bss"))

    def test_image_sizes_override_the_maps_section_lengths(self):
        sections, symbols = symbol_sizes.parse(self.path)
        symbol_sizes.extend_sections(sections, {2: 0x50})
        sizes = {n: s for s, _, n, _ in symbol_sizes.sized(sections, symbols)}
        self.assertEqual(sizes["??_C@_0BB@IAAHMNFJ@RecoveryFlag?5?$CFx?6?$AA@"], 0x30)

    def test_names_are_shown_with_their_scopes(self):
        self.assertEqual(symbol_sizes.readable("?Fletcher32@directory@ftpm@@YAIPEBXI@Z"), "ftpm::directory::Fletcher32")
        self.assertEqual(symbol_sizes.readable("?Lookup@?A0x2436C996@directory@ftpm@@YAEIPEA_KPEAIE@Z"),
                         "ftpm::directory::(anonymous)::Lookup")
        self.assertEqual(symbol_sizes.readable("FtpmRecoveryDxeEntry"), "FtpmRecoveryDxeEntry")
        self.assertEqual(symbol_sizes.readable("??_C@_0BB@IAAHMNFJ@RecoveryFlag?5?$CFx?6?$AA@"), "(string literal)")
        self.assertEqual(symbol_sizes.layer("ftpm::directory::(anonymous)::Lookup"), "directory/")
        self.assertEqual(symbol_sizes.layer("FtpmRecoveryDxeEntry"), "driver/")
        self.assertEqual(symbol_sizes.layer("gFtpmRecoveryProtocolGuid"), "GUIDs")
        self.assertEqual(symbol_sizes.layer("(string literal)"), "string literals")
        self.assertEqual(symbol_sizes.layer("__ImageBase"), "other")


if __name__ == "__main__":
    unittest.main()
