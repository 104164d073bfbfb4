"""bench/run_all.py collects every benchmark's Markdown into one report, failures included."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
import run_all  # noqa: E402


def write(path, text):
    path.write_text(text, encoding="utf-8")
    return path


def test_report_holds_machine_and_sections_in_sorted_order(tmp_path, capsys):
    second = write(tmp_path / "bench_b.py", "print('## Stage B\\n\\n| a | b |\\n|---|---|\\n| 1 | 2 |')\n")
    first = write(tmp_path / "bench_a.py", "print('## Stage A\\n\\ntext')\n")
    report = tmp_path / "RESULTS.md"
    assert run_all.main(["--output", str(report), str(second), str(first)]) == 0
    text = report.read_text(encoding="utf-8")
    for heading in ("## Machine", "| CPU |", "| memory |", "| Python |", "| NumPy |"):
        assert heading in text
    assert text.index("## Machine") < text.index("## Stage A") < text.index("## Stage B")
    assert "| 1 | 2 |" in text
    assert "| bench_a.py |" in text and "| ok |" in text
    assert "wrote" in capsys.readouterr().out


def test_failing_and_overlong_scripts_are_reported_and_the_run_goes_on(tmp_path):
    broken = write(tmp_path / "bench_a.py", "import sys\nsys.exit('peer missing: nothing to compare')\n")
    slow = write(tmp_path / "bench_b.py", "import time\ntime.sleep(30)\n")
    fine = write(tmp_path / "bench_c.py", "print('## Stage C')\n")
    report = tmp_path / "RESULTS.md"
    status = run_all.main(["--output", str(report), "--timeout", "2", str(broken), str(slow),
                           str(fine)])
    assert status == 1
    text = report.read_text(encoding="utf-8")
    assert "## bench_a.py\n\nFailed with exit status 1." in text
    assert "peer missing: nothing to compare" in text
    assert "## bench_b.py\n\nStopped after" in text
    assert "## Stage C" in text
    assert text.count("| failed |") == 2
