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
bodies = [(match.group(1), block) for block in listing.split("\n\n")
          for match in [re.match(r"\s*[0-9a-f]+ <(.*)>:\n", block)] if match]
missing = [name for name in FETCHING if not any(found.startswith(name) and re.search(r"\bprefetch|\bprfm", body)
                                                for found, body in bodies)]
for name in missing:
    print("no prefetch left in %s...: fetching ahead was optimised away" % name)
sys.exit(1 if missing else 0)
