#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (tests/fuzz/corpus/<target>/).

The seeds are the end-to-end cases told in each target's input format:
a run from the start screen, the remembered port, an asleep controller and
its password, a wrong password, a silent controller, a spoiled echo, XOFF
pacing and a held line, a dropped line, Esc, a long line. They are small on
purpose: the fuzzer grows its own corpus from them.

    tests/fuzz/seeds.py            # rewrites the seed files
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

PROGRAM = b'10 REM QRV LOGGER\r\n20 PRINT "HI"\r\n30 FOR I=1 TO 10\r\n40 NEXT I\r\n50 GOTO 20\r\n'
PROGRAM2 = b'10 REM QRV2\r\n20 PRINT "TWO"\r\n'
LONG_LINE = b'10 REM ' + b'ABCDEFGHIJ' * 30 + b'\r\n20 END\r\n'
WIDE = b''.join(b'%d PRINT "CHANNEL %d READING ", X(%d)\r\n' % (n * 10, n, n) for n in range(1, 7))

# The whole run's header, byte by byte (see whole_run.cpp).
KEYBOARD_ENDS, MEMORY_FILE, PROGRAM1_FILE, PROGRAM2_FILE = 1, 2, 4, 8
ASLEEP, PASSWORD, PROMPT_LINE, SECURITY, SILENT, CORRUPT_ALWAYS, LATENCY, DROP = 1, 2, 4, 8, 16, 32, 64, 128
NO_TAIL, TAIL_C, TAIL_3, TAIL_TEXT = 0, 1, 2, 3
TERMINAL_80_BY_20, TERMINAL_40_BY_12 = 1 << 2, 2 << 2
PHRASE, LINE_ERROR, STATUS_FAILS, WRITES_FAIL, PORT_TAKEN = 0, 8, 9, 10, 11
XOFF, XON = 8, 9  # phrases


def text(data, width=1):
    return struct.pack('>B' if width == 1 else '>H', len(data)) + data


def keys(*pressed):
    """(seconds after the key before, key text) pairs; one byte a key."""
    out = b''
    for seconds, typed in pressed:
        for i, byte in enumerate(typed):
            out += bytes([round(seconds * 10) if i == 0 else 0, byte])
    return out


def whole_run(files=MEMORY_FILE | PROGRAM1_FILE | PROGRAM2_FILE, far=0, wake=1, tries=2, buffer=0, speed=0, drop=0,
              tail=TAIL_3, command=b'', memory=b'3\r\n', program1=PROGRAM, program2=PROGRAM2, password=b'',
              variant=b'', pressed=(), noise=b''):
    data = bytes([files, far, wake, tries, buffer, speed, drop, tail])
    if tail == TAIL_TEXT:
        data += text(command)
    data += text(memory) + text(program1, 2) + text(program2, 2) + text(password) + text(variant)
    return data + text(keys(*pressed)) + noise


def noise(*entries):
    """(bytes written since the last entry, kind, count or delay step, arg): the
    count is the step plus 1, the delay 0.5 ms doubled each step, 1 s at 11."""
    return b''.join(bytes([skip, kind | step << 4, arg]) for skip, kind, step, arg in entries)


WHOLE_RUN = {
    'start_screen_prompt_upload': whole_run(tail=NO_TAIL, pressed=[(0.5, b'\r')]),
    'remembered_port_c': whole_run(files=KEYBOARD_ENDS | MEMORY_FILE | PROGRAM1_FILE | PROGRAM2_FILE, tail=TAIL_C),
    'port_on_the_command_line': whole_run(files=KEYBOARD_ENDS | MEMORY_FILE | PROGRAM1_FILE | PROGRAM2_FILE),
    'typed_port_remembered': whole_run(tail=NO_TAIL, memory=b'', pressed=[(1, b'3'), (0.2, b'\r')]),
    'esc_at_the_prompt': whole_run(tail=NO_TAIL, pressed=[(1, b'\x1b')]),
    'syntax_error': whole_run(tail=TAIL_TEXT, command=b'012', pressed=[(2, b'\r')]),
    'asleep_controller_woken': whole_run(far=ASLEEP),
    'password_then_security': whole_run(far=ASLEEP | PASSWORD | SECURITY, password=b'K7x!',
                                        pressed=[(0, b'K7x!\r')]),
    'wrong_passwords': whole_run(far=ASLEEP | PASSWORD, tries=1, password=b'right',
                                 pressed=[(0, b'wrong\r'), (0, b'again\r')]),
    'silent_controller': whole_run(far=SILENT, pressed=[(0, b'\r')]),
    'second_variant': whole_run(variant=b' 2', files=KEYBOARD_ENDS | PROGRAM1_FILE | PROGRAM2_FILE),
    'missing_program_file': whole_run(files=MEMORY_FILE, pressed=[(4, b'\r')]),
    'spoiled_echo_then_enter': whole_run(tries=(3 << 2) | 2, pressed=[(25, b'\r')]),
    'xoff_from_a_small_buffer': whole_run(buffer=4, speed=10, program1=WIDE,
                                          files=KEYBOARD_ENDS | PROGRAM1_FILE | PROGRAM2_FILE),
    'xoff_held_then_xon': whole_run(noise=noise((95, PHRASE, 0, XOFF), (0, PHRASE, 11, XON)),
                                    files=KEYBOARD_ENDS | PROGRAM1_FILE | PROGRAM2_FILE),
    'xoff_never_followed_by_xon': whole_run(noise=noise((95, PHRASE, 0, XOFF)), pressed=[(20, b'\r')]),
    'line_error_mid_upload': whole_run(noise=noise((80, LINE_ERROR, 0, 0)),
                                       files=KEYBOARD_ENDS | PROGRAM1_FILE | PROGRAM2_FILE),
    'port_fails_then_recovers': whole_run(noise=noise((80, STATUS_FAILS, 3, 0), (10, WRITES_FAIL, 2, 0)),
                                          files=KEYBOARD_ENDS | PROGRAM1_FILE | PROGRAM2_FILE),
    'write_fails_at_the_break': whole_run(noise=noise((0, WRITES_FAIL, 0, 0)),
                                          files=KEYBOARD_ENDS | PROGRAM1_FILE | PROGRAM2_FILE),
    'port_taken_by_another_program': whole_run(noise=noise((0, PORT_TAKEN, 0, 0), (0, LINE_ERROR, 0, 0)),
                                               files=KEYBOARD_ENDS | PROGRAM1_FILE | PROGRAM2_FILE),
    'line_dropped_mid_upload': whole_run(far=DROP, drop=4, files=KEYBOARD_ENDS | PROGRAM1_FILE | PROGRAM2_FILE),
    'esc_in_the_upload': whole_run(pressed=[(12, b'\x1b')]),
    'long_line': whole_run(program1=LONG_LINE, files=KEYBOARD_ENDS | PROGRAM1_FILE | PROGRAM2_FILE),
    'terminal_of_80_by_20': whole_run(tail=NO_TAIL | TERMINAL_80_BY_20, tries=(2 << 2) | 2,
                                      pressed=[(0.5, b'\r'), (25, b'\r')]),
    'terminal_of_40_by_12': whole_run(tail=TAIL_3 | TERMINAL_40_BY_12, program1=LONG_LINE,
                                      files=KEYBOARD_ENDS | PROGRAM1_FILE | PROGRAM2_FILE),
    'adapter_latency': whole_run(far=LATENCY, files=KEYBOARD_ENDS | PROGRAM1_FILE | PROGRAM2_FILE),
}


def key_bursts(mode, seed, *bursts):
    data = bytes([mode, seed])
    for milliseconds, burst in bursts:
        data += bytes([milliseconds]) + text(burst)
    return data


KEY_DECODER = {
    'arrows_and_function_keys': key_bursts(0, 7, (0, b'\x1b[A\x1b[B\x1bOP\x1b[15~\x1b[1;5C')),
    'sequence_split_across_reads': key_bursts(0, 3, (0, b'\x1b['), (10, b'2'), (10, b'4~'), (5, b'x')),
    'lone_esc_after_its_time': key_bursts(0, 1, (0, b'\x1b'), (60, b'[A'), (50, b'\x1b'), (49, b'O')),
    'utf8_and_alt': key_bursts(0, 9, (0, '\u00e4\u2500\u00e9'.encode()), (0, b'\x1ba\x1b1\x7f')),
    'linux_console_and_reports': key_bursts(0, 5, (0, b'\x1b[[A\x1b[24;80R\x1b[3~')),
    'pipe_line_ends': key_bursts(1, 2, (0, b'12\r\n3\r'), (0, b'\n4\n\r\r')),
}


def line_file(contents, read_sizes=(), fail_at=None, copies=0):
    shape = len(read_sizes) | (8 if fail_at is not None else 0)
    data = bytes([shape]) + bytes(read_sizes)
    if fail_at is not None:
        data += bytes([fail_at])
    return data + bytes([copies]) + contents


LINE_READER = {
    'cr_lf_lines': line_file(PROGRAM),
    'cr_only_and_lone_lf': line_file(b'A\rB\nC\r\r\nD'),
    'ctrl_z_ends_the_file': line_file(b'10 A\r\n20 B\r\n\x1a30 C\r\n'),
    'line_longer_than_the_buffer': line_file(LONG_LINE),
    'cr_lf_split_between_reads': line_file(b'x' * 127 + b'\r\nyz\r\n', read_sizes=(128, 1, 3)),
    'huge_line': line_file(b'NUL\x00 and more ', copies=255),
    'failing_read': line_file(PROGRAM * 3, read_sizes=(128,), fail_at=1),
}

NUMBER_READER = {
    'port': b'\x01fixqrv 12',
    'remembered': b'\x00fixqrv c extra words',
    'syntax_leading_zero': b'\x00fixqrv 012',
    'quoted_program_name': b'\x02"C:\\Program Files\\fixqrv.exe" 7',
    'halves_to_even': b'\x03 2.5\r3.5\r',
    'ampersand_bases': b'\x02&H1F\r&B101\r&O17\r&777',
    'exponent': b'\x031.5E+1',
    'absurd_value': b'\x0099999999999999999999\r4294967299\r',
    'typed_with_backspace': b'\x001\x0822\r',
}

LOCK_TEXT = {
    'ten_digits': b'      4242\n',
    'binary_pid': struct.pack('<i', 4242),
    'garbage': b'not a pid',
    'huge_number': b'99999999999\n',
}


def main():
    for target, seeds in (('whole_run', WHOLE_RUN), ('key_decoder', KEY_DECODER), ('line_reader', LINE_READER),
                          ('number_reader', NUMBER_READER), ('lock_text', LOCK_TEXT)):
        folder = os.path.join(HERE, 'corpus', target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), 'wb') as out:
                out.write(data)


if __name__ == '__main__':
    main()
