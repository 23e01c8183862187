"""Naming the market-data client of a run, and its warnings in the calling process."""
import types
import warnings

import pytest

from corvane.updater import market_client


class WarningClient:
    def __init__(self):
        self.inits = 0

    def init(self):
        self.inits += 1
        warnings.warn("serving a demo market", UserWarning)


def echoed():
    lines = []
    return lines, lambda message, err=False: lines.append((message, err))


@pytest.mark.parametrize("action, shown", [("default", True), ("ignore", False)])
def test_the_clients_warnings_are_shown_on_stderr_as_the_filters_let_them(action, shown):
    client = WarningClient()
    lines, echo = echoed()
    with warnings.catch_warnings():
        warnings.simplefilter(action)
        market_client.ready(client, echo)
    assert client.inits == 1
    assert lines == ([("corvane: the market-data client warns: UserWarning: serving a demo market", True)]
                     if shown else [])


def test_a_warning_made_an_error_fails_the_readying():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning):
            market_client.ready(WarningClient(), echoed()[1])


def test_the_line_names_the_module_its_version_and_where_it_lies(tmp_path):
    module = types.ModuleType("someclient")
    module.__file__ = str(tmp_path / "someclient.py")
    module.__version__ = "4.2"
    assert market_client.line(module) == "corvane: market-data client someclient 4.2, at {}".format(
        tmp_path / "someclient.py")
    # A module of an installed distribution, without a version of its own.
    import lumenfeed
    from importlib import metadata
    assert market_client.line(lumenfeed).startswith("corvane: market-data client lumenfeed (corvane-standins {}), at "
                                                   .format(metadata.version("corvane-standins")))
    # Neither a version nor a file: no claim of either.
    anonymous = types.ModuleType("nowhere")
    assert market_client.line(anonymous) == (
        "corvane: market-data client nowhere (version unknown), location unknown")
