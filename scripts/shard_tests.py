"""Splits the test files into two shards of about equal run time, one line of files each.

    python scripts/shard_tests.py [--plain]

File size stands for run time, except that the plain run's install tests, which build the
package from source in pre-commit's environment, weigh about as much as half the rest."""
import pathlib
import sys

tests = sorted(pathlib.Path(__file__).resolve().parent.parent.glob("tests/test_*.py"))
weight = {t: t.stat().st_size for t in tests}
if "--plain" in sys.argv[1:]:
    rest = sum(w for t, w in weight.items() if t.name != "test_install.py")
    weight = {t: (rest // 2 if t.name == "test_install.py" else w) for t, w in weight.items()}
shards: list[list[pathlib.Path]] = [[], []]
loads = [0, 0]
for t in sorted(tests, key=lambda t: (-weight[t], t.name)):
    i = loads.index(min(loads))
    shards[i].append(t)
    loads[i] += weight[t]
for shard in shards:
    print(" ".join(f"tests/{t.name}" for t in sorted(shard)))
