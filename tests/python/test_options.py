"""ElasticOptions and FunnelOptions: defaults, conversions, validation, properties."""

import math

import pytest

import quorvel
from quorvel import ElasticOptions, FunnelOptions

ELASTIC_RESERVE = "reserve_fraction must be in the open interval (0, 1)"
FUNNEL_RESERVE = (
    "reserve_fraction must be in (0, 0.125]; FunnelHashMap caps the load factor at 1/8 by design"
)


def test_defaults():
    e = ElasticOptions()
    assert (e.capacity, e.reserve_fraction, e.probe_scale) == (0, 0.1, 16.0)
    f = FunnelOptions()
    assert (f.capacity, f.reserve_fraction, f.primary_probe_limit) == (0, 0.1, None)


def test_values_by_position_and_keyword():
    e = ElasticOptions(7, 0.5, 2.5)
    assert (e.capacity, e.reserve_fraction, e.probe_scale) == (7, 0.5, 2.5)
    f = FunnelOptions(primary_probe_limit=3, capacity=9, reserve_fraction=0.125)
    assert (f.capacity, f.reserve_fraction, f.primary_probe_limit) == (9, 0.125, 3)
    assert FunnelOptions(primary_probe_limit=None).primary_probe_limit is None
    assert ElasticOptions(reserve_fraction=None, probe_scale=None).probe_scale == 16.0


def test_integers_accepted_for_floats():
    value = ElasticOptions(probe_scale=4).probe_scale
    assert type(value) is float and value == 4.0


@pytest.mark.parametrize("value", [1.0, 0, 0.0, -0.5, 2, math.nan, math.inf])
def test_elastic_reserve_fraction_rejected(value):
    with pytest.raises(ValueError) as info:
        ElasticOptions(reserve_fraction=value)
    assert str(info.value) == ELASTIC_RESERVE


def test_elastic_reserve_fraction_bounds_accepted():
    assert ElasticOptions(reserve_fraction=0.999).reserve_fraction == 0.999
    assert ElasticOptions(reserve_fraction=1e-9).reserve_fraction == 1e-9


@pytest.mark.parametrize("value", [0, -1.5, -math.inf])
def test_probe_scale_must_be_positive(value):
    with pytest.raises(ValueError, match=r"^probe_scale must be positive$"):
        ElasticOptions(probe_scale=value)


def test_probe_scale_nan_and_infinity_pass_unchanged():
    assert ElasticOptions(probe_scale=math.inf).probe_scale == math.inf
    assert math.isnan(ElasticOptions(probe_scale=math.nan).probe_scale)


@pytest.mark.parametrize("value", [0.2, 0.125000001, 0, -1.0, math.nan])
def test_funnel_reserve_fraction_rejected(value):
    with pytest.raises(ValueError) as info:
        FunnelOptions(reserve_fraction=value)
    assert str(info.value) == FUNNEL_RESERVE


def test_funnel_reserve_fraction_upper_bound_accepted():
    assert FunnelOptions(reserve_fraction=0.125).reserve_fraction == 0.125


def test_primary_probe_limit():
    with pytest.raises(ValueError, match=r"^primary_probe_limit must be positive$"):
        FunnelOptions(primary_probe_limit=0)
    with pytest.raises(OverflowError):
        FunnelOptions(primary_probe_limit=-1)
    assert FunnelOptions(primary_probe_limit=2**32 - 1).primary_probe_limit == 2**32 - 1


def test_checks_run_in_order_after_all_conversions():
    with pytest.raises(ValueError) as info:
        ElasticOptions(reserve_fraction=2, probe_scale=0)
    assert str(info.value) == ELASTIC_RESERVE
    # A conversion failure of a later argument wins over a failed check.
    with pytest.raises(TypeError, match=r"^argument 'probe_scale': "):
        ElasticOptions(reserve_fraction=2, probe_scale="x")
    with pytest.raises(ValueError) as info:
        FunnelOptions(reserve_fraction=0.5, primary_probe_limit=0)
    assert str(info.value) == FUNNEL_RESERVE


@pytest.mark.parametrize("cls", [ElasticOptions, FunnelOptions])
def test_capacity_conversion(cls):
    assert cls(2**32 - 1).capacity == 2**32 - 1
    assert cls(True).capacity == 1
    for too_big in (2**32, 2**64, 2**100):
        with pytest.raises(OverflowError, match=r"^out of range integral type conversion attempted$"):
            cls(too_big)
    with pytest.raises(OverflowError):
        cls(-1)
    with pytest.raises(TypeError, match=r"^argument 'capacity': 'str' object cannot be interpreted as an integer$"):
        cls("3")
    with pytest.raises(TypeError, match=r"^argument 'capacity': "):
        cls(1.5)


def test_float_conversion_message_and_cause():
    class Bad:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("no float here") from inner

    with pytest.raises(TypeError) as info:
        ElasticOptions(reserve_fraction=Bad())
    assert str(info.value) == "argument 'reserve_fraction': no float here"
    assert isinstance(info.value.__cause__, KeyError)


def test_non_type_errors_of_conversions_propagate_unchanged():
    class Bad:
        def __index__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="^boom$"):
        FunnelOptions(Bad())


@pytest.mark.parametrize("cls", [ElasticOptions, FunnelOptions])
def test_argument_errors(cls):
    with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'bogus'"):
        cls(bogus=1)
    with pytest.raises(TypeError, match=r"got multiple values for argument 'capacity'"):
        cls(1, capacity=2)
    with pytest.raises(TypeError, match=r"positional arguments but 4 were given"):
        cls(1, 0.1, None, 4)


@pytest.mark.parametrize("cls", [ElasticOptions, FunnelOptions])
def test_plain_value_object(cls):
    options = cls()
    assert options == options and options != cls()
    assert hash(options) == hash(options)
    assert repr(options).startswith(f"<quorvel.{cls.__name__} object at ")
    with pytest.raises(AttributeError):
        options.capacity = 5
    for name in ("capacity", "reserve_fraction"):
        assert getattr(cls, name).__doc__ is None


def test_signatures():
    assert ElasticOptions.__text_signature__ == "(capacity=0, reserve_fraction=None, probe_scale=None)"
    assert FunnelOptions.__text_signature__ == "(capacity=0, reserve_fraction=None, primary_probe_limit=None)"
    assert ElasticOptions.__doc__ == "" and ElasticOptions.__module__ == "quorvel"
    assert quorvel.FunnelOptions.__qualname__ == "FunnelOptions"
