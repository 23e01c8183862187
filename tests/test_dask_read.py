"""`read.dask_bars` on a local cluster of two worker processes: the values of `bars_many`."""
import distributed
import pandas as pd
import pytest

from corvane import read
from test_research import future_days, shaky, write_bars  # noqa: F401  (shaky: a fixture)

# Process-level: left out by `make test-fast`, run by `make test`.
pytestmark = pytest.mark.slow

YEARS = [20241230, 20241231, 20250102, 20250103]


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as local, distributed.Client(local) as client:
        client.wait_for_workers(2)
        yield client


@pytest.fixture
def root(request):
    """test_research's futures, and one over the turn of a year."""
    path = request.getfixturevalue("shaky")
    write_bars(path, "future", "SPAN.QQ", future_days(YEARS))
    return path


def expected(root, ids, start=None, end=None, freq=None):
    tables = read.bars_many(root, ids, start, end, freq=freq)
    frame = pd.concat([table.assign(order_book_id=order_book_id)[["order_book_id"] + list(table.columns)]
                       for order_book_id, table in tables.items()])
    frame.attrs.clear()
    return frame.astype({"order_book_id": object})


def computed(frame):
    # Dask holds text in a string dtype of its own choosing.
    return frame.compute().astype({"order_book_id": object})


@pytest.mark.parametrize("freq", [None, "5min", "1D"])
def test_dask_bars_hold_the_values_of_bars_many_one_partition_an_instrument(cluster, root, freq):
    ids = ["FULL.QQ", "HOLE.QQ"]
    frame = read.dask_bars(root, ids, 20250102, 20250107, freq=freq)
    assert frame.npartitions == 2 and not frame.known_divisions
    pd.testing.assert_frame_equal(computed(frame), expected(root, ids, 20250102, 20250107, freq))


@pytest.mark.parametrize("freq", [None, "5min", "1D"])
def test_one_instrument_over_years_is_a_partition_a_year_with_known_divisions(cluster, root, freq):
    frame = read.dask_bars(root, "SPAN.QQ", freq=freq)
    assert frame.npartitions == 2 and frame.known_divisions
    whole = computed(frame)
    pd.testing.assert_frame_equal(whole, expected(root, ["SPAN.QQ"], freq=freq))
    assert frame.divisions[0] == whole.index[0] and frame.divisions[-1] == whole.index[-1]
    assert frame.partitions[1].compute()["trading_date"].min() == 20250102
    pd.testing.assert_frame_equal(computed(frame.loc["2025-01-02":]), whole.loc["2025-01-02":])
