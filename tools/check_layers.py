#!/usr/bin/env python3
"""Checks the layering of the sources and two JSON rules; prints each finding and fails on any.

1. Includes: a file of a subsystem includes headers of its own subsystem or of lower ones only, in
   the order common < settings < services < net < engine < ui; statusprobe stands alone.
   The files directly in engine/ are the program, above every layer.
2. Libraries: every library of vek_add_library links only libraries of its own or lower
   subsystems, the links form no cycle, and a file's library reaches the library of every header
   it includes (from <build>/vek-libraries.txt, written at configure time).
3. JSON: no member read with operator[] on a const nlohmann document (undefined behaviour when
   the member is absent): a variable or parameter declared `const json&`, `const nlohmann::json&`
   or `const auto&` that is indexed with a string key within its scope.
4. Wide formatting: the C library's and the system's wide printf functions (swprintf, vswprintf,
   _snwprintf, _vsnwprintf, wsprintfW, StringCchPrintfW and their kin) are called only by the one
   wide formatter, common/base/qkWideFormat (statusprobe, which stands alone, has its own). Their
   meaning of %s differs between them (mingw's swprintf reads it as narrow text, the system's
   _snwprintf as wide): everything else formats through that formatter.
5. Launcher codes by name: a launcher result code (the family 0x80047E00..0x80047FFF), a process
   exit code, an engine state or a job or status event is written as a number only in its table
   (services/launcher/VekResultCodes, engine/manifest/VekJobStates, engine/report/VekStatusEvents)
   and used by name everywhere else; the plug-in SDK header keeps its own copy for outside authors
   (a test holds it equal to the table). See launcher_code_findings for what counts as a use.

Usage: check_layers.py --source <checkout> [--libraries <build>/vek-libraries.txt]
"""
import argparse
import os
import re
import sys

LAYERS = ["common", "settings", "services", "net", "engine", "ui", "program"]
ALONE = ["statusprobe"]
RANK = {name: i for i, name in enumerate(LAYERS)}
SOURCE_SUFFIXES = (".h", ".hpp", ".inl", ".cpp", ".c", ".rc")
JSON_ROOTS = LAYERS + ALONE + ["tests", "tools"]

# Upward edges allowed for a while (file prefix, header) and (library, library), and folders whose
# const JSON reads are still being reworked; none today. An allowance that no finding needed is
# reported, so that it goes again.
ALLOWED_INCLUDES = []
ALLOWED_LINKS = []
JSON_PENDING = []

# Allowances that this run needed; one that none needed is reported, so that it can go.
USED = set()

INCLUDE_RE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]', re.M)


def layer_of(path):
    # The files directly in engine/ are the launcher program itself: it stands on every layer.
    parts = path.split("/")
    if len(parts) == 2 and parts[0] == "engine" and parts[1].endswith((".cpp", ".rc")):
        return "program"
    top = parts[0]
    return top if top in RANK or top in ALONE else None


def layer_allows(includer, included):
    """True when a file of layer `includer` may include a header of layer `included`."""
    if includer == included:
        return True
    if includer in ALONE or included in ALONE:
        return False
    return RANK[included] <= RANK[includer]


def source_files(root, tops, suffixes=SOURCE_SUFFIXES):
    for top in tops:
        base = os.path.join(root, top)
        for folder, dirs, files in os.walk(base):
            dirs[:] = sorted(d for d in dirs if not d.startswith("."))
            for name in sorted(files):
                if name.endswith(suffixes):
                    full = os.path.join(folder, name)
                    yield os.path.relpath(full, root).replace(os.sep, "/")


def read(root, rel):
    with open(os.path.join(root, rel), encoding="utf-8", errors="replace") as f:
        return f.read()


def resolve_include(root, rel, quote, target):
    """The include's path relative to the checkout, or None for a system or unknown header."""
    if quote == '"':
        local = os.path.normpath(os.path.join(os.path.dirname(rel), target)).replace(os.sep, "/")
        if not local.startswith("../") and os.path.exists(os.path.join(root, local)):
            return local
    if layer_of(target):
        return os.path.normpath(target).replace(os.sep, "/")
    return None


def includes_of(root, rel):
    text = read(root, rel)
    for m in INCLUDE_RE.finditer(text):
        line = text.count("\n", 0, m.start()) + 1
        target = resolve_include(root, rel, m.group(1), m.group(2))
        if target:
            yield line, target


def check_includes(root, findings):
    edges = []
    for rel in source_files(root, LAYERS + ALONE):
        own = layer_of(rel)
        for line, target in includes_of(root, rel):
            other = layer_of(target)
            edges.append((rel, line, target))
            if layer_allows(own, other):
                continue
            allowance = next(((f, h) for f, h in ALLOWED_INCLUDES if rel.startswith(f) and target == h), None)
            if allowance:
                USED.add(allowance)
                continue
            findings.append(f"{rel}:{line}: includes {target}, a header of {other}, above {own}")
    return edges


def read_libraries(path):
    libs = {}
    with open(path, encoding="utf-8") as f:
        for row in f:
            parts = row.rstrip("\n").split("\t")
            if len(parts) < 2 or not parts[0]:
                continue
            links = [x for x in (parts[2].split(";") if len(parts) > 2 else []) if x]
            dirs = [d for d in parts[1].split(";") if d]
            libs[parts[0]] = {"dirs": dirs, "links": links}
    return libs


def library_of(libs, rel):
    """The library whose folder holds the file most closely, or None. The program's own files
    (directly in engine/) belong to no library: the program links every one."""
    if layer_of(rel) == "program":
        return None
    best, best_len = None, -1
    for name, lib in libs.items():
        for d in lib["dirs"]:
            if rel.startswith(d + "/") and len(d) > best_len:
                best, best_len = name, len(d)
    return best


def library_layer(lib):
    layers = {layer_of(d) for d in lib["dirs"]}
    return layers.pop() if len(layers) == 1 else None


def check_libraries(libs, edges, findings):
    for name, lib in sorted(libs.items()):
        own = library_layer(lib)
        if own is None:
            findings.append(f"library {name}: folders {lib['dirs']} are not of one subsystem")
            continue
        for dep in lib["links"]:
            if dep not in libs:
                continue
            other = library_layer(libs[dep])
            if other and not layer_allows(own, other):
                if (name, dep) in ALLOWED_LINKS:
                    USED.add((name, dep))
                else:
                    findings.append(f"library {name} ({own}) links {dep} of {other}, a higher subsystem")

    # Cycles, by depth-first search over the links between our libraries.
    state = {}

    def visit(name, path):
        state[name] = 1
        for dep in libs[name]["links"]:
            if dep not in libs:
                continue
            if state.get(dep) == 1:
                cycle = path[path.index(dep):] + [dep] if dep in path else [name, dep]
                findings.append("library cycle: " + " -> ".join(cycle))
            elif dep not in state:
                visit(dep, path + [dep])
        state[name] = 2

    for name in sorted(libs):
        if name not in state:
            visit(name, [name])

    reach = {}

    def reachable(name):
        if name not in reach:
            reach[name] = {name}
            for dep in libs[name]["links"]:
                if dep in libs:
                    reach[name] |= reachable(dep)
        return reach[name]

    for rel, line, target in edges:
        mine, theirs = library_of(libs, rel), library_of(libs, target)
        if mine and theirs and theirs not in reachable(mine):
            findings.append(f"{rel}:{line}: includes {target} of {theirs}, which {mine} does not link")


# --- JSON: operator[] on const documents ---------------------------------------------------------

# const json& x, const json* x, const json x = ..., const auto& x, const auto& [a, b].
CONST_JSON_DECL = re.compile(
    r"\bconst\s+(?:::)?(?:nlohmann\s*::\s*)?(?:ordered_)?(?:json|auto)\s*"
    r"(?:([&*]?)\s*([A-Za-z_]\w*)\b(?!\s*::)|&\s*\[([^\]]+)\])")
JSON_TYPE_HINT = re.compile(r"nlohmann|\bjson\b")


def blank_comments_and_strings(text):
    """Comments become blanks and string or character literals keep only their quotes, so that
    braces and brackets inside them count for nothing; offsets and line breaks are kept."""
    out = list(text)
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            for k in range(i, j):
                out[k] = " "
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            for k in range(i, j):
                if text[k] != "\n":
                    out[k] = " "
            i = j
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_") or text[i - 1] in "Lu8U"):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                i += 1
                continue
            end = text.find(")" + m.group(1) + '"', i)
            end = n if end < 0 else end + len(m.group(1)) + 2
            for k in range(i + 2, end - 1):
                if text[k] != "\n":
                    out[k] = "_"
            i = end
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            for k in range(i + 1, min(j, n)):
                out[k] = "_"
            i = j + 1
        else:
            i += 1
    return "".join(out)


def scope_end(code, pos):
    """End of the scope of a name declared at pos: the body or statement after a parameter list
    (function, lambda, range-for), else the end of the enclosing block."""
    depth_paren = 0
    i = pos
    # Inside parentheses: walk to the closing one of the list that holds the declaration.
    paren = 0
    j = pos
    while j > 0:
        j -= 1
        ch = code[j]
        if ch == ")":
            paren += 1
        elif ch == "(":
            if paren == 0:
                break
            paren -= 1
        elif ch in "{};":
            j = -1
            break
    if j >= 0 and code[j] == "(":
        depth_paren = 1
        i = pos
        while i < len(code) and depth_paren:
            if code[i] == "(":
                depth_paren += 1
            elif code[i] == ")":
                depth_paren -= 1
            i += 1
        # Skip qualifiers and a trailing return type up to the body or the end of a statement.
        while i < len(code) and code[i] not in "{;":
            i += 1
        if i >= len(code) or code[i] == ";":
            return i
        return matching_brace(code, i)
    # A block-scope variable: until its block closes.
    depth = 0
    i = pos
    while i < len(code):
        if code[i] == "{":
            depth += 1
        elif code[i] == "}":
            if depth == 0:
                return i
            depth -= 1
        i += 1
    return len(code)


def matching_brace(code, start):
    depth = 0
    for i in range(start, len(code)):
        if code[i] == "{":
            depth += 1
        elif code[i] == "}":
            depth -= 1
            if depth == 0:
                return i
    return len(code)


def const_json_index_findings(rel, text):
    code = blank_comments_and_strings(text)
    found = []
    for m in CONST_JSON_DECL.finditer(code):
        is_auto = "auto" in m.group(0)
        if is_auto and not JSON_TYPE_HINT.search(text):
            continue  # a file without JSON holds no JSON documents
        if m.group(3):
            kind, names = "&", [n.strip() for n in m.group(3).split(",") if n.strip()]
        else:
            kind, names = m.group(1), [m.group(2)]
        end = scope_end(code, m.end())
        for name in names:
            if kind == "*":
                target = (r"(?:\(\s*\*\s*" + re.escape(name) + r"\s*\)|(?<![\w.>:])" + re.escape(name) +
                          r"\s*->\s*operator\s*\[\s*\]\s*\()")
            else:
                target = r"(?<![\w.>:])" + re.escape(name)
            use = re.compile(target + r'\s*[\[(]?\s*(?:u8|L)?"')
            for u in use.finditer(code, m.end(), end):
                line = code.count("\n", 0, u.start()) + 1
                found.append(f"{rel}:{line}: operator[] on const JSON '{name}' (read through find/value)")
    return found


def check_json(root, findings):
    for rel in source_files(root, JSON_ROOTS):
        if rel.endswith(".rc"):
            continue
        found = const_json_index_findings(rel, read(root, rel))
        pending = next((p for p in JSON_PENDING if rel.startswith(p)), None)
        if pending:
            if found:
                USED.add(pending)
            continue
        findings.extend(found)


# --- wide formatting through one function ---------------------------------------------------------

# The files that hold the one wide formatting function, and the stand-alone tool's own.
WIDE_FORMAT_HOMES = ["common/base/qkWideFormat.cpp", "statusprobe/ProbeOutput.cpp"]
WIDE_FORMAT_RE = re.compile(
    r"(?<![\w.>])(?:::\s*|std\s*::\s*)?"
    r"((?:__mingw_|_)?v?(?:sn?|sc)wprintf(?:_s|_l|_s_l)?|wv?sprintfW?|StringC(?:ch|b)V?PrintfW?(?:Ex)?)\s*\(")


def wide_format_findings(rel, text):
    if rel in WIDE_FORMAT_HOMES:
        return []
    code = blank_comments_and_strings(text)
    found = []
    for m in WIDE_FORMAT_RE.finditer(code):
        line = code.count("\n", 0, m.start()) + 1
        found.append(f"{rel}:{line}: {m.group(1)} formats wide text: use qkLib::FormatWide or "
                     "qkStringConvert::Format (one meaning of %s)")
    return found


def check_wide_format(root, findings):
    for rel in source_files(root, JSON_ROOTS):
        if rel.endswith(".rc"):
            continue
        findings.extend(wide_format_findings(rel, read(root, rel)))


# --- launcher codes by name -------------------------------------------------------------------------
#
# Result codes have a range of their own: no other value lies in 0x80047E00..0x80047FFF, so a
# generic HRESULT such as 0x80004005 never matches. Exit codes and events are small integers, so a
# bare number is one of them only where the code says so, and the rule looks there alone:
#   - result codes: a value of the family anywhere (hex or decimal, any suffix), and a name of the
#     family's prefix VEK_E_ defined outside the table (a code of another family under that
#     prefix would read as the launcher's own);
#   - exit codes: the value assigned to or compared with g_ExitCode, and the argument of
#     SetExitCode, showVekDialog (an end page's number is the exit code) and PostQuitMessage;
#   - job events: the case labels of a switch on an expression named like an event, a comparison
#     of a variable named `event` or `jobEvent`, and a local constant k...Event... defined as a
#     value of the job events' range (-5..43);
#   - status events: the argument of LogStatusEvent and LogStatusEventF, and a local constant
#     k...Status... defined as a value of that range.
# Exit codes and events are looked for in engine/ and ui/ only, where they live: a lower layer's
# own small vocabularies (download events, settings statuses) are not the launcher's. Comments
# and string literals do not count. Tests are not checked: they pin the values that the wire and
# the files carry, and a test written with the table's own names could not see the table drift.

CODE_ROOTS = LAYERS + ALONE
CODE_HOMES = [
    "services/launcher/VekResultCodes.h", "services/launcher/VekResultCodes.cpp",
    "engine/manifest/VekJobStates.h", "engine/manifest/VekJobStates.cpp",
    "engine/report/VekStatusEvents.h", "engine/report/VekStatusEvents.cpp",
    # The plug-in SDK: outside authors build against this header alone (tests/engine/jobs checks
    # its copy of the intermediate-error code against the table).
    "engine/plugin/sdk/VekPluginInterfaces.h",
]
LAUNCHER_VOCABULARY_ROOTS = ("engine/", "ui/")
RESULT_FAMILY = (0x80047E00, 0x80047FFF)
EVENT_RANGE = (-5, 43)
INT_LITERAL = r"-?\s*(?:0[xX][0-9a-fA-F]+|\d+)(?:[uU]?[lL]{0,2}|[lL]{1,2}[uU]?)(?![\w.])"
INT_RE = re.compile(r"(?<![\w.])" + INT_LITERAL)
NUMBER_RE = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)(?:[uU]?[lL]{0,2}|[lL]{1,2}[uU]?)(?![\w.])")
EXIT_ASSIGN_RE = re.compile(r"\bg_ExitCode\s*(?:==|!=|=(?!=))")
EXIT_REVERSED_RE = re.compile(r"(?<![\w.])" + INT_LITERAL + r"\s*(?:==|!=)\s*g_ExitCode\b")
EXIT_CALL_RE = re.compile(r"\b(SetExitCode|showVekDialog|PostQuitMessage)\s*\(")
EVENT_SWITCH_RE = re.compile(r"\bswitch\s*\(([^()]*(?:\([^()]*\)[^()]*)*)\)\s*\{")
EVENT_COMPARE_RE = re.compile(r"(?<![\w])(?:\w+\s*(?:\.|->)\s*)?(?:event|jobEvent)\s*(?:==|!=)\s*(" + INT_LITERAL + r")"
                              r"|(?<![\w.])(" + INT_LITERAL + r")\s*(?:==|!=)\s*(?:\w+\s*(?:\.|->)\s*)?(?:event|jobEvent)\b")
EVENT_CONST_RE = re.compile(r"\b(k\w*(?:Event|Status)\w*)\s*=\s*(" + INT_LITERAL + r")\s*[;,]")
STATUS_CALL_RE = re.compile(r"\bLogStatusEventF?\s*\(\s*(" + INT_LITERAL + r")\s*[,)]")
CASE_RE = re.compile(r"\bcase\s+(" + INT_LITERAL + r")\s*:")
FAMILY_NAME_DEF_RE = re.compile(r"\b(?:HRESULT|LONG|long|int|DWORD|u?int32_t|auto)\s+(VEK_E_\w+)\s*[={(]"
                                r"|#\s*define\s+(VEK_E_\w+)")


def int_value(literal):
    text = re.sub(r"\s+", "", literal).rstrip("uUlL")
    negative = text.startswith("-")
    text = text.lstrip("-")
    value = int(text, 16) if text[:2] in ("0x", "0X") else int(text)
    return -value if negative else value


def in_family(value):
    return RESULT_FAMILY[0] <= (value & 0xFFFFFFFF) <= RESULT_FAMILY[1] and abs(value) > 0xFFFF


def expression_end(code, start):
    """End of the expression that begins at start: the first ; or , or unmatched ) or ]."""
    depth = 0
    for i in range(start, len(code)):
        ch = code[i]
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            if depth == 0:
                return i
            depth -= 1
        elif ch in ";," and depth == 0:
            return i
        elif code.startswith("&&", i) or code.startswith("||", i):
            if depth == 0:
                return i
    return len(code)


def family_numbers(text):
    """(position, literal) of every number in the text that is a launcher result code."""
    for m in NUMBER_RE.finditer(text):
        value = int_value(m.group(1))
        if in_family(value) or in_family(-value):
            yield m.start(), m.group(0)


COMMENT_RE = re.compile(r"//[^\n]*|/\*.*?\*/", re.S)


def launcher_code_findings(rel, text):
    if rel in CODE_HOMES:
        return []
    code = blank_comments_and_strings(text)
    found = []

    def add(pos, what):
        line = code.count("\n", 0, pos) + 1
        found.append(f"{rel}:{line}: {what}: use its name from its table")

    for pos, literal in family_numbers(code):
        add(pos, f"launcher result code {literal} written as a number")

    # Comments name codes too: a number there drifts from the table unseen.
    for c in COMMENT_RE.finditer(text):
        for pos, literal in family_numbers(c.group(0)):
            add(c.start() + pos, f"launcher result code {literal} quoted as a number in a comment")

    for m in FAMILY_NAME_DEF_RE.finditer(code):
        add(m.start(), f"{m.group(1) or m.group(2)} defined outside the result-code table")

    if not rel.startswith(LAUNCHER_VOCABULARY_ROOTS):
        return found
    for m in EXIT_ASSIGN_RE.finditer(code):
        end = expression_end(code, m.end())
        for n in INT_RE.finditer(code, m.end(), end):
            add(n.start(), f"exit code {n.group(0).strip()} written as a number")
    for m in EXIT_REVERSED_RE.finditer(code):
        add(m.start(), "exit code written as a number")
    for m in EXIT_CALL_RE.finditer(code):
        end = expression_end(code, m.end())
        for n in INT_RE.finditer(code, m.end(), end):
            add(n.start(), f"exit code {n.group(0).strip()} passed to {m.group(1)}")

    for m in EVENT_SWITCH_RE.finditer(code):
        if not re.search(r"(?i)event", m.group(1)):
            continue
        body_end = matching_brace(code, m.end() - 1)
        depth = 0
        i = m.end()
        # Only the switch's own labels: a nested switch is judged by its own expression.
        while i < body_end:
            ch = code[i]
            if ch == "{":
                depth += 1
            elif ch == "}":
                depth -= 1
            elif depth == 0 and code.startswith("switch", i):
                nested = EVENT_SWITCH_RE.match(code, i)
                if nested:
                    i = matching_brace(code, nested.end() - 1)
                    continue
            elif depth == 0 and code.startswith("case", i):
                c = CASE_RE.match(code, i)
                if c:
                    add(i, f"job event {c.group(1)} as a case label")
            i += 1
    for m in EVENT_COMPARE_RE.finditer(code):
        add(m.start(), f"job event {(m.group(1) or m.group(2)).strip()} compared as a number")
    for m in EVENT_CONST_RE.finditer(code):
        if EVENT_RANGE[0] <= int_value(m.group(2)) <= EVENT_RANGE[1]:
            add(m.start(), f"event {m.group(1)} = {m.group(2)} defined outside its table")
    for m in STATUS_CALL_RE.finditer(code):
        add(m.start(), f"status event {m.group(1)} written as a number")
    found.extend(f"{rel}:{line}: {what}: use its name from its table" for line, what in held_value_findings(code))
    return found


# --- engine states and job events, whatever holds them -----------------------------------------
#
# A value is an engine state or a job event by where it comes from, not by its name:
#   - engine states: a call of GetEngineState() or engineState(), a variable or parameter of type
#     EngineState, a parameter named engineState, and a variable initialised from any of these;
#   - job events: a variable or parameter of type VEK_JOB_EVENTS, the first parameter of a job-event
#     slot (an integer followed by the job's JSON node) whatever its name, a parameter named event
#     or jobEvent, and a variable initialised from any of these.
# Such a value compared with a number (==, !=, <, <=, >, >=), switched on with numeric labels,
# given a number, or returned as a number by the functions that answer the engine state, is a
# number outside its table; so is a constant of the file that stands in such a place, whatever its
# name. The first argument of the calls that fire or forward a job event counts as a job event.

HOLDER_CALL_RE = re.compile(r"(?<![\w])(?:GetEngineState|engineState)\s*\(\s*\)")
STATE_FUNCTION_RE = re.compile(r"\b(?:\w+\s*::\s*)?(?:GetEngineState|engineState)\s*\(\s*\)\s*(?:const\s*)?"
                               r"(?:override\s*)?(?:final\s*)?\{")
TYPED_HOLDER_RE = re.compile(r"\b(VEK_JOB_EVENTS|(?:\w+\s*::\s*)*EngineState)\s*&?\s+([A-Za-z_]\w*)\b(?!\s*[(:])")
SLOT_PARAMETER_RE = re.compile(r"\(\s*(?:const\s+)?(?:int32_t|int|LONG|long)\s+([A-Za-z_]\w*)\s*,\s*const\s+"
                               r"(?:nlohmann\s*::\s*)?(?:ordered_)?json\s*&")
NAMED_PARAMETER_RE = re.compile(r"[(,]\s*(?:const\s+)?(?:int32_t|int|LONG|long|auto)\s+(event|jobEvent|engineState)\s*[,)]")
HOLDER_DECL_RE = re.compile(r"\b(?:const\s+|constexpr\s+)?(?:auto|int|int32_t|long|LONG)\s+([A-Za-z_]\w*)\s*=(?!=)\s*")
EVENT_CALL_RE = re.compile(r"\b(?:Fire|OnJobEvent|forward|forwardJobEvent|postEvent|postEventWithData|postJobUpdate|"
                           r"retryDecision|finishStep|logEvent)\s*\(\s*(" + INT_LITERAL + r"|[A-Za-z_]\w*)\s*,")
OPERATOR = r"(==|!=|<=|>=|<(?![<=])|>(?![>=]))"
OPERAND = r"(" + INT_LITERAL + r"|[A-Za-z_]\w*(?:\s*::\s*\w+)*)"
RIGHT_OPERAND_RE = re.compile(r"\s*" + OPERATOR + r"\s*" + OPERAND)
LEFT_OPERAND_RE = re.compile(OPERAND + r"\s*" + OPERATOR + r"\s*$")
MEMBER_PREFIX_RE = re.compile(r"(?:\w+\s*(?:\.|->)\s*)+$")
NUMERIC_CONSTANT_RE = r"(?:#\s*define\s+{0}\s+({1})|\b{0}\s*=\s*({1})\s*[;,}}])"


def held_value_findings(code):
    """(line, what) of every engine state or job event written as a number; see above."""
    holders = []  # (kind, name, start, end); name None: a call, anywhere

    def scoped(kind, name, pos):
        holders.append((kind, name, pos, scope_end(code, pos)))

    for m in TYPED_HOLDER_RE.finditer(code):
        scoped("job event" if m.group(1) == "VEK_JOB_EVENTS" else "engine state", m.group(2), m.end())
    for m in SLOT_PARAMETER_RE.finditer(code):
        scoped("job event", m.group(1), m.end(1))
    for m in NAMED_PARAMETER_RE.finditer(code):
        scoped("engine state" if m.group(1) == "engineState" else "job event", m.group(1), m.end(1))

    def holder_at(name, pos):
        for kind, held, start, end in holders:
            if held == name and start <= pos <= end:
                return kind
        return None

    def value_kind(expression, pos):
        if HOLDER_CALL_RE.search(expression):
            return "engine state"
        # What a call makes of a holder is another value: blank every other call's arguments.
        while True:
            blanked = re.sub(r"\b(?!(?:GetEngineState|engineState)\b)(\w+\s*)\(([^()]*)\)",
                             lambda c: c.group(1) + " " * (len(c.group(0)) - len(c.group(1))), expression)
            if blanked == expression:
                break
            expression = blanked
        for w in re.finditer(r"(?<![\w.>:])[A-Za-z_]\w*", expression):
            kind = holder_at(w.group(0), pos + w.start())
            if kind:
                return kind
        return None

    found = []

    def add(pos, what):
        found.append((code.count("\n", 0, pos) + 1, what))

    def constant_value(name):
        if re.fullmatch(INT_LITERAL, name):
            return name
        c = re.search(NUMERIC_CONSTANT_RE.format(re.escape(name), INT_LITERAL), code)
        return (c.group(1) or c.group(2)) if c else None

    def judge(pos, kind, operand, how):
        value = constant_value(operand)
        if value is None:
            return
        if operand == value:
            add(pos, f"{kind} {value.strip()} {how} as a number")
        else:
            add(pos, f"{kind} in the constant {operand} = {value.strip()}, {how}")

    # Variables initialised from a holder hold the same kind, within their scope.
    for m in HOLDER_DECL_RE.finditer(code):
        end = expression_end(code, m.end())
        kind = value_kind(code[m.end():end], m.end())
        if kind:
            scoped(kind, m.group(1), m.end(1))
            if "?" in code[m.end():end]:
                for n in INT_RE.finditer(code, m.end(), end):
                    add(n.start(), f"{kind} {n.group(0).strip()} given as a number")

    uses = [(m.start(), m.end(), "engine state") for m in HOLDER_CALL_RE.finditer(code)]
    for kind, name, start, end in holders:
        for m in re.finditer(r"(?<![\w])" + re.escape(name) + r"\b(?!\s*\()", code[start:end]):
            uses.append((start + m.start(), start + m.end(), kind))
    for start, end, kind in uses:
        before = code[max(0, start - 200):start]
        prefix = MEMBER_PREFIX_RE.search(before)
        if prefix:
            before = before[:prefix.start()]
        right = RIGHT_OPERAND_RE.match(code, end)
        if right:
            judge(start, kind, right.group(2), "compared")
        left = LEFT_OPERAND_RE.search(before)
        if left:
            judge(start, kind, left.group(1), "compared")
        assign = re.match(r"\s*=(?!=)\s*(" + INT_LITERAL + r")\s*;", code[end:end + 40])
        if assign and code[end - 1] != ")":  # not a pure virtual function's "= 0"
            judge(start, kind, assign.group(1), "given")

    for m in EVENT_SWITCH_RE.finditer(code):
        kind = value_kind(m.group(1), m.start(1))
        if not kind or re.search(r"(?i)event", m.group(1)):
            continue  # an expression named like an event is judged by the rule above
        body_end = matching_brace(code, m.end() - 1)
        for c in re.finditer(r"\bcase\s+(" + INT_LITERAL + r"|[A-Za-z_]\w*)\s*:", code[m.end():body_end]):
            judge(m.end() + c.start(), kind, c.group(1), "as a case label")

    for m in STATE_FUNCTION_RE.finditer(code):
        body_end = matching_brace(code, m.end() - 1)
        for r in re.finditer(r"\breturn\s+([^;]*);", code[m.end():body_end]):
            for n in INT_RE.finditer(r.group(1)):
                add(m.end() + r.start(1) + n.start(), f"engine state {n.group(0).strip()} returned as a number")

    for m in EVENT_CALL_RE.finditer(code):
        judge(m.start(1), "job event", m.group(1), "fired")
    return sorted(set(found))


def documentation_code_findings(rel, text):
    """A subsystem's documentation names codes as the code does: a number there drifts unseen."""
    return [f"{rel}:{text.count(chr(10), 0, pos) + 1}: launcher result code {literal} quoted as a number: "
            "use its name from its table" for pos, literal in family_numbers(text)]


def check_launcher_codes(root, findings):
    for rel in source_files(root, CODE_ROOTS):
        if rel.endswith(".rc"):
            continue
        findings.extend(launcher_code_findings(rel, read(root, rel)))
    for rel in source_files(root, CODE_ROOTS, (".md",)):
        findings.extend(documentation_code_findings(rel, read(root, rel)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--libraries")
    args = parser.parse_args()
    root = os.path.abspath(args.source)
    findings = []
    edges = check_includes(root, findings)
    if args.libraries:
        check_libraries(read_libraries(args.libraries), edges, findings)
    check_json(root, findings)
    check_wide_format(root, findings)
    check_launcher_codes(root, findings)
    for f in findings:
        print(f)
    allowances = ALLOWED_INCLUDES + (ALLOWED_LINKS if args.libraries else []) + JSON_PENDING
    for allowance in allowances:
        if allowance not in USED:
            print(f"note: the allowance {allowance} in check_layers.py is no longer needed: remove it")
    if findings:
        print(f"{len(findings)} layering, JSON, formatting or launcher-code finding(s)")
        return 1
    print("layering, JSON, formatting and launcher-code checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
