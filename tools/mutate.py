#!/usr/bin/env python3
"""Mutation testing of the Velmora core (standard library only).

For each core source file (app, commands, config, housekeeping, link, modem, status,
transfer; the .cc files) the tool finds mutation sites on code characters only (never in
comments, string or character literals, nor on preprocessor lines), draws a seeded sample
of them, and runs each mutant in a private copy of the checkout:

  write the mutated file -> rebuild the unit test binary (only that object recompiles)
  -> run the unit tests (time-out) -> restore the file.

A mutant the unit tests do not kill goes to the end-to-end suites of its file's folder
(the programs are rebuilt with the mutant for that). Outcomes: invalid (does not
compile), killed (a test failed, crashed or timed out), survived, equivalent (listed in
tests/equivalent-mutants.txt). Survivors are written as unified diffs into --out.

A mutant's identity, used in the equivalent list, is

    <file> <kind> #<occurrence>: <original line> => <mutated line>

with the lines' code whitespace-normalised (comments dropped) and the occurrence
counting the mutants of the same file, kind and texts before it: it does not depend on
line numbers, so it survives unrelated edits elsewhere in the file. The sample picks,
per file, the mutants whose identity hashes lowest with the seed: the same seed and
source give the same mutants, and an edit elsewhere in a file leaves the others chosen.
"""

import argparse
import difflib
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

CORE_FOLDERS = ("app", "commands", "config", "housekeeping", "link", "modem", "status",
                "transfer")

# Files built into the programs only, not into the unit test binary: their mutants are
# compiled with this target and go straight to the end-to-end suites.
PROGRAM_ONLY_FILES = {"app/main.cc": "velmora"}

# The end-to-end test files (tests/e2e) whose suites exercise each folder's code; the
# gtest filters are derived from the suites those files define, so renamed or added tests
# are picked up. The unit tests run first for every mutant; these run, one file after the
# other with the quickest first, for the mutants the unit tests leave alive.
E2E_FILES = {
    "app": ["station_test.cc", "link_test.cc"],
    "commands": ["station_test.cc", "link_test.cc"],
    "config": ["station_test.cc", "link_test.cc"],
    "housekeeping": ["station_test.cc", "link_test.cc"],
    "link": ["link_test.cc", "transfer_test.cc", "station_test.cc"],
    "modem": ["station_test.cc"],
    "status": ["station_test.cc", "link_test.cc"],
    "transfer": ["transfer_test.cc"],
}
# Tests left out of mutation runs: random by design and long (the soak rows).
E2E_SKIP_SUITES = {"Soak"}
E2E_SKIP_TESTS = "-*Soak*"

# The names gtest reports as failed ("[  FAILED  ] Suite.Test").
FAILED_RE = re.compile(r"^\[  FAILED  \] ([^\s,]+\.[^\s,]+)", re.M)


def e2e_filters(root, folder):
    """The gtest filters (one per e2e file) of the folder's end-to-end suites."""
    d = os.path.join(root, "tests", "e2e")
    texts = {}
    if os.path.isdir(d):
        for name in sorted(os.listdir(d)):
            if name.endswith(".cc"):
                with open(os.path.join(d, name), encoding="utf-8", errors="replace") as fh:
                    texts[name] = fh.read()
    prefixes = {}
    for text in texts.values():
        for pre, suite in re.findall(r"INSTANTIATE_TEST_SUITE_P\(\s*(\w+)\s*,\s*(\w+)", text):
            prefixes.setdefault(suite, []).append(pre)
    out = []
    for name in E2E_FILES.get(folder, []):
        if name not in texts:
            log("mutate: warning: tests/e2e/%s (listed for %s/) does not exist" % (name, folder))
        text = texts.get(name, "")
        pats = []
        for macro, suite in re.findall(r"^\s*(TEST|TEST_F|TEST_P)\(\s*(\w+)\s*,", text, re.M):
            if suite in E2E_SKIP_SUITES:
                continue
            if macro == "TEST_P":
                for pre in prefixes.get(suite, []):
                    pats.append("%s/%s.*" % (pre, suite))
            else:
                pats.append(suite + ".*")
        pats = list(dict.fromkeys(pats))
        if pats:
            out.append((name, ":".join(pats) + E2E_SKIP_TESTS))
    return out


KINDS = ("ror", "lcr", "aor", "shift", "const", "neg", "del")
KIND_TEXT = {
    "ror": "comparison operator",
    "lcr": "logical operator",
    "aor": "arithmetic operator",
    "shift": "shift operator",
    "const": "integer constant",
    "neg": "negated condition",
    "del": "deleted statement",
}

# --------------------------------------------------------------------------------------
# Lexing: code tokens only.

PUNCTUATORS = sorted([
    ">>=", "<<=", "<=>", "->*", "...", "::", "->", "++", "--", "<<", ">>", "<=", ">=", "==",
    "!=", "&&", "||", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", ".*", "##",
    "{", "}", "[", "]", "(", ")", ";", ":", "?", ".", "+", "-", "*", "/", "%", "^", "&",
    "|", "~", "!", "=", "<", ">", ",", "#",
], key=len, reverse=True)

STRING_PREFIXES = ("u8R", "uR", "UR", "LR", "R", "u8", "u", "U", "L")


class Token:
    __slots__ = ("kind", "text", "start", "end", "line")

    def __init__(self, kind, text, start, end, line):
        self.kind, self.text, self.start, self.end, self.line = kind, text, start, end, line

    def __repr__(self):
        return "%s(%r@%d)" % (self.kind, self.text, self.line)


def lex(src):
    """Returns (tokens, code_mask): the code tokens (strings and characters are single
    tokens of kind 'str'/'chr'), and for each character whether it is code (False in
    comments and on preprocessor lines)."""
    toks = []
    mask = [True] * len(src)
    i, n, line = 0, len(src), 1
    at_line_start = True

    def blank(a, b):
        for k in range(a, b):
            if src[k] != "\n":
                mask[k] = False

    while i < n:
        c = src[i]
        if c == "\n":
            line += 1
            i += 1
            at_line_start = True
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if c == "\\" and i + 1 < n and src[i + 1] == "\n":
            i += 2
            line += 1
            continue
        if at_line_start and c == "#":
            # Preprocessor line, with its continuations (comments in it go too).
            j = i
            while j < n:
                if src[j] == "\\" and j + 1 < n and src[j + 1] == "\n":
                    j += 2
                    line += 1
                    continue
                if src[j] == "/" and j + 1 < n and src[j + 1] == "*":
                    e = src.find("*/", j + 2)
                    e = n if e < 0 else e + 2
                    line += src.count("\n", j, e)
                    j = e
                    continue
                if src[j] == "\n":
                    break
                j += 1
            blank(i, j)
            i = j
            continue
        at_line_start = False
        if src.startswith("//", i):
            j = src.find("\n", i)
            j = n if j < 0 else j
            blank(i, j)
            i = j
            continue
        if src.startswith("/*", i):
            j = src.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j)
            line += src.count("\n", i, j)
            i = j
            continue
        if c.isalpha() or c == "_":
            j = i + 1
            while j < n and (src[j].isalnum() or src[j] == "_"):
                j += 1
            word = src[i:j]
            if j < n and src[j] == '"' and word in STRING_PREFIXES:
                e = scan_string(src, j, raw=word.endswith("R"))
                toks.append(Token("str", src[i:e], i, e, line))
                line += src.count("\n", i, e)
                i = e
                continue
            if j < n and src[j] == "'" and word in ("u8", "u", "U", "L"):
                e = scan_char(src, j)
                toks.append(Token("chr", src[i:e], i, e, line))
                i = e
                continue
            toks.append(Token("id", word, i, j, line))
            i = j
            continue
        if c.isdigit() or (c == "." and i + 1 < n and src[i + 1].isdigit()):
            hexa = src.startswith(("0x", "0X"), i)
            j = i + 1
            while j < n:
                d = src[j]
                if ((d in "eE" and not hexa) or (d in "pP" and hexa)) and j + 1 < n and \
                        src[j + 1] in "+-":
                    j += 2
                elif d.isalnum() or d in "._":
                    j += 1
                elif d == "'" and j + 1 < n and src[j + 1].isalnum():
                    j += 1
                else:
                    break
            toks.append(Token("num", src[i:j], i, j, line))
            i = j
            continue
        if c == '"':
            e = scan_string(src, i, raw=False)
            toks.append(Token("str", src[i:e], i, e, line))
            i = e
            continue
        if c == "'":
            e = scan_char(src, i)
            toks.append(Token("chr", src[i:e], i, e, line))
            i = e
            continue
        for p in PUNCTUATORS:
            if src.startswith(p, i):
                toks.append(Token("op", p, i, i + len(p), line))
                i += len(p)
                break
        else:
            toks.append(Token("op", c, i, i + 1, line))
            i += 1
    return toks, mask


def scan_string(src, q, raw):
    """End offset of the string literal whose opening quote is at q."""
    n = len(src)
    if raw:
        p = src.find("(", q + 1)
        delim = src[q + 1:p]
        e = src.find(")" + delim + '"', p + 1)
        return n if e < 0 else e + len(delim) + 2
    return scan_char(src, q)


def scan_char(src, q):
    """The end of the quoted literal opened by src[q] (either quote); a line end ends it."""
    n = len(src)
    j = q + 1
    while j < n and src[j] != src[q]:
        if src[j] == "\\":
            j += 1
        elif src[j] == "\n":
            break
        j += 1
    return min(j + 1, n)


# --------------------------------------------------------------------------------------
# Classification helpers.

TYPE_KEYWORDS = {
    "void", "bool", "char", "short", "int", "long", "float", "double", "signed", "unsigned",
    "auto", "wchar_t", "char8_t", "char16_t", "char32_t", "const", "volatile", "constexpr",
    "static", "struct", "class", "enum", "union", "typename", "template", "decltype",
}
DECL_START = TYPE_KEYWORDS | {
    "using", "typedef", "namespace", "extern", "thread_local", "register", "friend",
    "virtual", "explicit", "inline", "static_assert", "mutable", "alignas",
}
KEYWORDS = TYPE_KEYWORDS | DECL_START | {
    "if", "else", "for", "while", "do", "switch", "case", "default", "break", "continue",
    "return", "goto", "try", "catch", "throw", "new", "delete", "sizeof", "alignof",
    "operator", "public", "private", "protected", "noexcept", "override", "final",
    "static_cast", "reinterpret_cast", "const_cast", "dynamic_cast", "co_return",
    "co_await", "co_yield", "requires", "concept",
}
VALUE_KEYWORDS = {"this", "true", "false", "nullptr"}
LOWER_TYPES = {
    "string", "wstring", "string_view", "vector", "array", "map", "set", "multimap",
    "unordered_map", "unordered_set", "deque", "list", "pair", "tuple", "optional",
    "function", "mutex", "recursive_mutex", "timed_mutex", "shared_mutex", "thread",
    "atomic", "atomic_bool", "atomic_int", "condition_variable", "unique_ptr", "shared_ptr",
    "weak_ptr", "lock_guard", "unique_lock", "scoped_lock", "ostream", "istream",
    "ifstream", "ofstream", "fstream", "stringstream", "ostringstream", "istringstream",
    "sockaddr", "sockaddr_in", "sockaddr_un", "sockaddr_storage", "pollfd", "timeval",
    "timespec", "tm", "termios", "stat", "dirent", "in_addr", "addrinfo", "epoll_event",
    "inotify_event", "sigaction", "sigset_t", "pid_t", "size_t", "ssize_t", "off_t",
    "time_t", "mode_t", "socklen_t", "uintptr_t", "intptr_t", "ptrdiff_t", "byte",
    "nothrow_t", "clock", "steady_clock", "system_clock", "milliseconds", "seconds",
    "duration", "time_point", "filesystem", "path", "error_code", "initializer_list",
    "FILE", "DIR", "T",
}
TEMPLATE_NAMES = {
    "static_cast", "reinterpret_cast", "const_cast", "dynamic_cast", "make_unique",
    "make_shared", "numeric_limits", "duration_cast", "get", "template", "bit_cast",
    "declval", "is_same", "is_same_v", "enable_if", "conditional", "min", "max", "clamp",
    "operator",
} | LOWER_TYPES


def is_type_like(tok, prev=None):
    """Whether the identifier token names a type (by the project's naming: types start
    upper-case and carry lower-case letters, constants are kName or ALL_CAPS)."""
    if tok is None or tok.kind != "id":
        return False
    t = tok.text
    if t in TYPE_KEYWORDS or t.endswith("_t") or t in LOWER_TYPES:
        return True
    if prev is not None and prev.kind == "id" and prev.text in ("struct", "class", "enum",
                                                                 "typename", "union"):
        return True
    if t[0].isupper() and any(ch.islower() for ch in t) and not re.match(r"k[A-Z]", t):
        return True
    return False


def is_value_end(toks, i):
    """Whether token i can end an operand (so that an operator after it is binary)."""
    if i < 0:
        return False
    t = toks[i]
    if t.kind in ("num", "str", "chr"):
        return True
    if t.kind == "id":
        if t.text in VALUE_KEYWORDS:
            return True
        if t.text in KEYWORDS:
            return False
        return True
    return t.text in (")", "]")


def is_value_end_a(a, i):
    """is_value_end, also knowing that the ')' of a control statement ends no operand."""
    if not is_value_end(a.toks, i):
        return False
    t = a.toks[i]
    if t.text == ")" and i in a.match:
        o = a.match[i]
        if o > 0 and a.toks[o - 1].kind == "id" and a.toks[o - 1].text in (
                "if", "while", "for", "switch", "catch", "sizeof", "alignof", "decltype"):
            return a.toks[o - 1].text in ("sizeof", "alignof")
        # A C-style cast: '(' type ')' before an operand.
        inner = a.toks[o + 1:i]
        if inner and all(x.kind == "id" and (x.text in TYPE_KEYWORDS or is_type_like(x))
                         or x.text in ("*", "&", "::") for x in inner):
            return False
    return True


def is_value_id(toks, i):
    """An operand end that is not a type name (for '*' and '&&', which also declare)."""
    if not is_value_end(toks, i):
        return False
    t = toks[i]
    if t.kind == "id" and is_type_like(t, toks[i - 1] if i > 0 else None):
        return False
    return True


class Analysis:
    """Token-level facts for one file: template brackets, braces and their kinds, the
    paren depth of every token relative to its innermost brace."""

    def __init__(self, src):
        self.src = src
        self.toks, self.mask = lex(src)
        self.n = len(self.toks)
        self.match = {}          # bracket index -> matching index, both ways
        self.template_open = set()
        self.template_close = set()
        self.in_template = [False] * self.n
        self.brace_kind = {}     # index of '{' -> kind
        self.enclosing = [-1] * self.n  # innermost '{' around each token
        self.pdepth = [0] * self.n
        self._brackets()
        self._templates()
        self._braces()

    def _brackets(self):
        stack = []
        pairs = {")": "(", "]": "[", "}": "{"}
        for i, t in enumerate(self.toks):
            if t.kind != "op":
                continue
            if t.text in ("(", "[", "{"):
                stack.append(i)
            elif t.text in pairs:
                # Pop to the matching opener (tolerates stray brackets).
                for k in range(len(stack) - 1, -1, -1):
                    if self.toks[stack[k]].text == pairs[t.text]:
                        o = stack[k]
                        del stack[k:]
                        self.match[o] = i
                        self.match[i] = o
                        break

    def _template_close_of(self, i):
        """Index of the '>' (or '>>') that closes a template argument list opened at i,
        or None when the '<' cannot be one."""
        toks = self.toks
        depth = 1
        k = i + 1
        while k < self.n:
            t = toks[k]
            if t.kind == "op":
                x = t.text
                if x in ("(", "["):
                    k = self.match.get(k, k) + 1
                    continue
                if x == "<":
                    depth += 1
                elif x == ">":
                    depth -= 1
                elif x == ">>":
                    depth -= 2
                    if depth < 0:
                        return None
                elif x in (";", "{", "}", "&&", "||", "?", ")", "]", "=", "==", "!=", "<=",
                           ">=", "+=", "-=", "|=", "&=", "<<", "return"):
                    return None
                if depth == 0:
                    return k
            elif t.kind == "id" and t.text in ("return", "if", "while", "for"):
                return None
            k += 1
        return None

    def _templates(self):
        toks = self.toks
        for i, t in enumerate(toks):
            if t.kind != "op" or t.text != "<":
                continue
            prev = toks[i - 1] if i > 0 else None
            if prev is None or prev.kind != "id":
                continue
            close = self._template_close_of(i)
            if prev.text in TEMPLATE_NAMES or is_type_like(prev, toks[i - 2] if i > 1 else None):
                self.template_open.add(i)
                if close is not None:
                    self.template_close.add(close)
                    for k in range(i, close + 1):
                        self.in_template[k] = True
                continue
            if close is not None:
                # A value-like name followed by a balanced '<...>': taken as a template
                # (never mutated) rather than risk a mutant that does not compile.
                self.template_open.add(i)
                self.template_close.add(close)
                for k in range(i, close + 1):
                    self.in_template[k] = True

    def _statement_start(self, j):
        """Index of the first token of the statement or declaration that token j is in."""
        k = j - 1
        while k >= 0:
            t = self.toks[k]
            if t.kind == "op" and t.text in (";", "{", "}"):
                if t.text == "}" or t.text == ";":
                    return k + 1
                return k + 1
            if t.kind == "op" and t.text in (")", "]") and k in self.match:
                k = self.match[k] - 1
                continue
            k -= 1
        return 0

    def _kind_of_brace(self, j, parent):
        toks = self.toks
        if parent is not None and self.brace_kind.get(parent) == "init":
            return "init"
        k = j - 1
        while k >= 0 and toks[k].kind == "id" and toks[k].text in (
                "const", "override", "final", "noexcept", "mutable", "volatile"):
            k -= 1
        if k < 0:
            return "namespace"
        p = toks[k]
        if p.kind == "op" and p.text == ")":
            m = self.match.get(k)
            if m is None:
                return "function"
            q = toks[m - 1] if m > 0 else None
            if q is not None and q.kind == "id" and q.text in ("if", "for", "while", "catch"):
                return "control"
            if q is not None and q.kind == "id" and q.text == "switch":
                return "switch"
            if q is not None and q.kind == "op" and q.text == "]":
                return "lambda"
            return "function"
        if p.kind == "op" and p.text == "]":
            return "lambda"
        if p.kind == "id" and p.text in ("else", "do", "try"):
            return "control"
        if p.kind == "op" and p.text in (";", "{", "}"):
            return "block" if self._in_code(parent) else "namespace"
        if p.kind == "op" and p.text == ":":
            # A case label or an access specifier is followed by a block; a constructor's
            # initialiser list or a ternary by an initialiser.
            s = self._statement_start(k)
            if s < self.n and toks[s].kind == "id" and toks[s].text in ("case", "default"):
                return "block"
            if s < self.n and toks[s].kind == "id" and toks[s].text in (
                    "public", "private", "protected"):
                return "class"
            s_kinds = [toks[x].text for x in range(s, k) if toks[x].kind == "id"]
            if any(w in ("class", "struct", "union", "enum") for w in s_kinds):
                return "class"
            return "init"
        if p.kind in ("id", "str") or (p.kind == "op" and p.text == ">"):
            s = self._statement_start(j)
            words = [toks[x].text for x in range(s, j) if toks[x].kind == "id"]
            if "namespace" in words or (p.kind == "str" and "extern" in words):
                return "namespace"
            if "enum" in words:
                return "enum"
            if any(w in ("class", "struct", "union") for w in words) and "=" not in [
                    toks[x].text for x in range(s, j)]:
                return "class"
            return "init"
        return "init"

    def _in_code(self, brace):
        while brace is not None and brace >= 0:
            kind = self.brace_kind.get(brace)
            if kind in ("function", "lambda", "control", "switch", "block"):
                return True
            if kind in ("namespace", "class", "enum"):
                return False
            brace = self.enclosing[brace] if self.enclosing[brace] >= 0 else None
        return False

    def _braces(self):
        stack = []       # open braces
        depth_stack = [0]
        for i, t in enumerate(self.toks):
            self.enclosing[i] = stack[-1] if stack else -1
            if t.kind == "op":
                if t.text == "{":
                    self.pdepth[i] = depth_stack[-1]
                    parent = stack[-1] if stack else None
                    self.brace_kind[i] = self._kind_of_brace(i, parent)
                    stack.append(i)
                    depth_stack.append(0)
                    continue
                if t.text == "}":
                    if stack:
                        stack.pop()
                        depth_stack.pop()
                    self.enclosing[i] = stack[-1] if stack else -1
                    self.pdepth[i] = depth_stack[-1]
                    continue
                if t.text in ("(", "["):
                    self.pdepth[i] = depth_stack[-1]
                    depth_stack[-1] += 1
                    continue
                if t.text in (")", "]"):
                    depth_stack[-1] = max(0, depth_stack[-1] - 1)
                    self.pdepth[i] = depth_stack[-1]
                    continue
            self.pdepth[i] = depth_stack[-1]

    def code_block(self, i):
        """Whether token i is directly in a block of statements."""
        b = self.enclosing[i]
        return b >= 0 and self.brace_kind.get(b) in ("function", "lambda", "control", "switch",
                                                      "block")


# --------------------------------------------------------------------------------------
# Mutation sites.

class Mutant:
    __slots__ = ("file", "kind", "edits", "line", "end_line", "orig_text", "mut_text", "occ",
                 "desc")

    def __init__(self, file, kind, edits, desc):
        self.file, self.kind, self.edits, self.desc = file, kind, edits, desc
        self.occ = 0

    @property
    def identity(self):
        return "%s %s #%d: %s => %s" % (self.file, self.kind, self.occ, self.orig_text,
                                         self.mut_text or "<deleted>")

    def apply(self, src):
        out = src
        for a, b, new in sorted(self.edits, key=lambda e: e[0], reverse=True):
            out = out[:a] + new + out[b:]
        return out


INT_RE = re.compile(r"^(0[xX][0-9a-fA-F']+|0[bB][01']+|[0-9][0-9']*)([uUlLzZ]*)$")


def int_variants(text):
    m = INT_RE.match(text)
    if not m:
        return []
    body, suffix = m.group(1).replace("'", ""), m.group(2)
    if body[:2] in ("0x", "0X"):
        v = int(body[2:], 16)

        def fmt(x):
            digits = "%x" % x
            if any(ch.isupper() for ch in body[2:]):
                digits = digits.upper()
            return body[:2] + digits.rjust(len(body) - 2, "0") + suffix
    elif body[:2] in ("0b", "0B"):
        v = int(body[2:], 2)

        def fmt(x):
            return body[:2] + bin(x)[2:] + suffix
    elif len(body) > 1 and body[0] == "0":
        v = int(body, 8)

        def fmt(x):
            return "0" + "%o" % x + suffix
    else:
        v = int(body)

        def fmt(x):
            return str(x) + suffix
    if v == 0:
        return [fmt(1)]
    return [fmt(v + 1), fmt(v - 1)]


ROR_MAP = {
    "<": ["<=", ">="],
    "<=": ["<", ">"],
    ">": [">=", "<="],
    ">=": [">", "<"],
    "==": ["!="],
    "!=": ["=="],
}
AOR_MAP = {"+": ["-"], "-": ["+"], "*": ["/"], "/": ["*"], "%": ["*"]}


def find_sites(rel, src):
    a = Analysis(src)
    toks = a.toks
    out = []

    def add(kind, edits, desc):
        out.append(Mutant(rel, kind, edits, desc))

    case_values = set()
    for i, t in enumerate(toks):
        if t.kind == "id" and t.text == "case" and i + 1 < a.n and toks[i + 1].kind == "num":
            case_values.add(toks[i + 1].text)

    for i, t in enumerate(toks):
        prev = toks[i - 1] if i > 0 else None
        nxt = toks[i + 1] if i + 1 < a.n else None
        after_operator = prev is not None and prev.kind == "id" and prev.text == "operator"
        if t.kind == "op" and not after_operator:
            x = t.text
            if x in ROR_MAP and not a.in_template[i] and i not in a.template_open and \
                    i not in a.template_close and is_value_end_a(a, i - 1) and nxt is not None \
                    and nxt.text not in (")", ",", ";", ">"):
                for y in ROR_MAP[x]:
                    add("ror", [(t.start, t.end, y)], "%s -> %s" % (x, y))
            elif x in ("&&", "||") and is_value_end_a(a, i - 1) and (
                    x == "||" or is_value_id(toks, i - 1)) and nxt is not None and \
                    nxt.text not in (")", ",", ";", ">", "...", "="):
                y = "||" if x == "&&" else "&&"
                add("lcr", [(t.start, t.end, y)], "%s -> %s" % (x, y))
            elif x in AOR_MAP and not a.in_template[i] and is_value_end_a(a, i - 1) and \
                    nxt is not None and (nxt.kind in ("id", "num", "chr") or nxt.text in (
                        "(", "*", "&", "!", "-", "~", "::", "++", "--")):
                if x == "*" and not (is_value_id(toks, i - 1) and nxt.kind != "chr"):
                    continue
                if x in ("+", "-") and (prev.kind == "str" or nxt.kind == "str" or
                                        _stringish(a, i - 1) or _stringish_next(a, i + 1)):
                    continue
                if x == "+" and prev.kind == "id" and prev.text.startswith("sz"):
                    continue
                for y in AOR_MAP[x]:
                    add("aor", [(t.start, t.end, y)], "%s -> %s" % (x, y))
            elif x in ("++", "--"):
                if (nxt is not None and nxt.kind == "id" and nxt.text not in KEYWORDS) or \
                        (prev is not None and (prev.kind == "id" or prev.text in (")", "]"))
                         and prev.text not in KEYWORDS):
                    y = "--" if x == "++" else "++"
                    add("aor", [(t.start, t.end, y)], "%s -> %s" % (x, y))
            elif x in ("+=", "-="):
                if nxt is not None and nxt.kind in ("str", "chr"):
                    continue
                if prev is not None and prev.kind == "id" and prev.text.startswith("sz"):
                    continue
                y = "-=" if x == "+=" else "+="
                add("aor", [(t.start, t.end, y)], "%s -> %s" % (x, y))
            elif x in ("<<", ">>") and not a.in_template[i] and i not in a.template_close and \
                    is_value_end_a(a, i - 1) and nxt is not None and (
                        nxt.kind in ("id", "num") or nxt.text == "("):
                y = ">>" if x == "<<" else "<<"
                add("shift", [(t.start, t.end, y)], "%s -> %s" % (x, y))
        elif t.kind == "num" and not a.in_template[i]:
            if prev is not None and prev.kind == "op" and prev.text == "[" and \
                    _array_declarator(a, i - 1):
                continue
            for y in int_variants(t.text):
                if prev is not None and prev.kind == "id" and prev.text == "case" and \
                        y in case_values:
                    continue
                add("const", [(t.start, t.end, y)], "%s -> %s" % (t.text, y))
        elif t.kind == "id" and t.text in ("if", "while") and nxt is not None and \
                nxt.text == "(" and (i + 1) in a.match:
            o, c = i + 1, a.match[i + 1]
            # With an init-statement, only the condition after it.
            first = o + 1
            for k in range(o + 1, c):
                if toks[k].text == ";" and a.pdepth[k] == a.pdepth[o] + 1:
                    first = k + 1
            if first >= c:
                continue
            f = toks[first]
            if f.kind == "id" and (f.text in TYPE_KEYWORDS or is_type_like(f)) and \
                    first + 1 < c and (toks[first + 1].kind == "id" or toks[first + 1].text in (
                        "*", "&", "::", "<")):
                continue  # a declaration as the condition
            if f.kind == "id" and f.text in ("constexpr", "consteval"):
                continue
            add("neg", [(f.start, f.start, "!("), (toks[c].start, toks[c].start, ")")],
                "%s (x) -> %s (!(x))" % (t.text, t.text))

    out.extend(_deletions(rel, a))
    _describe(out, src, a)
    return out


STRING_MAKERS = {"string", "to_string", "substr", "c_str", "str", "LogBytes", "Dotted"}


def _stringish(a, k):
    """Whether the operand ending at token k is a std::string (by the project's names)."""
    t = a.toks[k]
    if t.kind == "id":
        return t.text.startswith("sz") or t.text.startswith("str")
    if t.text == ")" and k in a.match:
        o = a.match[k]
        return o > 0 and a.toks[o - 1].kind == "id" and a.toks[o - 1].text in STRING_MAKERS
    return False


def _stringish_next(a, k):
    toks = a.toks
    if k >= a.n:
        return False
    if toks[k].kind == "id" and toks[k].text == "std" and k + 2 < a.n:
        return toks[k + 2].text in STRING_MAKERS
    if toks[k].kind == "id" and (toks[k].text.startswith("sz") or toks[k].text in STRING_MAKERS):
        return k + 1 < a.n and toks[k + 1].text not in ("[", ".", "->")
    return False


def _array_declarator(a, bracket):
    """Whether the '[' at index bracket sizes an array in a declaration."""
    toks = a.toks
    if bracket < 2 or toks[bracket - 1].kind != "id":
        return False
    before = toks[bracket - 2]
    if before.kind == "id" and (before.text in TYPE_KEYWORDS or is_type_like(before)):
        return True
    if before.kind == "op" and before.text in ("*", "&", ">", "::"):
        return True
    return False


def _is_declaration(a, s, e):
    """Whether the statement toks[s:e] declares something."""
    toks = a.toks
    t = toks[s]
    if t.kind == "id" and t.text in DECL_START:
        return True
    if t.kind != "id" or t.text in KEYWORDS:
        return False
    k = s
    # A qualified name, with template arguments.
    while k < e:
        if toks[k].kind == "id":
            k += 1
        else:
            return False
        if k < e and toks[k].text == "<" and k in a.template_open:
            while k < e and not (toks[k].text in (">", ">>") and k in a.template_close):
                k += 1
            k += 1
        if k < e and toks[k].text == "::":
            k += 1
            continue
        break
    if k >= e:
        return False
    x = toks[k]
    if x.kind == "id":
        return True
    if x.text in ("*", "&", "&&") and k + 1 < e and toks[k + 1].kind == "id" and \
            is_type_like(toks[s]) or (x.text in ("*", "&") and k + 2 < e and
                                      toks[k + 1].kind == "id" and
                                      toks[k + 2].text in ("=", ";", "{", "(", "[", ",")
                                      and is_type_like(toks[k - 1])):
        return True
    return False


def _deletions(rel, a):
    toks, src = a.toks, a.src
    out = []
    by_line = {}
    for i, t in enumerate(toks):
        by_line.setdefault(t.line, []).append(i)
    for line, idx in sorted(by_line.items()):
        s, e = idx[0], idx[-1]
        if toks[e].text != ";" or toks[s].line != toks[e].line:
            continue
        if not a.code_block(s) or a.pdepth[s] != 0 or a.pdepth[e] != 0:
            continue
        if a.enclosing[e] != a.enclosing[s]:
            continue
        # Exactly one statement: no other ';' at depth 0 on the line.
        if any(toks[k].text == ";" and a.pdepth[k] == 0 and a.enclosing[k] == a.enclosing[s]
               for k in range(s, e)):
            continue
        # Balanced on the line.
        if any(k in a.match and not (s <= a.match[k] <= e) for k in range(s, e + 1)):
            continue
        p = toks[s - 1] if s > 0 else None
        if p is None:
            continue
        if p.text == "{":
            if a.brace_kind.get(s - 1) not in ("function", "lambda", "control", "switch", "block"):
                continue
        elif p.text == ":":
            st = a._statement_start(s - 1)
            if not (toks[st].kind == "id" and toks[st].text in ("case", "default")):
                continue
        elif p.text not in (";", "}"):
            continue
        f = toks[s]
        if f.text == "(" and s + 1 < a.n and toks[s + 1].text == "void":
            continue  # (void)x;
        if f.kind == "id" and f.text in ("case", "default", "public", "private", "protected",
                                          "else", "do"):
            continue
        if _is_declaration(a, s, e):
            continue
        if f.kind == "id" and f.text == "return" and toks[s + 1].text != ";":
            b = a.enclosing[s]
            if a.brace_kind.get(b) in ("function", "lambda") and e + 1 < a.n and \
                    toks[e + 1].text == "}" and a.match.get(e + 1) == b:
                continue  # the value a function ends on
        if f.kind == "id" and f.text == "break" and e + 1 < a.n and toks[e + 1].text == "}" \
                and a.brace_kind.get(a.enclosing[s]) == "switch":
            continue  # the last break of a switch
        out.append(Mutant(rel, "del", [(f.start, toks[e].end, "")], "statement deleted"))
    return out


def _normalise(text):
    return " ".join(text.split())


def _describe(mutants, src, a):
    """Fills in line numbers, the identity texts and the occurrence indexes."""
    code = "".join(ch if a.mask[k] else " " for k, ch in enumerate(src))
    line_starts = [0]
    for k, ch in enumerate(src):
        if ch == "\n":
            line_starts.append(k + 1)

    def line_of(off):
        lo, hi = 0, len(line_starts) - 1
        while lo < hi:
            mid = (lo + hi + 1) // 2
            if line_starts[mid] <= off:
                lo = mid
            else:
                hi = mid - 1
        return lo + 1

    seen = {}
    for m in sorted(mutants, key=lambda m: (min(e[0] for e in m.edits), m.kind, m.desc)):
        a0 = min(e[0] for e in m.edits)
        b0 = max(e[1] for e in m.edits)
        m.line, m.end_line = line_of(a0), line_of(b0)
        ls = line_starts[m.line - 1]
        le = line_starts[m.end_line] - 1 if m.end_line < len(line_starts) else len(src)
        m.orig_text = _normalise(code[ls:le])
        shifted = [(x - ls, y - ls, t) for x, y, t in m.edits]
        piece = code[ls:le]
        for x, y, t in sorted(shifted, key=lambda e: e[0], reverse=True):
            piece = piece[:x] + t + piece[y:]
        m.mut_text = _normalise(piece)
        key = (m.kind, m.orig_text, m.mut_text)
        m.occ = seen.get(key, 0)
        seen[key] = m.occ + 1
    mutants.sort(key=lambda m: (m.line, min(e[0] for e in m.edits), m.kind, m.mut_text))


# --------------------------------------------------------------------------------------
# Sampling.

def core_files(root):
    files = []
    for folder in CORE_FOLDERS:
        d = os.path.join(root, folder)
        if not os.path.isdir(d):
            continue
        for name in sorted(os.listdir(d)):
            if name.endswith(".cc") and not name.endswith("_test.cc") and \
                    not name.startswith("test_"):
                files.append(folder + "/" + name)
    return files


def select_files(all_files, patterns):
    if not patterns:
        return all_files
    chosen = []
    for f in all_files:
        for p in patterns:
            p = p.rstrip("/")
            if f == p or f.startswith(p + "/") or re.fullmatch(_glob_re(p), f):
                chosen.append(f)
                break
    return chosen


def _glob_re(p):
    return "".join(".*" if ch == "*" else "[^/]" if ch == "?" else re.escape(ch) for ch in p)


def sample(mutants, seed, per_file):
    def rank(m):
        return hashlib.sha256(("%s\0%s" % (seed, m.identity)).encode()).hexdigest()
    chosen = sorted(mutants, key=rank)[:per_file]
    return sorted(chosen, key=lambda m: (m.line, m.kind, m.mut_text))


def choose_files(files, seed, count):
    def rank(f):
        return hashlib.sha256(("files\0%s\0%s" % (seed, f)).encode()).hexdigest()
    return sorted(sorted(files, key=rank)[:count])


def read_equivalents(path):
    eq = {}
    if not os.path.exists(path):
        return eq
    with open(path, encoding="utf-8") as fh:
        for raw in fh:
            line = raw.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            ident, sep, reason = line.partition(" # ")
            eq[ident.strip()] = reason.strip() if sep else ""
    return eq


# --------------------------------------------------------------------------------------
# Running.

def log(msg):
    print(msg, flush=True)


def run(cmd, cwd=None, timeout=None, env=None, out=None):
    """Runs cmd in its own process group; returns (returncode or 'timeout', output)."""
    p = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, start_new_session=True)
    try:
        data, _ = p.communicate(timeout=timeout)
        rc = p.returncode
    except subprocess.TimeoutExpired:
        _kill_group(p)
        data, _ = p.communicate()
        rc = "timeout"
    text = data.decode("utf-8", "replace")
    if out is not None:
        with open(out, "w", encoding="utf-8") as fh:
            fh.write(text)
    return rc, text


def _kill_group(p):
    try:
        os.killpg(p.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


class Tree:
    """The private copy of the checkout and its build directory."""

    def __init__(self, src_root, args):
        self.args = args
        self.tmp = tempfile.mkdtemp(prefix="mut-", dir="/tmp")
        self.logs = os.path.join(self.tmp, "logs")
        os.makedirs(self.logs)
        if args.in_place:
            # The checkout itself and its configured build directory: each mutated file is
            # put back after its run and rebuilt at the end.
            self.root = src_root
            self.build = os.path.abspath(args.in_place)
        else:
            self.root = os.path.join(self.tmp, "src")
            self.build = os.path.join(self.root, "build")
            self._copy(src_root)
        self.env = dict(os.environ)
        self.env["VELMORA_CLOCK_OFFSET"] = "1"
        # A mutant that crashes a test leaves that test's root behind: the roots go inside
        # the private tree, which goes at the end.
        self.env["TMPDIR"] = os.path.join(self.tmp, "roots")
        os.makedirs(self.env["TMPDIR"])
        self.env.setdefault("VELMORA_E2E_NET", "3")
        if shutil.which("ccache"):
            self.env["CMAKE_CXX_COMPILER_LAUNCHER"] = "ccache"
            # Paths relative to the copy, so that later copies hit the same cache entries.
            self.env["CCACHE_BASEDIR"] = self.root
        self.all_built = False
        self.flaky = []  # failures that did not repeat
        self.unit_times = {}
        self.e2e_baseline = {}

    def _copy(self, src_root):
        try:
            listing = subprocess.run(
                ["git", "-C", src_root, "ls-files", "-z", "--cached", "--others",
                 "--exclude-standard"], check=True, stdout=subprocess.PIPE).stdout
            names = [n for n in listing.decode().split("\0") if n]
        except (OSError, subprocess.CalledProcessError):
            names = []
            for d, dirs, files in os.walk(src_root):
                dirs[:] = [x for x in dirs if not x.startswith(("build", ".git"))]
                names += [os.path.relpath(os.path.join(d, f), src_root) for f in files]
        for name in names:
            s = os.path.join(src_root, name)
            if not os.path.isfile(s):
                continue
            t = os.path.join(self.root, name)
            os.makedirs(os.path.dirname(t), exist_ok=True)
            shutil.copy2(s, t)

    def nice(self, cmd):
        return (["nice", "-n", str(self.args.nice)] if self.args.nice else []) + cmd

    def configure(self):
        if self.args.in_place:
            return
        cmd = ["cmake", "-S", self.root, "-B", self.build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
               # No debug information: faster compiles and links, the same code.
               "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG",
               # A mutant that only draws a warning still runs.
               "-DVELMORA_WERROR=OFF", "-DVELMORA_BENCH=OFF", "-DVELMORA_FUZZ=OFF"]
        if shutil.which("ninja"):
            cmd += ["-G", "Ninja"]
        rc, text = run(cmd, env=self.env, out=os.path.join(self.logs, "configure.log"))
        if rc != 0:
            raise SystemExit("mutate: configure failed:\n" + text[-3000:])

    def build_target(self, target, logname):
        cmd = self.nice(["cmake", "--build", self.build, "-j", str(self.args.build_jobs)])
        if target:
            cmd += ["--target", target]
        rc, text = run(cmd, env=self.env, timeout=self.args.build_timeout,
                       out=os.path.join(self.logs, logname))
        return rc == 0, text

    # Unit tests, split into parallel groups by their baseline times.
    def unit_baseline(self):
        ok, text = self.build_target("unit_tests", "build-unit.log")
        if not ok:
            raise SystemExit("mutate: the unit tests do not build:\n" + text[-3000:])
        js = os.path.join(self.logs, "unit-baseline.json")
        exe = os.path.join(self.build, "bin", "unit_tests")
        t0 = time.time()
        rc, text = run(self.nice([exe, "--gtest_output=json:" + js]), cwd=self.tmp,
                       env=self.env, timeout=max(600, self.args.timeout * 3),
                       out=os.path.join(self.logs, "unit-baseline.log"))
        if rc != 0:
            raise SystemExit("mutate: the unit tests fail without a mutant (%s):\n%s" %
                             (rc, "\n".join(l for l in text.splitlines() if "FAILED" in l)))
        with open(js, encoding="utf-8") as fh:
            data = json.load(fh)
        for suite in data.get("testsuites", []):
            for case in suite.get("testsuite", []):
                name = "%s.%s" % (suite["name"], case["name"])
                self.unit_times[name] = float(str(case.get("time", "0s")).rstrip("s") or 0)
        log("unit tests: %d in %.0f s without a mutant" % (len(self.unit_times), time.time() - t0))
        self.groups = self._groups(self.args.test_jobs)

    def _groups(self, count):
        bins = [[0.0, []] for _ in range(max(1, count))]
        for name, t in sorted(self.unit_times.items(), key=lambda kv: (-kv[1], kv[0])):
            b = min(bins, key=lambda x: x[0])
            b[0] += t + 0.01
            b[1].append(name)
        return [b[1] for b in bins if b[1]]

    def run_unit(self, tag):
        """Runs the unit tests; a failure counts only when the failing test's group fails
        again (one that passes then is noted as flaky and the whole run is made once
        more). Returns (killed, why)."""
        for attempt in range(2):
            killed, why, group = self._run_unit_groups("%s%s" % (tag, "-again" * attempt))
            if not killed or group is None:
                return killed, why  # passed, or timed out
            # The failing test's group once more, in the same order (a test may fail only
            # after the ones before it).
            rc, _ = run(self.nice([os.path.join(self.build, "bin", "unit_tests"),
                                   "--gtest_brief=1", "--gtest_fail_fast",
                                   "--gtest_filter=" + ":".join(self.groups[group])]),
                        cwd=self.tmp, env=self.env, timeout=self.args.timeout,
                        out=os.path.join(self.logs, "%s-unit-confirm%d.log" % (tag, attempt)))
            if rc != 0:
                return True, why
            self.flaky.append("%s: %s" % (tag, why))
            log("  (%s did not fail again: flaky, ignored)" % why)
        return False, None

    def _start_unit(self, names, logf, options):
        """Starts the unit tests named, in a session of their own, output to logf."""
        exe = os.path.join(self.build, "bin", "unit_tests")
        cmd = [exe] + options + ["--gtest_filter=" + ":".join(names)]
        return subprocess.Popen(self.nice(cmd), cwd=self.tmp, env=self.env, stdout=logf,
                                stderr=subprocess.STDOUT, start_new_session=True)

    def _run_unit_groups(self, tag):
        """Runs the unit tests in parallel groups; returns (killed, why, failed group)."""
        procs = []
        for g, names in enumerate(self.groups):
            logf = open(os.path.join(self.logs, "%s-unit-%d.log" % (tag, g)), "wb")
            p = self._start_unit(names, logf, ["--gtest_fail_fast", "--gtest_brief=1"])
            procs.append((p, logf, g))
        deadline = time.time() + self.args.timeout
        why = None
        failed_group = None
        running = list(procs)
        while running and why is None:
            time.sleep(0.2)
            for item in list(running):
                p = item[0]
                rc = p.poll()
                if rc is None:
                    continue
                running.remove(item)
                if rc != 0:
                    failed_group = item[2]
                    why = "unit tests failed (%s)" % _failed_names(
                        os.path.join(self.logs, "%s-unit-%d.log" % (tag, item[2])), rc)
            if time.time() > deadline and why is None:
                why = "unit tests timed out after %d s" % self.args.timeout
        for p, logf, _ in procs:
            if p.poll() is None:
                _kill_group(p)
                p.wait()
            logf.close()
        return why is not None, why, failed_group

    def run_unit_all(self, tag):
        """Runs every unit test (parallel groups, no fail-fast); the names that failed."""
        failed = set()
        sites = {}
        pending = [list(g) for g in self.groups]
        round_ = 0
        while pending:
            procs = []
            for g, names in enumerate(pending):
                lp = os.path.join(self.logs, "%s-all-%d-%d.log" % (tag, round_, g))
                logf = open(lp, "wb")
                p = self._start_unit(names, logf, [])
                procs.append((p, logf, lp, names))
            deadline = time.time() + self.args.timeout
            again = []
            for p, logf, lp, names in procs:
                try:
                    p.wait(timeout=max(1, deadline - time.time()))
                except subprocess.TimeoutExpired:
                    _kill_group(p)
                    p.wait()
                logf.close()
                with open(lp, encoding="utf-8", errors="replace") as fh:
                    text = fh.read()
                done = set(re.findall(r"^\[       OK \] ([^\s,]+)", text, re.M))
                bad = set(FAILED_RE.findall(text))
                failed |= bad & set(names)
                for name, body in re.findall(
                        r"^\[ RUN      \] (\S+)\n(.*?)(?=^\[ RUN      \]|\Z)", text,
                        re.M | re.S):
                    sites.setdefault(name, set()).update(_failure_sites(body))
                if p.returncode != 0:
                    ran = re.findall(r"^\[ RUN      \] ([^\s,]+)", text, re.M)
                    if ran and ran[-1] not in done and ran[-1] not in bad:
                        failed.add(ran[-1])  # crashed or hung
                    left = [n for n in names if n not in done and n not in bad and
                            n not in ran]
                    if left:
                        again.append(left)
            pending = again
            round_ += 1
        return sorted(failed), {n: sorted(sites.get(n, ())) for n in sorted(failed)}

    # End-to-end suites.
    def ensure_all_built(self, logname):
        ok, text = self.build_target(None, logname)
        return ok, text

    def run_e2e(self, flt, tag, fail_fast=True):
        exe = os.path.join(self.build, "bin", "e2e_tests")
        rc, text = run(self.nice([exe, "--gtest_brief=1"] +
                                 (["--gtest_fail_fast"] if fail_fast else []) +
                                 ["--gtest_filter=" + flt]),
                       cwd=self.tmp, env=self.env, timeout=self.args.e2e_timeout,
                       out=os.path.join(self.logs, "%s-e2e.log" % tag))
        return rc, text

    def has_e2e_plan(self, folder):
        return all(flt in self.e2e_baseline for _, flt in e2e_filters(self.root, folder))

    def e2e_plan(self, folder):
        """The folder's e2e filters, quickest first, each without the tests that fail
        without a mutant (run once per filter on the unmutated tree)."""
        plan = []
        for name, flt in e2e_filters(self.root, folder):
            if flt not in self.e2e_baseline:
                self.e2e_baseline[flt] = self._e2e_baseline(name, flt)
            final, secs = self.e2e_baseline[flt]
            if final:
                plan.append((secs, name, final))
        return [(name, flt) for _, name, flt in sorted(plan)]

    def _e2e_baseline(self, name, flt):
        if self.args.no_e2e_baseline:
            return flt, 0.0
        ok, text = self.ensure_all_built("build-all-baseline.log")
        if not ok:
            raise SystemExit("mutate: the programs do not build:\n" + text[-3000:])
        tag = "baseline-" + name.replace(".cc", "")
        t0 = time.time()
        rc, text = self.run_e2e(flt, tag, fail_fast=False)
        secs = time.time() - t0
        if re.search(r"^\[==========\] 0 tests", text, re.M):
            log("warning: no e2e test matches %s (%s)" % (flt, name))
            return None, secs
        if rc != 0:
            bad = sorted(set(FAILED_RE.findall(text)))
            log("warning: e2e tests failing without a mutant are left out: %s" %
                (" ".join(bad) or rc))
            if not bad:
                return None, secs
            flt = flt + "-" + ":".join(bad)
        log("e2e baseline %s: %.0f s" % (name, secs))
        return flt, secs


def _failed_names(path, rc):
    try:
        with open(path, encoding="utf-8", errors="replace") as fh:
            text = fh.read()
    except OSError:
        return str(rc)
    names = FAILED_RE.findall(text)
    if names:
        return ", ".join(sorted(set(names))[:3])
    if isinstance(rc, int) and rc < 0:
        return "signal %d" % -rc
    return "exit %s" % rc


def write_patch(outdir, m, orig, mutated, n):
    os.makedirs(outdir, exist_ok=True)
    name = "%s-%s-L%d-%d.patch" % (m.file.replace("/", "_").replace(".cc", ""), m.kind, m.line,
                                   n)
    diff = difflib.unified_diff(orig.splitlines(True), mutated.splitlines(True),
                                "a/" + m.file, "b/" + m.file, n=3)
    with open(os.path.join(outdir, name), "w", encoding="utf-8") as fh:
        fh.write("Mutant: %s\n" % m.identity)
        fh.write("Line %d: %s (%s)\n\n" % (m.line, KIND_TEXT[m.kind], m.desc))
        fh.writelines(diff)
    return name


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(
        description="Mutation testing of the Velmora core with the project's own tests.")
    ap.add_argument("--src", default=os.path.dirname(here), help="checkout (default: this one)")
    ap.add_argument("--seed", default="1", help="sample seed (default 1)")
    ap.add_argument("--per-file", type=int, default=2, help="mutants per file (default 2)")
    ap.add_argument("--files", nargs="*", default=[],
                    help="files, folders or globs (default: every core file)")
    ap.add_argument("--pick-files", type=int, default=0,
                    help="draw this many of the selected files by the seed")
    ap.add_argument("--kinds", default=",".join(KINDS), help="mutation kinds to draw from")
    ap.add_argument("--min-score", type=float, default=0.0,
                    help="exit 1 when the score (percent) is below this")
    ap.add_argument("--out", default=None, help="survivor patches (default build/mutants)")
    ap.add_argument("--equivalents", default=None,
                    help="equivalent list (default tests/equivalent-mutants.txt)")
    ap.add_argument("--timeout", type=int, default=120, help="unit test time-out, seconds")
    ap.add_argument("--e2e-timeout", type=int, default=900, help="e2e time-out, seconds")
    ap.add_argument("--build-timeout", type=int, default=1800, help="build time-out, seconds")
    ap.add_argument("--no-e2e", action="store_true", help="unit tests only")
    ap.add_argument("--no-e2e-baseline", action="store_true",
                    help="do not run the e2e suites without a mutant first (trust they pass)")
    ap.add_argument("--stop-below", action="store_true",
                    help="stop as soon as the score can no longer reach --min-score")
    ap.add_argument("--test-jobs", type=int, default=6,
                    help="parallel unit test groups (they mostly wait; default 6)")
    ap.add_argument("--build-jobs", type=int, default=2)
    ap.add_argument("--nice", type=int, default=10, help="nice level of builds and tests")
    ap.add_argument("--match", default=None,
                    help="run only the sampled mutants whose name matches this regex")
    ap.add_argument("--list", action="store_true", help="print the sample, run nothing")
    ap.add_argument("--list-all", action="store_true", help="print every site, run nothing")
    ap.add_argument("--keep", action="store_true", help="keep the private tree")
    ap.add_argument("--matrix", metavar="FILE", default=None,
                    help="run every unit test on each mutant (no e2e) and write, one JSON "
                         "line a mutant, which tests it fails: what each test alone guards")
    ap.add_argument("--in-place", metavar="BUILD_DIR", default=None,
                    help="mutate this checkout and build in its configured BUILD_DIR (no "
                         "copy; each file is put back, the programs rebuilt at the end)")
    args = ap.parse_args(argv)

    src_root = os.path.abspath(args.src)
    eq_path = args.equivalents or os.path.join(src_root, "tests", "equivalent-mutants.txt")
    outdir = os.path.abspath(args.out or os.path.join(src_root, "build", "mutants"))
    kinds = set(k.strip() for k in args.kinds.split(",") if k.strip())
    files = select_files(core_files(src_root), args.files)
    if args.pick_files:
        files = choose_files(files, args.seed, args.pick_files)
    if not files:
        raise SystemExit("mutate: no core file selected")

    plan = []
    sources = {}
    for f in files:
        with open(os.path.join(src_root, f), encoding="utf-8") as fh:
            sources[f] = fh.read()
        sites = [m for m in find_sites(f, sources[f]) if m.kind in kinds]
        if args.list_all:
            for m in sites:
                print("%s:%d  %s" % (f, m.line, m.identity))
            continue
        chosen = sample(sites, args.seed, args.per_file)
        if args.match:
            chosen = [m for m in chosen if re.search(args.match, m.identity)]
        plan.append((f, len(sites), chosen))
    if args.list_all:
        return 0
    equivalents = read_equivalents(eq_path)
    total = sum(len(s) for _, _, s in plan)
    log("mutate: seed %s, %d file(s), %d mutant(s)" % (args.seed, len(files), total))
    if args.list:
        for f, nsites, chosen in plan:
            for m in chosen:
                mark = "  [equivalent]" if m.identity in equivalents else ""
                print("%s:%d  %s%s" % (f, m.line, m.identity, mark))
        return 0

    if os.path.isdir(outdir):
        for name in os.listdir(outdir):
            if name.endswith(".patch"):
                os.remove(os.path.join(outdir, name))
    tree = Tree(src_root, args)
    log("mutate: %s %s" % (("in place, build in %s, logs in" % tree.build) if args.in_place
                           else "private tree", tree.tmp))
    results = []
    t_start = time.time()
    k = 0
    matrix_out = open(args.matrix, "w", encoding="utf-8") if args.matrix else None
    try:
        tree.configure()
        tree.unit_baseline()
        for f, nsites, chosen in plan:
            folder = f.split("/")[0]
            path = os.path.join(tree.root, f)
            orig = sources[f]
            for m in chosen:
                k += 1
                tag = "m%03d" % k
                if m.identity in equivalents:
                    results.append((m, "equivalent", equivalents[m.identity]))
                    log("[%d/%d] %s:%d %s: equivalent" % (k, total, f, m.line, m.desc))
                    continue
                t0 = time.time()
                mutated = m.apply(orig)
                with open(path, "w", encoding="utf-8") as fh:
                    fh.write(mutated)
                try:
                    if args.matrix:
                        outcome, why = matrix_mutant(tree, m, f, tag, matrix_out)
                    else:
                        outcome, why = run_mutant(tree, m, f, folder, tag, path, orig, mutated)
                finally:
                    with open(path, "w", encoding="utf-8") as fh:
                        fh.write(orig)
                if outcome == "survived":
                    why = "patch " + write_patch(outdir, m, orig, mutated, k)
                results.append((m, outcome, why))
                if args.stop_below and args.min_score > 0 and \
                        best_score(results, total) < args.min_score:
                    log("[%d/%d] %s:%d %s (%s): %s, %s" % (
                        k, total, f, m.line, KIND_TEXT[m.kind], m.desc, outcome, why))
                    log("mutate: the score can no longer reach %.1f %%: stopping" %
                        args.min_score)
                    raise StopRun()
                log("[%d/%d] %s:%d %s (%s): %s, %s  [%.0f s]" % (
                    k, total, f, m.line, KIND_TEXT[m.kind], m.desc, outcome, why,
                    time.time() - t0))
    except StopRun:
        pass
    finally:
        if matrix_out:
            matrix_out.close()
        if args.in_place and k > 0:
            # The build directory holds the last mutant's objects: build the real ones.
            tree.build_target(None, "restore.log")
        if not args.keep:
            shutil.rmtree(tree.tmp, ignore_errors=True)
        else:
            log("mutate: kept %s" % tree.tmp)
    score = report(results, plan, time.time() - t_start, outdir)
    if tree.flaky:
        print("\ntest failures that did not repeat with the mutant (not counted as kills):")
        for line in tree.flaky:
            print("  " + line)
    if score is not None and score < args.min_score:
        log("mutate: score %.1f %% is below %.1f %%" % (score, args.min_score))
        return 1
    return 0


def write_text(path, text):
    with open(path, "w", encoding="utf-8") as fh:
        fh.write(text)


class StopRun(Exception):
    pass


def best_score(results, total):
    """The score if every mutant still to run were killed."""
    killed = sum(1 for x in results if x[1] == "killed")
    survived = sum(1 for x in results if x[1] == "survived")
    pending = total - len(results)
    denom = killed + survived + pending
    return 100.0 * (killed + pending) / denom if denom else 100.0


def run_mutant(tree, m, f, folder, tag, path, orig, mutated):
    target = PROGRAM_ONLY_FILES.get(f, "unit_tests")
    ok, text = tree.build_target(target, "%s-build.log" % tag)
    if not ok:
        return "invalid", _first_error(text)
    if target == "unit_tests":
        killed, why = tree.run_unit(tag)
        if killed:
            return "killed", why
    if tree.args.no_e2e:
        return "survived", "unit tests pass"
    if not tree.has_e2e_plan(folder):
        # The folder's baseline runs on the unmutated tree.
        write_text(path, orig)
        try:
            tree.e2e_plan(folder)
        finally:
            write_text(path, mutated)
    plan = tree.e2e_plan(folder)
    if not plan:
        return "survived", "unit tests pass, no e2e suite"
    ok, text = tree.ensure_all_built("%s-build-all.log" % tag)
    if not ok:
        return "invalid", _first_error(text)
    for name, flt in plan:
        rc, text = tree.run_e2e(flt, "%s-%s" % (tag, name.replace(".cc", "")))
        if rc == "timeout":
            return "killed", "e2e %s timed out after %d s" % (name, tree.args.e2e_timeout)
        if rc != 0:
            names = sorted(set(FAILED_RE.findall(text)))
            why = "e2e failed (%s)" % (", ".join(names[:3]) or "%s exit %s" % (name, rc))
            # Counted only when the failing tests fail again with the mutant.
            rc2, _ = tree.run_e2e(":".join(names) if names else flt,
                                  "%s-%s-confirm" % (tag, name.replace(".cc", "")),
                                  fail_fast=False)
            if rc2 != 0:
                return "killed", why
            tree.flaky.append("%s: %s" % (tag, why))
            log("  (%s did not fail again: flaky, ignored)" % why)
    return "survived", "unit and e2e tests pass"


def matrix_mutant(tree, m, f, tag, out):
    """Every unit test on the mutant: which fail (a crash or a hang fails the test that was
    running; the rest of its group then runs on)."""
    target = PROGRAM_ONLY_FILES.get(f, "unit_tests")
    ok, text = tree.build_target(target, "%s-build.log" % tag)
    failed, sites = [], {}
    if not ok:
        outcome, why = "invalid", _first_error(text)
    elif target != "unit_tests":
        outcome, why = "survived", "not in the unit tests"
    else:
        failed, sites = tree.run_unit_all(tag)
        outcome = "killed" if failed else "survived"
        why = "%d unit test(s) fail" % len(failed)
    out.write(json.dumps({"mutant": m.identity, "file": f, "line": m.line,
                          "outcome": outcome, "failed": failed, "sites": sites}) + "\n")
    out.flush()
    return outcome, why


def _test_path(path):
    k = path.rfind("tests/")
    return path[k:] if k >= 0 else os.path.basename(path)


def _failure_sites(body):
    """The places a failed test reported, each "file:line" of the failing check followed by
    the trace lines (rows of a table) in effect there."""
    out = set()
    for m in re.finditer(r"^(\S+?):(\d+): Failure\n(.*?)(?=^\S+?:\d+: Failure|\Z)", body,
                         re.M | re.S):
        where = "%s:%s" % (_test_path(m.group(1)), m.group(2))
        trace = re.findall(r"^(\S+?:\d+): (.*)$", m.group(3).split("Google Test trace:", 1)[1],
                           re.M) if "Google Test trace:" in m.group(3) else []
        out.add(where + "".join(" | %s %s" % (_test_path(t[0]), t[1][:80])
                                for t in trace[:3]))
    return out


def _first_error(text):
    for line in text.splitlines():
        if "error:" in line:
            return "does not compile: " + line.split("error:", 1)[1].strip()[:120]
    return "does not build"


def report(results, plan, elapsed, outdir):
    rows = []
    tot = {"valid": 0, "killed": 0, "survived": 0, "equivalent": 0, "invalid": 0}
    for f, nsites, chosen in plan:
        r = [x for x in results if x[0].file == f]
        c = {k: sum(1 for x in r if x[1] == k) for k in ("killed", "survived", "equivalent",
                                                         "invalid")}
        c["valid"] = c["killed"] + c["survived"] + c["equivalent"]
        for key in tot:
            tot[key] += c[key]
        rows.append((f, nsites, c))
    print()
    print("%-32s %6s %6s %7s %9s %11s %8s" % ("file", "sites", "valid", "killed", "survived",
                                                "equivalent", "invalid"))
    for f, nsites, c in rows:
        print("%-32s %6d %6d %7d %9d %11d %8d" % (f, nsites, c["valid"], c["killed"],
                                                   c["survived"], c["equivalent"], c["invalid"]))
    print("%-32s %6s %6d %7d %9d %11d %8d" % ("total", "", tot["valid"], tot["killed"],
                                               tot["survived"], tot["equivalent"],
                                               tot["invalid"]))
    denom = tot["valid"] - tot["equivalent"]
    score = 100.0 * tot["killed"] / denom if denom > 0 else None
    print()
    if score is None:
        print("score: no valid mutant")
    else:
        print("score: %.1f %% (killed %d / (valid %d - equivalent %d)), %.0f min" % (
            score, tot["killed"], tot["valid"], tot["equivalent"], elapsed / 60))
    surv = [x for x in results if x[1] == "survived"]
    if surv:
        print("\nsurvivors (patches in %s):" % outdir)
        for m, _, why in surv:
            print("  %s:%d  %s: %s" % (m.file, m.line, KIND_TEXT[m.kind], m.identity))
    inval = [x for x in results if x[1] == "invalid"]
    if inval:
        print("\ninvalid (do not compile):")
        for m, _, why in inval:
            print("  %s:%d  %s  (%s)" % (m.file, m.line, m.desc, why))
    return score


if __name__ == "__main__":
    sys.exit(main())
