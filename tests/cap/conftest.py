"""Fixtures of the native km740cap tests."""
import pytest

from caprun import Line


@pytest.fixture
def line(tmp_path):
    ln = Line(str(tmp_path))
    yield ln
    ln.unplug()
