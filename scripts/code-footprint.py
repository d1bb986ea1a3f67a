#!/usr/bin/env python3
"""Code a profiled run executed, as distinct 64-byte lines, 4 KiB pages and 64 KiB
fault-around windows per object, from a callgrind profile made with --dump-instr=yes.

Instruction counts do not show how much code a first call drags into the caches and
page tables; this does. With --per-function OBJECT it lists the functions of one
object by address with the lines each executed, to see what lies outside a hot run.

  valgrind --tool=callgrind --dump-instr=yes --toggle-collect='*CNativeEngine::OpenFile*' \
      --callgrind-out-file=out build-bench/bench/volkit_bench --cold-child 11 1 IMAGE
  scripts/code-footprint.py out
"""
import argparse
import collections
import re

NAME = re.compile(r'^(c?ob|c?fn|c?fl|fi|fe)=\((\d+)\)(?: (.*))?$')


def number(text):
    return int(text, 16) if text.startswith('0x') else int(text)


def executed_lines(path):
    """Maps (object, function) to the set of 64-byte lines executed in it."""
    objects, functions = {}, {}
    lines = collections.defaultdict(set)
    current_object = current_function = None
    address = 0
    call_cost_follows = False
    with open(path) as profile:
        for raw in profile:
            text = raw.rstrip('\n')
            if not text:
                continue
            named = NAME.match(text)
            if named:
                kind, key, name = named.groups()
                table = objects if kind.endswith('ob') else functions if kind.endswith('fn') else None
                if table is not None and name:
                    table[key] = name
                if kind == 'ob':
                    current_object = objects[key]
                elif kind == 'fn':
                    current_function = functions[key]
                continue
            if text.startswith('calls='):
                # The next cost line is the callee's inclusive cost, not code run here.
                call_cost_follows = True
                continue
            token = text.split()[0]
            if token[0] not in '0123456789+-*':
                continue
            if token == '*':
                pass
            elif token[0] == '+':
                address += number(token[1:])
            elif token[0] == '-':
                address -= number(token[1:])
            else:
                address = number(token)
            if call_cost_follows:
                call_cost_follows = False
                continue
            lines[(current_object, current_function)].add(address >> 6)
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('profile')
    parser.add_argument('--per-function', metavar='OBJECT', help='list the functions of the object whose path holds OBJECT')
    args = parser.parse_args()
    lines = executed_lines(args.profile)
    if args.per_function:
        mine = [(min(found), len(found), function) for (obj, function), found in lines.items() if args.per_function in obj]
        for first, count, function in sorted(mine):
            print(f'{first << 6:#10x} {count:5d}  {function}')
        return
    per_object = collections.defaultdict(set)
    for (obj, _), found in lines.items():
        per_object[obj] |= found
    total_lines = total_pages = 0
    for obj, found in sorted(per_object.items(), key=lambda item: -len(item[1])):
        pages = {line >> 6 for line in found}
        windows = {line >> 10 for line in found}
        total_lines += len(found)
        total_pages += len(pages)
        print(f'{len(found):7d} lines {len(pages):5d} pages {len(windows):4d} windows  {obj.rsplit("/", 1)[-1]}')
    print(f'{total_lines:7d} lines {total_pages:5d} pages total')


if __name__ == '__main__':
    main()
