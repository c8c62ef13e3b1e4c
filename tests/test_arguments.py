"""Argument parsing and conversion: every message a caller can meet."""

import json
import re

import pytest
from conftest import one_arm_doc, three_arm_doc

from korvane._engine import BanditEngine

DOC = one_arm_doc()


class Index:
    """An object that is an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


PARSING = [
    (lambda e: BanditEngine(), "BanditEngine.__new__() missing 1 required positional argument: 'bandit_json'"),
    (lambda e: BanditEngine(seed=1), "BanditEngine.__new__() missing 1 required positional argument: 'bandit_json'"),
    (lambda e: BanditEngine(DOC, 1, 2), "BanditEngine.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda e: BanditEngine(DOC, bandit_json=DOC), "BanditEngine.__new__() got multiple values for argument 'bandit_json'"),
    (lambda e: BanditEngine(DOC, 1, seed=2), "BanditEngine.__new__() got multiple values for argument 'seed'"),
    (lambda e: BanditEngine(DOC, sed=2), "BanditEngine.__new__() got an unexpected keyword argument 'sed'"),
    (lambda e: e.pull(1, 2, 3), "BanditEngine.pull() takes from 0 to 2 positional arguments but 3 were given"),
    (lambda e: e.pull(query=1), "BanditEngine.pull() got an unexpected keyword argument 'query'"),
    (lambda e: e.pull(5, query_length=5), "BanditEngine.pull() got multiple values for argument 'query_length'"),
    (lambda e: e.update_from_sync(DOC, DOC), "BanditEngine.update_from_sync() takes 1 positional arguments but 2 were given"),
    (lambda e: e.update_from_sync(), "BanditEngine.update_from_sync() missing 1 required positional argument: 'bandit_json'"),
    (lambda e: e.update_from_sync(json=DOC), "BanditEngine.update_from_sync() got an unexpected keyword argument 'json'"),
    # the first offending keyword decides, before any conversion
    (lambda e: e.pull(bad=1, query_length="x"), "BanditEngine.pull() got an unexpected keyword argument 'bad'"),
    (lambda e: e.pull(exclude_ids="x", bad=1), "BanditEngine.pull() got an unexpected keyword argument 'bad'"),
]


@pytest.mark.parametrize("call, message", PARSING)
def test_parsing_messages(engine, call, message):
    with pytest.raises(TypeError) as info:
        call(engine)
    assert type(info.value) is TypeError and str(info.value) == message


def test_a_single_extra_positional_still_says_arguments(engine):
    with pytest.raises(TypeError, match=re.escape("takes 1 positional arguments but 2 were given")):
        engine.update_from_sync(DOC, None)


CONVERSION = [
    (lambda e: BanditEngine(None), TypeError, "argument 'bandit_json': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda e: BanditEngine(DOC.encode()), TypeError, "argument 'bandit_json': 'bytes' object cannot be converted to 'PyString'"),
    (lambda e: BanditEngine(7), TypeError, "argument 'bandit_json': 'int' object cannot be converted to 'PyString'"),
    (lambda e: BanditEngine(DOC, seed=1.0), TypeError, "argument 'seed': 'float' object cannot be interpreted as an integer"),
    (lambda e: BanditEngine(DOC, seed="1"), TypeError, "argument 'seed': 'str' object cannot be interpreted as an integer"),
    (lambda e: BanditEngine(DOC, seed=-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda e: BanditEngine(DOC, seed=2**64), OverflowError, None),
    (lambda e: e.update_from_sync(3), TypeError, "argument 'bandit_json': 'int' object cannot be converted to 'PyString'"),
    (lambda e: e.update_from_sync(None), TypeError, "argument 'bandit_json': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda e: e.pull(query_length=4294967296), OverflowError, "out of range integral type conversion attempted"),
    (lambda e: e.pull(query_length=2**64 - 1), OverflowError, "out of range integral type conversion attempted"),
    (lambda e: e.pull(query_length=2**64), OverflowError, None),
    (lambda e: e.pull(query_length=-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda e: e.pull(query_length=1.5), TypeError, "argument 'query_length': 'float' object cannot be interpreted as an integer"),
    (lambda e: e.pull(query_length="100"), TypeError, "argument 'query_length': 'str' object cannot be interpreted as an integer"),
    (lambda e: e.pull(exclude_ids="12"), TypeError, "argument 'exclude_ids': Can't extract `str` to `Vec`"),
    (lambda e: e.pull(exclude_ids={1}), TypeError, "argument 'exclude_ids': 'set' object cannot be converted to 'Sequence'"),
    (lambda e: e.pull(exclude_ids={1: 2}), TypeError, "argument 'exclude_ids': 'dict' object cannot be converted to 'Sequence'"),
    (lambda e: e.pull(exclude_ids=iter([1])), TypeError, "argument 'exclude_ids': 'list_iterator' object cannot be converted to 'Sequence'"),
    (lambda e: e.pull(exclude_ids=(i for i in [1])), TypeError, "argument 'exclude_ids': 'generator' object cannot be converted to 'Sequence'"),
    (lambda e: e.pull(exclude_ids=5), TypeError, "argument 'exclude_ids': 'int' object cannot be converted to 'Sequence'"),
    (lambda e: e.pull(exclude_ids=[1, 2.0]), TypeError, "argument 'exclude_ids': 'float' object cannot be interpreted as an integer"),
    (lambda e: e.pull(exclude_ids=["3"]), TypeError, "argument 'exclude_ids': 'str' object cannot be interpreted as an integer"),
    (lambda e: e.pull(exclude_ids=[2**31]), OverflowError, "Python int too large to convert to C long"),
    (lambda e: e.pull(exclude_ids=[-(2**31) - 1]), OverflowError, "Python int too large to convert to C long"),
    (lambda e: e.pull(exclude_ids=[2**80]), OverflowError, "Python int too large to convert to C long"),
    # conversions run in parameter order
    (lambda e: e.pull(exclude_ids="x", query_length=-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda e: BanditEngine(seed=1.0, bandit_json=b""), TypeError, "argument 'bandit_json': 'bytes' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("call, kind, message", CONVERSION)
def test_conversion_messages(engine, call, kind, message):
    with pytest.raises(kind) as info:
        call(engine)
    assert type(info.value) is kind
    if message is not None:
        assert str(info.value) == message
    else:
        assert not str(info.value).startswith("argument")


def test_a_str_that_is_not_utf8_encodable_fails_with_the_interpreters_error(engine):
    with pytest.raises(UnicodeEncodeError):
        BanditEngine(DOC[:-1] + ', "x": "\ud800"}')
    with pytest.raises(UnicodeEncodeError):
        engine.update_from_sync("\udfff")


def test_str_subclasses_and_index_objects_are_accepted():
    class Text(str):
        pass

    seeded = BanditEngine(Text(DOC), seed=Index(9))
    assert seeded.pull(Index(100), [Index(7)]) == BanditEngine(DOC, seed=9).pull(100, [7])
    assert BanditEngine(DOC, seed=True).pull() == BanditEngine(DOC, seed=1).pull()
    assert BanditEngine(DOC, seed=2**64 - 1).num_arms == 1


@pytest.mark.parametrize(
    "exclude",
    [None, [], (), range(0), b"", [2**31 - 1, -(2**31)], (1000, 1000), range(3, 5), b"\x07",
     bytearray(b"ab"), [True], [Index(12)]],
)
def test_accepted_exclusion_sequences(exclude):
    engine = BanditEngine(three_arm_doc(), seed=1)
    twin = BanditEngine(three_arm_doc(), seed=1)
    ids = [] if exclude is None else [int(i) for i in exclude]
    result = json.loads(engine.pull(7, exclude))
    assert result == json.loads(twin.pull(7, ids))
    assert not set(ids) & set(map(int, result["scores"]))


def runtime_name(*parts):
    """A keyword name built at run time: equal to the parameter's name, but not the same object."""
    return "".join(parts)


@pytest.mark.parametrize(
    "call",
    [
        lambda e: e.pull(7, [3]),
        lambda e: e.pull(7, exclude_ids=[3]),
        lambda e: e.pull(query_length=7, exclude_ids=[3]),
        lambda e: e.pull(exclude_ids=[3], query_length=7),
        lambda e: e.pull(**{runtime_name("query_", "length"): 7, runtime_name("exclude_", "ids"): [3]}),
        lambda e: e.pull(7, **{runtime_name("exclude_", "ids"): [3]}),
        lambda e: BanditEngine.pull(e, 7, exclude_ids=[3]),
    ],
)
def test_every_spelling_of_a_call_fills_the_same_slots(call):
    # Swapped or dropped slots change the result or fail: the query length moves every score.
    expected = BanditEngine(three_arm_doc(), seed=4).pull(7, [3])
    assert call(BanditEngine(three_arm_doc(), seed=4)) == expected
    assert expected != BanditEngine(three_arm_doc(), seed=4).pull(None, [3])


def test_none_means_absent_in_every_optional_slot(doc):
    results = [
        BanditEngine(doc, seed=None).pull(),
        BanditEngine(doc).pull(None, None),
        BanditEngine(doc, None).pull(query_length=None, exclude_ids=None),
        BanditEngine(bandit_json=doc).pull(exclude_ids=[]),
    ]
    assert len(set(results)) == 1
    assert BanditEngine(doc, seed=0).pull(5, []) == BanditEngine(doc, seed=0).pull(5)
    assert BanditEngine(doc, seed=0).pull(0) == BanditEngine(doc, seed=0).pull(1)
    assert BanditEngine(doc, seed=0).pull(query_length=4294967295)


def test_renamed_type_error_keeps_the_original_cause(doc):
    root = KeyError("root")

    class Chained:
        def __index__(self):
            raise TypeError("no index today") from root

    with pytest.raises(TypeError) as info:
        BanditEngine(doc, seed=Chained())
    assert str(info.value) == "argument 'seed': no index today"
    assert info.value.__cause__ is root

    with pytest.raises(TypeError) as info:
        BanditEngine(doc).pull(exclude_ids=[Chained()])
    assert str(info.value) == "argument 'exclude_ids': no index today"
    assert info.value.__cause__ is root

    with pytest.raises(TypeError) as info:
        BanditEngine(None)
    assert info.value.__cause__ is None


def test_other_exceptions_from_conversion_pass_unchanged(doc):
    class Special(TypeError):
        pass

    class Raises:
        def __init__(self, exc):
            self.exc = exc

        def __index__(self):
            raise self.exc

    special = Special("kept")
    with pytest.raises(Special) as info:
        BanditEngine(doc, seed=Raises(special))
    assert info.value is special and str(info.value) == "kept"

    boom = ValueError("boom")
    with pytest.raises(ValueError) as info:
        BanditEngine(doc).pull(query_length=Raises(boom))
    assert info.value is boom

    class BadIter:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise LookupError("iteration failed")

    with pytest.raises(LookupError, match="iteration failed"):
        BanditEngine(doc).pull(exclude_ids=BadIter())


def test_length_hint_failures_are_ignored(doc):
    class NoLen:
        def __getitem__(self, i):
            if i < 2:
                return i + 5
            raise IndexError

    class BadLen(NoLen):
        def __len__(self):
            raise RuntimeError("len failed")

    class HugeLen(NoLen):
        def __len__(self):
            return 2**62

    expected = BanditEngine(doc, seed=4).pull(3, [5, 6])
    for seq in (NoLen(), BadLen(), HugeLen()):
        assert BanditEngine(doc, seed=4).pull(3, seq) == expected


def test_get_arms_json_takes_no_arguments(engine):
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        engine.get_arms_json(1)
    with pytest.raises(TypeError):
        engine.get_arms_json(x=1)


def test_methods_refuse_a_foreign_receiver():
    for method in (BanditEngine.pull, BanditEngine.update_from_sync, BanditEngine.get_arms_json):
        with pytest.raises(TypeError):
            method(object())
    with pytest.raises(TypeError):
        BanditEngine.bandit_id.__get__(object())
