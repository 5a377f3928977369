"""adset: the ad operator's commands on the ad server.

  adset check    FOLDER|URL   is a set fit to go live?
  adset publish  SET --root ROOT   make a checked set live for every bar at once
  adset rollback --root ROOT [ID]  back to the set before, or to ID
  adset status   --root ROOT   the live set and the last ones
  adset report   LOG...        proof of play from the access logs

Each command has --help. Exit codes: 0 done, 1 the job found a problem,
2 the job could not be done (a wrong call, a root, folder or server it
cannot use).
"""
import argparse
import importlib
import os
import sys

from adset import Failed

# Each module names its commands in COMMANDS: {name: (summary, add_arguments, run)}.
MODULES = ("check", "publish", "report")


def commands():
    found = {}
    for name in MODULES:
        try:
            module = importlib.import_module(f"adset.{name}")
        except ModuleNotFoundError as e:
            if e.name != f"adset.{name}":
                raise
            continue
        found.update(module.COMMANDS)
    return found


def main(argv=None):
    table = commands()
    p = argparse.ArgumentParser(prog="adset", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", metavar="COMMAND", required=True)
    parsers = {}
    for name, (summary, add_arguments, _) in table.items():
        parsers[name] = sub.add_parser(name, help=summary, description=summary)
        add_arguments(parsers[name])
    args, unknown = p.parse_known_args(argv)
    if unknown:
        # Said with the command's own usage, not the list of commands.
        parsers[args.command].error(f"unrecognized arguments: {' '.join(unknown)}")
    if sys.stdout is None:
        return fail(args, "its output is closed")
    try:
        return table[args.command][2](args)
    except Failed as e:
        return fail(args, e)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # A reader that went away (`| head`): what is left unsaid goes nowhere.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return fail(args, "its output was closed before the end")
    except OSError as e:
        # A full disk under the output, or anything else the system refused.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return fail(args, f"{e.filename + ': ' if e.filename else ''}{e.strerror or e}")


def fail(args, why):
    if sys.stderr:
        print(f"adset {args.command}: {why}", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
