#!/usr/bin/env python3
"""Writes the mixed benchmark corpus: indicator-like patterns from a fixed seed, in a mix
richer than bench/corpus.txt in qualifiers, timestamps, lists, FOLLOWEDBY chains, binary and
hex constants and patterns over several lines.

Corpus format (both corpora): one pattern a line; a line that begins with a space or a tab
continues the pattern above it (joined with a line feed, its indentation kept).

Usage: make_corpus.py [OUTPUT] [--count N] [--seed N]   (default bench/corpus-mixed.txt)
"""

import argparse
import base64
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))

HASHES = (("MD5", 32), ("'SHA-1'", 40), ("'SHA-256'", 64), ("'SHA-512'", 128),
          ("'SHA3-256'", 64), ("'SHA3-512'", 128), ("SSDEEP", 0), ("TLSH", 70))
TLDS = ("com", "net", "org", "info", "biz", "ru", "cn", "top", "xyz", "io", "co.uk", "cloud")
WORDS = ("update", "secure", "login", "cdn", "mail", "api", "sync", "static", "portal", "files",
         "account", "verify", "office", "drive", "share", "telemetry", "docs", "pay", "auth")
EXES = ("svchost.exe", "rundll32.exe", "powershell.exe", "cmd.exe", "mshta.exe", "regsvr32.exe",
        "wscript.exe", "certutil.exe", "bitsadmin.exe", "msiexec.exe", "schtasks.exe")
HIVES = ("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
         "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
         "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services",
         "HKEY_CURRENT_USER\\Software\\Classes\\mscfile\\shell\\open\\command",
         "HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\Microsoft\\Windows Defender")
REGEXES = ("^[a-z0-9]{12,24}\\.(top|xyz|info)$", "(?i)powershell(\\.exe)?\\s+-e(nc)?\\s+[A-Za-z0-9+/=]{40,}",
           "^https?://[^/]+/[a-f0-9]{32}\\.(php|bin)$", "^/[a-z]{3,8}/\\d{4,}/beacon$",
           "(?i)^Mozilla/4\\.0 \\(compatible; MSIE [67]\\.0",
           "^[A-Z]:\\\\\\\\Users\\\\\\\\[^\\\\\\\\]+\\\\\\\\AppData\\\\\\\\Roaming\\\\\\\\[a-z]{8}\\.exe$")


def quote(text):
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


class Maker:
    def __init__(self, rng):
        self.rng = rng

    # ---- values ----

    def hexdigits(self, count):
        return "%0*x" % (count, self.rng.getrandbits(4 * count))

    def domain(self):
        r = self.rng
        name = r.choice(WORDS) + r.choice(("-", "")) + r.choice(WORDS)
        if r.random() < 0.3:
            name += str(r.randrange(100))
        return f"{name}.{r.choice(TLDS)}"

    def ipv4(self):
        r = self.rng
        return ".".join(str(r.randrange(1, 255)) for _ in range(4))

    def cidr4(self):
        r = self.rng
        bits = r.choice((8, 12, 16, 24, 28, 32))
        return f"{self.ipv4()}/{bits}"

    def ipv6(self):
        r = self.rng
        groups = [f"{r.getrandbits(16):x}" for _ in range(r.choice((3, 4, 8)))]
        return "2001:db8:" + ":".join(groups[:6]) if len(groups) == 8 else "2001:db8:" + ":".join(groups) + "::1"

    def url(self):
        r = self.rng
        path = "/".join(r.choice(WORDS) for _ in range(r.randrange(1, 4)))
        query = f"?id={self.hexdigits(8)}" if r.random() < 0.4 else ""
        return f"{r.choice(('http', 'https'))}://{self.domain()}/{path}{query}"

    def email(self):
        r = self.rng
        return f"{r.choice(WORDS)}.{r.choice(WORDS)}{r.randrange(10)}@{self.domain()}"

    def timestamp(self, year=None):
        r = self.rng
        year = year or r.randrange(2015, 2026)
        text = (f"{year}-{r.randrange(1, 13):02d}-{r.randrange(1, 29):02d}"
                f"T{r.randrange(24):02d}:{r.randrange(60):02d}:{r.randrange(60):02d}")
        kind = r.random()
        if kind < 0.35:
            text += "." + "".join(str(r.randrange(10)) for _ in range(r.choice((3, 6, 9))))
        if kind < 0.2 or kind > 0.8:
            text += f"{r.choice('+-')}{r.randrange(0, 13):02d}:{r.choice(('00', '30'))}"
        else:
            text += "Z"
        return f"t'{text}'"

    def binary(self):
        return "b'" + base64.b64encode(self.rng.randbytes(self.rng.randrange(6, 40))).decode() + "'"

    def file_hash(self):
        r = self.rng
        name, length = r.choice(HASHES)
        if name == "SSDEEP":
            value = f"{r.choice((96, 192, 384, 768))}:{self.hexdigits(24)}:{self.hexdigits(12)}"
        else:
            value = self.hexdigits(length)
            if name == "TLSH":
                value = "T1" + value.upper()[:70]
        return f"file:hashes.{name} = {quote(value)}"

    # ---- comparisons ----

    def comparison(self):
        r = self.rng
        kind = r.randrange(24)
        if kind < 5:
            return self.file_hash()
        if kind == 5:
            return f"ipv4-addr:value = {quote(self.ipv4())}"
        if kind == 6:
            return f"ipv4-addr:value ISSUBSET {quote(self.cidr4())}"
        if kind == 7:
            op = r.choice(("=", "ISSUBSET"))
            value = self.ipv6() if op == "=" else "2001:db8::/" + str(r.choice((32, 48, 64)))
            return f"ipv6-addr:value {op} {quote(value)}"
        if kind == 8:
            return f"domain-name:value = {quote(self.domain())}"
        if kind == 9:
            return f"url:value = {quote(self.url())}"
        if kind == 10:
            return f"email-addr:value = {quote(self.email())}"
        if kind == 11:
            return (f"email-message:from_ref.value = {quote(self.email())} AND "
                    f"email-message:subject LIKE {quote('%' + r.choice(WORDS) + '%')}")
        if kind == 12:
            key = r.choice(HIVES)
            if r.random() < 0.5:
                return f"windows-registry-key:key = {quote(key)}"
            data = quote("C:\\Users\\Public\\" + r.choice(EXES))
            return (f"windows-registry-key:key LIKE {quote(key + '%')} AND "
                    f"windows-registry-key:values[*].data = {data}")
        if kind == 13:
            obj, prop = r.choice((("domain-name", "value"), ("process", "command_line"),
                                  ("url", "value"), ("network-traffic",
                                                     "extensions.'http-request-ext'.request_value")))
            return f"{obj}:{prop} MATCHES {quote(r.choice(REGEXES))}"
        if kind == 14:
            ports = ", ".join(str(r.randrange(1, 65536)) for _ in range(r.randrange(2, 6)))
            return f"network-traffic:dst_port IN ({ports})"
        if kind == 15:
            names = ", ".join(quote(r.choice(EXES)) for _ in range(r.randrange(2, 5)))
            return f"process:name IN ({names})"
        if kind == 16:
            return f"network-traffic:src_ref.value = {quote(self.ipv4())} AND network-traffic:dst_port = {r.randrange(1, 65536)}"
        if kind == 17:
            return f"file:created > {self.timestamp()}"
        if kind == 18:
            return f"artifact:payload_bin = {self.binary()}"
        if kind == 19:
            return (f"file:magic_number_hex = h'{self.hexdigits(r.choice((4, 8))).upper()}' AND "
                    f"file:size >= {r.randrange(1024, 10**7)}")
        if kind == 20:
            return f"process:name = {quote(r.choice(EXES))} AND process:pid > {r.randrange(-1, 5000)}"
        if kind == 21:
            return f"file:name NOT LIKE {quote('%.' + r.choice(('dll', 'exe', 'scr', 'lnk')))}"
        if kind == 22:
            return f"EXISTS x509-certificate:extensions.'subject-alternative-name'.dns AND x509-certificate:is_self_signed = {r.choice(('true', 'false'))}"
        return f"network-traffic:dst_byte_count > {r.randrange(10**6)} AND network-traffic:protocols[0] = 'tcp'"

    def comparison_expression(self, depth=0):
        r = self.rng
        parts = [self.comparison()]
        for _ in range(r.choice((0, 0, 0, 0, 0, 1, 1, 2))):
            op = r.choice((" AND ", " OR "))
            if depth < 2 and r.random() < 0.2:
                parts.append(f"{op}({self.comparison_expression(depth + 1)})")
            else:
                parts.append(op + self.comparison())
        return "".join(parts)

    # ---- observation expressions ----

    def qualifiers(self):
        r = self.rng
        out = []
        kind = r.random()
        if kind < 0.12:
            out.append(f" REPEATS {r.randrange(2, 50)} TIMES")
        if 0.08 < kind < 0.25:
            seconds = r.randrange(1, 86400) if r.random() < 0.8 else f"{r.randrange(1, 600)}.{r.randrange(10)}"
            out.append(f" WITHIN {seconds} SECONDS")
        if 0.25 < kind < 0.33:
            year = r.randrange(2015, 2026)
            out.append(f" START {self.timestamp(year)} STOP {self.timestamp(year + 1)}")
        return "".join(out)

    def observation(self):
        return f"[{self.comparison_expression()}]{self.qualifiers()}"

    def chain(self):
        r = self.rng
        count = r.choice((2, 2, 2, 3))
        parts = [self.observation()]
        for _ in range(count - 1):
            parts.append(f" {r.choice(('FOLLOWEDBY', 'FOLLOWEDBY', 'AND', 'OR'))} {self.observation()}")
        return "".join(parts)

    def pattern(self):
        r = self.rng
        shape = r.random()
        if shape < 0.66:
            text = self.observation()
        elif shape < 0.86:
            text = self.chain()
        elif shape < 0.95:
            text = f"({self.chain()}){self.qualifiers() or ' WITHIN ' + str(r.randrange(60, 3600)) + ' SECONDS'}"
        else:
            text = f"(({self.observation()} OR {self.observation()}) FOLLOWEDBY {self.observation()})"
        if r.random() < 0.08:
            text = self.over_lines(text)
        return text

    def over_lines(self, text):
        # Breaks before observation and comparison operators, indented as people write them.
        for word in (" FOLLOWEDBY ", " AND ", " OR "):
            text = text.replace(word, "\n    " + word.strip() + " ", 1)
        return text


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", default=os.path.join(HERE, "corpus-mixed.txt"))
    parser.add_argument("--count", type=int, default=2500)
    parser.add_argument("--seed", type=int, default=13)
    args = parser.parse_args()
    maker = Maker(random.Random(args.seed))
    with open(args.output, "w", encoding="utf-8") as out:
        for _ in range(args.count):
            out.write(maker.pattern() + "\n")


if __name__ == "__main__":
    main()
