"""Build a graph diff, read it back, and ship it to another process as bytes.

Run with the built module on the path:  PYTHONPATH=build/release/python python examples/roundtrip.py
"""
import json
import subprocess
import sys
import uuid

from quorl_api import PyGraphDiff


def snapshot(diff):
    return {
        "new_or_updated_nodes": diff.new_or_updated_nodes(),
        "deleted_nodes": diff.deleted_nodes(),
        "new_or_updated_edges": diff.new_or_updated_edges(),
        "deleted_edges": diff.deleted_edges(),
        "num_nodes": diff.num_nodes(),
        "num_edges": diff.num_edges(),
    }


def receiver():
    """Second process: read a byte string on stdin, print what it holds."""
    diff = PyGraphDiff.from_bytes(sys.stdin.buffer.read())
    json.dump(snapshot(diff), sys.stdout)


def main():
    alice, bob, carol, dave = (uuid.uuid5(uuid.NAMESPACE_DNS, name) for name in ("alice", "bob", "carol", "dave"))

    diff = PyGraphDiff()
    diff.add_node(alice.bytes, {"label": "Alice", "size": 2.5, "red": 255, "show_label": True})
    diff.add_node(bob.bytes, {"label": "Bob"})
    diff.add_node(bob.bytes, {"url": "https://example.org/bob", "blue": 128})  # merged into Bob's update
    diff.add_edge(alice.bytes, bob.bytes, 0.75)
    diff.add_edge(bob.bytes, carol.bytes, 1.0)
    diff.delete_edge(carol.bytes, alice.bytes)
    diff.delete_node(dave.bytes)
    diff.add_edge(alice.bytes, dave.bytes, 3.0)  # refused: dave is marked for deletion

    mine = snapshot(diff)
    print("the diff:")
    print(json.dumps(mine, indent=2))

    data = diff.to_bytes()
    print(f"\nto_bytes(): {len(data)} bytes")

    child = subprocess.run(
        [sys.executable, __file__, "--receive"], input=data, stdout=subprocess.PIPE, check=True
    )
    theirs = json.loads(child.stdout)
    same = theirs == json.loads(json.dumps(mine))
    print("copy decoded in a second process matches:", same)
    return 0 if same else 1


if __name__ == "__main__":
    if sys.argv[1:] == ["--receive"]:
        receiver()
    else:
        sys.exit(main())
