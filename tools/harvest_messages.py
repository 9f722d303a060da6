#!/usr/bin/env python3
"""Extract quoted message texts with their ids from markdown documents.

Usage: harvest_messages.py [--inc] [--max-id N] FILE.md [FILE.md ...]

The documents name texts of the message table in many phrasings, for example

    message 628 "Usage tip: ..."            message 204 ("No files found. ...")
    messages 259/392 ("hour"/"hours")       messages 449 to 452 ("KB", "MB", ...)
    (id 269 ("&Starting sector"))           "&Browse..." (message 3)
    | 155, 162 | "Corrupt:", "Failed:" |    (a table with an id and a text column)
    caption 49 " RAID ...", 666 "Volume &type:" to 1439   (a list of ids and texts)

Every candidate is printed as one tab-separated line

    id <TAB> kind <TAB> text <TAB> file:line

where kind tells how it was found: "word" (after "message"/"id"/"caption"),
"list" (a list of ids with a list of texts), "table" (a table row),
"after" (a text followed by its id in parentheses), "bare" (a number in
front of a text on a line that talks about messages; the weakest kind, often
a control or resource number instead of a message id).

Then the conflicts follow: ids that were found with different texts.
With --inc the tool prints instead one DV_MSG(id, u"text") line per id, taking
for each id the text found most often (ties: the stronger kind, then the
first one found), for review by hand.
"""

import argparse
import collections
import re
import sys

ID = r"(\d{1,5})"
KEYWORD = (r"(?:(?<![\w-])(?:[Mm]essages?(?:\s+ids?)?|[Mm]essage\s+id|ids?|[Tt]ext\s+of\s+message|"
           r"caption(?:\s+message)?)\s+)")


def read_quoted(line, start):
    """Reads a quoted text whose opening quote is at line[start].

    Returns (text, end) with end just after the closing quote, or None.
    An escaped quote never opens or closes anything. Inside the text, a quote
    after a blank or "(" and before a character that is not a blank or
    punctuation opens a quotation inside the text ("The device "%s" may ..."),
    which the next quote closes; any other quote closes the text."""
    if start >= len(line) or line[start] != '"':
        return None
    i = start + 1
    n = len(line)
    depth = 0
    while i < n:
        c = line[i]
        if c == "\\" and i + 1 < n:
            i += 2
            continue
        if c == '"':
            prev = line[i - 1]
            nxt = line[i + 1] if i + 1 < n else ""
            opens = i > start + 1 and prev in " (" and nxt != "" and not nxt.isspace() and nxt not in "),;.|/"
            if opens and depth == 0:
                depth = 1
            elif depth > 0:
                depth -= 1
            else:
                return line[start + 1:i], i + 1
        i += 1
    return None


def quote_spans(line):
    """Every quoted text of a line, left to right: (start, end, text)."""
    spans = []
    pos = 0
    while True:
        start = line.find('"', pos)
        if start < 0:
            return spans
        q = read_quoted(line, start)
        if q:
            spans.append((start, q[1], q[0]))
            pos = q[1]
        else:
            pos = start + 1


# Numbers after these words name controls, resources and the like, not messages.
NOT_MESSAGE_WORDS = (r"(?:\b(?:buttons?|static|statics|radio|radios|combo|edit|edits|group|box|tip|controls?|"
                     r"dialog|template|bitmaps?|icons?|menu|images?|code|type|kind|timer|resource|"
                     r"columns?|index|items?|page|pane|version|step|size|label|identity|level|byte|bytes|"
                     r"offset|sector|sectors|flag|value|language|number)|WM_USER\s*\+)")

# Numbers after these words are message ids.
MESSAGE_WORDS = r"(?:messages?|caption|captioned|labelled|list|ids?|texts?)"


def expand_ids(text):
    """ "155, 162 and 200" / "259/392" / "449 to 452" -> [155, 162, 200] ..."""
    ids = []
    for part in re.split(r"\s*(?:,\s*and\s+|,|/|\band\b|\bor\b)\s*", text.strip()):
        if not part:
            continue
        m = re.fullmatch(r"(\d+)\s*(?:to|-|\u2013)\s*(\d+)", part)
        if m:
            a, b = int(m.group(1)), int(m.group(2))
            if b >= a and b - a < 64:
                ids.extend(range(a, b + 1))
                continue
            return None
        if not part.isdigit():
            return None
        ids.append(int(part))
    return ids


class Harvest:
    def __init__(self, max_id):
        self.max_id = max_id
        self.found = []  # (id, kind, text, where)
        self.lists = []  # unmatched lists: (ids, texts, where)

    def add(self, mid, kind, text, where):
        if 0 <= mid <= self.max_id:
            self.found.append((mid, kind, text, where))

    # -- phrasings inside running text ------------------------------------
    def scan_line(self, line, where, in_message_context):
        spans = quote_spans(line)  # (start, end, text), left to right
        by_start = {s: (e, t) for s, e, t in spans}
        taken = set()  # start offsets of quotes already used

        # lists: messages 259/392 ("hour"/"hours"), messages 449 to 452 ("KB", ...)
        id_list = r"(\d{1,5}(?:\s*(?:,\s*and\s+|,|/|\band\b|\bto\b|\u2013)\s*\d{1,5})+)"
        list_patterns = [KEYWORD + id_list + r"\s*,?\s*\(?\s*(?=\")"]
        if in_message_context:  # and 374/375 ("minute"/"minutes") further on
            list_patterns.append(r"(?<![\w.])" + id_list + r"\s*\(\s*(?=\")")
        for m in (m for p in list_patterns for m in re.finditer(p, line)):
            if m.end() not in by_start or m.end() in taken:
                continue
            ids = expand_ids(m.group(1))
            texts = []
            pos = m.end()
            while pos in by_start:
                end, text = by_start[pos]
                texts.append((pos, text))
                sep = re.match(r"\s*(?:,\s*(?:and\s+|or\s+)?|/\s*|\s+and\s+|\s+or\s+)(?=\")", line[end:])
                if not sep:
                    break
                pos = end + sep.end()
            if ids and texts and len(ids) == len(texts):
                for mid, (start, text) in zip(ids, texts):
                    self.add(mid, "list", text, where)
                    taken.add(start)
            elif ids and texts:
                self.lists.append((ids, [t for _, t in texts], where))

        # word: message 628 "..." / message 204 ("...") / id 493 holds "..."
        for m in re.finditer(KEYWORD + ID + r"(?:\s*,)?\s*(?:is\s+|holds\s+|reads\s+)?\(?\s*(?=\")", line):
            qpos = m.end()
            if qpos in taken or qpos not in by_start:
                continue
            self.add(int(m.group(1)), "word", by_start[qpos][1], where)
            taken.add(qpos)

        # after: "&Browse..." (message 3) / "OK" (14)
        for start, end, text in spans:
            t = re.match(r"\s*\(\s*(message\s+|id\s+|message\s+id\s+)?(\d{1,5})\s*[,;)]", line[end:])
            if not t:
                continue
            if t.group(1):
                self.add(int(t.group(2)), "after", text, where)
            elif in_message_context and not re.search(NOT_MESSAGE_WORDS + r"\s*$", line[:start], re.I):
                self.add(int(t.group(2)), "bare", text, where)

        # bare: 286 "by &Name" -> 32806, 287 "by &Type" ... on lines about messages
        if in_message_context:
            prev_end = 0
            for start, end, text in spans:
                gap = line[prev_end:start]
                gap_start = prev_end
                prev_end = end
                if start in taken:
                    continue
                m = re.search(r"(?:^|(?<=[\s(,;:|\u2190]))(\d{1,5})\s*\(?\s*$", gap)
                if not m:
                    continue
                if re.match(r"\s*\(\s*(?:message\s+)?\d+\s*\)", line[end:]):
                    continue  # 1 "OK" (14): the number in front names a control
                if self.names_other_things(line[:gap_start + m.start()], spans):
                    continue
                self.add(int(m.group(1)), "bare", text, where)

    @staticmethod
    def names_other_things(before, spans):
        """True when the nearest word in front of a list of numbers and texts
        ("buttons 5 "&Add", 6 ...", "type code: 1 "NTFS", 2 ...") says that
        the numbers are not message ids."""
        for s, e, _ in reversed(spans):  # blank out the texts
            if e <= len(before):
                before = before[:s] + " " * (e - s) + before[e:]
        before = re.sub(r"\([^()]*\)", " ", before)  # remarks in parentheses
        for word in reversed(re.findall(r"[A-Za-z_]+(?:\s*\+)?", before)):
            if re.fullmatch(MESSAGE_WORDS, word, re.I):
                return False
            if re.fullmatch(NOT_MESSAGE_WORDS, word, re.I):
                return True
        return False

    # -- tables ------------------------------------------------------------
    def scan_table(self, rows, first_line, path, intro=""):
        def cells(row):
            return [c.strip() for c in row.strip().strip("|").split("|")]

        header = [c.lower() for c in cells(rows[0])]
        # columns holding ids: by their heading, or any column when the
        # sentence before the table says that it lists message texts
        id_cols = [i for i, h in enumerate(header) if re.search(r"\bmessages?\b|\bmsg\b", h)]
        cell_cols = list(id_cols)
        if re.search(r"\bmessage (?:texts|ids)\b", intro, re.I):
            cell_cols = [i for i, h in enumerate(header) if not re.search(r"\b(?:resource|control|code)\b", h)]
            id_cols = id_cols or [0]
        # a column of texts that belong to the ids (not, say, a template's text)
        text_cols = [i for i, h in enumerate(header) if h in ("text", "texts", "name", "names")]
        plain = len(header) == 2 and header[0] in ("id", "ids") and header[1] in ("text", "texts")
        if plain:
            id_cols, cell_cols, text_cols = [0], [], [1]
        for k, row in enumerate(rows[2:], start=2):
            where = "%s:%d" % (path, first_line + k)
            c = cells(row)
            # a cell "650" (or "155, 162") with the texts in a text column
            for col in id_cols:
                if col >= len(c) or not re.fullmatch(r"\d[\d\s,/]*(?:(?:and|to)\s+\d+)?", c[col]):
                    continue
                ids = expand_ids(c[col])
                for tcol in text_cols:
                    if tcol < len(c) and tcol != col and c[tcol].startswith('"'):
                        texts = [t for _, _, t in quote_spans(c[tcol])]
                        if ids and len(texts) == len(ids):
                            for mid, text in zip(ids, texts):
                                self.add(mid, "table", text, where)
                        elif ids and texts:
                            self.lists.append((ids, texts, where))
                        break
            # a cell '132 ("&Capacity in sectors :")' or '413 "&MFT ...": ...'
            for col in cell_cols:
                if col >= len(c):
                    continue
                m = re.match(r"(\d{1,5})\s*\(?\s*(?=\")", c[col])
                if m:
                    q = read_quoted(c[col], m.end())
                    if q:
                        self.add(int(m.group(1)), "table", q[0], where)

    def scan_file(self, path):
        with open(path, encoding="utf-8") as f:
            lines = f.read().split("\n")
        i = 0
        while i < len(lines):
            line = lines[i]
            if line.startswith("|") and i + 1 < len(lines) and re.match(r"\|\s*:?-", lines[i + 1]):
                j = i
                while j < len(lines) and lines[j].startswith("|"):
                    j += 1
                k = i - 1
                while k >= 0 and not lines[k].strip():
                    k -= 1
                self.scan_table(lines[i:j], i + 1, path, lines[k] if k >= 0 else "")
                for k in range(i, j):
                    ctx = bool(re.search(r"\bmessages?\b", lines[k], re.I))
                    self.scan_line(lines[k], "%s:%d" % (path, k + 1), ctx)
                i = j
                continue
            ctx = bool(re.search(r"\bmessages?\b|\bmessage ids?\b", line, re.I))
            self.scan_line(line, "%s:%d" % (path, i + 1), ctx)
            i += 1


KIND_RANK = {"table": 0, "word": 1, "list": 2, "after": 3, "bare": 4}


def normalise(text):
    """Quotes inside a text are written with or without a backslash; use one form."""
    return re.sub(r'(?<!\\)"', r'\\"', text)


def to_cxx(text):
    """A u"" literal body: keeps valid escapes, doubles a lone backslash."""
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\":
            nxt = text[i + 1:i + 2]
            if nxt in ("n", "r", "t", "\\", '"', "'", "0"):
                out.append(text[i:i + 2])
                i += 2
                continue
            if nxt == "u" and re.match(r"[0-9A-Fa-f]{4}", text[i + 2:i + 6]):
                out.append(text[i:i + 6])
                i += 6
                continue
            out.append("\\\\")
        elif c == '"':
            out.append('\\"')
        elif ord(c) > 126:
            out.append("\\u%04X" % ord(c) if ord(c) < 0x10000 else "\\U%08X" % ord(c))
        else:
            out.append(c)
        i += 1
    return "".join(out)


def main():
    ap = argparse.ArgumentParser(description="Extract quoted message texts with their ids from documents.")
    ap.add_argument("files", nargs="+")
    ap.add_argument("--inc", action="store_true", help="print DV_MSG lines, one per id")
    ap.add_argument("--max-id", type=int, default=674, help="largest message id (default 674)")
    args = ap.parse_args()

    h = Harvest(args.max_id)
    for path in args.files:
        h.scan_file(path)

    by_id = collections.defaultdict(list)
    for mid, kind, text, where in h.found:
        by_id[mid].append((normalise(text), kind, where))

    if args.inc:
        for mid in sorted(by_id):
            counts = collections.Counter(t for t, _, _ in by_id[mid])
            best = min(by_id[mid], key=lambda e: (-counts[e[0]], KIND_RANK[e[1]]))
            print('DV_MSG(%d, u"%s")' % (mid, to_cxx(best[0])))
        return 0

    for mid, kind, text, where in sorted(h.found, key=lambda e: e[0]):
        print("%d\t%s\t%s\t%s" % (mid, kind, text, where))
    print()
    print("# conflicts (id, then every text with where it was found)")
    for mid in sorted(by_id):
        texts = collections.OrderedDict()
        for t, kind, where in by_id[mid]:
            texts.setdefault(t, []).append("%s(%s)" % (where, kind))
        if len(texts) > 1:
            print("%d" % mid)
            for t, wh in texts.items():
                print("\t%s\t%s" % (t, " ".join(wh)))
    if h.lists:
        print()
        print("# lists whose ids and texts do not pair up")
        for ids, texts, where in h.lists:
            print("%s\t%s\t%s" % (",".join(map(str, ids)), " | ".join(texts), where))
    print("# %d ids found" % len(by_id), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
