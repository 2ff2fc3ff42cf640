"""Fails unless the named functions of the built module still ask for
memory ahead: a prefetch instruction in the body of each. GCC deletes a call
whose only effect is a prefetch once it can take the callee for pure, and
nothing but the time would show it.

    check_fetch_ahead.py OBJDUMP MODULE
"""
import re
import subprocess
import sys

FETCHING = (
    "quorl::diff::NodeMap::add_all(",  # the index slots of ids ahead
    "quorl::diff::(anonymous namespace)::SourceGroups::SourceGroups<",  # a batch's sources ahead
    "quorl::extension::(anonymous namespace)::add_node(",  # the id's slot while the dict is read
)

objdump, module = sys.argv[1:3]
listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", "-C", module],
                         check=True, capture_output=True, text=True).stdout
bodies = {}
for block in listing.split("\n\n"):
    head, _, body = block.strip().partition("\n")
    match = re.fullmatch(r"[0-9a-f]+ <(.*)>:", head)
    if match:
        bodies[match.group(1)] = bodies.get(match.group(1), "") + body
missing = [name for name in FETCHING
           if not any("prefetch" in body for found, body in bodies.items() if found.startswith(name))]
for name in missing:
    print("no prefetch left in %s...: fetching ahead was optimised away" % name)
sys.exit(1 if missing else 0)
