"""The ad operator's commands: `python3 -m adset --help` (tools/adset).
What every command shares is here."""

# The files a bar fetches, /ads/vtl_1.ad ... /ads/vtl_16.ad.
ADS = 16
NAMES = [f"vtl_{n}.ad" for n in range(1, ADS + 1)]


def spaced(n):
    """A count as the operator's pages write it: 411 536."""
    return f"{n:,}".replace(",", " ")


class Failed(Exception):
    """The job could not be done: one line for the operator, exit 2."""
