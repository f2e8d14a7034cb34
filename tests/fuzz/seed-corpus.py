#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora (corpus/<target>/) from the exact-byte vectors
of the protocol tests. Run it again after changing a vector; the files are kept in
the repository so that the fuzzers start from real messages."""

import pathlib
import struct

here = pathlib.Path(__file__).resolve().parent


def hexbytes(text):
    return bytes.fromhex(text.replace(" ", ""))


def framed(message_id, body_hex):
    body = hexbytes(body_hex)
    return struct.pack("<HI", message_id, len(body)) + body


# Responses and notifications as the device sends them (tests/protocol).
responses = {
    "who_am_i": framed(1, "2A000000 0100 0200 0300 0400 05000000 4E75626F31 03000000 616263"),
    "success": framed(2, "2A000000"),
    "failure": framed(3, "2A000000 0C000000 4E6F2073756368206669 6C65"),
    "entry_info": framed(5, "2A000000 01 06000000 C3A92E747874 02 0010000000000000 01 00 000000000000 "
                            "E707030F0D2D E8070B1F1700"),
    "open": framed(11, "2A000000 0300000000000000 A086010000000000"),
    "read": framed(13, "2A000000 0000000000000080 03000000 414243"),
    "folder_contents": framed(18, "2A000000 02000000 01000000 61 02000000 E962 01000000 03000000 757372"),
    "properties": framed(20, "2A000000 0300 0100 05000000 0200 FFFFFFFF 0100 06000000 0100 0280 02000000 6869"),
    "process_launch": framed(24, "2A000000 0900000000000000"),
    "property_int": framed(27, "2A000000 FF7F FEFFFFFF"),
    "property_string": framed(27, "2A000000 0080 02000000 6F6B"),
    "process_terminated": framed(0x8000, "0500000000000080 FDFFFFFF"),
    "not_handled": framed(0x8001, ""),
    "event": framed(0x8002, "07000000 FFFFFFFFFFFFFF7F"),
    "rejected_8003": framed(0x8003, "2A000000"),
    "property_changed_string": framed(0x8006, "02 0100 0200 0080 03000000 616263"),
    "property_changed_int": framed(0x8006, "01 0900 0500 2A000000"),
}

# Requests as the client writes them (tests/protocol/TidewireClientRequestTest.cpp), serial 42.
requests = {
    "who_am_i": framed(0, "2A000000"),
    "entry_info": framed(4, "2A000000 01 04000000 2F6D6E74"),
    "create": framed(7, "2A000000 01 04000000 2F612F62 01"),
    "move": framed(8, "2A000000 01 02000000 2F61 03000000 2F6263 00 01"),
    "delete": framed(9, "2A000000 01 02000000 2F78 01 00"),
    "open_read": framed(10, "2A000000 02000000 2F66 01 01"),
    "open_write": framed(10, "2A000000 02000000 2F66 02 00"),
    "read": framed(12, "2A000000 0010000000000000 64000000"),
    "write": framed(14, "2A000000 0010000000000000 06000000 5A5A5A5A 0000"),
    "seek": framed(15, "2A000000 0500000000000000 FEFFFFFFFFFFFFFF 00"),
    "close": framed(16, "2A000000 FFFFFFFFFFFFFFFF"),
    "folder_contents": framed(17, "2A000000 0F000000 2F6D6E742F6E616E6466732F757372"),
    "properties": framed(19, "2A000000 02 0100 0302"),
    "property": framed(26, "2A000000 01 0700 0180"),
    # A file written and read back in one session.
    "write_then_read": framed(10, "01000000 18000000 2F6D6E742F6E616E6466732F7573722F612E747874 02 00")
    + framed(14, "02000000 0010000000000000 03000000 616263")
    + framed(16, "03000000 0010000000000000")
    + framed(10, "04000000 18000000 2F6D6E742F6E616E6466732F7573722F612E747874 01 01")
    + framed(12, "05000000 0110000000000000 64000000"),
}

# Streams for the assembler (tests/protocol/MessageAssemblerTest.cpp): whole messages,
# a bad ID, an oversized body, a header cut short.
first = hexbytes("0200 04000000 2A000000")
second = hexbytes("0280 0C000000 07000000 0900000000000000")
third = hexbytes("0380 06000000 2B000000 BEEF")
streams = {
    "three": first + second + third,
    "bad_id_then_message": hexbytes("0780 00000000") + first,
    "oversized_then_message": hexbytes("0D00 FA1F0000") + second,
    "largest_body": framed(13, "2A000000 " + "00" * 8 + "E91F0000") + b"\x41" * 8169,
    "cut_header": first + hexbytes("0280 0C"),
}

settings = {
    "usual": b'<?xml version="1.0" encoding="UTF-8"?>\n\n<PROPERTIES>\n'
             b'  <VALUE name="LastPort" val="Nubo Device (ttyACM0)"/>\n'
             b'  <VALUE name="UpdateFileLocalPath" val="/home/tech/update.bin"/>\n'
             b'  <VALUE name="RemoteFolder" val="/mnt/nandfs/usr"/>\n'
             b'  <VALUE name="LocalFolder" val="/home/tech"/>\n</PROPERTIES>\n',
    "escapes": b'<?xml version="1.0" encoding="UTF-8"?>\n<PROPERTIES>'
               b'<VALUE name="LocalFolder" val="/a &amp; b/&#233;&#x1F600;&lt;&quot;"/>'
               b'<VALUE name="Nested"><X a="1"/></VALUE><!-- note --></PROPERTIES>\n',
    "empty": b"",
    # Inputs the fuzzer found (tests/app/SettingsTest.cpp has them too): JUCE's XML reader
    # read past the end of the first and looped for ever on the second.
    "found_not_utf8": b"<?xml" + b"\xff" * 94 + b'oding="UTF-8' + b"\xff" * 29 + b"odin" + b"\xff" * 7 + b" ?>",
    "found_instruction_then_text": b"<PROPERTIES><?x?>a</PROPERTIES>",
}

# Names as a device may list them (the simulator's --unsafe-names and ordinary ones).
names = {
    "plain": b"report.txt",
    "accented": "caf\u00e9.txt".encode(),
    "latin1": b"caf\xe9.txt",
    "dot_dot": b"..",
    "climb": b"../x",
    "nested": b"a/b",
    "absolute": b"/abs",
    "home": b"~",
    "home_path": b"~root",
    "backslash": b"a\\b",
    "control": b"a\x1b[2Jb",
    "long": b"n" * 256,
    "empty": b"",
}


def write(target, cases):
    folder = here / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in cases.items():
        (folder / name).write_bytes(data)


write("fuzz_message_assembler", streams)
write("fuzz_response_parsers", responses)
write("fuzz_devsim_requests", requests)
write("fuzz_settings_file", settings)
write("fuzz_local_paths", names)
