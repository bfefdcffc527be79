#!/usr/bin/env python3
"""Writes the seed corpora into corpus/<target>/: the examples and the edge cases, in each
target's input format (see the comment at the top of each *_fuzz.cpp)."""
import os
import shutil
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
OUT = os.path.join(HERE, "corpus")


def write(target, name, data):
    d = os.path.join(OUT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data.encode("latin-1") if isinstance(data, str) else data)


def u16(n):
    return struct.pack("<H", n)


def u32(n):
    return struct.pack("<I", n)


def frame(code, addr=0, width=0, length=0, value=0, tail=0):
    return struct.pack(">BBIBIIB", code, code, addr, width, length, value, tail)


def script():
    for t in ["egret", "heron", "kestrel", "merlin", "hobby"]:
        shutil.copy(os.path.join(ROOT, "examples", t + ".inc"),
                    os.path.join(OUT, "script", t + ".inc"))
    w = lambda n, s: write("script", n, s)
    w("empty", "")
    w("comments_only", "// one\n\n   \t\n//two\n")
    w("no_final_lf", "setmem /32 0x63fd9000 = 0x84190000")
    w("crlf", "setmem /32 0x1 = 0x2\r\nsetmem /32 0x3 = 0x4\r\n")
    w("lone_cr", "setmem /32 0x1 = 0x2\rx\n\r")
    w("capital_keyword", "SETMEM /32 0x1 = 0x2\nSetmem /32 0x1 = 0x2\n")
    w("four_words", "setmem /32 0x1 =\n")
    w("two_words", "setmem /32\n")
    w("bad_numbers", "setmem /32 0x = 0x123456789\nsetmem a 12 b 0x1G\n")
    w("mixed_case_hex", "setmem /32 0XaBc = 0x00000000\n")
    w("comment_cuts_value", "setmem /32 0x10 = 0x10//x\nsetmem /32 0x10 = //0x10\n")
    w("tabs", "\t setmem\t/32\t0x1\t=\t0x2\t\n")
    w("line_255", "setmem /32 0x1 = 0x2 " + "x" * 233 + "\n")
    w("line_256", "setmem /32 0x1 = 0x2 " + "x" * 234 + "\n")
    w("word_63_64", "setmem " + "a" * 63 + " 0x1 = 0x2\nsetmem " + "a" * 64 + " 0x1 = 0x2\n")
    w("words_16_17", " ".join(["setmem", "x", "0x1", "=", "0x2"] + ["w"] * 11) + "\n" +
      " ".join(["setmem", "x", "0x1", "=", "0x2"] + ["w"] * 12) + "\n")
    w("three_entries", "setmem /32 0x1 = 0x1\n" * 3)
    w("zero_byte", "setmem /32 0x1\0 = 0x2\n")
    w("high_bytes", "setmem /32 0x1 = 0x2 \xff\xfe\x80\n")


def cli():
    w = lambda n, words: write("cli", n, "\0".join(words))
    w("egret_com", ["larkspur", "-t", "egret", "-df", "egret.inc", "-com", "4"])
    w("heron_usb", ["/usr/bin/larkspur", "-t", "heron", "-df", "h.inc", "-usb"])
    w("falcon", ["C:\\tools\\larkspur.exe", "-t", "falcon", "-df", "k.inc"])
    w("help", ["larkspur", "-h"])
    w("version", ["larkspur", "-v"])
    w("no_args", ["larkspur"])
    w("empty_word", [""])
    w("missing_values", ["larkspur", "-t"])
    w("missing_df", ["larkspur", "-df"])
    w("missing_com", ["larkspur", "-t", "egret", "-df", "x", "-com"])
    w("bad_target", ["larkspur", "-t", "eagle", "-df", "x", "-com", "1"])
    w("bad_file", ["larkspur", "-t", "egret", "-df", "./x", "-com", "1"])
    w("bad_com", ["larkspur", "-t", "egret", "-df", "x", "-com", "4a"])
    w("long_com", ["larkspur", "-t", "egret", "-df", "x", "-com", "9" * 253])
    w("com_and_usb", ["larkspur", "-t", "egret", "-df", "x", "-com", "1", "-usb"])
    w("usb_takes_its_word", ["larkspur", "-usb", "-t", "heron", "-df", "x"])
    w("log", ["larkspur", "-log", "l.txt", "-t", "egret", "-df", "x", "-usb"])
    w("log_bad", ["larkspur", "-log", "-", "-log"])
    w("unknown", ["larkspur", "--help"])
    w("long_name", ["/" + "n" * 400, "-h"])


def hexnum():
    for i, s in enumerate(["0x0", "0XaBc", "0xFFFFFFFF", "0x00000000", "0x123456789",
                           "0x000000001", "0x", "0", "", "12", "0x1G", "0x 1", "-0x1",
                           "0x1h", "0X", "x0"]):
        write("hexnum", "word%02d" % i, s)


def usbbus():
    def attach(num, vid=0x2F5A, pid=0x0110, eps=((0x01, 2, 512), (0x82, 2, 512))):
        m = b"A" + u32(num) + u16(vid) + u16(pid) + bytes([0, 0, len(eps)])
        for a, t, mp in eps:
            m += bytes([a, t]) + u16(mp)
        return m

    def msg(m):
        return b"\0" + u16(len(m)) + m

    pull = lambda accept=1: b"\x01" + bytes([accept])
    info = lambda k=0: b"\x02" + bytes([k])
    xin = lambda k=0, ep=0x82, n=4: b"\x03" + bytes([k, ep]) + u16(n)
    w = lambda n, d: write("usbbus", n, d)
    w("attach_read", msg(attach(1)) + pull() + info() +
      msg(b"I" + u32(1) + b"\x82" + b"\x56\x78\x78\x56") + xin())
    w("attach_detach", msg(attach(1)) + pull() + msg(b"D" + u32(1)) + pull() + info())
    w("declined", msg(attach(7)) + pull(0) + pull(1) + info())
    w("reattach", msg(attach(2)) + msg(attach(2, pid=0x0111)) + pull(3) + info(1))
    w("in_chunks", msg(attach(3)) + pull() + msg(b"I" + u32(3) + b"\x82" + b"abc") +
      msg(b"I" + u32(3) + b"\x82" + b"defgh") + xin(n=2) + xin(n=10))
    w("in_wrong_ep", msg(attach(4)) + pull() + msg(b"I" + u32(4) + b"\x01" + b"x") +
      msg(b"I" + u32(4) + b"\x83" + b"x") + xin(ep=0x01) + xin(ep=0x83))
    w("many_endpoints", msg(attach(5, eps=[(0x80 | i, 2, 64) for i in range(40)])) +
      pull() + info())
    w("short_messages", msg(b"A") + msg(b"A" + u32(1)) + msg(b"D") + msg(b"I" + u32(1)) +
      msg(b"R" + u32(1)) + msg(b"") + msg(b"Z"))
    w("bad_count", msg(attach(6)[:-1]) + msg(attach(6) + b"x") + pull())
    w("late_reply", msg(attach(8)) + pull() + msg(b"R" + u32(99) + u32(0) + u32(4)))


def hidmsg():
    def hello(in_len=65, out_len=65, vid=0x2F5A, pid=0x0101):
        h = b"H" + u16(vid) + u16(pid) + u16(in_len) + u16(out_len)
        return bytes([len(h)]) + h

    def msg(m):
        return b"\0" + u16(len(m)) + m

    rd = lambda extra=0: b"\x01" + bytes([extra])
    wr = lambda payload=b"": b"\x02" + payload
    cancel = b"\x03"
    res = lambda k=0: b"\x04" + bytes([k])
    w = lambda n, d: write("hidmsg", n, d)
    report = b"I" + b"\x02" + b"PASS\0" + b"\0" * 59
    w("read_report", hello() + rd() + msg(report) + res())
    w("buffered_report", hello() + msg(report) + msg(report) + rd() + rd(1) + res() + res(1))
    w("write_ack", hello() + wr(b"\x01" + b"\x03" * 16 + b"\0" * 48) + msg(b"A") + res())
    w("ack_without_write", hello() + msg(b"A") + msg(b"A") + rd() + cancel + res())
    w("cancel_write", hello() + wr(b"\x02" * 65) + cancel + res() + msg(b"A") + wr(b"x" * 65))
    w("wrong_lengths", hello() + rd() + msg(b"I" + b"x" * 10) + msg(b"I" + b"x" * 70) +
      msg(b"A\0") + msg(b"") + msg(b"Q") + res())
    w("tiny_reports", hello(1, 1) + rd() + msg(b"I\x02") + wr(b"\x01") + msg(b"A") + res())
    w("zero_lengths", hello(0, 0) + rd() + wr() + msg(b"I") + res())
    w("bad_hello", b"\x08" + b"H" + b"\0" * 7)
    w("wrong_type_hello", b"\x09" + b"X" + b"\0" * 8)
    w("big_reports", hello(1024, 1024) + rd() + msg(b"I" + b"y" * 1024) + res())


def boardrom():
    w = lambda n, d: write("boardrom", n, d)
    stream = lambda b: b"\0" + u16(len(b)) + b
    gate = frame(3)
    # egret: the boot ROM's run with the board's own image (step 1), started, keys.
    img = lambda off=0, flip=0: b"\x01" + u16(off) + bytes([flip])
    w("egret_run", b"\x00\x00" + stream(gate) + stream(frame(4, 0xF8006000, 0, 1680, 0, 0xAA)) +
      img() + stream(frame(5)) + b"\x02" + b"\x03r" + b"\x03q")
    w("heron_run", b"\x01\x40" + stream(gate) + stream(frame(4, 0x1FFE6000, 0, 1680, 0, 0xAA)) +
      img(40, 0xFF) + stream(frame(5)) + b"\x02\x03a")
    w("egret_split_frame", b"\x00\x00" + stream(gate[:5]) + stream(gate[5:]))
    w("egret_bad_frames", b"\x00\x00" + stream(b"\x03\x04" + b"\0" * 14) +
      stream(frame(4, 0x12345678, 0, 10)) + stream(frame(4, 0xF8006000, 0, 0xFFFFFFFF)) +
      stream(frame(1, 0xF8006000, 0x20, 0x10000)) + stream(frame(0x0B)) + stream(frame(5)))
    w("egret_unplug", b"\x00\x10" + stream(frame(4, 0xF8006000, 0, 1680)) + img())
    rep = lambda payload, rid=1: b"\0" + u16(1 + len(payload)) + bytes([rid]) + payload
    fr = lambda *a, **k: rep(frame(*a, **k) + b"\0" * 48)
    # falcon: register writes, download, jump
    w("kestrel_run", b"\x02\x00" + fr(5) + fr(2, 0x021B0000, 0x20, 0, 0x1234) +
      fr(4, 0x00907000, 0, 1680) + img() + fr(0x0B, 0x00907000) + b"\x02\x03r")
    w("merlin_faults", b"\x03\x0f" + fr(5) + fr(2, 0x021B0000, 0x20, 0, 1) +
      fr(2, 0x021B0004, 0x20, 0, 2) + fr(1, 0x00907000, 0x20, 16) + rep(b"x" * 64, 2) +
      rep(b"", 7))
    w("hobby_stream", b"\x04\x60" + fr(4, 0x00907000, 0, 1680) + img() +
      fr(0x0B, 0x00907000) + b"\x02" + b"\x03a" * 4)


def main():
    if os.path.isdir(OUT):
        shutil.rmtree(OUT)
    os.makedirs(os.path.join(OUT, "script"))
    script()
    cli()
    hexnum()
    usbbus()
    hidmsg()
    boardrom()


if __name__ == "__main__":
    sys.exit(main())
