"""The manual page and the README tell one truth about what system audio
holds: every sentence of the manual's notes that speaks of system audio is a
sentence of the README's section on Linux, word for word."""

import os
import re
import unittest

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")


def read(name):
    with open(os.path.join(ROOT, name), encoding="utf-8") as f:
        return f.read()


def between(text, start, end):
    return text[text.index(start):text.index(end, text.index(start))]


def sentences(text):
    return re.split(r"(?<=[.;:])\s+", " ".join(text.split()))


def roff_text(roff):
    """The words of roff source: macro names, quotes and escapes gone."""
    lines = (re.sub(r"^\.[A-Z]+\b ?", "", line).replace('"', "") for line in roff.splitlines())
    return re.sub(r"\\f[BIRP]", "", "\n".join(lines)).replace("\\-", "-").replace("\\&", "")


def markdown_text(markdown):
    return re.sub(r"^\s*- ", "", markdown, flags=re.M).replace("`", "").replace("**", "")


class Docs(unittest.TestCase):
    def test_the_manual_says_of_system_audio_what_the_readme_says(self):
        manual = sentences(roff_text(between(read("doc/korvalin-cap.1"), ".SH NOTES", ".SH ENVIRONMENT")))
        readme = sentences(markdown_text(between(read("README.md"), "## On Linux", "\n## ")))
        claims = [s for s in manual if re.search(r"\bsystem audio\b", s, re.I)]
        self.assertGreaterEqual(len(claims), 2, manual)
        for claim in claims:
            self.assertTrue(claim in readme, "the README does not say: " + claim)


if __name__ == "__main__":
    unittest.main()
