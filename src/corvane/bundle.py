import os  # noqa: F401
# os, chain, repr, List, Optional, h5py and np are part of the module's load
# sequence that callers may rely on, though nothing here uses them.
from itertools import chain  # noqa: F401
from reprlib import repr  # noqa: F401
from typing import List, Optional  # noqa: F401

import click
import h5py  # noqa: F401
import numpy as np  # noqa: F401

import lumenfeed
from vesper.const import INSTRUMENT_TYPE
from vesper.data.bundle import ProgressedProcessPoolExecutor
# The conversions and the tick reader are read through the platform
# (`corvane.updater.host`), by these names, when a job runs.
from vesper.utils.datetime_func import convert_dt_to_int  # noqa: F401
from vesper_mod_tollbay_data.data_sources.data_store import date_to_number, time_to_number, H5TicksLoader  # noqa: F401

# A facade: this module binds the platform (above) and its constants, and
# wires the subsystems to them.  They take the platform as an argument
# (`corvane.updater.host`) and never import this module, so loading it stays free of
# cycles and of side effects.
from corvane.updater import drivers
from corvane.updater import host
from corvane.updater import minbar
from corvane.updater import selection
from corvane.updater import tick
# Callers have found the services' type here.
from corvane.updater import services  # noqa: F401
# The start lines are the drivers'; callers have found them here.
from corvane.updater.drivers import START_LINES  # noqa: F401
# The record types and date bounds are the file format's, declared once there.
from corvane.formats import (  # noqa: F401
    DERIVATIVES_DTYPE, EQUITIES_DTYPE, INDEX_DTYPE, MAX_END_DATE, MIN_START_DATE)

# Insertion order matters: it is the order the tags are offered to the user.
TAG_MAP = {
    "stock": (INSTRUMENT_TYPE.CS,),
    "futures": (INSTRUMENT_TYPE.FUTURE,),
    "fund": (INSTRUMENT_TYPE.ETF, INSTRUMENT_TYPE.LOF, INSTRUMENT_TYPE.INDX),
    "index": (INSTRUMENT_TYPE.INDX,),
    "option": (INSTRUMENT_TYPE.OPTION,),
    "convertible": (INSTRUMENT_TYPE.CONVERTIBLE,),
}

EQUITIES_INS_TYPE = [
    INSTRUMENT_TYPE.CS,
    INSTRUMENT_TYPE.ETF,
    INSTRUMENT_TYPE.LOF,
    INSTRUMENT_TYPE.INDX,
    INSTRUMENT_TYPE.CONVERTIBLE,
]

# The six functions below are the module's public surface: the pool ships the
# jobs and the initialiser to its workers by reference, so they must stay
# module-level functions of this module under these names.  The platform
# they hand down reads the module globals when it is used, so rebinding e.g.
# `corvane.bundle.lumenfeed` is obeyed.

def _merge_tags(tags, with_derivatives):
    return selection.merge_tags(_PLATFORM, TAG_MAP, tags, with_derivatives)


def _append_h5(order_book_id, path, file_name=None, min_start_date=MIN_START_DATE, max_end_date=MAX_END_DATE):
    minbar.append_h5(_PLATFORM, order_book_id, path, file_name, min_start_date, max_end_date)


def _append_h5_tick(order_book_id, path, file_name=None, min_start_date=MIN_START_DATE, max_end_date=MAX_END_DATE):
    """更新tick级h5文件"""
    tick.append_h5_tick(_PLATFORM, order_book_id, path, file_name, min_start_date, max_end_date)


def init_lumenfeed_with_warnings_catch():
    # Imported here, not at load: the worker needs it only for this one call.
    import warnings
    # The client warns on every init; a worker would repeat it once per
    # process.  The scope restores the warning state even when init raises.
    with warnings.catch_warnings(record=True):
        lumenfeed.init()


def update_minbar(path, tags, with_derivatives, concurrency):
    _drive("minbar", _append_h5, path, tags, with_derivatives, concurrency)


def update_tick(path, tags, with_derivatives, concurrency):
    _drive("tick", _append_h5_tick, path, tags, with_derivatives, concurrency)


def _drive(kind, job, path, tags, with_derivatives, concurrency):
    """The update pipeline with this module's services, each read now."""
    pool, initializer = ProgressedProcessPoolExecutor, init_lumenfeed_with_warnings_catch
    drivers.update(lambda: (_merge_tags(tags, with_derivatives), ()), click.echo, kind, path,
                   lambda chosen: drivers.fan_out(pool, initializer, concurrency, job, path, chosen))


# Built once; it reads this module's names at each use.
_PLATFORM = host.bound(__name__)
