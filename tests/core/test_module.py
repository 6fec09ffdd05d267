"""The module's Python face: names, classes, conversions and every message."""

import inspect
import math
import sys

import pytest

import _quorlin_core as q
from conftest import element

L = q.SemanticLabel
BOUNDS = (0.0, 0.0, 100.0, 100.0)
E = element(1, 0, 0, 10, 10)


def test_module_names_in_registration_order():
    assert q.__all__ == ["reset_log_cache", "compute_order_mervane", "XYCutConfig", "SemanticLabel", "Element"]
    assert q.__doc__ is None


@pytest.mark.parametrize(
    "obj, signature",
    [
        (q.Element, "(id, x1, y1, x2, y2, label)"),
        (q.XYCutConfig, "(min_cut_threshold=15.0, histogram_resolution_scale=0.5, same_row_tolerance=10.0)"),
        (q.compute_order_mervane, "(elements, page_bounds, config=None)"),
        (q.reset_log_cache, "()"),
    ],
)
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature
    assert str(inspect.signature(obj)) == signature


@pytest.mark.parametrize("cls", [q.Element, q.XYCutConfig, q.SemanticLabel])
def test_classes_report_builtins(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"


def test_reset_log_cache_docstring_is_spanish_after_signature():
    doc = q.reset_log_cache.__doc__
    assert doc.startswith("Restablece la caché")
    assert "logging" in doc


# ---- SemanticLabel ----------------------------------------------------------

LABELS = [("CrossLayout", 0), ("HorizontalTitle", 1), ("VerticalTitle", 2), ("Vision", 3), ("Regular", 4)]


@pytest.mark.parametrize("name, code", LABELS)
def test_label_values(name, code):
    label = getattr(L, name)
    assert repr(label) == str(label) == f"SemanticLabel.{name}"
    assert int(label) == code
    assert label is getattr(L, name)
    assert element(1, 0, 0, 1, 1, label).label is label
    assert label != code and hash(label) == object.__hash__(label)


def test_label_cannot_be_created_or_changed():
    with pytest.raises(TypeError):
        L()
    with pytest.raises(TypeError):
        type(L.Vision)()
    with pytest.raises((TypeError, AttributeError)):
        L.Vision = L.Regular
    assert list(vars(L)).index("CrossLayout") < list(vars(L)).index("Regular")


# ---- Element ----------------------------------------------------------------


@pytest.mark.parametrize(
    "args, field, expected",
    [
        ((True, 0, 0, 1, 1, L.Regular), "id", 1),
        ((0, 0, 0, 1, 1, L.Regular), "id", 0),
        ((2**64 - 1, 0, 0, 1, 1, L.Regular), "id", 2**64 - 1),
        ((1, 0.1, 0, 1, 1, L.Regular), "x1", 0.10000000149011612),
        ((1, 0, 1e39, 1, 1, L.Regular), "y1", math.inf),
        ((1, 0, 0, -1e39, 1, L.Regular), "x2", -math.inf),
        # just below the halfway point to 2**128 rounds to the largest float, the halfway point itself to inf
        ((1, 0, 0, 1, 3.4028235677973362e38, L.Regular), "y2", 3.4028234663852886e38),
        ((1, 0, 0, 1, 3.4028235677973366e38, L.Regular), "y2", math.inf),
        ((1, 0, 0, 1, 2**200, L.Regular), "y2", math.inf),
        ((1, -0.0, 0, 1, 1, L.Regular), "x1", -0.0),
        ((1, 7, 0, 1, 1, L.Regular), "x1", 7.0),
    ],
)
def test_element_conversions(args, field, expected):
    value = getattr(q.Element(*args), field)
    assert value == expected and type(value) is type(expected)
    assert math.copysign(1, value) == math.copysign(1, expected)


def test_element_nan_and_keywords():
    e = q.Element(label=L.Vision, y2=4, x2=3, y1=2, x1=math.nan, id=9)
    assert math.isnan(e.x1) and (e.id, e.y1, e.x2, e.y2, e.label) == (9, 2.0, 3.0, 4.0, L.Vision)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 2.5


def test_element_uses_index_and_float_protocols():
    e = q.Element(Index(5), Floaty(), Index(3), 0, 0, L.Regular)
    assert (e.id, e.x1, e.y1) == (5, 2.5, 3.0)


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((1, 0, 0, 1, 1, L.Regular, 7), {}, TypeError, "Element.__new__() takes 6 positional arguments but 7 were given"),
        ((1, 0, 0, 1, 1, L.Regular), {"x9": 1}, TypeError, "Element.__new__() got an unexpected keyword argument 'x9'"),
        ((1, 0, 0, 1, 1, L.Regular), {"x1": 1}, TypeError, "Element.__new__() got multiple values for argument 'x1'"),
        ((1, 0, 0, 1, 1), {}, TypeError, "Element.__new__() missing 1 required positional argument: 'label'"),
        ((1, 0, 0, 1), {}, TypeError, "Element.__new__() missing 2 required positional arguments: 'y2' and 'label'"),
        ((), {"y1": 0}, TypeError,
         "Element.__new__() missing 5 required positional arguments: 'id', 'x1', 'x2', 'y2', and 'label'"),
        ((-1, 0, 0, 1, 1, L.Regular), {}, OverflowError, None),
        ((2**64, 0, 0, 1, 1, L.Regular), {}, OverflowError, None),
        ((Index(-5), 0, 0, 1, 1, L.Regular), {}, OverflowError, None),
        ((1.5, 0, 0, 1, 1, L.Regular), {}, TypeError,
         "argument 'id': 'float' object cannot be interpreted as an integer"),
        (("1", 0, 0, 1, 1, L.Regular), {}, TypeError, "argument 'id': 'str' object cannot be interpreted as an integer"),
        ((1, "0", 0, 1, 1, L.Regular), {}, TypeError, "argument 'x1': must be real number, not str"),
        ((1, 0, None, 1, 1, L.Regular), {}, TypeError, "argument 'y1': must be real number, not NoneType"),
        ((1, 0, 0, [], 1, L.Regular), {}, TypeError, "argument 'x2': must be real number, not list"),
        ((1, 0, 0, 1, 1j, L.Regular), {}, TypeError, "argument 'y2': must be real number, not complex"),
        ((1, 0, 0, 1, 1, 3), {}, TypeError, "argument 'label': 'int' object is not an instance of 'SemanticLabel'"),
        ((1, 0, 0, 1, 1, None), {}, TypeError, "argument 'label': 'NoneType' object is not an instance of 'SemanticLabel'"),
        ((1, 0, 0, 1, 10**400, L.Regular), {}, OverflowError, "int too large to convert to float"),
        # the first failing conversion wins
        ((1.5, "x", 0, 1, 1, 3), {}, TypeError, "argument 'id': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_element_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        q.Element(*args, **kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


class BadFloat:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def test_prefixing_keeps_the_cause_and_passes_other_errors():
    cause = KeyError("root")

    class WithCause:
        def __float__(self):
            raise TypeError("inner") from cause

    with pytest.raises(TypeError) as info:
        q.Element(1, WithCause(), 0, 1, 1, L.Regular)
    assert str(info.value) == "argument 'x1': inner" and info.value.__cause__ is cause
    with pytest.raises(ValueError, match="^boom$"):
        q.Element(1, BadFloat(ValueError("boom")), 0, 1, 1, L.Regular)
    with pytest.raises(TypeError, match=r"^argument 'x1': BadFloat.__float__ returned non-float \(type str\)"):
        q.Element(1, BadFloat("no"), 0, 1, 1, L.Regular)


@pytest.mark.parametrize("field", ["id", "x1", "y1", "x2", "y2", "label"])
def test_element_is_read_only(field):
    e = element(1, 0, 0, 1, 1)
    with pytest.raises(AttributeError, match="not writable"):
        setattr(e, field, getattr(e, field))
    with pytest.raises(AttributeError, match="not writable"):
        delattr(e, field)
    with pytest.raises(AttributeError):
        e.extra = 1


def test_element_and_config_use_default_identity_semantics():
    a, b = element(1, 0, 0, 1, 1), element(1, 0, 0, 1, 1)
    assert a != b and a == a and hash(a) == object.__hash__(a)
    assert repr(a).startswith("<builtins.Element object at ")


def test_subclasses_allocate_through_the_called_class():
    class Mine(q.Element):
        pass

    class Conf(q.XYCutConfig):
        pass

    e = Mine(3, 0, 0, 1, 1, L.Vision)
    assert type(e) is Mine and e.id == 3
    e.note = "kept"
    assert type(Conf(1)) is Conf and Conf(1).min_cut_threshold == 1.0
    assert q.compute_order_mervane([e], BOUNDS, Conf()) == [3]


# ---- XYCutConfig --------------------------------------------------------------

FIELDS = ["min_cut_threshold", "histogram_resolution_scale", "same_row_tolerance"]


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, (15.0, 0.5, 10.0)),
        ((1, 2, 3), {}, (1.0, 2.0, 3.0)),
        ((), {"same_row_tolerance": 4}, (15.0, 0.5, 4.0)),
        ((0.1,), {"histogram_resolution_scale": Floaty()}, (0.10000000149011612, 2.5, 10.0)),
        ((1e39,), {}, (math.inf, 0.5, 10.0)),
    ],
)
def test_config_values(args, kwargs, expected):
    c = q.XYCutConfig(*args, **kwargs)
    assert tuple(getattr(c, f) for f in FIELDS) == expected


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2, 3, 4), {}, "XYCutConfig.__new__() takes from 0 to 3 positional arguments but 4 were given"),
        ((), {"tolerance": 1}, "XYCutConfig.__new__() got an unexpected keyword argument 'tolerance'"),
        ((1,), {"min_cut_threshold": 1}, "XYCutConfig.__new__() got multiple values for argument 'min_cut_threshold'"),
        ((None,), {}, "argument 'min_cut_threshold': must be real number, not NoneType"),
        ((1, "x"), {}, "argument 'histogram_resolution_scale': must be real number, not str"),
        ((), {"same_row_tolerance": []}, "argument 'same_row_tolerance': must be real number, not list"),
    ],
)
def test_config_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        q.XYCutConfig(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("field", FIELDS)
def test_config_setters(field):
    c = q.XYCutConfig()
    before = getattr(c, field)
    setattr(c, field, 0.1)
    assert getattr(c, field) == 0.10000000149011612
    setattr(c, field, before)
    with pytest.raises(TypeError) as info:
        setattr(c, field, "x")
    assert str(info.value) == f"argument '{field}': must be real number, not str"
    with pytest.raises(ValueError):
        setattr(c, field, BadFloat(ValueError("kept")))
    assert getattr(c, field) == before
    with pytest.raises(AttributeError) as info:
        delattr(c, field)
    assert str(info.value) == "property has no deleter"


# ---- compute_order_mervane: binding and conversion ----------------------------

GEN = (x for x in [E])


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((), {}, TypeError, "compute_order_mervane() missing 2 required positional arguments: 'elements' and 'page_bounds'"),
        (([E],), {}, TypeError, "compute_order_mervane() missing 1 required positional argument: 'page_bounds'"),
        ((), {"page_bounds": BOUNDS}, TypeError,
         "compute_order_mervane() missing 1 required positional argument: 'elements'"),
        (([E], BOUNDS, None, 1), {}, TypeError,
         "compute_order_mervane() takes from 2 to 3 positional arguments but 4 were given"),
        (([E], BOUNDS), {"cfg": None}, TypeError, "compute_order_mervane() got an unexpected keyword argument 'cfg'"),
        (([E], BOUNDS), {"Config": None}, TypeError, "compute_order_mervane() got an unexpected keyword argument 'Config'"),
        (([E],), {"elements": [E]}, TypeError, "compute_order_mervane() got multiple values for argument 'elements'"),
        (("abc", BOUNDS), {}, TypeError, "argument 'elements': Can't extract `str` to `Vec`"),
        ((None, BOUNDS), {}, TypeError, "argument 'elements': 'None' is not an instance of 'Sequence'"),
        ((GEN, BOUNDS), {}, TypeError, "argument 'elements': 'generator' object is not an instance of 'Sequence'"),
        (({1: E}, BOUNDS), {}, TypeError, "argument 'elements': 'dict' object is not an instance of 'Sequence'"),
        (({E}, BOUNDS), {}, TypeError, "argument 'elements': 'set' object is not an instance of 'Sequence'"),
        ((iter([E]), BOUNDS), {}, TypeError, "argument 'elements': 'list_iterator' object is not an instance of 'Sequence'"),
        (([E, 3], BOUNDS), {}, TypeError, "argument 'elements': 'int' object is not an instance of 'Element'"),
        (([None], BOUNDS), {}, TypeError, "argument 'elements': 'NoneType' object is not an instance of 'Element'"),
        (([E], [0, 0, 1, 1]), {}, TypeError, "argument 'page_bounds': 'list' object is not an instance of 'tuple'"),
        (([E], None), {}, TypeError, "argument 'page_bounds': 'NoneType' object is not an instance of 'tuple'"),
        (([E], (0, 0, 1)), {}, ValueError, "expected tuple of length 4, but got tuple of length 3"),
        (([E], ()), {}, ValueError, "expected tuple of length 4, but got tuple of length 0"),
        (([E], (0, 0, 1, "x")), {}, TypeError, "argument 'page_bounds': must be real number, not str"),
        (([E], (0, 0, 1, 10**400)), {}, OverflowError, "int too large to convert to float"),
        (([E], BOUNDS, {}), {}, TypeError, "argument 'config': 'dict' object is not an instance of 'XYCutConfig'"),
        (([E], BOUNDS), {"config": 0}, TypeError, "argument 'config': 'int' object is not an instance of 'XYCutConfig'"),
        # conversion order: elements, then page_bounds, then config
        (([3], [0], {}), {}, TypeError, "argument 'elements': 'int' object is not an instance of 'Element'"),
        (([E], [0], {}), {}, TypeError, "argument 'page_bounds': 'list' object is not an instance of 'tuple'"),
    ],
)
def test_entry_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        q.compute_order_mervane(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message


class ItemAccess:
    """A sequence known only by item access: no __len__, no __iter__."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class FailingIter(list):
    def __iter__(self):
        raise RuntimeError("iteration broke")


class TypeErrorIter(list):
    def __iter__(self):
        raise TypeError("no iterating")


def test_entry_accepts_sequences_and_keywords():
    a, b = element(1, 0, 50, 10, 60), element(2, 0, 0, 10, 10)
    expected = [2, 1]
    assert q.compute_order_mervane([a, b], BOUNDS) == expected
    assert q.compute_order_mervane((a, b), BOUNDS) == expected
    assert q.compute_order_mervane(ItemAccess([a, b]), BOUNDS) == expected
    assert q.compute_order_mervane(elements=[a, b], page_bounds=BOUNDS, config=None) == expected
    assert q.compute_order_mervane([a, b], BOUNDS, q.XYCutConfig(min_cut_threshold=100.0)) == expected
    assert q.compute_order_mervane([a, b], (Floaty(), Index(1), True, 1e39)) == expected
    assert q.compute_order_mervane([], BOUNDS) == []


def test_entry_iteration_errors():
    with pytest.raises(RuntimeError, match="^iteration broke$"):
        q.compute_order_mervane(FailingIter([E]), BOUNDS)
    with pytest.raises(TypeError, match="^argument 'elements': no iterating$"):
        q.compute_order_mervane(TypeErrorIter([E]), BOUNDS)


def test_entry_result_is_a_new_list_with_duplicates_kept():
    elements = [element(7, 0, 0, 1, 1), element(7, 0, 10, 1, 11), element(2**64 - 1, 0, 20, 1, 21)]
    first = q.compute_order_mervane(elements, BOUNDS)
    second = q.compute_order_mervane(elements, BOUNDS)
    assert first == second == [7, 7, 2**64 - 1] and first is not second
    assert all(type(i) is int for i in first)


def test_entry_keeps_no_reference_to_its_arguments():
    elements = [element(1, 0, 0, 1, 1)]
    bounds = (0.0, 0.0, 1.0, 1.0)
    before = sys.getrefcount(elements), sys.getrefcount(bounds), sys.getrefcount(elements[0])
    for _ in range(100):
        q.compute_order_mervane(elements, bounds)
    assert (sys.getrefcount(elements), sys.getrefcount(bounds), sys.getrefcount(elements[0])) == before


def test_labels_config_and_bounds_do_not_change_the_order():
    boxes = [(0, 0, 40, 100), (60, 0, 100, 100), (0, 110, 100, 130), (0, -30, 100, -10)]
    orders = set()
    for label in [L.CrossLayout, L.HorizontalTitle, L.Regular]:
        for config in [None, q.XYCutConfig(), q.XYCutConfig(100.0, 0.0, 0.0)]:
            for bounds in [BOUNDS, (0, 0, 1, 1)]:
                elements = [q.Element(i, *b, label) for i, b in enumerate(boxes)]
                orders.add(tuple(q.compute_order_mervane(elements, bounds, config)))
    assert orders == {(3, 0, 1, 2)}
