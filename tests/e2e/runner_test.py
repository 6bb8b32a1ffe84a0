#!/usr/bin/env python3
"""The QEMU machine module without QEMU: decoding OVMF's serial output, the
report parser, the screen rebuild, key encoding, images, the command line of
each machine, a session against a recorded transcript and the power switch
against a stand-in QEMU (fake_qemu.py) with its QMP socket, the variable
store reader, and the checks of scenarios and stories with their failure
messages."""

import json
import os
import shutil
import stat
import struct
import sys
import tempfile
import time
import unittest
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "qemu"))

import ftpm_qemu as fq  # noqa: E402
import run  # noqa: E402
import story  # noqa: E402
import uefivars  # noqa: E402


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
               b"noise @@FTPM driver-entry status=EFI_SUCCESS\r\n" + b"@@FTPM smm-erase n=1 addr")
        reports = fq.parse_reports(fq.strip_escapes(fq.decode_serial(raw)))
        # The last line never ended (the power went): it is no report.
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
        self.assertEqual([b.kind for b in fq.find_boxes(text)], ["prompt", "prompt", "message"])
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
    def test_processor_signatures_and_qemu_cpu_options(self):
        for signature, cpu in ((0x00A70F42, {"family": 0x19, "model": 0x74, "stepping": 2}),
                               (0x00810F82, {"family": 0x17, "model": 0x18, "stepping": 2}),
                               (0x00060663, {"family": 6, "model": 0x66, "stepping": 3})):
            self.assertEqual(fq.cpu_from_signature(signature), cpu)
            self.assertEqual(fq.signature_from_cpu(cpu), signature)
        with self.assertRaises(fq.HarnessError):
            fq.signature_from_cpu({"family": 25, "model": 116})

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
        for bad in ([{"key": "Q", "after": "later"}], ["NOPE"], [{"key": "y", "when": 1}], [3]):
            with self.assertRaises(fq.HarnessError, msg=bad):
                fq.parse_key_steps(bad)


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
            data = fq.read_file(path)
            self.assertEqual(data[0x10:0x12], b"\x00\x01")
            self.assertEqual(data[32:36], b"\x00\x00\x00\xff")
            with self.assertRaises(fq.HarnessError):
                fq.prepare_image(work, "16m", {"patches": [{"offset": 14 * fq.MIB - 1, "hex": "0000"}]}, work, None)
            with self.assertRaises(fq.HarnessError):
                fq.prepare_image(work, "16m", {"layout": "x.json"}, work, None)  # no tool for mkimage
        before = bytes(10000)
        after = bytearray(before)
        after[5:8] = b"\xff\xff\xff"
        after[9000] = 1
        self.assertEqual(fq.changed_ranges(before, bytes(after)), [(5, 3), (9000, 1)])
        self.assertEqual(fq.changed_ranges(before, before), [])


def options(command: list[str], name: str) -> list[str]:
    """The values given to one option of a command line, in order."""
    return [command[i + 1] for i, word in enumerate(command) if word == name]


class MachineCommand(unittest.TestCase):
    """The one command line, for each window and firmware."""

    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.work, True)
        self.code = os.path.join(self.work, "code.fd")  # stands for a firmware image; Debian's is never copied
        open(self.code, "wb").close()

    def test_the_harness_machines(self):
        narrow = fq.Machine(self.work, "16m", code=self.code, flash="/img", disk="/disk", reboot=False)
        command = narrow.command("/q/qmp")
        self.assertEqual(command[:6], ["qemu-system-x86_64", "-S", "-net", "none", "-qmp",
                                       "unix:/q/qmp,server=on,wait=off"])
        self.assertIn("-no-reboot", command)
        self.assertEqual(options(command, "-machine"), ["q35,max-fw-size=16M"])
        self.assertEqual(options(command, "-cpu"), ["qemu64"])
        # Firmware first (the top of the window), then the image, writable, so an erase shows in the file.
        self.assertEqual(options(command, "-drive"), [f"if=pflash,format=raw,readonly=on,file={self.code}",
                                                       "if=pflash,format=raw,file=/img",
                                                       "file=fat:rw:/disk,format=raw"])
        self.assertNotIn("-fw_cfg", command)
        self.assertNotIn("-add-fd", command)
        wide = fq.Machine(self.work, "64m", code=self.code, flash="/img", recovery_flag=True).command("/q/qmp")
        self.assertEqual(options(wide, "-cpu"),
                         ["qemu64,vendor=GenuineIntel,family=25,model=33,stepping=2,phys-bits=41,+pdpe1gb"])
        self.assertEqual(options(wide, "-m"), ["256M,slots=1,maxmem=1010G"])
        self.assertEqual(options(wide, "-object"), ["memory-backend-file,id=spi,size=64M,mem-path=/img,share=on",
                                                    "memory-backend-ram,id=rflag,size=4K,share=on"])
        self.assertEqual(options(wide, "-device"), ["pc-dimm,memdev=spi,addr=0xFD00000000", "ivshmem-plain,memdev=rflag"])
        self.assertNotIn("-no-reboot", wide)

    def test_the_rebuilt_firmware_machines(self):
        one = fq.Machine(self.work, "16m", code=self.code, store=True, flash="/img", config={"swap.request": 377},
                         processor=0x00810F82, debugcon=True)
        command = one.command("/q/qmp", debugcon_fd=7)
        self.assertEqual(options(command, "-cpu"), ["qemu64,vendor=GenuineIntel,family=23,model=24,stepping=2"])
        # OVMF.fd holds the variables: writable, as the image below it.
        self.assertEqual(options(command, "-drive")[:2], [f"if=pflash,format=raw,file={self.code}",
                                                           "if=pflash,format=raw,file=/img"])
        self.assertEqual(options(command, "-fw_cfg"), [f"name=opt/ftpm/platform.cfg,file={one.config_file}"])
        with open(one.config_file) as handle:
            self.assertIn("swap.request=377\n", handle.read())
        self.assertEqual(options(command, "-add-fd"), ["fd=7,set=1"])
        self.assertEqual(options(command, "-chardev"), ["file,id=debugcon,path=/dev/fdset/1,append=on"])
        self.assertEqual(options(command, "-device"), ["isa-debugcon,chardev=debugcon,iobase=0x402"])
        self.assertEqual(one.store_file, self.code)
        with self.assertRaises(fq.HarnessError):
            one.command("/q/qmp")  # a debug console needs its descriptor
        if not os.path.isfile(fq.FIRMWARE["OVMF_CODE_4M.fd"][1]):
            self.skipTest("no OVMF_VARS_4M.fd")
        four = fq.Machine(self.work, "64m", "OVMF_CODE_4M.fd", code=self.code, store=True, flash="/img",
                          display=True, processor=0x00A70F42)
        drives = options(four.command("/q/qmp"), "-drive")
        self.assertEqual(drives, [f"if=pflash,format=raw,readonly=on,file={self.code}",
                                  f"if=pflash,format=raw,file={four.vars}"])
        self.assertEqual(four.store_file, four.vars)
        self.assertNotEqual(four.vars, fq.FIRMWARE["OVMF_CODE_4M.fd"][1])  # a copy, never Debian's own
        display = four.command("/q/qmp")
        self.assertNotIn("-nographic", display)
        self.assertEqual(options(display, "-vga") + options(display, "-serial"), ["std", "stdio"])

    def test_impossible_machines(self):
        for window, firmware in (("32m", "OVMF.fd"), ("16m", "OVMF_CODE_4M.fd"), ("64m", "OVMF_CODE.fd")):
            with self.assertRaises(fq.HarnessError, msg=(window, firmware)):
                fq.Machine(self.work, window, firmware, code=self.code)

    def test_harness_disks(self):
        uefi = os.path.join(self.work, "uefi")
        os.makedirs(os.path.join(uefi, "qemu", "harness"))
        for name in (fq.HARNESS_RELATIVE, fq.DRIVER_RELATIVE):
            with open(os.path.join(uefi, name), "wb") as out:
                out.write(b"MZ")
        # A firmware-volume scenario is packaged by the tool, never copied
        # from an older build; without the tool it is a set-up error.
        with self.assertRaises(fq.HarnessError):
            fq.harness_disk(self.work, uefi, {"driver.fv": "FtpmRecoveryDxe.fv"})
        tool = os.path.join(self.work, "fake-tool")
        with open(tool, "w") as out:
            out.write('#!/bin/sh\n[ "$1" = package ] && printf FV > "$6"\n')
        os.chmod(tool, 0o755)
        disk = fq.harness_disk(self.work, uefi, {"driver.fv": "FtpmRecoveryDxe.fv"}, tool=tool)
        self.assertEqual(sorted(os.listdir(disk)), ["EFI", "FtpmRecoveryDxe.fv", "harness.cfg"])
        disk = fq.harness_disk(self.work, uefi, {"setting.122": 1}, tool=tool)
        self.assertEqual(sorted(os.listdir(disk)), ["EFI", "FtpmRecoveryDxe.efi", "harness.cfg"])

    def test_config_file(self):
        text = fq.config_text({"setting.122": True, "probe": ["1:2", "3:4"], "console.mode": "100x31"})
        self.assertIn("setting.122=1\n", text)
        self.assertIn("probe=1:2\nprobe=3:4\n", text)
        for bad in ({"driver.file": "a\nsetting.122=1"}, {"a=b": 1}, {"x": 1.5}):
            with self.assertRaises(fq.HarnessError, msg=bad):
                fq.config_text(bad)


class FakeQemu(unittest.TestCase):
    """Sessions against fake_qemu.py, put first on PATH as qemu-system-x86_64."""

    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.work, True)
        bin_dir = os.path.join(self.work, "bin")
        os.makedirs(bin_dir)
        wrapper = os.path.join(bin_dir, "qemu-system-x86_64")
        with open(wrapper, "w") as out:
            out.write(f'#!/bin/sh\nexec "{sys.executable}" "{os.path.join(HERE, "fake_qemu.py")}" "$@"\n')
        os.chmod(wrapper, os.stat(wrapper).st_mode | stat.S_IEXEC)
        self.saved = dict(os.environ)
        os.environ["PATH"] = bin_dir + os.pathsep + os.environ["PATH"]
        os.environ["FAKE_QEMU_LOG"] = self.log_path = os.path.join(self.work, "fake.log")
        os.environ["FAKE_QEMU_SCRIPT"] = self.script_path = os.path.join(self.work, "script.json")
        code = os.path.join(self.work, "code.fd")
        open(code, "wb").close()
        self.machine = fq.Machine(os.path.join(self.work, "m"), code=code)
        self.settle = fq.ESCAPE_SETTLE_SECONDS

    def tearDown(self):
        os.environ.clear()
        os.environ.update(self.saved)
        fq.ESCAPE_SETTLE_SECONDS = self.settle

    def play(self, script: list, **power_on) -> fq.Run:
        with open(self.script_path, "w") as out:
            json.dump(script, out)
        return self.machine.power_on(**power_on)

    def seen(self) -> list[dict]:
        with open(self.log_path) as handle:
            return [json.loads(line) for line in handle]

    def test_a_recorded_transcript_gets_each_key_once_its_prompt_is_drawn(self):
        with open(os.path.join(HERE, "transcripts", "recovery-16m-plain-x-esc-y.json")) as handle:
            transcript = json.load(handle)
        scenario = run.load_scenario(os.path.join(HERE, "transcripts", transcript["scenario"]))
        chunks = transcript["serial"]
        script = [{"serial": chunks[0]}]
        for key, chunk in zip(["x", "\x1b", "Y"], chunks[1:]):
            script += [{"key": key}, {"serial": chunk}]
        fq.ESCAPE_SETTLE_SECONDS = 0.05
        result = self.play(script + [{"event": "SHUTDOWN"}, {"sleep": 0.2}], keys=scenario["keys"], time_limit=20)
        prompt_ends = [sum(len(c) for c in chunks[:n]) for n in (1, 2, 3)]
        keys = [(s["key"], s["serial"]) for s in self.seen() if "key" in s]
        self.assertEqual(keys, list(zip(["x", "\x1b", "Y"], prompt_ends)))
        self.assertEqual(result.keys_sent, ["x", "ESC", "Y"])
        self.assertEqual(result.serial, "".join(chunks).encode("latin-1"))
        self.assertEqual([e["event"] for e in result.events], ["SHUTDOWN"])
        self.assertEqual([s.get("qmp") for s in self.seen() if "qmp" in s], ["qmp_capabilities", "cont"])
        # The scenario's own expectations hold on the replay, flash image aside.
        expect = {k: v for k, v in scenario["expect"].items() if k not in ("image", "image_changes", "erases_in_image")}
        self.assertEqual(run.check_expectations(expect, result, None, None).failures, [])
        for name in ("command.txt", "serial.raw", "reports.txt", "screens.txt", "events.txt"):
            self.assertTrue(os.path.isfile(os.path.join(self.machine.work, "run1." + name)), name)

    DEBUGCON = "@@FTPM platform-started version=1\n@@FTPM smm-erase n=1 action=erased\n@@FTPM swap-served\n"

    def test_a_cut_at_debug_console_text_stops_the_guest_at_its_next_byte(self):
        self.machine.debugcon = True
        result = self.play([{"debugcon": self.DEBUGCON}, {"event": "SHUTDOWN"}],
                           cut=fq.Cut(text="@@FTPM smm-erase n=1 "), time_limit=20)
        self.assertEqual(result.ended, "cut")
        written = max(s["debugcon"] for s in self.seen() if "debugcon" in s)
        at = self.DEBUGCON.index("@@FTPM smm-erase n=1 ") + len("@@FTPM smm-erase n=1 ")
        # The pipe holds one write and the next one waits: at most one byte
        # past the text got out (the kill may also come before its count).
        self.assertIn(written, (at - 1, at, at + 1))
        self.assertEqual([r.event for r in result.reports], ["platform-started"])  # the cut line is no report
        self.assertNotIn("stop", [s.get("qmp") for s in self.seen()])  # a held guest cannot answer QMP
        self.assertEqual(result.events, [])

    def test_a_cut_at_a_report_line_comes_once_its_fields_are_in(self):
        self.machine.debugcon = True
        line = self.DEBUGCON.index("@@FTPM smm-erase")
        for pattern, at in (({"event": "smm-erase", "n": 1}, line + len("@@FTPM smm-erase n=1 ")),
                            # The line's last field is whole only at the line's end.
                            ({"event": "smm-erase", "action": "erased"}, self.DEBUGCON.index("@@FTPM swap-served")),
                            ({"event": "smm-erase", "n": 1, "status": None}, self.DEBUGCON.index("@@FTPM swap-served"))):
            with self.subTest(pattern=pattern):
                open(self.log_path, "w").close()
                result = self.play([{"debugcon": self.DEBUGCON}, {"sleep": 30}], cut=fq.Cut(report=pattern),
                                   time_limit=20)
                self.assertEqual(result.ended, "cut")
                written = max(s["debugcon"] for s in self.seen() if "debugcon" in s)
                self.assertIn(written, (at - 1, at, at + 1))
                self.assertEqual(len(result.reports), 1 if at == line + len("@@FTPM smm-erase n=1 ") else 2)

    def test_a_cut_at_serial_text_stops_the_machine_through_qmp(self):
        started = time.monotonic()
        result = self.play([{"serial": "booting\r\nErasing fTPM NVRAM...."}, {"sleep": 30},
                            {"serial": "@@FTPM reset-system type=cold\r\n"}],
                           cut=fq.Cut(text="Erasing fTPM", stream="serial"), time_limit=20)
        self.assertLess(time.monotonic() - started, 15)
        self.assertEqual(result.ended, "cut")
        self.assertEqual([s.get("qmp") for s in self.seen() if "qmp" in s], ["qmp_capabilities", "cont", "stop"])
        self.assertNotIn("reset-system", result.text)

    def test_a_qemu_that_does_not_start_is_a_set_up_error_with_its_words(self):
        with open(os.path.join(self.work, "bin", "qemu-system-x86_64"), "w") as out:
            out.write("#!/bin/sh\necho 'qemu-system-x86_64: -drive file=fat:rw:/x: Could not read directory' >&2\n"
                      "exit 1\n")
        with self.assertRaisesRegex(fq.HarnessError, "no QMP socket.*Could not read directory"):
            self.machine.power_on()

    def test_the_time_limit_ends_a_machine_that_does_not(self):
        result = self.play([{"serial": "@@FTPM harness-started version=1\r\n"}, {"sleep": 30}], keys=["y"],
                           time_limit=1.0)
        self.assertEqual(result.ended, "timeout")
        self.assertEqual(result.keys_sent, [])
        self.assertLess(result.seconds, 10)
        # The machine's files persist; the next power-on is numbered on.
        self.assertEqual(self.play([{"event": "RESET"}, {"event": "SHUTDOWN"}]).events[0]["event"], "RESET")
        self.assertTrue(os.path.isfile(os.path.join(self.machine.work, "run2.command.txt")))


NV_STORE = uefivars.NV_DATA_FV_GUID
VENDOR = "1DB6924C-5439-4A13-A4EB-EEC4434E5DA4"


def variable(name: str, state: int, data: bytes, guid: str = VENDOR) -> bytes:
    encoded = (name + "\0").encode("utf-16-le")
    header = struct.pack("<HBBIQ16sIII16s", 0x55AA, state, 0, 3, 0, bytes(16), 0, len(encoded), len(data),
                         uuid.UUID(guid).bytes_le)
    body = header + encoded + data
    return body + b"\xff" * (-len(body) % 4)


def store(*variables: bytes, tail: bytes = b"", size: int = 0x1000, form: int = 0x5A,
          format_guid: uuid.UUID = uefivars.AUTHENTICATED_STORE_GUID) -> bytes:
    """A firmware volume holding a variable store, as OVMF lays one out."""
    content = struct.pack("<16sIBBHI", format_guid.bytes_le, size, form, 0xFE, 0, 0) + b"".join(variables) + tail
    content += b"\xff" * (size - len(content))
    length = 0x48 + size
    header = struct.pack("<16s16sQ4sIHHHBB", bytes(16), NV_STORE.bytes_le, length, b"_FVH", 0, 0x48, 0, 0, 0, 2)
    return header + struct.pack("<IIII", 1, length, 0, 0) + content


class VariableStore(unittest.TestCase):
    def value(self, image: bytes, name: str = "LastProcessorSignature") -> bytes | None:
        found = uefivars.lookup(uefivars.read_variables(image), name, VENDOR)
        return found.data if found else None

    def test_names_data_and_alignment(self):
        image = store(variable("A", 0x3F, b"\x01\x02\x03"), variable("LastProcessorSignature", 0x3F, b"\x42\x0f\xa7\x00"),
                      variable("LastProcessorSignature", 0x3F, b"other", guid=str(uuid.uuid4())))
        variables = uefivars.read_variables(image)
        self.assertEqual([(v.name, v.data) for v in variables][:2], [("A", b"\x01\x02\x03"),
                                                                     ("LastProcessorSignature", b"\x42\x0f\xa7\x00")])
        self.assertEqual(variables[1].offset % 4, 0)
        self.assertEqual(self.value(image), b"\x42\x0f\xa7\x00")
        self.assertIsNone(self.value(image, "Missing"))

    def test_an_update_cut_short_leaves_the_old_value(self):
        old, new = b"\x12\x0f\xa2\x00", b"\x42\x0f\xa7\x00"
        name = "LastProcessorSignature"
        cases = {
            "completed": ([(0x3C, old), (0x3F, new)], new),
            "old copy not yet deleted": ([(0x3E, old), (0x3F, new)], new),
            "new copy half written": ([(0x3E, old), (0x7F, new)], old),
            "old copy in transition, nothing new": ([(0x3E, old)], old),
            "deleted": ([(0x3D, old)], None),
        }
        for what, (copies, want) in cases.items():
            with self.subTest(what):
                self.assertEqual(self.value(store(*(variable(name, s, d) for s, d in copies))), want)

    def test_garbage_after_the_last_variable_ends_the_list(self):
        good = variable("LastProcessorSignature", 0x3F, b"\x42\x0f\xa7\x00")
        runs_past = struct.pack("<HBBIQ16sIII16s", 0x55AA, 0x3F, 0, 3, 0, bytes(16), 0, 0x100000, 4, bytes(16))
        for tail in (b"\x00" * 64, bytes(range(256)), runs_past, b"\xaa\x55\x3f"):
            with self.subTest(tail=tail[:8]):
                variables = uefivars.read_variables(store(good, tail=tail))
                self.assertEqual([v.name for v in variables], ["LastProcessorSignature"])

    def test_what_is_no_store(self):
        image = store(variable("A", 0x3F, b""))
        for bad in (b"", image[:0x50], image.replace(b"_FVH", b"_FVX"), store(form=0xFF),
                    store(format_guid=uuid.UUID("DDCF3616-3275-4164-98B6-FE85707FFE7D")),
                    image[:0x48] + image[0x48:0x48 + 20] + struct.pack("<I", 0x10000) + image[0x48 + 20:]):
            with self.assertRaises(uefivars.StoreError, msg=bad[:8]):
                uefivars.read_variables(bad)

    def test_debian_stores_are_read(self):
        for path in (fq.FIRMWARE["OVMF.fd"][0], fq.FIRMWARE["OVMF_CODE_4M.fd"][1]):
            if os.path.isfile(path):
                self.assertEqual(uefivars.read_variables(fq.read_file(path)), [], path)  # freshly formatted


def result_from(raw: bytes, ended_by=None) -> fq.Run:
    return fq.Run(serial=raw, ended_by=ended_by)


RUN = (report("harness-started version=1") + report("driver-entry status=EFI_SUCCESS") +
       report("handler-call n=1") + box_bytes(5, 11, "Press Y") + report("smm-erase n=1 form=ok address=0x1000") +
       report("smm-erase n=2 form=ok address=0x2000") + report("reset-system type=cold status=EFI_SUCCESS"))


class Expectations(unittest.TestCase):
    def test_how_a_run_ended(self):
        self.assertEqual(result_from(RUN).ended, "cold-reset")
        self.assertEqual(result_from(RUN, ended_by="timeout").ended, "timeout")
        self.assertEqual(result_from(report("harness-started version=1")).ended, "exit-without-reset")
        self.assertEqual(result_from(report("reset-system type=shutdown")).ended, "shutdown")
        debugcon = fq.Run(serial=RUN, debugcon=b"@@FTPM platform-started version=1\n@@FTPM reset-system type=shutdown\n")
        self.assertEqual([r.event for r in debugcon.reports], ["platform-started", "reset-system"])
        self.assertEqual(debugcon.ended, "shutdown")

    def test_values(self):
        self.assertTrue(fq.value_matches(4096, "0x1000"))
        self.assertTrue(fq.value_matches(1, "1"))
        self.assertFalse(fq.value_matches(1, "one"))
        self.assertTrue(fq.value_matches(True, "1"))
        self.assertTrue(fq.value_matches({"re": "0xf[0-9a-f]+"}, "0xf512018"))
        self.assertTrue(fq.value_matches({"not": "EFI_SUCCESS"}, "EFI_NOT_FOUND"))
        self.assertTrue(fq.value_matches(None, None))
        self.assertFalse(fq.value_matches("x", None))
        self.assertFalse(fq.value_matches(None, "x"))

    def test_all_expectations_hold_on_a_matching_run(self):
        checks = run.check_expectations({
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
        self.assertEqual(checks.failures, [])

    def test_failures_say_what_differs(self):
        checks = run.check_expectations({
            "reports": [{"event": "smm-erase", "address": "0x2000"}, {"event": "smm-erase", "address": "0x1000"},
                        {"event": "driver-loaded"}],
            "counts": {"smm-erase": 1},
            "prompts": 2,
            "boxes": [{"n": 1, "at": [{"row": 11, "col": 6, "text": "\u250c"}]}, {"n": 2}],
        }, result_from(RUN), None, None)
        joined = "\n".join(checks.failures)
        self.assertIn("ended: expected 'shutdown', got 'cold-reset'", joined)
        self.assertIn("matches, but out of order", joined)  # address 0x1000 came before 0x2000
        self.assertIn("address: want \"0x1000\", got 0x2000", joined)
        self.assertIn("no 'driver-loaded' line at all", joined)
        self.assertIn("expected 1 'smm-erase' line(s), got 2", joined)
        self.assertIn("expected 2 prompt(s) drawn, got 1", joined)
        self.assertIn("box 1 at row 11 column 6: expected '\u250c', got '\u2500'", joined)
        self.assertIn("expected box 2 (any kind), only 1 drawn", joined)
        self.assertEqual(len(checks.failures), 7)

    def test_image_checks(self):
        before = bytes(64)
        after = bytearray(before)
        after[16:32] = b"\xff" * 16
        checks = run.check_expectations({
            "ended": "cold-reset",
            "image": [{"offset": 16, "length": 16, "all": "0xff"}, {"offset": 0, "length": 16, "unchanged": True},
                      {"offset": 32, "length": 2, "hex": "0000"}],
            "image_changes": [{"offset": "0x10", "length": "0x10"}],
        }, result_from(RUN), before, bytes(after))
        self.assertEqual(checks.failures, [])
        checks = run.check_expectations({
            "ended": "cold-reset",
            "image": [{"offset": 8, "length": 16, "all": "0xff"}, {"offset": 60, "length": 8, "all": 0}],
            "image_changes": [],
        }, result_from(RUN), before, bytes(after))
        self.assertEqual(len(checks.failures), 3)
        self.assertIn("offset 0x8 holds 0x00", checks.failures[0])
        self.assertIn("runs past the image", checks.failures[1])
        self.assertIn("got:      0x10+0x10", checks.failures[2])

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
                    if "cpu" in scenario:
                        fq.signature_from_cpu(scenario["cpu"])
                    for pattern in scenario.get("expect", {}).get("reports", []):
                        self.assertIn("event", pattern)
                    layout = scenario.get("image", {}).get("layout")
                    if layout:
                        self.assertTrue(os.path.isfile(os.path.join(HERE, layout)), layout)


def story_boot(lines: str, run_number: int = 1) -> story.Boot:
    text = "".join(f"@@FTPM {line}\n" for line in lines.strip().splitlines())
    return story.split_boots(run_number, 0x00A70F42, fq.Run(serial=b"", debugcon=text.encode()))[0]


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
smm-erase n=2 address=0x1150000 size=0x8000 offset=0x1150000 action=erased verified=1
swap-served side=a ranges=2 signature=0xa70f42 record-status=EFI_SUCCESS
reset-system type=cold
"""
ERASES = [(0x1140000, 0x4000), (0x1150000, 0x8000)]
RANGES = {"A/ftpm-nvram": (0x1140000, 0x4000), "A/mvq-nvram": (0x1150000, 0x8000)}


class StoryChecks(unittest.TestCase):
    def check(self, text: str, want: dict, erases=ERASES, restarted=True) -> list[str]:
        checks = fq.Checks()
        story.check_boot(checks, 2, story_boot(text), want, erases, restarted, RANGES)
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
            "offset=0x1150000 action=erased verified=1": ("offset=0x1150000 action=failed", "an erase:"),
            "swap-served": ("swap-record-failed", "was not served"),
            "reset-system type=cold": ("reset-system type=shutdown", "no cold reset"),
        }
        for old, (new, message) in departures.items():
            failures = self.check(SWAPPED_Y.replace(old, new), {"swap": "swapped", "answer": "y"})
            self.assertTrue(any(message in f for f in failures), (old, failures))
        failures = self.check(SWAPPED_Y, {"swap": "swapped", "answer": "y"}, restarted=False)
        self.assertTrue(any("restarting" in f for f in failures), failures)
        self.assertTrue(self.check(SWAPPED_Y, {"swap": "same-processor"}))

    def test_an_erase_the_flash_fails_must_fail_and_leave_the_request(self):
        failed = (SWAPPED_Y.replace("offset=0x1150000 action=erased verified=1",
                                    "offset=0x1150000 action=failed status=EFI_DEVICE_ERROR")
                  .replace("swap-served side=a ranges=2 signature=0xa70f42 record-status=EFI_SUCCESS\n", ""))
        want = {"swap": "swapped", "answer": "y", "erase_fails": ["A/mvq-nvram"]}
        self.assertEqual(self.check(failed, want), [])
        # Served although the erase failed, or the erase landing after all: both fail.
        self.assertTrue(self.check(failed + "swap-served side=a ranges=2\n", want))
        self.assertTrue(self.check(SWAPPED_Y, want))

    def test_a_boot_the_power_cut_off_is_checked_up_to_the_prompt(self):
        cut = SWAPPED_Y[:SWAPPED_Y.index("smm-erase")]
        self.assertEqual(self.check(cut, {"swap": "swapped", "answer": "y", "cut": True}), [])
        self.assertTrue(self.check(cut, {"swap": "swapped", "answer": "y"}))
        self.assertTrue(self.check(cut.replace("decision=swapped", "decision=same-processor"),
                                   {"swap": "swapped", "answer": "y", "cut": True}))

    def test_the_erases_the_case_calls_for_come_from_the_chosen_side(self):
        chosen = story.Story.__new__(story.Story)
        chosen.nvram = {"A": {"ftpm-nvram": (1, 2), "mvq-nvram": (3, 4)}, "B": {"ftpm-nvram": (5, 6), "mvq-nvram": (7, 8)}}
        chosen.side, chosen.request = "A", 122
        self.assertEqual(chosen.erases(), [(1, 2), (3, 4)])
        chosen.side, chosen.request = "B", 377
        self.assertEqual(chosen.erases(), [(5, 6)])

    def test_boots_are_split_where_the_platform_starts(self):
        run_ = fq.Run(serial=b"", debugcon=b"@@FTPM early x=1\n@@FTPM platform-started version=1\n"
                                           b"@@FTPM swap decision=swapped\n@@FTPM platform-started version=1\n")
        boots = story.split_boots(3, 0x00A70F42, run_)
        self.assertEqual([len(b.reports) for b in boots], [2, 1])
        self.assertEqual(boots[0].run, 3)

    def test_the_image_may_change_only_where_it_was_erased(self):
        before = bytes(64)
        checks = fq.Checks()
        checks.flash(before, before[:16] + b"\xff" * 8 + before[24:], erased=[(16, 8)], changes=[(16, 8)])
        self.assertEqual(checks.failures, [])
        checks.flash(before, before[:16] + b"\xff" * 9 + before[25:], erased=[(16, 8)])
        checks.flash(before, before[:16] + b"\xfe" * 8 + before[24:], erased=[(16, 8)])
        self.assertEqual(len(checks.failures), 2)
        self.assertIn("outside the erased ranges: 0x10+0x9", checks.failures[0])
        self.assertIn("0x10+0x8 was erased, but offset 0x10 does not read 0xff", checks.failures[1])

    def test_every_story_is_well_formed(self):
        name, guid = story.platform_variable()
        self.assertTrue(name and uuid.UUID(guid))
        directory = os.path.join(HERE, "stories")
        for file_name in sorted(os.listdir(directory)):
            with self.subTest(story=file_name):
                spec = story.load_story(os.path.join(directory, file_name))
                window = fq.WINDOWS[spec["window"]]["image_size"]
                for side, entries in spec["nvram"].items():
                    for entry, text in entries.items():
                        address, size = story.parse_range(text, entry)
                        offset = fq.flash_offset(address)
                        self.assertTrue(offset is not None and offset + size <= window, (side, entry))
                names = set(spec["processors"])
                self.assertLessEqual({r["processor"] for r in spec["runs"]} | {spec["recorded"]}, names)
                self.assertEqual(sum(1 for r in spec["runs"] if "cut" in r), sum(1 for b in spec["boots"] if b.get("cut")))
                for r in spec["runs"]:
                    fq.parse_key_steps(r.get("keys", []))
                    if "cut" in r:
                        fq.Cut(**r["cut"])


if __name__ == "__main__":
    unittest.main()
