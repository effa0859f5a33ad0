#!/usr/bin/env python3
"""Writes the seed corpus of the frame fuzz target (fuzz/corpus/frame/): whole manager
frames of every command code, and damaged ones (truncated, bad CRC, bad start bytes,
missing trailer, impossible length fields, foreign station ID, several frames in one
read). Each seed starts with the target's two control bytes: the receive size (times
8 bytes) and the station settings (bit 0: shared memory open). Run from anywhere:
python3 fuzz/make_frame_corpus.py"""
import os
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "frame")
STATION = b"ABCDE"


def crc(data: bytes) -> int:
    # The station's CRC-32 is the standard one without the final inversion.
    return zlib.crc32(data[: len(data) & 0xFFFF]) ^ 0xFFFFFFFF


def frame(code: int, data: bytes = b"", packet: int = 0, station: bytes = STATION) -> bytes:
    total = 36 + len(data)
    head = b"%07d10%02d%07d%04d" % (total, code, len(data), packet)
    body = head + station[:5].ljust(5, b"\0") + b"0" + data
    return b"\xaa\xaa" + body + crc(body).to_bytes(4, "little") + b"\x55\x55"


def seeds():
    yield "status_59", frame(59)
    yield "time_query_57", frame(57)
    yield "time_set_57", frame(57, b"20261206235959")
    yield "traffic_56", frame(56)
    yield "local_status_55", frame(55, b"1")
    for code, name in ((52, "road"), (53, "car"), (54, "tracking")):
        yield f"trigger_{name}_{code}", frame(code, b"1")
        yield f"reply_{name}_{code}", frame(code, b"\x01", packet=1)
        yield f"resend_{name}_{code}", frame(code, b"\x03", packet=2)
    yield "vol_ok_51", frame(51, b"\x01", packet=0)
    yield "vol_refuse_51", frame(51, b"\x04", packet=1)
    yield "supervisor_58", frame(58, b"1")
    yield "speed_60", frame(60, b"080100080100")
    for code in (61, 62, 63, 64, 65, 66, 67, 69):
        yield f"device_{code}", frame(code, b"12")
    yield "run_log_68", frame(68, b"L")
    yield "log_reply_68", frame(68, b"\x01", packet=1)
    yield "send_on_71", frame(71, b"1")
    yield "send_off_71", frame(71, b"0")
    yield "send_target_72", frame(72, b"1")
    yield "virtual_signal_73", frame(73, b"1")
    yield "signal_delay_74", frame(74, b"05")
    yield "n_pass_75", frame(75, b"3")
    yield "bright_76", frame(76, b"50")
    yield "unused_70", frame(70)
    yield "unused_77", frame(77)
    yield "hangup_78", frame(78)
    yield "update_79", frame(79)
    yield "lower_case_id", frame(59, station=b"abcde")
    yield "foreign_id", frame(59, station=b"ZZZZZ")
    good = frame(57, b"20261206235959")
    yield "truncated", good[:-5]
    yield "header_only_29", good[:29]
    bad = bytearray(good)
    bad[-4] ^= 0xFF
    yield "bad_crc", bytes(bad)
    yield "bad_start", b"\xab" + good[1:]
    yield "no_trailer", good[:-2] + b"UX"
    yield "length_below_36", b"\xaa\xaa0000035" + good[9:]
    yield "length_not_number", b"\xaa\xaaABCDEFG" + good[9:]
    yield "length_over_3030", b"\xaa\xaa0003031" + good[9:]
    yield "two_frames", frame(59) + frame(56)
    yield "frame_and_half", frame(59) + frame(57)[:20]
    yield "long_data_3000", frame(58, b"7" * 2994)


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(b"\x80\x01" + data)  # 1024-byte receives, shared memory open
    # The same stream in receives of one and of 24 bytes.
    stream = frame(57, b"20261206235959") + frame(59) + frame(71, b"1")
    for prefix, name in ((b"\x00\x01", "stream_bytewise"), (b"\x03\x00", "stream_24")):
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(prefix + stream)


if __name__ == "__main__":
    main()
