import numpy as np
import pytest


def fresh_id(i):
    # Built at run time so the text is neither interned nor immortal: its reference count is observable.
    return "".join(["doc", "-", str(i)])


@pytest.fixture
def matrix():
    """Four unit rows in three dimensions, float32, C order."""
    m = np.array([[1, 0, 0], [0.6, 0.8, 0], [0, 0.6, 0.8], [0, 0, 1]], dtype=np.float32)
    m.flags.writeable = False
    return m


@pytest.fixture
def ids():
    return [fresh_id(i) for i in range(4)]


@pytest.fixture
def id_to_idx(ids):
    return {d: i for i, d in enumerate(ids)}


@pytest.fixture
def query():
    return np.array([1.0, 0.4, 0.2], dtype=np.float32)


@pytest.fixture
def base(matrix, ids, id_to_idx, query):
    """The four required score_candidates arguments, by keyword."""
    return {"matrix": matrix, "ids": ids, "id_to_idx": id_to_idx, "query_vec": query}
