import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code, timeout=120):
    """Runs code in a fresh interpreter (same environment) and returns its completed process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=dict(os.environ),
    )


@pytest.fixture
def python_subprocess():
    return run_python
