"""tests/test_state_database.py: the registry kept by either store, the database store's rows, export and import."""

import gc
import inspect
import sqlite3
import types
from contextlib import closing

import pytest
from test_state_file import STAMP, clock, files  # noqa: F401 (clock: the fixed clock copies are named by)

from tarvel.core import scheduler

Scheduler, ScheduledJob, JobExecution = scheduler.Scheduler, scheduler.ScheduledJob, scheduler.JobExecution
JobType, JobState = scheduler.JobType, scheduler.JobState


@pytest.fixture
def state(path, store):
    """Where a scheduler of the store keeps its state, and a new scheduler of that store on it."""
    return path, lambda: Scheduler(storage_path=path, store=store)


def job(job_id, **fields):
    return ScheduledJob(id=job_id, name=job_id.upper(), job_type=JobType.ONCE, next_run=2_000_000_000.0, **fields)


def jobs_of(sch):
    return {key: j.to_dict() | {"prompt": j.prompt, "metadata": j.metadata} for key, j in sch._jobs.items()}


def test_export_state_surface_and_the_modules_sqlite3():
    method = Scheduler.export_state
    assert (str(inspect.signature(method)), method.__doc__) == (
        "(self, path: 'str | os.PathLike[str]') -> 'None'",
        "Write the jobs and the history to a JSON file as the JSON store keeps them.")
    assert scheduler.sqlite3 is sqlite3


@pytest.mark.parametrize("change", [
    lambda sch: sch.add_job(job("c", prompt="ü" * 300, metadata={"n": [1, 2.5, None]})),
    lambda sch: sch.update_job("a", {"prompt": "new", "next_run": 2_100_000_000.0}),
    lambda sch: sch.pause_job("a"),
    lambda sch: sch.pause_job("a") and sch.resume_job("a"),
    lambda sch: sch.remove_job("b"),
    lambda sch: sch.remove_job("a") and sch.add_job(job("a", description="again")),
], ids=["add", "update", "pause", "resume", "remove", "remove-and-add"])
def test_each_registry_call_survives_a_new_scheduler(state, change):
    where, new = state
    sch = new()
    sch.add_job(job("a"))
    sch.add_job(job("b", metadata={"k": "v"}))
    change(sch)
    again = new()
    assert jobs_of(again) == jobs_of(sch) and list(again._jobs) == list(sch._jobs)


def test_a_field_set_on_a_job_itself_is_saved_with_the_next_call(state):
    where, new = state
    sch = new()
    sch.add_job(job("a", metadata={"n": 1}))
    sch.add_job(job("b"))
    sch.get_job("a").prompt = "set directly"
    sch.get_job("a").metadata["n"] = 2
    sch.pause_job("b")
    assert (new().get_job("a").prompt, new().get_job("a").metadata) == ("set directly", {"n": 2})


def _set_twice(sch):
    sch.get_job("a").prompt = "first"
    sch._save()
    sch.get_job("a").prompt = "second"


def _new_metadata_then_edit(sch):
    sch.get_job("a").metadata = {"n": 1}
    sch._save()
    sch.get_job("a").metadata["n"] = 2


@pytest.mark.parametrize("change", [
    _set_twice,
    _new_metadata_then_edit,
    lambda sch: sch.get_job("b").metadata["tags"].append("new"),
    lambda sch: sch.get_job("b").metadata["tags"].append("new") or sch._save() or sch.get_job("b").metadata["tags"].pop(0),
    lambda sch: sch._jobs.pop("a"),
    lambda sch: sch._jobs.__setitem__("d", job("d", prompt="put in directly")),
    lambda sch: sch._jobs.__setitem__("a", job("a", prompt="replaced directly")),
    lambda sch: setattr(sch, "_jobs", {"z": job("z")}),
    lambda sch: sch._jobs.clear(),
], ids=["set-twice", "new-metadata-then-edit", "list-in-metadata", "list-after-a-save", "popped", "put",
        "replaced", "new-registry", "cleared"])
def test_changes_made_around_the_methods_are_saved_by_the_next_save(state, change):
    where, new = state
    sch = new()
    sch.add_job(job("a"))
    sch.add_job(job("b", metadata={"tags": ["x"]}))
    sch = new()  # as loaded
    change(sch)
    sch._save()
    assert jobs_of(new()) == jobs_of(sch)


@pytest.mark.parametrize("drop_first", [False, True], ids=["both-kept", "first-dropped"])
def test_two_schedulers_holding_the_same_jobs_each_save_a_field_set_on_them(tmp_path, drop_first):
    paths = [tmp_path / name / "scheduler.sqlite3" for name in "ab"]
    first = Scheduler(storage_path=paths[0], store="sqlite")
    first.add_job(job("a", metadata={"n": 1}))
    first = Scheduler(storage_path=paths[0], store="sqlite")  # as loaded: its jobs watched
    second = Scheduler(storage_path=paths[1], store="sqlite")
    second._jobs = first._jobs
    second._save()
    schedulers = [second] if drop_first else [first, second]
    del first
    gc.collect()
    second.get_job("a").prompt = "set on the shared job"
    second.get_job("a").metadata["n"] = 2
    for sch in schedulers:
        sch._save()
    for path, sch in zip(paths[-len(schedulers):], schedulers):
        again = Scheduler(storage_path=path, store="sqlite")
        assert (again.get_job("a").prompt, again.get_job("a").metadata) == ("set on the shared job", {"n": 2})


def test_the_newest_executions_are_kept_as_the_state_file_keeps_them(state):
    where, new = state
    sch = new()
    for batch in (range(30), range(30, 150), range(150, 160)):
        sch._executions.extend(JobExecution("a", "A", 1000.0 + i, result=f"r{i}") for i in batch)
        sch._save()
    assert [e.result for e in new()._executions] == [f"r{i}" for i in range(60, 160)]


def test_export_state_writes_what_the_json_store_writes(state, tmp_path):
    where, new = state
    sch = new()
    sch.add_job(job("a", metadata={"x": [1]}))
    sch._executions.append(JobExecution("a", "A", 1000.5, success=True))
    sch.pause_job("a")
    json_sch = Scheduler(storage_path=tmp_path / "plain" / "scheduler.json")
    json_sch._jobs, json_sch._executions = sch._jobs, sch._executions
    json_sch._save()
    sch.export_state(tmp_path / "out" / "exported.json")
    assert (tmp_path / "out" / "exported.json").read_bytes() == (tmp_path / "plain" / "scheduler.json").read_bytes()


def test_a_new_database_imports_the_state_file_of_its_folder(tmp_path, log):
    folder = tmp_path / "data"
    sch = Scheduler(storage_path=folder / "scheduler.json")
    for i in range(3):
        sch.add_job(job(f"j{i}", prompt=f"p{i}", metadata={"i": i}))
    sch._executions.extend(JobExecution("j0", "J0", 1000.0 + i) for i in range(120))
    sch.pause_job("j1")
    original = (folder / "scheduler.json").read_bytes()
    imported = Scheduler(storage_path=folder / "scheduler.sqlite3", store="sqlite")
    assert ("INFO", f"Importing scheduler state from {folder / 'scheduler.json'} into "
            f"{folder / 'scheduler.sqlite3'}") in log()
    assert not (folder / "scheduler.json").exists() and (folder / "scheduler.json.imported").read_bytes() == original
    for sch in (imported, Scheduler(storage_path=folder / "scheduler.sqlite3", store="sqlite")):
        sch.export_state(tmp_path / "exported.json")
        assert (tmp_path / "exported.json").read_bytes() == original


def test_a_state_file_another_process_imported_first_is_left_renamed(tmp_path, log):
    class RenamedFirst(type(tmp_path)):
        def replace(self, target):
            super().replace(target)  # the other process's rename, just before this one's
            return super().replace(target)

    Scheduler(storage_path=tmp_path / "scheduler.json").add_job(job("a"))
    sch = Scheduler(storage_path=RenamedFirst(tmp_path) / "scheduler.sqlite3", store="sqlite")
    assert list(sch._jobs) == ["a"] and sch.load_problems == []
    assert (tmp_path / "scheduler.json.imported").exists() and not [m for level, m in log() if level == "ERROR"]


def test_a_database_is_in_wal_mode_and_flushed_as_durable_writes_says(tmp_path, monkeypatch):
    sch = Scheduler(storage_path=tmp_path / "s.sqlite3", store="sqlite")
    for durable, level in ((True, 2), (False, 1)):  # FULL, NORMAL
        monkeypatch.setattr(scheduler, "DURABLE_WRITES", durable)
        sch.add_job(job("a"))
        assert sch._database.execute("PRAGMA synchronous").fetchone() == (level,)
    with sqlite3.connect(tmp_path / "s.sqlite3") as other:
        assert other.execute("PRAGMA journal_mode").fetchone() == ("wal",)
        assert other.execute("SELECT id, next_run FROM jobs").fetchall() == [("a", 2_000_000_000.0)]


@pytest.mark.parametrize("change, rows", [
    (lambda sch: sch.pause_job("b"), 1),
    (lambda sch: sch.add_job(job("d")), 1),
    (lambda sch: sch.remove_job("c"), 2),  # the row, and the note that it went
    (lambda sch: sch._save(), 0),
    (lambda sch: setattr(sch.get_job("a"), "prompt", "x") or sch._save(), 1),
])
def test_a_save_writes_only_the_rows_that_changed(tmp_path, change, rows):
    sch = Scheduler(storage_path=tmp_path / "s.sqlite3", store="sqlite")
    for key in "abc":
        sch.add_job(job(key))
    sch = Scheduler(storage_path=tmp_path / "s.sqlite3", store="sqlite")
    sch._save()  # opens the database
    before = sch._database.total_changes
    change(sch)
    assert sch._database.total_changes - before == rows


def test_the_default_database_comes_from_tarvel_dir(monkeypatch, tmp_path):
    monkeypatch.setattr(scheduler, "tarvel_dir", lambda: tmp_path / "home")
    assert Scheduler(store="sqlite")._storage_path == tmp_path / "home" / "scheduler.sqlite3"


def test_the_database_is_opened_through_the_modules_sqlite3(tmp_path, monkeypatch):
    opened = []

    def connect(*args, **kwargs):
        opened.append((args, kwargs))
        return sqlite3.connect(*args, **kwargs)

    monkeypatch.setattr(scheduler, "sqlite3", types.SimpleNamespace(connect=connect))
    Scheduler(storage_path=tmp_path / "s.sqlite3", store="sqlite").add_job(job("a"))
    assert opened == [((tmp_path / "s.sqlite3",), {"isolation_level": None, "check_same_thread": False})]


# --- a damaged database -----------------------------------------------------------------------

DATABASE_FILES = ("scheduler.sqlite3", "scheduler.sqlite3-wal", "scheduler.sqlite3-shm")


def left_by_a_killed_process(where, *statements):
    """A database of jobs a, b and c at `where`, changed by `statements` and left as a killed
    process leaves it (the change in its -wal, the -shm beside it): its files' bytes by name."""
    sch = Scheduler(storage_path=where, store="sqlite")
    for key in "abc":
        sch.add_job(job(key))
    sch._database.close()
    with closing(sqlite3.connect(where)) as other:
        for statement in statements:
            other.execute(statement)
        other.commit()
        kept = {p.name: p.read_bytes() for p in where.parent.iterdir() if p.name in DATABASE_FILES}
    for name, content in kept.items():  # closing checkpointed the -wal and removed it
        (where.parent / name).write_bytes(content)
    return kept


def not_a_database(where):
    where.parent.mkdir(parents=True)
    where.write_bytes(b"not a database " * 100)
    return {where.name: where.read_bytes()}


def damaged_page(where):
    # the change in the -wal leaves the jobs' pages in the file; page 2, the first table's, is the jobs'
    original = left_by_a_killed_process(where, "CREATE TABLE spare (x)")
    size = int.from_bytes(original[where.name][16:18], "big")
    content = bytearray(original[where.name])
    content[size] = 0x42  # no kind of page
    where.write_bytes(content)
    return original | {where.name: bytes(content)}


def changed(*statements):
    return lambda where: left_by_a_killed_process(where, *statements)


READ, JSON = "the file could not be read: ", "the file is not valid JSON: "
# (the damage, the start of the load's sentence after "<path>: "; its error's text follows READ or JSON)
DAMAGED = {
    "not a database": (not_a_database, READ + "file is not a database"),
    "damaged page": (damaged_page, READ + "database disk image is malformed"),
    "table missing": (changed("DROP TABLE executions"), READ + "no such table: executions"),
    "table of another shape": (changed("ALTER TABLE jobs RENAME COLUMN record TO data"),
                               READ + "no such column: record"),
    "record no text": (changed("UPDATE jobs SET record = x'00ff' WHERE id = 'b'"), READ + "sequence item "),
    "record no UTF-8": (changed("UPDATE jobs SET record = CAST(x'ff' AS TEXT) WHERE id = 'b'"),
                        READ + "Could not decode to UTF-8 column 'record'"),
    "record no JSON": (changed("UPDATE jobs SET record = '{' WHERE id = 'b'"),
                       JSON + "Expecting property name enclosed in double quotes"),
}


def without_shm(contents):
    """What is compared of a database's files: the -shm, an index SQLite rebuilds when it opens
    the database, only has to be there."""
    return {name: content for name, content in contents.items() if not name.endswith("-shm")}


@pytest.mark.parametrize("damage, said", DAMAGED.values(), ids=DAMAGED)
def test_a_damaged_database_is_kept_aside_and_the_next_save_makes_a_fresh_one(tmp_path, log, clock, damage, said):
    where = tmp_path / "data" / "scheduler.sqlite3"
    original = damage(where)
    sch = Scheduler(storage_path=where, store="sqlite")
    copy = where.with_name("scheduler.sqlite3.bad-" + STAMP)
    kept = {name.replace(where.name, copy.name): content for name, content in original.items()}
    assert sch._jobs == {} and files(where.parent) == sorted(kept)  # the damaged files are gone
    assert without_shm({name: (where.parent / name).read_bytes() for name in kept}) == without_shm(kept)
    errors = [m for level, m in log() if level == "ERROR"]
    assert errors[0].startswith("Failed to load scheduler state: " + said.split(": ", 1)[1])
    assert errors[1:] == [f"Kept a copy of the unreadable scheduler state as {copy}"]
    assert sch.load_problems[0].startswith(f"{where}: {said}")
    assert sch.load_problems[1:] == [f"{where}: kept a copy of the file as {copy}"]
    sch.add_job(job("new"))
    assert list(Scheduler(storage_path=where, store="sqlite")._jobs) == ["new"]


def test_records_after_a_bad_one_still_load_and_the_database_is_copied(tmp_path, log, clock):
    where = tmp_path / "data" / "scheduler.sqlite3"
    original = left_by_a_killed_process(where, """UPDATE jobs SET record = '{"id": "b", "name": 3}' WHERE id = 'b'""")
    sch = Scheduler(storage_path=where, store="sqlite")
    copy = where.with_name("scheduler.sqlite3.bad-" + STAMP)
    assert list(sch._jobs) == ["a", "c"] and sch.load_problems == [
        f"{where}: job b skipped: name of job b must be a str, not int", f"{where}: kept a copy of the file as {copy}"]
    kept = {name.replace(where.name, copy.name): content for name, content in original.items()}
    assert without_shm({name: (where.parent / name).read_bytes() for name in kept}) == without_shm(kept)
    sch.add_job(job("new"))  # the skipped record goes, as from the state file
    assert list(Scheduler(storage_path=where, store="sqlite")._jobs) == ["a", "c", "new"]


@pytest.mark.parametrize("taken, kept_as", [("", "-2"), ("-wal", None)], ids=["copy's name", "its -wal's name"])
def test_copy_names_count_up_and_a_database_without_its_copy_stays(tmp_path, log, clock, taken, kept_as):
    where = tmp_path / "data" / "scheduler.sqlite3"
    original = left_by_a_killed_process(where, "DROP TABLE executions")
    older = where.with_name(f"scheduler.sqlite3.bad-{STAMP}{taken}")
    older.write_text("older copy")
    sch = Scheduler(storage_path=where, store="sqlite")
    assert older.read_text() == "older copy"
    if kept_as is None:  # nothing is removed without its copy
        assert files(where.parent) == sorted([*original, older.name])
        assert sch.load_problems[-1] == f"{where}: no copy of the file could be kept: File exists: {older}"
        return
    copy = where.with_name(f"scheduler.sqlite3.bad-{STAMP}{kept_as}")
    kept = {name.replace(where.name, copy.name): content for name, content in original.items()}
    assert without_shm({name: (where.parent / name).read_bytes() for name in kept}) == without_shm(kept)
    assert sch.load_problems[-1] == f"{where}: kept a copy of the file as {copy}"


@pytest.mark.parametrize("setup, reason", [
    (lambda where, monkeypatch: where.mkdir(parents=True), "unable to open database file"),
    # what the module's sqlite3 says is no damage of a database
    (lambda where, monkeypatch: not_a_database(where) and monkeypatch.setattr(scheduler, "sqlite3", types.SimpleNamespace(
        connect=sqlite3.connect, DatabaseError=type("Other", (Exception,), {}))), "file is not a database"),
], ids=["a folder", "another sqlite3"])
def test_a_database_that_is_out_of_reach_stays_where_it_is(tmp_path, log, monkeypatch, setup, reason):
    where = tmp_path / "data" / "scheduler.sqlite3"
    setup(where, monkeypatch)
    sch = Scheduler(storage_path=where, store="sqlite")
    assert sch.load_problems == [f"{where}: the file could not be read: {reason}"]
    assert files(where.parent) == ["scheduler.sqlite3"] and log()[-1] == ("ERROR", f"Failed to load scheduler state: {reason}")
