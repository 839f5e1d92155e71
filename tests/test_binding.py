import numpy as np
import pytest

import _tarnexa

sc, mmr, pm = _tarnexa.score_candidates, _tarnexa.mmr_select_py, _tarnexa.parse_modifiers
N = None  # wrong for every converted parameter: binding must fail before any conversion is tried
Q = np.ones(3, np.float32)

# (function, positional args, keyword args, expected TypeError text)
CASES = [
    # too many positional arguments
    (sc, [N] * 19, {}, "score_candidates() takes from 4 to 18 positional arguments but 19 were given"),
    (sc, [N] * 25, {}, "score_candidates() takes from 4 to 18 positional arguments but 25 were given"),
    (mmr, [N] * 6, {}, "mmr_select_py() takes 5 positional arguments but 6 were given"),
    (pm, [N] * 2, {}, "parse_modifiers() takes from 0 to 1 positional arguments but 2 were given"),
    # unexpected keyword
    (pm, [], {"modifier": "x"}, "parse_modifiers() got an unexpected keyword argument 'modifier'"),
    (sc, [N] * 4, {"masks": N}, "score_candidates() got an unexpected keyword argument 'masks'"),
    (mmr, [N] * 5, {"lambda": 0.5}, "mmr_select_py() got an unexpected keyword argument 'lambda'"),
    (mmr, [N] * 5, {"k\u00e9": 0.5}, "mmr_select_py() got an unexpected keyword argument 'k\u00e9'"),
    # multiple values
    (pm, ["x"], {"modifier_str": "y"}, "parse_modifiers() got multiple values for argument 'modifier_str'"),
    (sc, [N] * 4, {"query_vec": Q}, "score_candidates() got multiple values for argument 'query_vec'"),
    (sc, [N] * 9, {"limit": 3}, "score_candidates() got multiple values for argument 'limit'"),
    (mmr, [N] * 5, {"k": 1}, "mmr_select_py() got multiple values for argument 'k'"),
    # missing required arguments: one, two, three and more
    (sc, [N] * 3, {}, "score_candidates() missing 1 required positional argument: 'query_vec'"),
    (sc, [N] * 2, {}, "score_candidates() missing 2 required positional arguments: 'id_to_idx' and 'query_vec'"),
    (sc, [N], {}, "score_candidates() missing 3 required positional arguments: 'ids', 'id_to_idx', and 'query_vec'"),
    (sc, [], {}, "score_candidates() missing 4 required positional arguments: "
                 "'matrix', 'ids', 'id_to_idx', and 'query_vec'"),
    (sc, [N], {"query_vec": N, "limit": 3}, "score_candidates() missing 2 required positional arguments: "
                                            "'ids' and 'id_to_idx'"),
    (sc, [], {"ids": N, "query_vec": N}, "score_candidates() missing 2 required positional arguments: "
                                         "'matrix' and 'id_to_idx'"),
    (mmr, [N] * 4, {}, "mmr_select_py() missing 1 required positional argument: 'lambda_'"),
    (mmr, [], {"k": 1, "lambda_": 0.5}, "mmr_select_py() missing 3 required positional arguments: "
                                        "'candidates', 'similarities', and 'matrix'"),
    (mmr, [], {}, "mmr_select_py() missing 5 required positional arguments: "
                  "'candidates', 'similarities', 'matrix', 'k', and 'lambda_'"),
    # precedence: unexpected keyword beats missing; positional count beats unexpected keyword;
    # keywords are checked in the caller's order
    (sc, [], {"bogus": 1}, "score_candidates() got an unexpected keyword argument 'bogus'"),
    (mmr, [N], {"bogus": 1}, "mmr_select_py() got an unexpected keyword argument 'bogus'"),
    (mmr, [N] * 6, {"bogus": 1}, "mmr_select_py() takes 5 positional arguments but 6 were given"),
    (pm, [N] * 2, {"modifier_str": 1}, "parse_modifiers() takes from 0 to 1 positional arguments but 2 were given"),
    (sc, [N] * 4, {"bogus": 1, "ids": N}, "score_candidates() got an unexpected keyword argument 'bogus'"),
    (sc, [N] * 4, {"ids": N, "bogus": 1}, "score_candidates() got multiple values for argument 'ids'"),
    (sc, [N] * 2, {"matrix": N}, "score_candidates() got multiple values for argument 'matrix'"),
]


@pytest.mark.parametrize("fn, args, kwargs, text", CASES)
def test_binding_errors(fn, args, kwargs, text):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == text


def test_binding_by_keyword_and_position_agree(base, matrix):
    sims = np.arange(4, dtype=np.float32)
    expected = sc(*base.values(), None, None, None, False, 2)
    assert sc(**base, limit=2) == expected
    assert sc(limit=2, query_vec=base["query_vec"], id_to_idx=base["id_to_idx"], ids=base["ids"], matrix=matrix) \
        == expected
    assert sc(matrix, base["ids"], query_vec=base["query_vec"], id_to_idx=base["id_to_idx"], limit=2) == expected
    m_expected = mmr([1, 2], sims, matrix, 2, 0.5)
    assert mmr(lambda_=0.5, k=2, matrix=matrix, similarities=sims, candidates=[1, 2]) == m_expected
    assert mmr([1, 2], sims, matrix, lambda_=0.5, k=2) == m_expected
    assert pm(modifier_str="diverse") == pm("diverse")
    assert pm() == pm(None) == pm(modifier_str=None)
