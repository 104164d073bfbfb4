"""The README's tutorial runs as written."""

import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def test_tutorial_blocks_run(tmp_path):
    blocks = re.findall(r"<!-- tutorial -->\n```python\n(.*?)```", README.read_text("utf-8"),
                        flags=re.S)
    assert blocks
    done = subprocess.run([sys.executable, "-c", "\n".join(blocks)], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "tracks.parquet").exists()
