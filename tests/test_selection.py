"""Selection words to identifiers, through `corvane.bundle._merge_tags`."""
import pytest

import corvane.bundle as bundle
from conftest import LISTING_FORMS

T = bundle.INSTRUMENT_TYPE
# Every instrument of the fake market's full listing but the unstored type.
ALL_STORED = {
    "ST001", "ST002", "ET001", "LF001", "IX001", "CV001", "QZ.2601", "QZ.2602", "WV.2601",
    "OP.ET001.C1", "OP.ST001.C1", "OP.QZ2601.C1", "OP.WV2601.C1",
}
LISTING_CALLS = [
    ("all_instruments", (), {}),
    ("all_instruments", (T.OPTION,), {}),
    ("all_instruments", (T.FUTURE,), {}),
]
SECOND_LINE = "可选的参数值有 [stock, futures, fund, index, option, convertible] 或 underlying_symbol 或 order_book_id"


def unresolved_message(*words):
    return "不支持的参数值:[{}]，\n{}".format(", ".join(words), SECOND_LINE)


@pytest.mark.parametrize("words, with_derivatives, expected", [
    (["stock"], False, {"ST001", "ST002"}),
    # Indexes come with "fund" as well as with "index".
    (["fund"], False, {"ET001", "LF001", "IX001"}),
    (["index", "convertible"], False, {"IX001", "CV001"}),
    (["futures"], False, {"QZ.2601", "QZ.2602", "WV.2601"}),
    (["all"], False, ALL_STORED),
    (["all", "stock", "option"], False, ALL_STORED),
    (["QZ"], False, {"QZ.2601", "QZ.2602"}),
    (["ST001", "ST001", "CV001"], False, {"ST001", "CV001"}),
    # An option brings its underlying; derivatives stay out unless asked for.
    (["OP.ET001.C1"], False, {"OP.ET001.C1", "ET001"}),
    (["ST001"], False, {"ST001"}),
    (["ST001"], None, {"ST001"}),
    (["ST001"], True, {"ST001", "WV.2601", "WV.2609", "OP.ST001.C1", "OP.WV2601.C1"}),
    # Options on the futures found by the widening are included.
    (["IX001"], True, {"IX001", "QZ.2601", "QZ.2602", "OP.QZ2601.C1"}),
    (["index"], "yes", {"IX001", "QZ.2601", "QZ.2602", "OP.QZ2601.C1"}),
    # An identifier is selected whatever its type, stored or not.
    (["RP001"], False, {"RP001"}),
])
def test_words_select_identifiers_silently(client, recorder, words, with_derivatives, expected):
    assert bundle._merge_tags(words, with_derivatives) == expected
    assert recorder.events == []
    assert client.calls == LISTING_CALLS


def test_no_words_still_reads_the_three_listings(client, recorder):
    assert bundle._merge_tags([], True) == set()
    assert client.calls == LISTING_CALLS
    assert recorder.events == []


@pytest.mark.parametrize("words, with_derivatives, expected, unresolved", [
    (["foo"], False, set(), ["foo"]),
    (["Stock", "stock"], False, {"ST001", "ST002"}, ["Stock"]),
    # A word that is no text is named, not a crash after all the work.
    ([42], False, set(), ["42"]),
    # The option is not in the listing of all instruments: only its
    # underlying is selected and the word itself stays unresolved.
    (["OP.ET001.P9"], False, {"ET001"}, ["OP.ET001.P9"]),
    # A contract on a matched symbol that the full listing lacks is named
    # although the caller never gave it.
    (["WV"], False, {"WV.2601"}, ["WV.2609"]),
    # The derivatives widening adds this contract but resolves no word.
    (["ST001", "WV.2609"], True, {"ST001", "WV.2601", "WV.2609", "OP.ST001.C1", "OP.WV2601.C1"}, ["WV.2609"]),
])
def test_unresolved_words_are_reported_in_one_message(client, recorder, words, with_derivatives, expected,
                                                      unresolved):
    assert bundle._merge_tags(words, with_derivatives) == expected
    assert recorder.events == [("echo", (unresolved_message(*unresolved),), {})]


def test_unresolved_message_text_exactly(client, capsys):
    bundle._merge_tags(["foo"], False)
    assert capsys.readouterr().out == (
        "不支持的参数值:[foo]，\n"
        "可选的参数值有 [stock, futures, fund, index, option, convertible] 或 underlying_symbol 或 order_book_id\n")


def test_two_unresolved_words_in_either_order(client, recorder):
    assert bundle._merge_tags(["foo", "bar", "ET001"], False) == {"ET001"}
    (line,) = recorder.lines
    assert line in (unresolved_message("foo", "bar"), unresolved_message("bar", "foo"))


def test_caller_words_left_unchanged(client, recorder):
    words = ["all", "QZ", "foo"]
    bundle._merge_tags(words, True)
    assert words == ["all", "QZ", "foo"]


def test_non_iterable_words_fail_before_the_client_is_called(client, recorder):
    with pytest.raises(TypeError):
        bundle._merge_tags(42, False)
    assert client.calls == []


def test_client_failure_propagates_with_nothing_printed(client, recorder):
    client.fail = RuntimeError("client not initialised")
    with pytest.raises(RuntimeError, match="not initialised"):
        bundle._merge_tags(["foo"], False)
    assert recorder.events == []


@pytest.mark.parametrize("form", LISTING_FORMS)
def test_missing_underlying_never_becomes_an_identifier(client, recorder, monkeypatch, form):
    client.form = form
    original = client.all_instruments

    def listing_with_gap(*args):
        df = original(*args)
        if args:
            df.loc[df["order_book_id"] == "OP.ET001.C1", "underlying_order_book_id"] = None
        return df

    monkeypatch.setattr(client, "all_instruments", listing_with_gap)
    assert bundle._merge_tags(["OP.ET001.C1"], False) == {"OP.ET001.C1"}
    assert bundle._merge_tags(["ET001"], True) == {"ET001", "OP.ET001.P9"}


# Members that are no `str` against every form of listing: selection is by
# equality, whatever the column's dtype.
@pytest.mark.parametrize("form", LISTING_FORMS)
@pytest.mark.parametrize("words, with_derivatives, expected", [
    (["stock"], False, {"ST001", "ST002"}),
    (["fund", "convertible"], False, {"ET001", "LF001", "IX001", "CV001"}),
    (["all"], False, ALL_STORED),
    (["QZ"], False, {"QZ.2601", "QZ.2602"}),
    (["OP.ET001.C1"], False, {"OP.ET001.C1", "ET001"}),
    (["IX001"], True, {"IX001", "QZ.2601", "QZ.2602", "OP.QZ2601.C1"}),
])
def test_every_listing_form_selects_the_same(client, recorder, form, words, with_derivatives, expected):
    client.form = form
    selected = bundle._merge_tags(words, with_derivatives)
    assert selected == expected and all(type(oid) is str for oid in selected)
    assert recorder.events == []


# ---- corvane's own commands: any case, plurals and the types' own names --------

@pytest.mark.parametrize("words, expected, unresolved", [
    (["Stock"], {"ST001", "ST002"}, set()),
    (["stocks", "FUNDS"], {"ST001", "ST002", "ET001", "LF001", "IX001"}, set()),
    (["etf"], {"ET001"}, set()),
    (["ETFs", "lof"], {"ET001", "LF001"}, set()),
    (["indices", "All"], ALL_STORED, set()),
    (["st001", "qz"], {"ST001", "QZ.2601", "QZ.2602"}, set()),
    (["op.et001.c1"], {"OP.ET001.C1", "ET001"}, set()),
    # Unmatched words come back as the user spelled them.
    (["ST001", "NoSuchWord"], {"ST001"}, {"NoSuchWord"}),
])
def test_commands_take_words_in_any_case_and_plural(client, recorder, words, expected, unresolved):
    from corvane.updater import host
    from corvane.updater import selection

    chosen, left = selection.select(host.platform(), bundle.TAG_MAP, words, False, lenient=True)
    assert (chosen, left) == (expected, unresolved)
    assert recorder.events == []


@pytest.mark.parametrize("words", [["Stock"], ["etf"], ["funds"], ["st001"]])
def test_the_modules_own_selection_stays_exact(client, recorder, words):
    assert bundle._merge_tags(words, False) == set()
    assert recorder.lines == [unresolved_message(*words)]
