"""The ad operator's commands: `python3 -m adset --help` (tools/adset)."""


class Failed(Exception):
    """The job could not be done: one line for the operator, exit 2."""
