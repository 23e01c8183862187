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
from vesper.utils.datetime_func import convert_dt_to_int
from vesper_mod_tollbay_data.data_sources.data_store import date_to_number, time_to_number, H5TicksLoader

# The subsystems take their services as an argument; they never import this
# module, so loading it stays free of cycles and of side effects.
from corvane import drivers, minbar, selection, services, tick
# The start lines are the drivers'; callers have found them here.
from corvane.drivers import START_LINES  # noqa: F401
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
# module-level functions of this module under these names.  Each reads the
# module globals when it runs, so rebinding e.g. `corvane.bundle.lumenfeed`
# is obeyed.

def _merge_tags(tags, with_derivatives):
    return selection.merge_tags(_services(), TAG_MAP, tags, with_derivatives)


def _append_h5(order_book_id, path, file_name=None, min_start_date=MIN_START_DATE, max_end_date=MAX_END_DATE):
    _store_minbar(order_book_id, path, file_name, min_start_date, max_end_date)


def _append_h5_tick(order_book_id, path, file_name=None, min_start_date=MIN_START_DATE, max_end_date=MAX_END_DATE):
    """更新tick级h5文件"""
    _store_tick(order_book_id, path, file_name, min_start_date, max_end_date)


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


# The stores wired to the module's services and record types, for the two
# jobs above and for the jobs of `corvane.run`, which add their per-run
# `options` (durable=True) as keywords.

def _store_minbar(order_book_id, path, file_name, min_start_date, max_end_date, **options):
    minbar.append_h5(
        _services(), order_book_id, path, file_name, min_start_date, max_end_date,
        EQUITIES_DTYPE, DERIVATIVES_DTYPE, INDEX_DTYPE, EQUITIES_INS_TYPE, **options,
    )


def _store_tick(order_book_id, path, file_name, min_start_date, max_end_date, **options):
    tick.append_h5_tick(_services(), order_book_id, path, file_name, min_start_date, max_end_date,
                        **options)


def _services():
    # Built at each call from the module globals (not captured at load).
    return services.Services(
        client=lumenfeed,
        instrument_type=INSTRUMENT_TYPE,
        convert_dt_to_int=convert_dt_to_int,
        date_to_number=date_to_number,
        time_to_number=time_to_number,
        ticks_loader=H5TicksLoader,
        echo=click.echo,
    )
