"""The argument checks shared by the package: one exception type and one wording per mistake."""

import math

import numpy as np
import pandas as pd
import pytest

from quorlin_track import validation as v


@pytest.mark.parametrize("check, value, error, text", [
    (lambda x: v.integer("n", x, low=0), 2.0, TypeError, "n must be an integer >= 0, got float 2.0"),
    (lambda x: v.integer("n", x, low=0), True, TypeError, "n must be an integer >= 0, got bool True"),
    (lambda x: v.integer("n", x, low=0, high=5, unit="frames"), 6, ValueError,
     "n must be an integer >= 0 and <= 5 (frames), got 6"),
    (lambda x: v.real("d", x, low=0, low_open=True), 0.0, ValueError, "d must be a finite number > 0, got 0.0"),
    (lambda x: v.real("d", x, finite=False), math.nan, ValueError, "d must be a number, got nan"),
    (lambda x: v.real("d", x), math.inf, ValueError, "d must be a finite number, got inf"),
    (lambda x: v.real("d", x), "3", TypeError, "d must be a finite number, got str '3'"),
    (lambda x: v.real("d", x), 1j, TypeError, "d must be a finite number, got complex 1j"),
    (lambda x: v.choice("m", x, ("a", "b")), 1, TypeError, "m must be one of 'a', 'b', got int 1"),
    (lambda x: v.odd_window("window", x), np.int64(1), ValueError, "window must be an odd integer >= 3 (pixels), got 1"),
    (lambda x: v.table_columns("spots", x, ["y"], numeric=["y"]),
     pd.DataFrame({"y": [1j]}), TypeError, "spots column 'y' must hold real numbers, got complex128"),
])
def test_each_mistake_has_one_type_and_one_wording(check, value, error, text):
    with pytest.raises(error) as raised:
        check(value)
    assert str(raised.value) == text


def test_accepted_values_come_back_as_plain_numbers():
    assert type(v.integer("n", np.uint8(3))) is int and v.real("d", np.float32(0.5)) == 0.5
    assert v.real("d", math.inf, finite=False) == math.inf


def test_keyword_only_names_the_positional_parameters_and_passes_keywords_through():
    @v.keyword_only("did you mean diameter=...?")
    def locate(frame, *, diameter=7):
        return frame, diameter

    assert locate(1, diameter=9) == (1, 9)
    with pytest.raises(TypeError, match=r"^locate\(\) takes 1 positional argument \(frame\); the others "
                                        r"are keyword-only: did you mean diameter=\.\.\.\?$"):
        locate(1, 9)
    assert locate.__name__ == "locate" and "diameter" in str(__import__("inspect").signature(locate))
