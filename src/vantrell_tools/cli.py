"""The ``vantrell`` command: the tools over files, folders and glob patterns.

A thin shell over :mod:`vantrell_tools.batch` and :mod:`vantrell_tools.files`:
argument parsing, messages and exit status live here, no image processing.

Exit status: 0 when every input was done, 1 when some failed (each reported on
standard error as ``vantrell: PATH: reason``), 2 for a usage error, 130 after an
interruption (Ctrl-C), when the outputs of the files completed are kept.
"""
from __future__ import annotations

import argparse
import os
import sys

from . import batch as batches
from .arrays import draw_segments
from .files import IMAGE_SUFFIXES, ImageFileError, read_image, write_image, write_svg

PROG = "vantrell"

_DESCRIPTION = """\
Line segments, upright photos and flat pages from image files (PNG, JPEG,
TIFF; 8 or 16 bit; gray or RGB; EXIF orientation applied).

Every command takes files, folders (searched recursively for .png, .jpg,
.jpeg, .tif and .tiff) and glob patterns ('**' for any depth; quote them so
that the shell leaves them alone). Files run concurrently on every processor,
or on a Dask cluster with --scheduler.

exit status: 0 all done, 1 some inputs failed (one line each on standard
error), 2 usage error, 130 interrupted (completed outputs are kept; run again
with --resume to finish)."""

_LINES = """\
Detect the line segments of every input.

With a table output (.parquet, .csv or .jsonl) the whole batch goes into one
table, one row per segment: path (relative to the inputs' common folder),
image_width, image_height, then x1, y1, x2, y2, width, precision, log_nfa (x
to the right, y down, the centre of pixel (c, r) at (c + 0.5, r + 0.5)). An
image without segments gets one row with empty values. Rows are sorted by path,
the same whatever --jobs or --scheduler.

With a picture output (.png, .jpg, .tif or .svg) and one input image, the
segments are drawn over it."""

_STRAIGHTEN = """\
Straighten photos of buildings and rooms: verticals made vertical and/or
horizontals horizontal, as if taken with a level camera.

One output image per input into the folder -o, mirroring the input tree (for
a single input file, -o may name the output file). A photo with too few lines
to straighten is reported and skipped (or copied unchanged with
--keep-unfitted)."""

_FLATTEN = """\
Find the page in photos of documents and flatten it to a rectangle.

One output image per input into the folder -o, mirroring the input tree (for a
single input file, -o may name the output file). A photo in which no page is
found is reported and skipped (or copied unchanged with --keep-unfitted)."""


class _UsageError(Exception):
    """A command line that cannot be run as given (exit status 2)."""


class _Failure(Exception):
    """A run that cannot go on (exit status 1)."""


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _positive_float(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number: {text!r}")
    return value


def _aspect(text):
    if text.lower() in ("a4", "letter"):
        return text.lower()
    return _positive_float(text)


def _parser():
    parser = argparse.ArgumentParser(prog=PROG, description=_DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, summary, description):
        sub = commands.add_parser(name, help=summary, description=description,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.add_argument("inputs", nargs="+", metavar="INPUT",
                         help="image files, folders (searched recursively) and glob patterns")
        return sub

    def batch_options(sub, output_help):
        sub.add_argument("-o", "--output", required=True, metavar="OUT", help=output_help)
        sub.add_argument("-j", "--jobs", type=_positive_int, metavar="N",
                         help="files processed at once (default: the processors available); "
                              "with --scheduler local, the number of worker processes")
        sub.add_argument("--scheduler", metavar="ADDRESS",
                         help="run on the Dask cluster whose scheduler is at ADDRESS "
                              "(tcp://host:8786; the workers must see the same paths), "
                              "or 'local' for a cluster of worker processes on this machine")
        sub.add_argument("--chunk-size", type=_positive_int, metavar="N",
                         help="files per cluster task (default: from the cluster's size)")
        sub.add_argument("--resume", action="store_true",
                         help="skip the inputs already done: whose output file exists, or "
                              "whose rows are already in the table")
        sub.add_argument("-q", "--quiet", action="store_true",
                         help="no progress bar and no summary; failures are still reported")

    def warp_options(sub):
        sub.add_argument("--filter", choices=("lanczos3", "bilinear"), default="lanczos3",
                         help="resampling filter (default: lanczos3)")
        sub.add_argument("--format", choices=("png", "jpeg", "tiff"),
                         help="kind of the output images (default: each input's own)")
        sub.add_argument("--keep-unfitted", action="store_true",
                         help="write an input that cannot be corrected unchanged instead of "
                              "reporting it as a failure")

    lines = command("lines", "detect line segments: a table for many images, or a picture", _LINES)
    batch_options(lines, "a table (.parquet, .csv, .jsonl) or, for one image, a picture "
                         "(.png, .jpg, .tif, .svg)")
    lines.add_argument("--scale", type=_positive_float, default=0.8,
                       help="scale at which the detector works (default: 0.8)")

    straighten = command("straighten", "make verticals vertical and horizontals horizontal",
                         _STRAIGHTEN)
    batch_options(straighten, "output folder (or, for one input file, the output file)")
    straighten.add_argument("--mode", choices=("both", "vertical", "horizontal", "rotation"),
                            default="both",
                            help="what to correct: both families of lines, the verticals, "
                                 "the horizontals, or a rotation only (default: both)")
    straighten.add_argument("--crop", choices=("largest", "aspect", "none"), default="largest",
                            help="the largest rectangle of valid pixels, the largest with the "
                                 "input's aspect ratio, or the whole warped image "
                                 "(default: largest)")
    warp_options(straighten)

    flatten = command("flatten", "find a photographed page and flatten it", _FLATTEN)
    batch_options(flatten, "output folder (or, for one input file, the output file)")
    flatten.add_argument("--aspect", type=_aspect, metavar="a4|letter|NUMBER",
                         help="the page's width / height: a4 or letter (turned as the photo "
                              "shows the page), or a number (default: measured from the photo)")
    warp_options(flatten)
    return parser


def _say(text):
    print(f"{PROG}: {text}", file=sys.stderr, flush=True)


def _client(args):
    """The Dask client and, for 'local', the cluster it runs on."""
    try:
        from distributed import Client
    except ImportError:
        raise _Failure('--scheduler needs dask.distributed: pip install "vantrell[batch]"') from None
    if args.scheduler == "local":
        cluster = batches.local_cluster(args.jobs)
        return Client(cluster), cluster
    try:
        return Client(args.scheduler, timeout=30), None
    except (OSError, TimeoutError, ValueError) as error:
        raise _Failure(f"cannot reach the Dask scheduler at {args.scheduler}: {error}") from None


def _table_or_picture(args):
    suffix = os.path.splitext(args.output)[1].lower()
    if suffix in batches.TABLE_SUFFIXES:
        return "table"
    if suffix in IMAGE_SUFFIXES or suffix == ".svg":
        return "picture"
    raise _UsageError(f"{args.output}: lines writes a table (.parquet, .csv, .jsonl) "
                      "or a picture (.png, .jpg, .tif, .svg)")


def _picture(args, found):
    """One image's segments drawn over it."""
    if len(found) != 1 or found.missing:
        raise _UsageError("a picture output takes exactly one input image; "
                          "write a table (.parquet, .csv, .jsonl) for many")

    image = read_image(found.files[0])
    segments = batches.segments_of(image, args.scale)
    if args.output.lower().endswith(".svg"):
        write_svg(args.output, image, segments)
    else:
        write_image(args.output, draw_segments(image, segments))
    return 0


def _run(args):
    picture = args.command == "lines" and _table_or_picture(args) == "picture"
    found = batches.collect(args.inputs)
    for arg in found.missing:
        _say(f"{arg}: no such file or folder, or no image matches")
    if picture:
        if not found.files:
            return 1
        batches.size_pool(1)
        return _picture(args, found)
    if not found.files:
        _say("no images to process")
        return 1

    client = cluster = None
    if args.scheduler:
        client, cluster = _client(args)
    else:
        batches.size_pool(args.jobs or batches.processors())

    def report(result):
        _say(f"{found.files[result.index]}: {result.error}")

    common = dict(jobs=args.jobs, client=client, chunk_size=args.chunk_size, resume=args.resume,
                  progress=not args.quiet and sys.stderr.isatty(), on_failure=report)
    suffix = {"png": ".png", "jpeg": ".jpg", "tiff": ".tif", None: None}[getattr(args, "format", None)]
    try:
        if args.command == "lines":
            summary = batches.lines_table(found, args.output, scale=args.scale, **common)
        elif args.command == "straighten":
            summary = batches.straighten_folder(found, args.output, mode=args.mode, crop=args.crop,
                                                filter=args.filter, keep_unfitted=args.keep_unfitted,
                                                suffix=suffix, **common)
        else:
            summary = batches.flatten_folder(found, args.output, aspect=args.aspect,
                                             filter=args.filter, keep_unfitted=args.keep_unfitted,
                                             suffix=suffix, **common)
    except batches.Interrupted as stop:
        _say(stop.summary.line())
        return 130
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()
    if not args.quiet:
        _say(summary.line())
    return 1 if summary.failed or found.missing else 0


def main(argv=None):
    """Runs the ``vantrell`` command with ``argv`` (default: ``sys.argv[1:]``)
    and returns its exit status."""
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as done:  # --help, or a usage error already reported
        return done.code if isinstance(done.code, int) else 2
    try:
        return _run(args)
    except _UsageError as error:
        _say(str(error))
        return 2
    except (ImageFileError, _Failure, ValueError, ImportError) as error:
        _say(str(error))
        return 1
    except OSError as error:  # the table or the output folder
        _say(f"{args.output}: cannot write: {error.strerror or error}")
        return 1
    except KeyboardInterrupt:
        _say("interrupted")
        return 130


if __name__ == "__main__":
    sys.exit(main())
