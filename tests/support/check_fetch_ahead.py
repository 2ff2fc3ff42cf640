"""check_fetch_ahead.py OBJDUMP MODULE: fails unless each function named
below still has a prefetch instruction (x86's prefetch*, Arm's prfm) in the
built module. GCC deletes a call whose only effect is a prefetch once it
takes the callee for pure, and nothing but the time would show it."""
import re
import subprocess
import sys

FETCHING = ("quorl::diff::NodeMap::add_all(",
            "quorl::diff::(anonymous namespace)::SourceGroups::SourceGroups<",
            "quorl::extension::(anonymous namespace)::add_node(")

listing = subprocess.run([sys.argv[1], "-d", "--no-show-raw-insn", "-C", sys.argv[2]],
                         check=True, capture_output=True, text=True).stdout
# A function's lines run from its "<name>:" header to the next blank line.
fetching = re.findall(r"^[0-9a-f]+ <(.*)>:\n(?:.+\n)*?.*\b(?:prefetch|prfm)", listing, re.M)
missing = [name for name in FETCHING if not any(found.startswith(name) for found in fetching)]
for name in missing:
    print("no prefetch left in %s...: fetching ahead was optimised away" % name)
sys.exit(1 if missing else 0)
