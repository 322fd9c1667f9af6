#!/usr/bin/env python3
"""Checks that the bridge header documents every operation and that the README's operations table agrees
with it.

Header: each public operation carries a Doxygen block with a brief, one @param per parameter in the
declared order and direction ([in] for values and const references, [out] or [in,out] for non-const
references), a @return and a "Threads" paragraph.
README: the operations table names exactly the header's operations with the header's parameter names,
and an operation that the table marks "(System)" is the one whose header block says it needs a System
administrator session.

usage: check-api-docs.py HEADER README
"""
import re
import sys

SYSTEM_NOTE = "Needs a System administrator session."

errors = []


def error(text):
    errors.append(text)


def split_params(text):
    """Splits a parameter list at top-level commas (template arguments hold commas too)."""
    params, depth, current = [], 0, ""
    for ch in text:
        if ch in "<(":
            depth += 1
        elif ch in ">)":
            depth -= 1
        if ch == "," and depth == 0:
            params.append(current.strip())
            current = ""
        else:
            current += ch
    if current.strip():
        params.append(current.strip())
    return params


def direction(param):
    """[in] for values and const references, out for non-const references."""
    if "&" in param and not param.startswith("const "):
        return "out"
    return "in"


def header_operations(path):
    """Yields (name, [(param type, param name)], doc lines) for each public operation of the class."""
    lines = open(path, encoding="utf-8").read().splitlines()
    ops, doc, i, public = [], [], 0, False
    while i < len(lines):
        line = lines[i].strip()
        if line == "public:":
            public = True
        elif line in ("private:", "protected:"):
            public = False
        if line.startswith("///"):
            doc.append(line[3:].strip())
            i += 1
            continue
        match = re.match(r"(bool|int|std::string)\s+(\w+)\(", line)
        if public and match:
            decl = line
            while not decl.endswith(";"):
                i += 1
                decl += " " + lines[i].strip()
            inner = decl[decl.index("(") + 1:decl.rindex(")")]
            params = []
            for p in split_params(inner):
                name = re.search(r"(\w+)$", p).group(1)
                params.append((p[: -len(name)].strip(), name))
            ops.append((match.group(2), match.group(1), params, doc))
        doc = [] if not line.startswith("///") else doc
        i += 1
    return ops


def check_header(ops):
    for name, result, params, doc in ops:
        where = f"{name}({', '.join(p for _, p in params)})"
        text = "\n".join(doc)
        if not any(d.startswith("@brief ") for d in doc):
            error(f"header: {where} has no @brief")
        documented = re.findall(r"@param\[(in|out|in,out)\]\s+(\w+)", text)
        if [n for _, n in documented] != [n for _, n in params]:
            error(f"header: {where} documents parameters {[n for _, n in documented]}")
        else:
            for (kind, pname), (ptype, _) in zip(documented, params):
                want = direction(ptype)
                if (want == "in") != (kind == "in"):
                    error(f"header: {where}: {pname} is {'an input' if want == 'in' else 'an output'}, "
                          f"documented as [{kind}]")
        if "@return" not in text:
            error(f"header: {where} has no @return")
        if "@par Threads" not in text:
            error(f"header: {where} has no thread rules (@par Threads)")


def readme_rows(path):
    """Yields (signatures, description) for each row of the operations table."""
    text = open(path, encoding="utf-8").read()
    section = re.search(r"^## The operations and their texts\n(.*?)(?=^## )", text, re.S | re.M)
    if not section:
        error("README: no section '## The operations and their texts'")
        return []
    rows = []
    for line in section.group(1).splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if not line.startswith("|") or len(cells) < 2 or set(cells[0]) <= set("-") or cells[0] == "operation":
            continue
        sigs, previous = [], None
        for name, args in re.findall(r"`(\w+)\(([^`]*)\)`", cells[0]):
            params = [a.strip() for a in args.split(",") if a.strip()]
            if params == ["..."] and previous is not None:
                params = previous
            sigs.append((name, params))
            previous = params
        rows.append((sigs, cells[1]))
    return rows


def check_readme(ops, rows):
    header = {(name, tuple(p for _, p in params)): doc for name, _, params, doc in ops}
    seen = set()
    for sigs, description in rows:
        for name, params in sigs:
            key = (name, tuple(params))
            if key not in header:
                error(f"README: {name}({', '.join(params)}) is not an operation of the header "
                      f"(same name and parameter names)")
                continue
            seen.add(key)
            system_in_header = SYSTEM_NOTE in " ".join(header[key])
            # A row that starts with (System) marks all its operations; a row without it marks none.
            if description.startswith("(System)") and not system_in_header:
                error(f"README marks {name}({', '.join(params)}) (System); the header does not say so")
            if "System" not in description and system_in_header:
                error(f"header says {name}({', '.join(params)}) needs a System session; the README does not")
    for name, params in sorted(set(header) - seen):
        error(f"README: the operations table lacks {name}({', '.join(params)})")


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    ops = header_operations(sys.argv[1])
    if len(ops) != 33:
        error(f"header: {len(ops)} operations found, expected 33")
    check_header(ops)
    check_readme(ops, readme_rows(sys.argv[2]))
    for e in errors:
        print(e)
    print(f"{len(ops)} operations, {len(errors)} problems")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
