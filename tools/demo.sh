#!/usr/bin/env bash
# Fills demo-bundle/ from the demo market: minute bars of everything, ticks of
# a stock and a future.  A second run is incremental and writes nothing new
# until the market has a newer day (LUMENFEED_ASOF=YYYYMMDD moves its clock).
set -euo pipefail
cd "$(dirname "$0")/.."

corvane=.venv/bin/corvane
# The oldest stock, and the index future that expires next (contracts come
# and go with the market's clock); the ticks from 30 trading days back, as a
# first tick fill should be given (--since), not every day since 2005.
picked=$(.venv/bin/python -W ignore - <<'PY'
import lumenfeed
import pandas as pd
from vesper.const import INSTRUMENT_TYPE

lumenfeed.init()
days = lumenfeed.get_trading_dates(20050104, 29991231)
today = pd.Timestamp(days[-1])
futures = lumenfeed.all_instruments(INSTRUMENT_TYPE.FUTURE)
live = futures[(futures["underlying_symbol"] == "HXI") & (futures["de_listed_date"] >= today)]
print(live.sort_values("de_listed_date")["order_book_id"].iloc[0], pd.Timestamp(days[-30]).strftime("%Y%m%d"))
PY
)
read -r front_future since <<<"$picked"
tick_instruments=(10001.HBX "$front_future")

"$corvane" update-minbar demo-bundle/minbar all --with-derivatives --jobs 2
"$corvane" update-tick demo-bundle/tick "${tick_instruments[@]}" --since "$since" --jobs 2

count() { find "$1" -name '*.h5' | wc -l; }
echo
echo "demo bundle: $(pwd)/demo-bundle"
echo "  minbar/  $(count demo-bundle/minbar) files (equities/, future/, option/)"
echo "  tick/    $(count demo-bundle/tick) files (one dataset per trading day)"
