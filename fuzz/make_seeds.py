#!/usr/bin/env python3
"""Writes the small seed corpora under fuzz/corpus/TARGET/ (run once; the
files are committed). Inputs of the structured targets are laid out the way
FuzzedDataProvider reads them: numbers from the end, byte runs from the front."""
import os
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

FORM = (
    '"V 08 150 200/"\n'
    '"G 03 02 02 05/"\n'
    '"+ 2.>/"\n'
    '"* 01 0.50 02/"\n'
    '"H 4660/"\n'
    '"C 12/"\n'
    '"X A Z/"\n'
    '"T A 030 01/"\n'
    '"L 030 20 10/"\n'
    '"M 001 02 05/"\n'
    '"D 01 ABCD/"\n'
    '"D 02 0123456789/"\n'
    '"F   5   3U S  1   4R 0/"\n'
    '"F  10   3U M  1   2R 1/"\n'
    '"F  15   3U B  2   1R 0/"\n'
    '"T B 025 02/"\n'
    '"L 025 20 10/"\n'
    '"E A/"\n'
)
SMALL_FORM = '"T A 030 01/"\n"L 030 20 10/"\n"D 01 ABCD/"\n"F   5   3U S  1   4R 0/"\n'


def crc16(data, crc=0):
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def grid(lines, columns, marks):
    """Cells in sending order; marks maps (line, column) to a value, line 1 last."""
    cells = [0] * (lines * columns)
    for (line, column), v in marks.items():
        cells[(lines - line) * columns + column - 1] = v
    return cells


def encode(lines, columns, cells):
    raw = bytes(cells[i] | (cells[i + 1] << 4) for i in range(0, len(cells), 2))
    out = bytearray()
    i = 0
    while i < len(raw):
        if raw[i] == 0:
            n = 0
            while i + n < len(raw) and raw[i + n] == 0 and n < 51:
                n += 1
            out.append(0xCC + n)
            i += n
        else:
            out.append(raw[i])
            i += 1
    header = bytes([0xFB, 0x26, lines, columns // 2, len(out) & 0xFF, len(out) >> 8, 0, 0, 0, 0])
    crc = crc16(out)
    return header + bytes(out) + bytes([crc & 0xFF, crc >> 8])


def sample_sheet(answer=2):
    marks = {(30, 1): 12}
    for c in range(2, 6):
        marks[(1, c)] = 12
    for g in range(4):  # four single-choice questions at lines 5..8, options upward from column 3
        marks[(5 + g, 3 + (answer + g) % 4)] = 11
    marks[(10, 3)] = 10
    marks[(10, 4)] = 9
    return 30, 20, grid(30, 20, marks)


class Provider:
    """Builds an input for FuzzedDataProvider: front bytes and end numbers."""

    def __init__(self):
        self.front = bytearray()
        self.back = []  # in consumption order

    def number(self, value, size):
        for i in reversed(range(size)):
            self.back.append((value >> (8 * i)) & 0xFF)

    def byte(self, value):
        self.number(value, 1)

    def reply(self, data, flags=0):
        self.number(len(data), 2)
        self.byte(flags)
        self.front += data

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def write(target, name, data):
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data if isinstance(data, bytes) else data.encode('latin-1'))


def offline_seeds():
    """Form text, NUL, grid file text (the offline target)."""
    examples = os.path.join(HERE, '..', 'examples')
    with open(os.path.join(examples, 'exam60.form'), 'rb') as f:
        exam = f.read()
    with open(os.path.join(examples, 'exam60.grid'), 'rb') as f:
        exam_grid = f.read()
    with open(os.path.join(examples, 'survey.form'), 'rb') as f:
        survey = f.read()
    lines, columns, cells = sample_sheet()
    rows = ['%X' * columns % tuple(cells[r * columns:(r + 1) * columns]) for r in range(lines)]
    small_grid = 'omr-grid 1\n# comment\n%d %d\n%s\n' % (lines, columns, '\n'.join(rows))
    write('offline', 'exam', exam + b'\0' + exam_grid)
    write('offline', 'survey_no_grid', survey)
    write('offline', 'small', SMALL_FORM.encode() + b'\0' + small_grid.encode())
    write('offline', 'rejected_lines', FORM.encode() + b'"F  12   2  S  1   2R 0/"\n"T   003 47/"\n\0' +
          small_grid.encode())
    write('offline', 'bad_grid', SMALL_FORM.encode() + b'\0omr-grid 1\n3 4\n0000\n00G0\n0000\n')


def main():
    offline_seeds()
    lines, columns, cells = sample_sheet()
    frame = encode(lines, columns, cells)

    write('form_line', 'sample', FORM)
    write('form_line', 'small', SMALL_FORM)
    write('form_line', 'bad_lines', '"M 01 02 03/"\n"G 00 02 02 05/"\n"D 01 AB/"\n"D 01 CD/"\n"F   0   0X S  1   4R 0/"\n')
    write('form_line', 'unquoted', 'T A 030 01/\nL 030 20 10/\nD 01 ABCD/\n')

    for mode in (0, 1, 3, 4):
        write('form_file', 'sample_%d' % mode, bytes([mode]) + FORM.encode())
    write('form_file', 'crlf', b'\x03' + SMALL_FORM.replace('\n', '\r\n').encode())
    write('form_file', 'long_line', b'\x01' + ('"D 02 ' + 'x' * 300 + '/"\n' + SMALL_FORM).encode())

    write('sheet', 'valid', FORM.encode() + b'\0\x01' + frame[0:])
    write('sheet', 'valid_small', SMALL_FORM.encode() + b'\0\x01' + encode(*sample_sheet(1)))
    write('sheet', 'direct', FORM.encode() + b'\0\x04' + bytes([lines, columns // 2]) + bytes(cells))
    write('sheet', 'bad_crc', SMALL_FORM.encode() + b'\0\x00' + frame)

    # The operations of the reply target, in its switch order.
    p = Provider()
    p.byte(16)                       # channel count
    p.byte(0)                        # Read
    p.reply(b'\xFB\x24\x00\x00')
    p.reply(frame)
    p.byte(2); p.byte(2)             # GetResult, mode 1 (range -1..4)
    p.byte(8); p.byte(24)            # SysCmd 23 (range -1..31)
    p.byte(1); p.number(0, 7)        # arg present, arg bytes
    p.byte(0)
    p.reply(b'\xFB\x54\x03\x01')
    p.byte(10)                       # ReadTotal
    p.reply(b'\xFB\x4A\x01\x02\x03\x04')
    p.byte(11)                       # Clear
    p.reply(b'\xFB\x23')
    p.reply(b'\xFB\x06')
    write('replies', 'read_and_result', p.bytes())

    p = Provider()
    p.byte(16)
    p.byte(17)                       # ComputeSheetWait
    p.reply(b'\xFB\x54\x03\x00')
    p.reply(b'\xFB\x46\x00\x00\x07\x00')
    p.byte(9); p.byte(1)             # GetSerial into a buffer
    p.reply(b'\xFB\x48' + bytes(range(0x41, 0x51)) + b'\x00\x00')
    p.byte(8); p.byte(30)            # SysCmd 29, read user text
    p.byte(1); p.number(0, 7)
    p.reply(b'\xFB\x63\x05\x00hello\x00\x00')
    p.byte(5)                        # PassSheet
    p.reply(b'\xFB\x03')
    write('replies', 'maintenance', p.bytes())

    p = Provider()
    p.byte(0)                        # decoder off: scripted captures
    p.byte(16)                       # channel count
    p.byte(0); p.byte(3)             # code 10, channel 3
    p.reply(b'\xFB\x4E\x10\x00')
    stream = bytes([0xFB, 0x32, 0, 0]) + bytes(46) + bytes([0xF1, 10, 20, 0xF2, 30, 40, 0xF3, 50, 60])
    p.reply(stream)
    p.byte(2); p.byte(1)             # code 11, array 1
    p.byte(3); p.byte(0)             # code 24
    p.reply(b'\xFB\x4E\x10\x00')
    row = bytes([0, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 0])
    p.reply(bytes([0xFB, 0x29, 2, 12, 0, 0]) + row + row)
    p.byte(1); p.byte(0)             # code 30
    p.reply(bytes([0xFB, 0x35, 0, 0]) + bytes(range(0, 250)))
    write('captures', 'pairs_and_runs', p.bytes())
    area = bytes([0xFB, 0x35, 0, 0]) + bytes(46) + bytes((i * 37) & 0xFF for i in range(400))
    p = Provider()
    p.byte(1)
    p.number(len(area), 4)
    p.front += area
    write('captures', 'decoder', p.bytes())

    p = Provider()
    p.reply(b'\xFB\x06')             # download: settings answer
    p.reply(b'\xFB\x21\x01\x00')
    p.reply(b'\xFB\x24\x00\x00')
    p.reply(frame)
    p.reply(b'\xFB\x48' + b'AB123456' + bytes(10))
    legacy = ('T A 030 01/\nL 030 20 10/\nD 01 ABCD/\nF   5   3U S  1   4R 0/\n'
              '/\n002  \nG\nV\n-/\nB/\nS form.txt/\n')
    write('legacy', 'read_and_fetch', legacy.encode() + b'\0' + p.bytes())
    write('legacy', 'commands', b'R/\n001   \n-/\nB/\nS form.txt \n\nG\n')

    write('scramble', 'serial', b'AB123456')
    write('scramble', 'block', (b'Stored text' + b' ' * 117))
    write('scramble', 'two', b'\x00\xFF')
    write('scramble', 'one', b'\x10')
    write('scramble', 'user_text', b'hello, reader')

    # exam: exam file, roster, responses, corrections, stored grid; NUL between.
    examples = os.path.join(HERE, '..', 'examples')
    with open(os.path.join(examples, 'exam60.exam.json'), 'rb') as f:
        exam = f.read()
    with open(os.path.join(examples, 'exam60.students.csv'), 'rb') as f:
        roster = f.read()
    marks = b'A' + bytes([1, 2, 4, 8, 1, 2, 4, 8, 1, 2]) + bytes((1 << (i % 5)) | (i & 0xC0) for i in range(60))
    cells = bytes((i * 7) % 16 for i in range(12))
    packed = bytes((cells[i] << 4) | cells[i + 1] for i in range(0, 12, 2))
    grid = bytes([3, 4]) + zlib.compress(packed)
    write('exam', 'sample', exam + b'\0' + roster + b'\0' + marks + b'\0' + b'11=A\nid=20250031\n12\nsheet=keep'
          + b'\0' + grid)
    small = (b'{"form": "f", "student": {"questions": "1-4"}, "items": "5-12",'
             b' "keys": {"1": "ABCDABCD"}, "scoring": {"wrong": -1, "floor": 0}}')
    write('exam', 'small', small + b'\0id,name\n1234,"A, B"\n\0' + marks[:13] + b'\0\0' + grid)
    write('exam', 'broken', b'{"items": "70-11", "keys": {"1": 5}, /* open' + b'\0"unclosed\0\0\0\x03\x04xx')


if __name__ == '__main__':
    sys.exit(main())
