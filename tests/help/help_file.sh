#!/bin/bash
# The built help file, read back with chmls (the reader beside chmcmd in fp-utils): every source page
# and Context.txt are in it, every link of its pages, contents and index reaches a file inside it, and
# Context.txt has a popup text for every control the dialogs hand to F1 and nothing for controls that
# no longer exist.
set -euo pipefail
: "${QUILL_SOURCE_DIR:?}" "${QUILL_BUILD_DIR:?}"
chm="$QUILL_BUILD_DIR/Help/Quillarent.chm"
[ -s "$chm" ] || { echo "FAIL: $chm was not built (target help_file)" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

read_chm() { chmls "$@" >>"$work/chmls.log" 2>&1 || { cat "$work/chmls.log" >&2; echo "FAIL: chmls $1" >&2; exit 1; }; }
chmls -n list "$chm" >"$work/list.txt" 2>>"$work/chmls.log" || { cat "$work/chmls.log" >&2; exit 1; }
read_chm extractall "$chm" "$work/chm"
python3 - "$QUILL_SOURCE_DIR" "$work/list.txt" "$work/chm" <<'PY'
import html.parser, os, re, sys, urllib.parse

source, listing, extracted = sys.argv[1], sys.argv[2], sys.argv[3]
help_dir = os.path.join(source, "resources", "help")
failures = []

# Every source file but the project is stored, under its own name at the root.
stored = {line.strip().lstrip("/") for line in open(listing, encoding="utf-8", errors="replace")}
for name in sorted(os.listdir(help_dir)):
    if name != "Quillarent.hhp" and name not in stored:
        failures.append(f"{name} is not in the help file")

# Relative links and sources of the pages, and the Local values of the contents and the index.
class Links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.targets = []
    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        for key in ("href", "src"):
            if attrs.get(key):
                self.targets.append(attrs[key])
        if tag == "param" and (attrs.get("name") or "").lower() == "local":
            self.targets.append(attrs.get("value") or "")

checked = 0
for name in sorted(os.listdir(extracted)):
    if not name.endswith((".html", ".hhc", ".hhk")):
        continue
    encoding = "utf-8" if name.endswith(".html") else "cp1251"
    parser = Links()
    parser.feed(open(os.path.join(extracted, name), encoding=encoding).read())
    if name.endswith(".html") and not parser.targets:
        failures.append(f"{name}: no links at all (not even its style sheet)")
    for target in parser.targets:
        if re.match(r"^[a-z][a-z0-9+.-]*:", target, re.I):
            continue  # an address outside the file
        path = urllib.parse.unquote(target.split("#", 1)[0])
        checked += 1
        if path and not os.path.isfile(os.path.join(extracted, path)):
            failures.append(f"{name}: link {target!r} reaches no file in the help file")

# The popups as stored (code page 1251) are the source texts, one non-empty text per id.
popups = {}
text = open(os.path.join(extracted, "Context.txt"), encoding="cp1251").read()
if text != open(os.path.join(help_dir, "Context.txt"), encoding="utf-8").read():
    failures.append("the stored Context.txt is not the source converted to code page 1251")
for block in re.split(r"^\.topic\s+", text, flags=re.M)[1:]:
    number, _, body = block.partition("\n")
    if not body.strip():
        failures.append(f"Context.txt: topic {number} has no text")
    popups[int(number)] = body.strip()

# Controls of the library's dialog templates: F1 on them asks for their popup, except ids 2001..2009,
# which show the introduction; -1 marks a label that cannot take the focus. The toolbar of the
# packer window is made at run time with id 1039.
symbols = {"IDOK": 1, "IDCANCEL": 2, "IDYES": 6, "IDNO": 7}
controls = {1039: "packer window toolbar"}
# Statements without a text give the id first; the others give it after their text (a quoted
# string, or a picture's resource id).
untitled = {"LISTBOX", "COMBOBOX", "EDITTEXT", "SCROLLBAR"}
titled = {"CONTROL", "LTEXT", "RTEXT", "CTEXT", "GROUPBOX", "PUSHBUTTON", "DEFPUSHBUTTON", "AUTOCHECKBOX",
          "CHECKBOX", "AUTORADIOBUTTON", "RADIOBUTTON", "ICON"}
argument = re.compile(r'\s*("(?:[^"]|"")*"|[^,]*)\s*(?:,|$)')
for rc in sorted(os.listdir(os.path.join(source, "resources"))):
    if not rc.endswith(".rc") or rc == "quendrix.rc":
        continue
    dialog = None
    for line in open(os.path.join(source, "resources", rc), encoding="utf-8"):
        head = re.match(r"^(\d+)\s+DIALOGEX\b", line)
        if head:
            dialog = head.group(1)
        elif re.match(r"^END\b", line):
            dialog = None
        elif dialog:
            keyword, _, rest = line.strip().partition(" ")
            if keyword not in untitled | titled:
                continue
            arguments = [a.strip() for a in argument.findall(rest)]
            word = arguments[0 if keyword in untitled else 1]
            ident = symbols.get(word, int(word) if re.fullmatch(r"-?\d+", word) else None)
            if ident is None:
                failures.append(f"{rc}: dialog {dialog}: unknown control id {word}")
            elif ident > 0 and not 2001 <= ident <= 2009:
                controls.setdefault(ident, f"{rc} dialog {dialog}")
if len(controls) < 40:
    failures.append(f"only {len(controls)} controls read from the dialog templates: the scan misses some")
for ident, where in sorted(controls.items()):
    if ident not in popups:
        failures.append(f"control {ident} ({where}) has no popup text in Context.txt")
for ident in sorted(set(popups) - set(controls)):
    failures.append(f"Context.txt: topic {ident} belongs to no control")

for failure in failures:
    print("FAIL:", failure, file=sys.stderr)
if failures:
    sys.exit(1)
print(f"help file: {len(stored)} entries, {checked} links, {len(controls)} controls with popups")
PY
echo "1 passed, 0 failed"
