"""Updating from Python in one call: `corvane.update`.

    import corvane
    if __name__ == "__main__":          # workers may import this script afresh
        report = corvane.update("minbar", "bundle/minbar", ["stock"], jobs=4,
                                options=corvane.UpdateOptions(since=20240102, retries=2))
        print(report)                   # the summary; report.summary(verbose=True) with tracebacks
        raise SystemExit(report.exit_status)
"""
import sys

from corvane.updater import host, market_client, run
from corvane.updater.options import UpdateOptions


def _to_stderr(text, err=True):
    print(text, file=sys.stderr if err else sys.stdout)


def update(kind, path, words, *, with_derivatives=False, jobs=None, options=None, scheduler=None,
           executor=None, services=None, echo=None):
    """Update the `kind` ("minbar" or "tick") files under `path` from `words`; the run's Report.

    Readies the market-data client in this process first (it selects the
    instruments; its warnings go to `echo`, else to standard error), then
    runs the update `corvane update-minbar` and `update-tick` run.
    `options`: an UpdateOptions (since, retries, durable, timeout,
    fetch_threads, revisit).  `scheduler`: run on Dask ("tcp://host:port" or
    "local:N"); `executor`: a concurrent.futures executor of the caller's,
    used as is.  `services`: the platform (default: as `corvane.bundle`
    binds it).  `echo(text, err=False)`: where the run's lines go (default:
    nowhere).  Raises NothingSelected when the words select nothing and
    SetupRefused on options that cannot work together; a failed job is an
    outcome in the Report, and `report.exit_status` is 0, 1 or 130.
    """
    services = services or host.platform()
    market_client.ready(services.client, echo or _to_stderr)
    return run.update(kind, path, words, with_derivatives, jobs, options or UpdateOptions(), scheduler=scheduler,
                      executor=executor, services=services, echo=echo)
