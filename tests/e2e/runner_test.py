#!/usr/bin/env python3
"""The QEMU runner's own logic, without QEMU: decoding OVMF's serial output,
the report parser, the screen rebuild, key encoding, images and the
expectation checks with their failure messages."""

import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "qemu"))

import ftpm_qemu as fq  # noqa: E402
import run  # noqa: E402
import story  # noqa: E402

ESC = "\x1b"


def box_bytes(col: int, row: int, text: str, kind_attr=(b"\x1b[0m\x1b[37m\x1b[44m")) -> bytes:
    """A box as OVMF's terminal driver sends it: attribute, then one
    positioned line per row, box characters in code page 437."""
    width = len(text)
    lines = ["\u250c" + "\u2500" * width + "\u2510", "\u2502" + text + "\u2502", "\u2514" + "\u2500" * width + "\u2518"]
    out = kind_attr
    for number, line in enumerate(lines):
        out += f"\x1b[{row + number + 1:02d};{col + 1:02d}H".encode() + line.encode("cp437")
    return out + b"\x1b[0m\x1b[37m\x1b[40m"


def report(body: str) -> bytes:
    return f"@@FTPM {body}\r\n".encode()


class ReportParsing(unittest.TestCase):
    def test_fields_and_free_text(self):
        line = fq.parse_report("debug level=0x80000000 phase=handler-1 text=RecoveryFlag 1 a=b")
        self.assertEqual(line.event, "debug")
        self.assertEqual(line.fields, {"level": "0x80000000", "phase": "handler-1", "text": "RecoveryFlag 1 a=b"})
        self.assertIsNone(fq.parse_report(""))

    def test_reports_are_found_in_noisy_serial_output(self):
        raw = (b"\x1b[2J\x1b[01;01HBdsDxe: starting Boot0002\r\n" + report("harness-started version=1") +
               b"\x1b[2J\x1b[01;01H" + report("console-mode status=EFI_SUCCESS mode=0 columns=80 rows=25") +
               b"noise @@FTPM driver-entry status=EFI_SUCCESS\r\n" + b"@@FTPM")
        reports = fq.parse_reports(fq.strip_escapes(fq.decode_serial(raw)))
        self.assertEqual([r.event for r in reports], ["harness-started", "console-mode", "driver-entry"])
        self.assertEqual([r.index for r in reports], [0, 1, 2])
        self.assertEqual(reports[1].fields["columns"], "80")

    def test_escape_sequences_and_code_page(self):
        text = fq.strip_escapes(fq.decode_serial(b"\x1b[0m\x1b[37m\x1b[44m\x1b[=3h\x1b[03;05H\xda\xc4\xbfA\x1b[2J"))
        self.assertEqual(text, "\u250c\u2500\u2510A")


class Boxes(unittest.TestCase):
    def test_prompts_and_messages_are_told_apart(self):
        raw = (box_bytes(5, 11, "Press Y to reset fTPM.") + b"\x1b[2J" + box_bytes(5, 11, "Press Y to reset fTPM.") +
               b"\x1b[2J" + box_bytes(27, 10, " Erasing fTPM NVRAM.... "))
        text = fq.strip_escapes(fq.decode_serial(raw))
        boxes = fq.find_boxes(text)
        self.assertEqual([b.kind for b in boxes], ["prompt", "prompt", "message"])
        self.assertEqual(fq.count_prompts(text), 2)

    def test_a_box_still_being_drawn_is_not_counted(self):
        partial = box_bytes(5, 11, "Press Y to reset fTPM.")[:-20]
        self.assertEqual(fq.count_prompts(fq.strip_escapes(fq.decode_serial(partial))), 0)


class ScreenRebuild(unittest.TestCase):
    def rebuild(self, raw: bytes, columns=80, rows=25) -> fq.Screen:
        return fq.rebuild_screen(fq.decode_serial(raw), columns, rows)

    def test_box_position_text_and_attribute(self):
        screen = self.rebuild(b"\x1b[2J\x1b[01;01H" + box_bytes(5, 11, "Press Y"))
        self.assertEqual(len(screen.snapshots), 1)
        snap = screen.snapshots[0]
        self.assertEqual(snap.kind, "prompt")
        self.assertEqual(snap.text_at(11, 5, 3), "\u250c\u2500\u2500")
        self.assertEqual(snap.text_at(12, 5, 9), "\u2502Press Y\u2502")
        self.assertEqual(snap.attributes[12][6], 0x17)  # light grey on blue
        self.assertEqual(snap.attributes[12][15], 0x07)  # untouched cell
        self.assertEqual(snap.text_at(13, 13, 1), "\u2518")

    def test_bright_colours_clear_and_line_wrap(self):
        screen = self.rebuild(b"\x1b[1m\x1b[33m\x1b[41mAB\x1b[0m" + b"x" * 80 + b"y\x1b[05;01Hq\x1b[K", columns=80, rows=6)
        self.assertEqual(screen.attrs[0][0], 0x4E)  # yellow (bright brown) on red
        lines = screen.lines()
        self.assertEqual(lines[0], "AB" + "x" * 78)
        self.assertEqual(lines[1][:3], "xxy")
        self.assertEqual(lines[4].rstrip(), "q")

    def test_scrolling_at_the_bottom(self):
        raw = b"".join(f"line {n}\r\n".encode() for n in range(30))
        lines = self.rebuild(raw, columns=20, rows=5).lines()
        self.assertEqual([line.rstrip() for line in lines], ["line 26", "line 27", "line 28", "line 29", ""])

    def test_size_follows_the_console_mode_report(self):
        raw = (report("console max-mode=3 current=2 modes=0:80x25,2:100x31") + b"\x1b[2J\x1b[01;01H" +
               report("console-mode status=EFI_SUCCESS mode=0 columns=80 rows=25") + box_bytes(0, 8, "Press N"))
        text = fq.decode_serial(raw)
        reports = fq.parse_reports(fq.strip_escapes(text))
        self.assertEqual(fq.initial_console_size(reports), (100, 31))
        screen = fq.rebuild_screen(text, *fq.initial_console_size(reports))
        self.assertEqual((screen.columns, screen.rows), (80, 25))
        self.assertEqual(screen.snapshots[0].text_at(8, 0, 1), "\u250c")


class ProcessorsAndLayouts(unittest.TestCase):
    def test_processor_signatures_become_qemu_cpu_options(self):
        self.assertEqual(fq.cpu_from_signature(0x00A70F42), {"family": 0x19, "model": 0x74, "stepping": 2})
        self.assertEqual(fq.cpu_from_signature(0x00810F82), {"family": 0x17, "model": 0x18, "stepping": 2})
        self.assertEqual(fq.cpu_from_signature(0x00060663), {"family": 6, "model": 0x66, "stepping": 3})

    def test_flash_addresses_map_to_image_offsets(self):
        self.assertEqual(fq.flash_offset(0x1140000), 0x1140000)
        self.assertEqual(fq.flash_offset(0xFF400000), 0x400000)
        self.assertEqual(fq.flash_offset(0xFD01200000), 0x1200000)
        for outside in (0x4000000, 0xFE000000, 0xFD04000000, -1):
            self.assertIsNone(fq.flash_offset(outside), hex(outside))

    def test_layouts_may_hold_comments(self):
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "layout.json")
            with open(path, "w") as out:
                out.write('{\n  // a note\n  "processor": "0x00A70F42", /* more */ "url": "http://x//y"\n}')
            self.assertEqual(fq.read_layout(path), {"processor": "0x00A70F42", "url": "http://x//y"})
            with open(path, "w") as out:
                out.write("{")
            with self.assertRaises(fq.HarnessError):
                fq.read_layout(path)


class Keys(unittest.TestCase):
    def test_encoding(self):
        self.assertEqual(fq.encode_key("y"), b"y")
        self.assertEqual(fq.encode_key("esc"), b"\x1b")
        self.assertEqual(fq.encode_key("UP"), b"\x1b[A")
        self.assertEqual(fq.encode_key("0x1b5b42"), b"\x1b[B")
        for bad in ("F13", "0x1", "0xzz", ""):
            with self.assertRaises(fq.HarnessError, msg=bad):
                fq.encode_key(bad)
        self.assertEqual(fq.split_keys("xN"), ["x", "N"])
        self.assertEqual(fq.split_keys("x, ESC,N"), ["x", "ESC", "N"])

    def test_steps_wait_for_the_nth_prompt_by_default(self):
        steps = fq.parse_key_steps(["x", "ESC", {"key": "N", "after": "report", "event": "handler-call", "count": 2}])
        self.assertEqual([(s.after, s.count) for s in steps], [("prompt", 1), ("prompt", 2), ("report", 2)])
        one_prompt = fq.strip_escapes(fq.decode_serial(box_bytes(0, 0, "Press Y")))
        self.assertTrue(fq.step_ready(steps[0], one_prompt))
        self.assertFalse(fq.step_ready(steps[1], one_prompt))
        with self.assertRaises(fq.HarnessError):
            fq.parse_key_steps([{"key": "Q", "after": "later"}])
        with self.assertRaises(fq.HarnessError):
            fq.parse_key_steps(["NOPE"])


class Images(unittest.TestCase):
    def test_fit_pads_with_erased_bytes(self):
        image = fq.fit_image(b"\x01\x02", "16m")
        self.assertEqual(len(image), 14 * fq.MIB)
        self.assertEqual(image[:3], b"\x01\x02\xff")
        self.assertEqual(len(fq.fit_image(b"", "64m")), 64 * fq.MIB)

    def test_the_part_under_ovmf_must_be_erased(self):
        full = bytearray(b"\xff" * (16 * fq.MIB))
        self.assertEqual(len(fq.fit_image(bytes(full), "16m")), 14 * fq.MIB)
        full[15 * fq.MIB] = 0
        with self.assertRaises(fq.HarnessError):
            fq.fit_image(bytes(full), "16m")
        with self.assertRaises(fq.HarnessError):
            fq.fit_image(b"\xff" * (64 * fq.MIB + 1), "64m")

    def test_patches_and_changed_ranges(self):
        with tempfile.TemporaryDirectory() as work:
            path = fq.prepare_image(work, "16m", {"patches": [{"offset": "0x10", "hex": "0001"},
                                                              {"offset": 32, "fill": "0x00", "length": 3}]}, work, None)
            with open(path, "rb") as handle:
                data = handle.read()
            self.assertEqual(data[0x10:0x12], b"\x00\x01")
            self.assertEqual(data[32:36], b"\x00\x00\x00\xff")
            with self.assertRaises(fq.HarnessError):
                fq.prepare_image(work, "16m", {"patches": [{"offset": 14 * fq.MIB - 1, "hex": "0000"}]}, work, None)
            with self.assertRaises(fq.HarnessError):
                fq.prepare_image(work, "16m", {"layout": "x.json"}, work, None)  # no tool with mkimage
        before = bytes(10000)
        after = bytearray(before)
        after[5:8] = b"\xff\xff\xff"
        after[9000] = 1
        self.assertEqual(fq.changed_ranges(before, bytes(after)), [(5, 3), (9000, 1)])
        self.assertEqual(fq.changed_ranges(before, before), [])


class QemuCommand(unittest.TestCase):
    def test_windows_use_their_recipes(self):
        with tempfile.TemporaryDirectory() as work:
            if not os.path.isfile(fq.OVMF_CODE):
                self.skipTest("no OVMF")
            wide = " ".join(fq.qemu_command(work, "/vol", "64m", "/img", None))
            self.assertIn("vendor=GenuineIntel,family=25,model=33,stepping=2,phys-bits=41,+pdpe1gb", wide)
            self.assertIn("memory-backend-file,id=spi,size=64M,mem-path=/img,share=on", wide)
            self.assertIn("pc-dimm,memdev=spi,addr=0xFD00000000", wide)
            narrow = fq.qemu_command(work, "/vol", "16m", "/img", None)
            self.assertIn("q35,max-fw-size=16M", narrow)
            self.assertIn("if=pflash,format=raw,file=/img", narrow)  # writable: the flash service erases there
            self.assertIn("-no-reboot", narrow)
            with self.assertRaises(fq.HarnessError):
                fq.qemu_command(work, "/vol", "32m", None, None)

    def test_the_flag_device_and_the_firmware_volume(self):
        if not os.path.isfile(fq.OVMF_CODE):
            self.skipTest("no OVMF")
        with tempfile.TemporaryDirectory() as work:
            plain = " ".join(fq.qemu_command(work, "/vol", "64m", "/img", None))
            self.assertNotIn("ivshmem", plain)
            flagged = " ".join(fq.qemu_command(work, "/vol", "16m", "/img", None, flag_device=True))
            self.assertIn("-device ivshmem-plain,memdev=rflag", flagged)
            # A firmware-volume scenario is packaged by the tool, never copied
            # from an older build; without the tool it is a set-up error.
            uefi = os.path.join(work, "uefi")
            os.makedirs(os.path.join(uefi, "qemu", "harness"))
            for name in (fq.HARNESS_RELATIVE, fq.DRIVER_RELATIVE):
                with open(os.path.join(uefi, name), "wb") as out:
                    out.write(b"MZ")
            with self.assertRaises(fq.HarnessError):
                fq.prepare_volume(work, uefi, {"driver.fv": "FtpmRecoveryDxe.fv"})
            tool = os.path.join(work, "fake-tool")
            with open(tool, "w") as out:
                out.write('#!/bin/sh\n[ "$1" = package ] && printf FV > "$6"\n')
            os.chmod(tool, 0o755)
            volume = fq.prepare_volume(work, uefi, {"driver.fv": "FtpmRecoveryDxe.fv"}, tool=tool)
            self.assertEqual(sorted(os.listdir(volume)), ["EFI", "FtpmRecoveryDxe.fv", "harness.cfg"])
            volume = fq.prepare_volume(work, uefi, {"setting.122": 1}, tool=tool)
            self.assertEqual(sorted(os.listdir(volume)), ["EFI", "FtpmRecoveryDxe.efi", "harness.cfg"])

    def test_config_file(self):
        text = fq.config_text({"setting.122": True, "probe": ["1:2", "3:4"], "console.mode": "100x31"})
        self.assertIn("setting.122=1\n", text)
        self.assertIn("probe=1:2\nprobe=3:4\n", text)
        with self.assertRaises(fq.HarnessError):
            fq.config_text({"driver.file": "a\nsetting.122=1"})


def result_from(raw: bytes, timed_out=False) -> fq.RunResult:
    decoded = fq.decode_serial(raw)
    text = fq.strip_escapes(decoded)
    reports = fq.parse_reports(text)
    return fq.RunResult(raw=raw, text=text, reports=reports, boxes=fq.find_boxes(text),
                        screen=fq.rebuild_screen(decoded, 80, 25), ended=fq.how_it_ended(timed_out, reports),
                        exit_code=0)


RUN = (report("harness-started version=1") + report("driver-entry status=EFI_SUCCESS") +
       report("handler-call n=1") + box_bytes(5, 11, "Press Y") + report("smm-erase n=1 form=ok address=0x1000") +
       report("smm-erase n=2 form=ok address=0x2000") + report("reset-system type=cold status=EFI_SUCCESS"))


class Expectations(unittest.TestCase):
    def test_how_a_run_ended(self):
        self.assertEqual(result_from(RUN).ended, "cold-reset")
        self.assertEqual(result_from(RUN, timed_out=True).ended, "timeout")
        self.assertEqual(result_from(report("harness-started version=1")).ended, "exit-without-reset")
        self.assertEqual(result_from(report("reset-system type=shutdown")).ended, "shutdown")

    def test_values(self):
        self.assertTrue(run.value_matches(4096, "0x1000"))
        self.assertTrue(run.value_matches(1, "1"))
        self.assertFalse(run.value_matches(1, "one"))
        self.assertTrue(run.value_matches(True, "1"))
        self.assertTrue(run.value_matches({"re": "0xf[0-9a-f]+"}, "0xf512018"))
        self.assertTrue(run.value_matches({"not": "EFI_SUCCESS"}, "EFI_NOT_FOUND"))
        self.assertTrue(run.value_matches(None, None))
        self.assertFalse(run.value_matches("x", None))

    def test_all_expectations_hold_on_a_matching_run(self):
        checker = run.check_expectations({
            "reports": [{"event": "handler-call", "n": 1}, {"event": "smm-erase", "address": 0x1000},
                        {"event": "smm-erase", "address": "0x2000"}],
            "absent": [{"event": "smm-erase", "form": "bad"}],
            "counts": {"smm-erase": 2},
            "text": ["Press Y"],
            "no_text": ["Erasing"],
            "prompts": 1,
            "boxes": [{"n": 1, "kind": "prompt", "at": [{"row": 11, "col": 5, "text": "\u250c", "attribute": "0x17"}]}],
            "ended": "cold-reset",
        }, result_from(RUN), None, None)
        self.assertEqual(checker.failures, [])

    def test_failures_say_what_differs(self):
        checker = run.check_expectations({
            "reports": [{"event": "smm-erase", "address": "0x2000"}, {"event": "smm-erase", "address": "0x1000"},
                        {"event": "driver-loaded"}],
            "counts": {"smm-erase": 1},
            "prompts": 2,
            "boxes": [{"n": 1, "at": [{"row": 11, "col": 6, "text": "\u250c"}]}],
        }, result_from(RUN), None, None)
        joined = "\n".join(checker.failures)
        self.assertIn("ended: expected 'shutdown', got 'cold-reset'", joined)
        self.assertIn("matches, but out of order", joined)  # address 0x1000 came before 0x2000
        self.assertIn("address: want \"0x1000\", got 0x2000", joined)
        self.assertIn("no 'driver-loaded' line at all", joined)
        self.assertIn("expected 1 'smm-erase' line(s), got 2", joined)
        self.assertIn("expected 2 prompt(s) drawn, got 1", joined)
        self.assertIn("box 1 at row 11 column 6: expected '\u250c', got '\u2500'", joined)
        self.assertEqual(len(checker.failures), 6)

    def test_image_checks(self):
        before = bytes(64)
        after = bytearray(before)
        after[16:32] = b"\xff" * 16
        checker = run.check_expectations({
            "ended": "cold-reset",
            "image": [{"offset": 16, "length": 16, "all": "0xff"}, {"offset": 0, "length": 16, "unchanged": True},
                      {"offset": 32, "length": 2, "hex": "0000"}],
            "image_changes": [{"offset": "0x10", "length": "0x10"}],
        }, result_from(RUN), before, bytes(after))
        self.assertEqual(checker.failures, [])
        checker = run.check_expectations({
            "ended": "cold-reset",
            "image": [{"offset": 8, "length": 16, "all": "0xff"}, {"offset": 60, "length": 8, "all": 0}],
            "image_changes": [],
        }, result_from(RUN), before, bytes(after))
        self.assertEqual(len(checker.failures), 3)
        self.assertIn("offset 0x8 holds 0x00", checker.failures[0])
        self.assertIn("runs past the image", checker.failures[1])
        self.assertIn("got:      0x10+0x10", checker.failures[2])

    def test_erases_must_land_in_the_image_and_nowhere_else(self):
        raw = (report("harness-started version=1") +
               report("smm-erase n=1 form=ok address=0xfd00000010 size=0x10 offset=0x10 action=erased") +
               report("smm-erase n=2 form=ok address=0x40 size=0x8 offset=0x40 action=none") +
               report("reset-system type=cold"))
        before = bytes(128)
        after = bytearray(before)
        after[0x10:0x20] = b"\xff" * 16
        expect = {"ended": "cold-reset", "erases_in_image": True}
        self.assertEqual(run.check_expectations(expect, result_from(raw), before, bytes(after)).failures, [])
        after[0x1F] = 0  # one byte of the reported range not erased
        after[0x40] = 0xFF  # a change where nothing was erased
        failures = run.check_expectations(expect, result_from(raw), before, bytes(after)).failures
        self.assertEqual(len(failures), 2)
        self.assertIn("offset 0x1f does not read 0xff", failures[0])
        self.assertIn("outside the erased ranges: 0x40+0x1", failures[1])

    def test_final_screen(self):
        raw = report("harness-started version=1") + box_bytes(0, 3, "Press Y") + b"\x1b[2J\x1b[01;01H" + report(
            "reset-system type=shutdown")
        ok = run.check_expectations({"final_screen": {"lacks": ["Press Y"], "contains": ["reset-system"]}},
                                    result_from(raw), None, None)
        self.assertEqual(ok.failures, [])
        bad = run.check_expectations({"final_screen": {"contains": ["Press Y"]}}, result_from(raw), None, None)
        self.assertEqual(len(bad.failures), 1)
        self.assertIn("should contain 'Press Y'", bad.failures[0])

    def test_scenario_files_are_validated(self):
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "s.json")
            for text in ('{"expect": {"promts": 1}}', '{"windows": "16m"}', '[]', '{"timeout": 0}', "{"):
                with open(path, "w") as out:
                    out.write(text)
                with self.assertRaises(fq.HarnessError, msg=text):
                    run.load_scenario(path)

    def test_every_registered_scenario_is_well_formed(self):
        for name in sorted(os.listdir(HERE)):
            if name.endswith(".json"):
                with self.subTest(scenario=name):
                    scenario = run.load_scenario(os.path.join(HERE, name))
                    fq.parse_key_steps(scenario.get("keys", []))
                    fq.config_text(scenario.get("config", {}))
                    for pattern in scenario.get("expect", {}).get("reports", []):
                        self.assertIn("event", pattern)
                    layout = scenario.get("image", {}).get("layout")
                    if layout:
                        self.assertTrue(os.path.isfile(os.path.join(HERE, layout)), layout)


def story_boot(lines: str, run_number: int = 1) -> story.Boot:
    return story.Boot(run=run_number, processor=0x00A70F42,
                      reports=fq.parse_reports("\n".join("@@FTPM " + l for l in lines.strip().splitlines())))


# One boot after the swap, as the reference platform reports it, answered Y.
SWAPPED_Y = """
platform-started version=1
settings-collisions firmware-tokens=55 highest=58 count=0 tokens=none
swap current=0xa70f42 recorded=0xa20f12 decision=swapped request=122
image-loaded image=driver loaded-by=dxe-dispatcher phase=dxe
recovery-protocol installed=1 on-driver-image=1 phase=dxe
end-of-dxe locked=0 script-ready-to-lock-seen=0
ready-to-lock when=before-driver locked=0 script-ready-to-lock-seen=0
ready-to-lock when=after-driver locked=1 script-ready-to-lock-seen=1
image-loaded image=caller loaded-by=boot-manager phase=bds
caller-started tpl=4 console=1 recovery-protocol=1
handler-call n=1
smm-erase n=1 address=0x1140000 size=0x4000 offset=0x1140000 action=erased verified=1
swap-served offset=0x1140000 size=0x4000
smm-erase n=2 address=0x1150000 size=0x8000 offset=0x1150000 action=erased verified=1
reset-system type=cold
"""
ERASES = [(0x1140000, 0x4000), (0x1150000, 0x8000)]


class StoryChecks(unittest.TestCase):
    def check(self, text: str, want: dict, erases=ERASES, restarted=True) -> list[str]:
        checks = story.Checks()
        story.check_boot(checks, 2, story_boot(text), want, 122, erases, restarted)
        return checks.failures

    def test_a_boot_that_did_everything_passes(self):
        self.assertEqual(self.check(SWAPPED_Y, {"swap": "swapped", "answer": "y"}), [])

    def test_each_departure_is_a_failure(self):
        departures = {
            "loaded-by=dxe-dispatcher": ("loaded-by=other", "not started by the DXE dispatcher"),
            "end-of-dxe locked=0": ("end-of-dxe locked=1", "inside start-up"),
            "when=after-driver locked=1": ("when=after-driver locked=0", "did not run when the boot manager"),
            "caller-started tpl=4": ("caller-started tpl=8", "TPL_APPLICATION"),
            "count=0": ("count=1", "collide"),
            "address=0x1150000": ("address=0x1160000", "erase requests"),
            "offset=0x1150000 action=erased verified=1": ("offset=0x1150000 action=failed", "not every erase"),
            "reset-system type=cold": ("reset-system type=shutdown", "no cold reset"),
        }
        for old, (new, message) in departures.items():
            failures = self.check(SWAPPED_Y.replace(old, new), {"swap": "swapped", "answer": "y"})
            self.assertTrue(any(message in f for f in failures), (old, failures))
        failures = self.check(SWAPPED_Y, {"swap": "swapped", "answer": "y"}, restarted=False)
        self.assertTrue(any("restarting" in f for f in failures), failures)
        self.assertTrue(self.check(SWAPPED_Y, {"swap": "same-processor"}))

    def test_the_erases_the_case_calls_for_come_from_the_chosen_side(self):
        ranges = [{"side": s, "type": t, "address": a, "size": n}
                  for s, t, a, n in (("A", "0x04", 1, 2), ("A", "0x54", 3, 4), ("B", "0x04", 5, 6),
                                     ("B", "0x54", 7, 8))]
        self.assertEqual(story.expected_erases(ranges, 122, "A"), [(1, 2), (3, 4)])
        self.assertEqual(story.expected_erases(ranges, 377, "B"), [(5, 6)])

    def test_boots_are_split_where_the_platform_starts(self):
        run_ = story.Run(processor=1, serial=b"", timed_out=False, seconds=0,
                         reports=fq.parse_reports("@@FTPM early x=1\n@@FTPM platform-started version=1\n"
                                                  "@@FTPM swap decision=swapped\n@@FTPM platform-started version=1\n"))
        boots = story.split_boots(3, run_)
        self.assertEqual([len(b.reports) for b in boots], [2, 1])
        self.assertEqual(boots[0].run, 3)

    def test_the_image_may_change_only_where_it_was_erased(self):
        before = bytes(64)
        boot = story_boot("platform-started version=1\nsmm-erase offset=0x10 size=0x8 action=erased")
        checks = story.Checks()
        story.check_image(checks, before, before[:16] + b"\xff" * 8 + before[24:], [boot])
        self.assertEqual(checks.failures, [])
        story.check_image(checks, before, before[:16] + b"\xff" * 9 + before[25:], [boot])
        self.assertEqual(len(checks.failures), 1)


if __name__ == "__main__":
    unittest.main()
