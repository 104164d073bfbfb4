"""Requests that cannot be allocated raise MemoryError, leave the interpreter usable and give their
memory back. Every request here is far beyond the machine's physical memory, so it fails at once
instead of paging in. The inputs are zero-stride or overlapping views of small buffers, so they
take no memory themselves. The cases run in a child interpreter (reliability_support), whose RSS
after the failures is checked with the other leak checks in test_leaks.py."""

import pytest

from reliability_support import SANITIZED, UNALLOCATABLE_CASES, unallocatable_outcomes

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="under AddressSanitizer a failed allocation aborts instead of raising")


@pytest.mark.parametrize("case", list(UNALLOCATABLE_CASES))
def test_unallocatable_request_raises_memory_error(case):
    result = unallocatable_outcomes()[case]
    assert result["errors"] and set(result["errors"]) == {"MemoryError"}
    # The interpreter and the module keep working: the typical calls return what they did before.
    assert result["usable"]
