"""Many images at once: on every core of this machine, or on a Dask cluster.

A batch is a list of image files found from files, folders (searched
recursively) and glob patterns (:func:`collect`), each known by its path
relative to the batch's common root. Three jobs run over a batch:

- :func:`lines_table` detects the segments of every image and writes one table:
  one row per segment with the columns of :data:`TABLE_COLUMNS` (the image's
  relative path, its width and height in pixels, then x1, y1, x2, y2, width,
  precision and log_nfa in the module's coordinates: x to the right, y down, the
  centre of pixel (c, r) at (c + 0.5, r + 0.5)). An image without segments gets
  one row whose seven values are empty, so that every image done is in the
  table. Rows follow the batch's order (by relative path) and, within an image,
  the detector's order (longest first), so that the table is the same to the
  byte whatever the number of threads or workers.
- :func:`straighten_folder` and :func:`flatten_folder` write one image per input
  into an output folder, mirroring the input tree.

Where the work runs:

- ``jobs=N`` (default: the processors available) runs N files at a time from
  threads of this process: the module releases the interpreter, so threads
  suffice. Call :func:`size_pool` with N before the process's first detection
  to size the module's own worker pool for it (the command does).
- ``client=`` a :class:`distributed.Client` runs the batch on its cluster, in
  chunks of files (one task per chunk). The workers read the images themselves,
  so the paths must name the same files on every worker (a shared file system);
  for :func:`lines_table` they send back plain arrays, for the image jobs they
  write the output files themselves. The table is the same, row for row, as a
  local run's. Dask's workers run with ``MALLOC_TRIM_THRESHOLD_=65536`` unless
  configured otherwise, which makes each file about 1.6 times slower:
  :func:`local_cluster` leaves it out, and a cluster of your own can do the
  same with ``distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_:
  null`` in its workers' Dask configuration.

Outputs are never half-written: every file is written under a temporary name
and renamed when complete. With ``resume=True`` an input whose output exists
(for a table: whose rows are already in it) is skipped. An interruption
(KeyboardInterrupt) lets the files in progress finish, keeps everything done
so far (the table included) and raises :class:`Interrupted` with the summary.
Failures of single files (unreadable, damaged, nothing found) never stop a
batch: each is reported with a one-line reason in the summary.

Example, with a cluster already running::

    from distributed import Client
    from vantrell_tools import batch

    client = Client("tcp://scheduler:8786")
    found = batch.collect(["/archive/scans", "/archive/more/*.tif"])
    summary = batch.lines_table(found, "/archive/lines.parquet", client=client, resume=True)
    print(summary.line())

or, for the results themselves::

    for result in batch.map_lines(found, client=client):
        print(result.path, result.segments.shape)
"""
from __future__ import annotations

import concurrent.futures
import contextlib
import csv
import errno
import functools
import glob
import json
import logging
import math
import os
import signal
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import vantrell

from .arrays import segments_array, to_gray
from .files import IMAGE_SUFFIXES, ImageFileError, read_image, replacing, write_image
from .pages import flatten_page
from .straighten import straighten

__all__ = [
    "TABLE_COLUMNS", "Batch", "FileLines", "FileWritten", "Summary", "Interrupted",
    "collect", "processors", "pool_size", "size_pool", "segments_of", "lines_of_image", "map_lines",
    "lines_table", "output_path", "straighten_folder", "flatten_folder", "local_cluster",
]

#: Columns of the lines table, in order.
TABLE_COLUMNS = ("path", "image_width", "image_height",
                 "x1", "y1", "x2", "y2", "width", "precision", "log_nfa")
TABLE_SUFFIXES = (".parquet", ".csv", ".jsonl")


# ---------------------------------------------------------------------------
# Finding the inputs

@dataclass(frozen=True)
class Batch:
    """Image files to process.

    ``files`` are the paths as found (joined to the argument that named them),
    sorted by their path relative to ``root``, the deepest folder that holds
    every input argument. ``missing`` lists the arguments that named nothing.
    """

    root: Path
    files: tuple[Path, ...]
    missing: tuple[str, ...] = ()

    def relative(self, path):
        """The path of ``path`` relative to the root, with ``/`` separators."""
        return Path(os.path.relpath(os.path.abspath(path), self.root)).as_posix()

    def __len__(self):
        return len(self.files)


def _is_image_name(name, suffixes):
    return not name.startswith(".") and name.lower().endswith(suffixes)


def _walk(folder, suffixes):
    """Image files below `folder`, hidden files and folders left out (among them
    the temporary files of writes in progress)."""
    found = []
    for here, dirs, names in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        found.extend(os.path.join(here, n) for n in sorted(names) if _is_image_name(n, suffixes))
    return found


def _fixed_prefix(pattern):
    """The folder part of a glob pattern before its first wildcard."""
    parts = Path(pattern).parts
    fixed = []
    for part in parts[:-1]:
        if glob.has_magic(part):
            break
        fixed.append(part)
    return os.path.join(*fixed) if fixed else "."


def collect(inputs, suffixes=IMAGE_SUFFIXES):
    """Finds the image files named by ``inputs``.

    Parameters
    ----------
    inputs : iterable of str or os.PathLike
        Files (taken whatever their name), folders (searched recursively for
        names ending in one of ``suffixes``, hidden names left out) and glob
        patterns (``*``, ``?``, ``[...]``, and ``**`` for any depth).
    suffixes : tuple of str
        Lower-case file name endings that count as images in folders and patterns.

    Returns
    -------
    Batch
        Each file once, sorted by relative path; arguments that name nothing are
        listed in ``missing`` rather than raised.
    """
    suffixes = tuple(s.lower() for s in suffixes)
    anchors, files, missing = [], [], []
    for arg in map(os.fspath, inputs):
        if os.path.isdir(arg):
            anchors.append(arg)
            files.extend(_walk(arg, suffixes))
        elif os.path.lexists(arg):  # a file, or a link that leads nowhere (reported on reading)
            anchors.append(os.path.dirname(arg) or ".")
            files.append(arg)
        elif glob.has_magic(arg):
            matches = sorted(glob.glob(arg, recursive=True))
            found = []
            for match in matches:
                if os.path.isdir(match):
                    found.extend(_walk(match, suffixes))
                elif _is_image_name(os.path.basename(match), suffixes):
                    found.append(match)
            if found:
                anchors.append(_fixed_prefix(arg))
                files.extend(found)
            else:
                missing.append(arg)
        else:
            missing.append(arg)
    root = Path(os.path.commonpath([os.path.abspath(a) for a in anchors])) if anchors else Path.cwd()
    unique = {}
    for f in files:
        unique.setdefault(os.path.realpath(f) if os.path.exists(f) else os.path.abspath(f), Path(f))
    batch = Batch(root, (), tuple(missing))
    ordered = sorted(unique.values(), key=batch.relative)
    return Batch(root, tuple(ordered), tuple(missing))


# ---------------------------------------------------------------------------
# The module's worker pool

def processors():
    """The number of processors this process may run on."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def pool_size(jobs, cpus=None):
    """The size of the module's worker pool for ``jobs`` files at a time.

    ``files × pool size`` is kept within the processors: each file's call
    gets ``cpus // jobs`` threads (at least one). The module's pool is shared by
    every calling thread, and a call of a pool of N runs its row loops on its
    own thread beside at most N - 1 workers, so one file at a time gets every
    processor and with ``jobs = cpus`` each caller works alone.
    """
    cpus = processors() if cpus is None else cpus
    return max(1, cpus // max(1, jobs))


def size_pool(jobs, cpus=None):
    """Sets ``RAYON_NUM_THREADS`` to :func:`pool_size` for ``jobs`` files at a
    time, unless the user has chosen the pool's size (``RAYON_NUM_THREADS`` or
    ``RAYON_RS_NUM_CPUS`` set): the user's choice wins.

    The module reads the variables once, when its first parallel loop starts
    the pool: this must run before the process's first call into ``vantrell``,
    and changes nothing after it. Returns the value of ``RAYON_NUM_THREADS``
    then in force ("" when only ``RAYON_RS_NUM_CPUS`` is set).
    """
    if not (os.environ.get("RAYON_NUM_THREADS") or os.environ.get("RAYON_RS_NUM_CPUS")):
        os.environ["RAYON_NUM_THREADS"] = str(pool_size(jobs, cpus))
    return os.environ.get("RAYON_NUM_THREADS", "")


def _size_worker_pool():
    """On a Dask worker: sizes the pool for the worker's thread count before
    the first detection in that process."""
    try:
        from distributed import get_worker

        threads = get_worker().state.nthreads
    except (ImportError, ValueError, AttributeError):  # not on a worker, or another version
        threads = 1
    size_pool(threads)


# ---------------------------------------------------------------------------
# One file

@dataclass(frozen=True)
class FileLines:
    """The segments of one image: ``segments`` is an (N, 7) float64 array
    (x1, y1, x2, y2, width, precision, log_nfa), ``width`` and ``height`` the
    image's size in pixels. ``error`` is "" when it went well, else a one-line
    reason (the other fields then are zero/empty)."""

    index: int
    path: str
    width: int = 0
    height: int = 0
    segments: np.ndarray = field(default_factory=lambda: np.zeros((0, 7)))
    error: str = ""


@dataclass(frozen=True)
class FileWritten:
    """One output image: ``output`` is where it went; ``error`` is "" when it
    went well, else a one-line reason (and nothing was written)."""

    index: int
    path: str
    output: str
    error: str = ""


def _reason(error):
    """A one-line reason for a failure of one file."""
    if isinstance(error, ImageFileError):
        return error.reason
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    lines = str(error).strip().splitlines()
    return f"{type(error).__name__}: {lines[0]}" if lines else type(error).__name__


def segments_of(image, scale=0.8):
    """The segments of an RGB or gray image as the (N, 7) float64 array of
    :func:`vantrell_tools.arrays.segments_array`; an RGB image is made gray by
    :func:`vantrell_tools.arrays.to_gray` first."""
    return segments_array(vantrell.detect(to_gray(image), scale))


def lines_of_image(path, scale=0.8):
    """Reads an image and detects its segments: ``(width, height, segments)``,
    ``segments`` as :func:`segments_of` gives them. Raises
    :class:`~vantrell_tools.files.ImageFileError` for a file that cannot be read.
    """
    image = read_image(path)
    return image.shape[1], image.shape[0], segments_of(image, scale)


def _lines_task(item, scale):
    index, path, name = item
    try:
        width, height, segments = lines_of_image(path, scale)
    except Exception as error:
        return FileLines(index, name, error=_reason(error))
    return FileLines(index, name, width, height, segments)


def _lines_failed(item, reason):
    return FileLines(item[0], item[2], error=reason)


def _image_failed(item, reason):
    return FileWritten(item[0], item[2], item[3], reason)


def _straighten_task(item, mode, crop, filter, keep):
    return _image_task(item, lambda image: straighten(image, mode=mode, crop=crop, filter=filter),
                       "not straightened", keep)


def _flatten_task(item, aspect, filter, keep):
    return _image_task(item, lambda image: flatten_page(image, aspect=aspect, filter=filter),
                       "not flattened", keep)


def _image_task(item, operation, refusal, keep):
    index, path, name, output = item
    try:
        result = operation(read_image(path))  # gray stays gray, RGB stays RGB
        if not result.fitted and not keep:
            return FileWritten(index, name, output, f"{refusal}: {result.reason}")
        _write_output(output, result.image)
    except ImageFileError as error:  # the output's problems name the output
        return FileWritten(index, name, output, error.reason if error.path == path else str(error))
    except Exception as error:
        return FileWritten(index, name, output, _reason(error))
    return FileWritten(index, name, output)


def _write_output(output, picture):
    folder = os.path.dirname(output) or "."
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as error:
        raise ImageFileError(output, f"cannot make its folder: {error.strerror}") from None
    write_image(output, picture)


def _run_chunk(task, chunk):
    """What a Dask worker runs: one task per file of the chunk, in order."""
    _size_worker_pool()
    return [task(item) for item in chunk]


# ---------------------------------------------------------------------------
# Running many

class _Threads:
    """Files one at a time per thread, `jobs` threads."""

    chunk_size = 1

    def __init__(self, jobs):
        self.executor = concurrent.futures.ThreadPoolExecutor(max_workers=jobs,
                                                              thread_name_prefix="vantrell")
        self.window = 2 * jobs

    def submit(self, task, chunk):
        return self.executor.submit(_run_chunk_local, task, chunk)

    def wait(self, futures, timeout):
        done, _ = concurrent.futures.wait(futures, timeout, concurrent.futures.FIRST_COMPLETED)
        return done

    def cancel(self, futures):
        for f in futures:
            f.cancel()
        concurrent.futures.wait(futures)

    def close(self):
        self.executor.shutdown(wait=True, cancel_futures=True)


def _run_chunk_local(task, chunk):
    return [task(item) for item in chunk]


class _Cluster:
    """Chunks of files as tasks on a Dask cluster."""

    def __init__(self, client, chunk_size, total):
        from distributed import wait

        self.client = client
        self._wait = wait
        threads = sum(client.nthreads().values()) or 1
        # Chunks of about a quarter of a worker thread's share, so that the
        # last chunks do not leave most workers idle; at most 32 files per task.
        self.chunk_size = chunk_size or max(1, min(32, math.ceil(total / (4 * threads))))
        self.window = 2 * threads

    def submit(self, task, chunk):
        return self.client.submit(_run_chunk, task, chunk, pure=False)

    def wait(self, futures, timeout):
        try:
            return self._wait(list(futures), timeout=timeout, return_when="FIRST_COMPLETED").done
        except TimeoutError:
            return set()

    def cancel(self, futures):
        # Tasks already running on a worker finish there (each output is written
        # whole or not at all); the rest never start.
        self.client.cancel([f for f in futures if not f.done()])

    def close(self):
        pass


class _Runner:
    """Runs `task` over `items`, a bounded number ahead; `results()` yields in
    the order of completion, and after an interruption `drain()` gives what was
    still running. A chunk that fails as a whole (a worker lost) gives each of
    its files the failure `fail(item, reason)`."""

    def __init__(self, task, fail, items, jobs=None, client=None, chunk_size=None):
        if client is not None:
            self.backend = _Cluster(client, chunk_size, len(items))
        else:
            self.backend = _Threads(jobs or processors())
        size = self.backend.chunk_size
        self.chunks = [items[i:i + size] for i in range(0, len(items), size)]
        self.task = task
        self.fail = fail
        self.pending = {}
        self.next = 0

    def _fill(self):
        while self.next < len(self.chunks) and len(self.pending) < self.backend.window:
            chunk = self.chunks[self.next]
            self.pending[self.backend.submit(self.task, chunk)] = chunk
            self.next += 1

    def _outcome(self, future):
        chunk = self.pending.pop(future)
        try:
            return future.result()
        except Exception as error:  # the chunk as a whole, never one file's problem
            return [self.fail(item, _reason(error)) for item in chunk]

    def results(self, stop):
        """Results as they come, until all are in or `stop` is set."""
        self._fill()
        while self.pending and not stop.is_set():
            for future in self.backend.wait(self.pending, 0.2):
                yield from self._outcome(future)
            self._fill()

    def drain(self):
        """Stops starting chunks; waits for those running and returns their
        results (those cancelled before starting give none)."""
        self.next = len(self.chunks)
        running = list(self.pending)
        self.backend.cancel(running)
        out = []
        for future in running:
            if future.done() and not future.cancelled():
                out.extend(self._outcome(future))
        self.pending.clear()
        return out

    def close(self):
        self.backend.close()


# ---------------------------------------------------------------------------
# Summaries and progress

@dataclass
class Summary:
    """What a batch did: files in the batch, done now, skipped (already done,
    with ``resume``), failed (path and reason), segments found, time taken."""

    command: str
    total: int
    done: int = 0
    skipped: int = 0
    failed: list = field(default_factory=list)
    segments: int | None = None
    seconds: float = 0.0
    interrupted: bool = False
    output: str = ""

    def line(self):
        """One line for the end of a run."""
        parts = [f"{self.done} of {self.total} files done"]
        if self.skipped:
            parts.append(f"{self.skipped} skipped (already done)")
        if self.failed:
            parts.append(f"{len(self.failed)} failed")
        if self.segments is not None:
            parts.append(f"{self.segments} segments")
        rate = self.done / self.seconds if self.seconds > 0 else 0.0
        parts.append(f"{self.seconds:.1f} s ({rate:.1f} files/s)")
        text = f"{self.command}: " + ", ".join(parts)
        if self.interrupted:
            text += f"; interrupted: {self.output} holds the completed files, run again with --resume to finish"
        return text


class Interrupted(KeyboardInterrupt):
    """A batch stopped by KeyboardInterrupt after keeping all completed
    outputs; ``summary`` says how far it got."""

    def __init__(self, summary):
        super().__init__(summary.line())
        self.summary = summary


def _progress(total, show):
    """A progress bar on standard error (files done, rate, time left), or None."""
    if not show:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        raise ImportError('tqdm is missing: install it with: pip install "vantrell[tools]"') from None

    return tqdm(total=total, unit="file", dynamic_ncols=True, leave=False)


@contextlib.contextmanager
def _interruptible():
    """While the batch runs, Ctrl-C (SIGINT) asks it to stop at the next file
    boundary instead of raising in the middle of a write; a second Ctrl-C
    raises KeyboardInterrupt at once (temporary files are then removed)."""
    stop = threading.Event()
    if threading.current_thread() is not threading.main_thread():
        yield stop
        return
    previous = signal.getsignal(signal.SIGINT)

    def request(signum, frame):
        stop.set()
        signal.signal(signal.SIGINT, signal.default_int_handler)

    signal.signal(signal.SIGINT, request)
    try:
        yield stop
    finally:
        signal.signal(signal.SIGINT, previous)


def _run(summary, runner, progress, on_result, on_failure):
    """Feeds each result to `on_result`; when interrupted, lets the running
    files finish and feeds them too (the caller then raises Interrupted)."""
    start = time.perf_counter()

    def take(result):
        if result.error:
            summary.failed.append((result.path, result.error))
            if on_failure is not None:
                if progress is not None:
                    with progress.external_write_mode():
                        on_failure(result)
                else:
                    on_failure(result)
        else:
            summary.done += 1
        on_result(result)
        if progress is not None:
            progress.update(1)

    try:
        with _interruptible() as stop:
            for result in runner.results(stop):
                take(result)
            if stop.is_set():
                for result in runner.drain():
                    take(result)
                summary.interrupted = True
    finally:
        runner.close()
        if progress is not None:
            progress.close()
        summary.seconds = time.perf_counter() - start


# ---------------------------------------------------------------------------
# The lines table

def _row_values(result):
    if len(result.segments) == 0:
        yield (result.path, result.width, result.height) + (None,) * 7
    for row in result.segments.tolist():
        yield (result.path, result.width, result.height, *row)


class _CsvTable:
    def __init__(self, handle):
        self.writer = csv.writer(handle, lineterminator="\n")
        self.writer.writerow(TABLE_COLUMNS)

    def copy(self, path):
        with open(path, newline="", encoding="utf-8") as old:
            reader = csv.reader(old)
            next(reader)
            self.writer.writerows(reader)

    def add(self, result):
        self.writer.writerows(tuple("" if v is None else v for v in row) for row in _row_values(result))

    def close(self):
        pass

    @staticmethod
    def done_paths(path):
        with open(path, newline="", encoding="utf-8") as old:
            reader = csv.reader(old)
            if tuple(next(reader, ())) != TABLE_COLUMNS:
                raise ValueError(f"{path}: not a lines table (its columns differ)")
            return {row[0] for row in reader}


class _JsonLinesTable:
    def __init__(self, handle):
        self.handle = handle

    def copy(self, path):
        with open(path, encoding="utf-8") as old:
            for line in old:
                self.handle.write(line)

    def add(self, result):
        for row in _row_values(result):
            self.handle.write(json.dumps(dict(zip(TABLE_COLUMNS, row))) + "\n")

    def close(self):
        pass

    @staticmethod
    def done_paths(path):
        done = set()
        with open(path, encoding="utf-8") as old:
            for line in old:
                row = json.loads(line)
                if tuple(row) != TABLE_COLUMNS:
                    raise ValueError(f"{path}: not a lines table (its columns differ)")
                done.add(row["path"])
        return done


class _ParquetTable:
    """Rows gathered into row groups of up to 65,536 rows."""

    GROUP = 65536

    def __init__(self, handle):
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError:
            raise ImportError('pyarrow is missing: install it with: pip install "vantrell[batch]"') from None
        self.pa = pa
        self.schema = pa.schema([("path", pa.string()), ("image_width", pa.int64()),
                                 ("image_height", pa.int64())]
                                + [(name, pa.float64()) for name in TABLE_COLUMNS[3:]])
        self.writer = pq.ParquetWriter(handle, self.schema)
        self.rows = []

    def copy(self, path):
        import pyarrow.parquet as pq

        old = pq.ParquetFile(path)
        for group in range(old.num_row_groups):  # one row group in memory at a time
            self.writer.write_table(old.read_row_group(group).cast(self.schema))

    def add(self, result):
        self.rows.extend(_row_values(result))
        if len(self.rows) >= self.GROUP:
            self._flush()

    def _flush(self):
        if self.rows:
            columns = list(zip(*self.rows))
            self.writer.write_table(self.pa.table(
                [self.pa.array(c, type=self.schema.field(i).type) for i, c in enumerate(columns)],
                schema=self.schema))
            self.rows = []

    def close(self):
        self._flush()
        self.writer.close()

    @staticmethod
    def done_paths(path):
        import pyarrow.parquet as pq

        if tuple(pq.read_schema(path).names) != TABLE_COLUMNS:
            raise ValueError(f"{path}: not a lines table (its columns differ)")
        return set(pq.read_table(path, columns=["path"]).column("path").to_pylist())


def _table_kind(out):
    suffix = Path(out).suffix.lower()
    kinds = {".csv": (_CsvTable, "w", {"newline": "", "encoding": "utf-8"}),
             ".jsonl": (_JsonLinesTable, "w", {"encoding": "utf-8"}),
             ".parquet": (_ParquetTable, "wb", {})}
    if suffix not in kinds:
        raise ValueError(f"{out}: a table is written as .parquet, .csv or .jsonl")
    return kinds[suffix]


def map_lines(batch, *, scale=0.8, jobs=None, client=None, chunk_size=None):
    """Detects the segments of every image of ``batch``.

    Yields one :class:`FileLines` per file in the order of completion (sort by
    ``index``, the file's place in ``batch.files``, for the batch's order);
    ``path`` is the file's path relative to ``batch.root``. Work runs on
    ``jobs`` threads here, or on the cluster of the Dask ``client`` in chunks of
    ``chunk_size`` files (chosen from the cluster's size when None).
    """
    items = [(i, str(f), batch.relative(f)) for i, f in enumerate(batch.files)]
    runner = _Runner(functools.partial(_lines_task, scale=scale), _lines_failed, items, jobs, client,
                     chunk_size)
    try:
        yield from runner.results(threading.Event())
    finally:
        runner.drain()
        runner.close()


def lines_table(batch, out, *, scale=0.8, jobs=None, client=None, chunk_size=None,
                resume=False, progress=False, on_failure=None):
    """Detects the segments of every image of ``batch`` and writes one table.

    Parameters
    ----------
    batch : Batch
        From :func:`collect`.
    out : str or os.PathLike
        ``.parquet`` (needs pyarrow), ``.csv`` or ``.jsonl``; columns
        :data:`TABLE_COLUMNS`. Written under a temporary name and renamed when
        complete, also after an interruption.
    scale : float
        The detector's scale.
    jobs, client, chunk_size
        Where the work runs (see the module's description).
    resume : bool
        Keep the rows of an existing ``out`` and skip the images they cover (run
        with the same inputs, so that relative paths match).
    progress : bool
        Show a progress bar on standard error.
    on_failure : callable, optional
        Called with each failed :class:`FileLines` as it happens.

    Returns
    -------
    Summary

    Raises
    ------
    Interrupted
        On KeyboardInterrupt, after the table of the files done so far is in
        place.
    """
    table_class, mode, open_args = _table_kind(out)
    if os.path.isdir(out):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), str(out))
    summary = Summary("lines", len(batch), segments=0, output=str(out))
    done_before = table_class.done_paths(out) if resume and os.path.exists(out) else set()
    items = []
    for i, f in enumerate(batch.files):
        name = batch.relative(f)
        if name in done_before:
            summary.skipped += 1
        else:
            items.append((i, str(f), name))
    with replacing(out, mode, **open_args) as handle:
        table = table_class(handle)
        if done_before:
            table.copy(out)
        # Rows go out in the batch's order: a result waits here until all
        # before it have come.
        waiting, order = {}, iter([item[0] for item in items])
        expected = next(order, None)

        def write(result):
            nonlocal expected
            waiting[result.index] = result
            while expected in waiting:
                done = waiting.pop(expected)
                if not done.error:
                    table.add(done)
                    summary.segments += len(done.segments)
                expected = next(order, None)

        runner = _Runner(functools.partial(_lines_task, scale=scale), _lines_failed, items, jobs, client,
                         chunk_size)
        bar = _progress(len(items), progress)
        _run(summary, runner, bar, write, on_failure)
        for index in sorted(waiting):  # after an interruption: the files done out of order
            result = waiting[index]
            if not result.error:
                table.add(result)
                summary.segments += len(result.segments)
        table.close()
    if summary.interrupted:
        raise Interrupted(summary)
    return summary


# ---------------------------------------------------------------------------
# Images into a folder

def output_path(batch, path, out_dir, suffix=None):
    """Where the output of input ``path`` goes: ``out_dir`` / its relative path,
    with the file ending replaced by ``suffix`` when given."""
    target = Path(out_dir) / batch.relative(path)
    return target.with_suffix(suffix) if suffix else target


def _images(command, task, batch, out, suffix, jobs, client, chunk_size, resume, progress, on_failure):
    summary = Summary(command, len(batch), output=str(out))
    targets = _targets(batch, out, suffix)
    items = []
    for i, (f, target) in enumerate(zip(batch.files, targets)):
        if resume and target.exists():
            summary.skipped += 1
        else:
            items.append((i, str(f), batch.relative(f), str(target)))
    runner = _Runner(task, _image_failed, items, jobs, client, chunk_size)
    _run(summary, runner, _progress(len(items), progress), lambda result: None, on_failure)
    if summary.interrupted:
        raise Interrupted(summary)
    return summary


def _targets(batch, out, suffix):
    """One output per input: `out` itself when it is an image file name and the
    batch one file, else `out` / the input's relative path."""
    out = Path(out)
    if len(batch) == 1 and out.suffix.lower() in IMAGE_SUFFIXES and not out.is_dir():
        return [out]
    os.makedirs(out, exist_ok=True)
    return [output_path(batch, f, out, suffix) for f in batch.files]


def straighten_folder(batch, out, *, mode="both", crop="largest", filter="lanczos3",
                      keep_unfitted=False, suffix=None, jobs=None, client=None, chunk_size=None,
                      resume=False, progress=False, on_failure=None):
    """Straightens every image of ``batch`` into the folder ``out``, mirroring
    the input tree (for a batch of one file, ``out`` may also be the output
    file's name). ``mode``, ``crop`` and ``filter`` are those of
    :func:`vantrell_tools.straighten.straighten`.

    An image that cannot be straightened (too few lines) is a failure, unless
    ``keep_unfitted`` writes it unchanged. ``suffix`` (".png", ".tif", ...)
    changes the output kind; by default each output has its input's. The other
    parameters and the result are those of :func:`lines_table`; with
    ``resume`` an input whose output file exists is skipped.
    """
    task = functools.partial(_straighten_task, mode=mode, crop=crop, filter=filter, keep=keep_unfitted)
    return _images("straighten", task, batch, out, suffix, jobs, client, chunk_size,
                   resume, progress, on_failure)


def flatten_folder(batch, out, *, aspect=None, filter="lanczos3", keep_unfitted=False,
                   suffix=None, jobs=None, client=None, chunk_size=None, resume=False,
                   progress=False, on_failure=None):
    """Finds and flattens the page of every image of ``batch`` into ``out``,
    as :func:`straighten_folder` does (``aspect`` and ``filter`` are those of
    :func:`vantrell_tools.pages.flatten_page`). An image without a page found
    is a failure, unless ``keep_unfitted`` writes it unchanged."""
    task = functools.partial(_flatten_task, aspect=aspect, filter=filter, keep=keep_unfitted)
    return _images("flatten", task, batch, out, suffix, jobs, client, chunk_size,
                   resume, progress, on_failure)


# ---------------------------------------------------------------------------
# A cluster on this machine

def local_cluster(workers=None, threads_per_worker=1):
    """Starts a Dask ``LocalCluster`` of ``workers`` processes (default: the
    processors available) with ``threads_per_worker`` threads each, every
    process's module pool sized as :func:`pool_size` says, and returns it (use
    ``distributed.Client(cluster)`` to run on it; close both when done)."""
    try:
        import dask
        from distributed import LocalCluster
    except ImportError:
        raise ImportError('dask.distributed is missing: install it with: pip install "vantrell[batch]"') from None
    workers = workers or processors()
    env = {"RAYON_NUM_THREADS": str(pool_size(workers * threads_per_worker))}
    # Dask starts its workers with MALLOC_TRIM_THRESHOLD_=65536, which also
    # keeps the C library from raising its threshold for mapping blocks: every
    # image-sized buffer is then mapped anew and its pages faulted in, and a
    # file takes about 1.6 times as long. These workers keep the library's own
    # behaviour, or the user's setting of the variable.
    # Workers cancelled by an interruption would log it: only errors are shown.
    with dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}):
        return LocalCluster(n_workers=workers, threads_per_worker=threads_per_worker, processes=True,
                            dashboard_address="127.0.0.1:0", env=env, silence_logs=logging.ERROR)
