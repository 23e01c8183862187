"""Instrument selection: turns selection words into the identifiers to update.

A word is a tag of the tag map, the word "all", a futures underlying symbol or
an instrument identifier.  Every word is resolved against the client's three
full listings with whole-column membership tests, so a call costs three
listings however many words it is given.

The module's own selection (`merge_tags`) takes the words exactly as given;
corvane's commands also take them in any case and the obvious plurals
(`lenient_words`).
"""
import datetime
from itertools import chain

import numpy as np
import pandas as pd

__all__ = ["merge_tags", "select", "unresolved_message", "vocabulary_line", "listed", "delisted_number"]

UNSUPPORTED_WORDS = "不支持的参数值:[{}]，\n可选的参数值有 [{}] 或 underlying_symbol 或 order_book_id"


def merge_tags(services, tag_map, tags, with_derivatives):
    """Return the set of `order_book_id`s that the words `tags` select.

    Words that select nothing are named in one message (`services.echo`) and dropped.
    """
    order_book_id_set, unresolved = select(services, tag_map, tags, with_derivatives)
    if unresolved:
        services.echo(unresolved_message(tag_map, unresolved))
    return order_book_id_set


def select(services, tag_map, tags, with_derivatives, lenient=False, listing=None):
    """(identifiers the words select, words that select nothing); prints nothing.

    `lenient`: a word is also taken in any case, a tag also in its plural,
    and an instrument type's own name (ETF, LOF) selects that type.
    `listing`: a dict given the client's full listing ("table"), for the
    caller's further use without asking the client again.
    """
    return resolve_words(services, tag_map, tags, with_derivatives, lenient, listing)


def unresolved_message(tag_map, words):
    return UNSUPPORTED_WORDS.format(", ".join(str(word) for word in words), ", ".join(tag_map))


def vocabulary_line(tag_map):
    """In English, every word that selects instruments."""
    return ("words select instruments by kind ({}, or all), by futures underlying symbol, or by "
            "order_book_id; any case, and plurals, are taken".format(", ".join(tag_map)))


def resolve_words(services, tag_map, tags, with_derivatives, lenient=False, listing=None):
    """(identifiers the words `tags` select, set of the words that select nothing)."""
    # Our own set: duplicates collapse and the caller's object stays as it
    # was.  A non-iterable fails here, before the client is asked anything.
    tags = set(tags)
    client = services.client
    df = client.all_instruments()
    if listing is not None:
        listing["table"] = df
    option_df = client.all_instruments(services.instrument_type.OPTION)
    future_df = client.all_instruments(services.instrument_type.FUTURE)
    if lenient:
        spelled, tag_map = lenient_words(tags, tag_map, (df, option_df, future_df))
        chosen, unresolved = resolve_words_in(tag_map, set(spelled.values()), df, option_df, future_df,
                                              with_derivatives)
        return chosen, {word for word, known in spelled.items() if known in unresolved}
    return resolve_words_in(tag_map, tags, df, option_df, future_df, with_derivatives)


def resolve_words_in(tag_map, tags, df, option_df, future_df, with_derivatives):
    """resolve_words on the client's three listings, `tags` being our own set."""
    order_book_id_set = set()
    ins_types = chosen_types(tag_map, tags)
    tags.difference_update(tag_map)

    # A futures symbol stands for every contract on it; those contracts are
    # then resolved like identifiers the caller gave.
    underlying_symbol_df = rows_where(future_df, "underlying_symbol", tags)
    tags.update(column_values(underlying_symbol_df, "order_book_id"))
    tags.difference_update(column_values(underlying_symbol_df, "underlying_symbol"))

    order_book_id_set.update(column_values(rows_where(df, "type", ins_types), "order_book_id"))
    order_book_id_set.update(column_values(rows_where(df, "order_book_id", tags), "order_book_id"))
    # An option named by the caller brings its underlying instrument.
    order_book_id_set.update(
        column_values(rows_where(option_df, "order_book_id", tags), "underlying_order_book_id"))

    # What remains unresolved is fixed before the widening below, which
    # resolves no word of its own.
    tags.difference_update(order_book_id_set)

    if with_derivatives:
        add_derivatives(order_book_id_set, future_df, option_df)

    return order_book_id_set, tags


def lenient_words(words, tag_map, listings):
    """({word as given: as the listings or the tag map spell it}, the tag map widened by type names).

    Only spellings change: a word that means nothing in any case stays as it is.
    """
    widened = dict(tag_map)
    # Only the types the tags hold: "all" still means every tag's types.
    for member in set(chain.from_iterable(tag_map.values())):
        widened.setdefault(str(member.name).lower(), (member,))
    known = {word.lower(): word for word in list(widened) + ["all"]}
    known.update({word + "s": word for word in widened if not word.endswith("s")})
    known.update({"indices": "index", "indexes": "index", "future": "futures"})
    exact = set()
    for table in listings:
        for column in ("order_book_id", "underlying_symbol"):
            values = [value for value in column_values(table, column) if isinstance(value, str)]
            exact.update(values)
            known.update((value.lower(), value) for value in values if value.lower() not in known)
    spelled = {word: word if word in widened or word == "all" or word in exact
               else known.get(str(word).lower(), word) for word in words}
    return spelled, widened


def chosen_types(tag_map, tags):
    """The instrument types that the tags among `tags` select; drops "all".

    The result may repeat a type; it is only used for membership.
    """
    if "all" in tags:
        tags.discard("all")
        return list(chain.from_iterable(tag_map.values()))
    return list(chain.from_iterable(tag_map[word] for word in tags if word in tag_map))


def add_derivatives(order_book_id_set, future_df, option_df):
    """Widen the selection, once, by the futures and then the options on it.

    Futures come first so that options on the selected futures are included;
    options found here bring no further derivatives.
    """
    futures = rows_where(future_df, "underlying_order_book_id", order_book_id_set)
    order_book_id_set.update(column_values(futures, "order_book_id"))
    options = rows_where(option_df, "underlying_order_book_id", order_book_id_set)
    order_book_id_set.update(column_values(options, "order_book_id"))


def rows_where(table, column, collection):
    """The rows of `table` whose `column` holds a value in `collection`.

    Membership is Python's own `in`, cell by cell: the listings' columns may
    have any dtype and the framework's types need only compare equal to the
    cells, which a dtype-driven `Series.isin` does not honour (members that
    are not `str` against a string column match nothing).  A missing cell is
    in no collection.
    """
    cells = table[column]
    present = cells.notna().to_numpy()
    mask = np.zeros(len(cells), dtype=bool)
    mask[present] = [cell in collection for cell in cells[present].tolist()]
    return table[mask]


def column_values(table, column):
    """The values of `column` as a list, leaving out missing ones.

    A missing cell (an option or future listed without its underlying) must
    not turn into an identifier that a job would then be started for.
    """
    return table[column].dropna().tolist()


def listed(table):
    """{order_book_id: (instrument type, YYYYMMDD it was delisted or expired, or None)}.

    From the client's full listing `table`: a job handed these asks the
    client nothing about an instrument whose file already reaches past its end.
    """
    # A listing without a column says nothing of it: the jobs then ask the client.
    absent = [None] * len(table)
    facts = {}
    for order_book_id, kind, ended in zip(table["order_book_id"].tolist(),
                                          table["type"].tolist() if "type" in table else absent,
                                          table["de_listed_date"].tolist() if "de_listed_date" in table
                                          else absent):
        if isinstance(order_book_id, str):
            facts[order_book_id] = (kind, delisted_number(ended))
    return facts


# Days whose text starts YYYY-MM-DD (NaT, also a date, is none of these types).
_DAYS = (pd.Timestamp, datetime.datetime, datetime.date)


def delisted_number(value):
    """A listing's de_listed_date as YYYYMMDD; None for a live instrument ("0000-00-00", missing)."""
    if value is None or (isinstance(value, float) and value != value):
        return None
    if type(value) in _DAYS:
        # What its text's first ten characters give, without the text.
        number = (value.year * 100 + value.month) * 100 + value.day
        return number if number >= 19000101 else None
    digits = str(value)[:10].replace("-", "")
    if len(digits) != 8 or not digits.isdigit() or int(digits) < 19000101:
        return None
    return int(digits)
