"""tarvel-admin: see and steer the jobs and skills of a Tarvel data folder from a terminal."""

from __future__ import annotations

import argparse
import logging
import os
import sys
import traceback

from tarvel_admin import jobs, skills, text
from tarvel_admin.common import Context, Refused, Usage
from tarvel_admin.host import data_folder, load_modules

# Commands that only read: they run on copies of the files (see snapshot.py).
READ_ONLY = {"jobs", "agenda", "history", "check-cron", "skills", "show", "versions", "diff", "review", "log", "stats"}


class Parser(argparse.ArgumentParser):
    """argparse with a one-line error: "tarvel-admin: error: ...", exit status 2."""

    def error(self, message: str):
        command = self.prog.partition(" ")[2]  # a command's own parser: "tarvel-admin add"
        raise Usage(f"{command}: {message}" if command else message)


def _count_of(what: str):
    """The argparse type of a count: a whole number, 0 or more."""

    def parse(value: str) -> int:
        if not (value.isascii() and value.isdigit()):
            raise argparse.ArgumentTypeError(f"{what} must be a whole number, 0 or more, not {value!r}")
        return int(value)

    return parse


def _seconds(value: str) -> int:
    try:
        number = int(value)
    except ValueError:
        number = 0
    if number <= 0:
        raise argparse.ArgumentTypeError(f"--every takes a whole number of seconds above 0, not {value!r}")
    return number


def _at(value: str) -> float:
    try:
        return jobs.parse_at(value)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _common(parser: argparse.ArgumentParser, default) -> None:
    """The options every command takes, before or after its name."""
    parser.add_argument("--data", metavar="DIR", default=default(None),
                        help="the data folder (default: the host's, $TARVEL_DIR or ~/.tarvel)")
    parser.add_argument("--json", action="store_true", default=default(False), help="print JSON, for scripts")
    parser.add_argument("--utc", action="store_true", default=default(False), help="times in UTC, not local")
    parser.add_argument("--debug", action="store_true", default=default(False), help="show tracebacks and logs")


def _adder(sub, common):
    """add(name, function, help): a command's parser, which runs `function(ctx, args)`."""

    def add(name, function, help):
        parser = sub.add_parser(name, parents=[common], help=help, description=help)
        parser.set_defaults(run=function)
        return parser

    return add


def _job_commands(sub, common) -> None:
    add = _adder(sub, common)
    p = add("jobs", jobs.cmd_jobs, "list the jobs, soonest first")
    p.add_argument("--all", action="store_true", help="include paused and completed jobs")
    p = add("agenda", jobs.cmd_agenda, "the next runs the loop will fire")
    p.add_argument("--count", type=_count_of("--count"), default=10)
    p.add_argument("--job", metavar="ID")
    p = add("history", jobs.cmd_history, "recorded runs, oldest first")
    p.add_argument("--job", metavar="ID")
    p.add_argument("--limit", type=_count_of("--limit"), default=20, help="the last N runs (0: all)")
    p.add_argument("--failed", action="store_true", help="failed runs only")
    p = add("add", jobs.cmd_add, "add a job")
    when = p.add_mutually_exclusive_group(required=True)
    when.add_argument("--cron", metavar="EXPR")
    when.add_argument("--every", metavar="SECONDS", type=_seconds)
    when.add_argument("--at", metavar="TIME", type=_at, help="ISO 8601, local time unless it names a zone")
    p.add_argument("--max-runs", type=_count_of("--max-runs"), default=0)
    p.add_argument("--description", default="")
    p.add_argument("name")
    p.add_argument("prompt")
    p = add("edit", jobs.cmd_edit, "change a job")
    p.add_argument("id")
    p.add_argument("--name")
    p.add_argument("--prompt")
    how = p.add_mutually_exclusive_group()
    how.add_argument("--cron", metavar="EXPR")
    how.add_argument("--every", metavar="SECONDS", type=_seconds)
    p.add_argument("--max-runs", type=_count_of("--max-runs"))
    for name, fn, help in [("pause", jobs.cmd_pause, "pause a job"), ("resume", jobs.cmd_resume, "resume a job"),
                           ("remove", jobs.cmd_remove, "remove a job"),
                           ("run", jobs.cmd_run, "ask the running loop to fire a job at its next pass")]:
        add(name, fn, help).add_argument("id")
    p = add("check-cron", jobs.cmd_check_cron, "parse a cron expression and show its next times")
    p.add_argument("expression")
    p.add_argument("--count", type=_count_of("--count"), default=5)


def _skill_commands(sub, common) -> None:
    add = _adder(sub, common)
    add("skills", skills.cmd_skills, "list the saved skills")
    p = add("show", skills.cmd_show, "a skill's steps, or a Python skill's code")
    p.add_argument("name")
    p.add_argument("--version", type=int)
    add("versions", skills.cmd_versions, "a skill's kept versions").add_argument("name")
    p = add("diff", skills.cmd_diff, "what changed between two versions of a skill")
    p.add_argument("name")
    p.add_argument("a", type=int, metavar="A")
    p.add_argument("b", type=int, metavar="B")
    p = add("rollback", skills.cmd_rollback, "save an earlier version again as the newest")
    p.add_argument("name")
    p.add_argument("version", type=int)
    add("delete", skills.cmd_delete, "delete a skill (its versions are kept)").add_argument("name")
    add("review", skills.cmd_review, "what a skill would do, risky calls first").add_argument("name")
    p = add("log", skills.cmd_log, "the improvement log, newest last")
    p.add_argument("--limit", type=_count_of("--limit"), default=20)
    add("stats", skills.cmd_stats, "the improvement log's statistics")


def parser() -> Parser:
    main = Parser(prog="tarvel-admin", description=__doc__)
    _common(main, lambda value: value)
    common = Parser(add_help=False)
    _common(common, lambda value: argparse.SUPPRESS)
    sub = main.add_subparsers(dest="command", metavar="COMMAND", required=True)
    _job_commands(sub, common)
    _skill_commands(sub, common)
    return main


def _failed_save(record: logging.LogRecord) -> bool:
    return record.levelno >= logging.ERROR and record.getMessage().startswith("Failed to save")


class _SaveFailures(logging.Handler):
    """Notes the modules' "Failed to save ..." errors: the change did not land."""

    def __init__(self, noted: list[str]):
        super().__init__(logging.ERROR)
        self.noted = noted

    def emit(self, record: logging.LogRecord) -> None:
        if _failed_save(record):
            self.noted.append(record.getMessage())


def _logging(debug: bool, command: str, failures: list[str]) -> None:
    """The modules' log: everything with --debug; a changing command's warnings (a failed save is
    the command's own error); else nothing (a read-only command's log names the temporary
    copies; their problems are reported)."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("tarvel-admin: %(levelname)s: %(message)s"))
    if not debug:
        handler.addFilter(lambda record: not _failed_save(record))
    root = logging.getLogger("tarvel")
    root.addHandler(handler)
    root.addHandler(_SaveFailures(failures))
    root.propagate = False
    if debug:
        root.setLevel(logging.DEBUG)
    else:
        root.setLevel(logging.CRITICAL + 1 if command in READ_ONLY else logging.WARNING)


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    debug = "--debug" in argv
    try:
        args = parser().parse_args(argv)
        text.UTC = args.utc
        failures: list[str] = []
        _logging(args.debug, args.command, failures)
        scheduler, creator = load_modules()
        ctx = Context(scheduler, creator, data_folder(args.data), args.json, failures)
        return args.run(ctx, args)
    except Usage as e:
        print(f"tarvel-admin: error: {e}", file=sys.stderr)
        return 2
    except Refused as e:
        print(f"tarvel-admin: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:  # `tarvel-admin jobs | head -1`: the reader has what it wanted
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception as e:  # noqa: BLE001 - one line, unless --debug asks for the traceback
        if debug:
            traceback.print_exc()
        print(f"tarvel-admin: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
