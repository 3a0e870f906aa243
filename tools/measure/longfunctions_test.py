#!/usr/bin/env python3
"""Checks of longfunctions.py's scan: each case is a snippet and the
functions (name, first line, lines) it must report over a limit of 3 lines."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import longfunctions  # noqa: E402

BODY = "    a();\n    b();\n    c();\n"  # with a name line and two braces: six lines

CASES = [
    # A short function is not listed, a long one is, from its name's line.
    ("short and long", "void s() { a(); }\nint\nlong_(int x)\n{\n" + BODY + "}\n", [("long_", 3, 6)]),
    # Braces in comments, texts, raw texts and characters are not code.
    (
        "literals",
        'void f()\n{\n    // {\n    g("}{", \'{\', R"x(}})x"); /* } */\n' + BODY + "}\n",
        [("f", 1, 8)],
    ),
    # A digit separator is not the start of a character literal.
    (
        "digit separator",
        "int f()\n{\n    int n = 1'000; char c = '{';\n" + BODY + "}\nvoid g() {}\n",
        [("f", 1, 7)],
    ),
    # Member initialisers in braces belong to the constructor's header.
    ("initialisers", "A::A(int x)\n    : mA{x}, mB(x)\n{\n" + BODY + "}\n", [("A::A", 1, 7)]),
    # Inside a namespace and a class; const and override after the list.
    (
        "class member",
        "namespace n {\nclass C : public B {\npublic:\n    int f() const override\n    {\n" + BODY + "    }\n};\n}\n",
        [("f", 4, 6)],
    ),
    # A lambda counts towards the function that holds it, and a braced value
    # at namespace level is no function.
    (
        "lambda and table",
        "const int table[] = {\n1,\n2,\n3,\n4,\n};\nvoid f()\n{\n    auto l = [](int) {\n" + BODY + "    };\n}\n",
        [("f", 7, 8)],
    ),
    # A preprocessor line's braces are not seen.
    ("macro", "#define OPEN {\nvoid f()\n{\n" + BODY + "}\n", [("f", 2, 6)]),
    ("operators", "bool X::operator==(const X& o) const\n{\n" + BODY + "}\n", [("X::operator==", 1, 6)]),
]


class ScanTest(unittest.TestCase):
    def test_cases(self):
        for name, text, expected in CASES:
            with self.subTest(name):
                self.assertEqual(longfunctions.long_functions(text, 3), expected)

    def test_only_cpp_files_are_measured_by_length(self):
        with tempfile.TemporaryDirectory() as root:
            for name in ("long.cpp", "long.h", "short.cpp"):
                with open(os.path.join(root, name), "w") as f:
                    f.write("int x;\n" * (2 if name == "short.cpp" else 5))
            functions, files = longfunctions.scan([root], 3, 4)
        self.assertEqual(functions, [])
        self.assertEqual([line.split()[0] for line in files], [os.path.join(root, "long.cpp")])


if __name__ == "__main__":
    unittest.main()
