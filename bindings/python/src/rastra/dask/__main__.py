"""python3 -m rastra.dask: the rastra command line's directory run, on a Dask cluster.

Standard output carries only the statistics, as the library's one line of
JSON; each failed file and the summary go to standard error. Exit status: 0
when every file converted, 1 when a conversion failed, 2 on a usage error or
a run that cannot start.
"""

import argparse
import sys

import rastra
import rastra.dask


def _box(text: str):
    w, sep, h = text.lower().partition("x")
    if not sep or not w.isdigit() or not h.isdigit():
        raise argparse.ArgumentTypeError("expects WxH with whole numbers of pixels, e.g. 1920x1080 or 800x0")
    return int(w), int(h)


def _level(text: str) -> int:
    if not text.isdigit() or not 1 <= int(text) <= 9:
        raise argparse.ArgumentTypeError("expects a whole number from 1 to 9, not '%s'" % text)
    return int(text)


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python3 -m rastra.dask",
        description="Converts every JPEG, PNG, BMP and WebP image of SOURCE (a directory, URL, or glob) "
                    "into DEST on a Dask cluster, named and counted as the rastra command line does.")
    p.add_argument("source", metavar="SOURCE")
    p.add_argument("destination", metavar="DEST")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="the cluster's scheduler, e.g. tcp://HOST:8786 (default: a local cluster, "
                        "one worker process per CPU)")
    p.add_argument("--files-per-task", type=int, metavar="N", help="files per task (default: about four tasks per worker)")
    p.add_argument("--recursive", action="store_true", help="descend into subdirectories, mirroring them in DEST")
    p.add_argument("--max", type=_box, metavar="WxH", help="shrink to fit W x H pixels (0 = no limit on that side)")
    p.add_argument("--format", choices=["auto", "png", "jpeg", "jpg", "webp", "bmp"], default="auto")
    p.add_argument("--quality", type=int, default=90, metavar="N", help="JPEG/WebP quality 0..100 (default 90)")
    p.add_argument("--watermark", metavar="TEXT")
    p.add_argument("--watermark-size", type=int, default=16, metavar="N")
    p.add_argument("--watermark-opacity", type=float, default=0.6, metavar="F")
    p.add_argument("--max-pixels", type=int, metavar="N")
    p.add_argument("--no-auto-orient", action="store_true", help="keep each image as stored")
    p.add_argument("--color", choices=["srgb", "keep", "ignore"], default="srgb",
                   help="an embedded colour profile: convert to sRGB (default), keep it, or drop it")
    p.add_argument("--keep-metadata", action="store_true", help="keep EXIF, XMP and the colour profile")
    p.add_argument("--keep", metavar="exif,xmp,icc|all|none", help="keep these parts of each input's metadata")
    p.add_argument("--codecs", choices=["fast", "reference"], default="fast",
                   help="fast (default): libjpeg-turbo, with JPEG decoding at reduced scale, and libspng with "
                        "zlib for PNG; reference: the library's default codecs, stb_image and libwebp")
    p.add_argument("--png-level", type=_level, default=rastra.PNG_LEVEL_DEFAULT, metavar="N",
                   help="zlib level 1..9 for PNG outputs of the fast codecs (default 7)")
    p.add_argument("--lossless", action="store_true", help="write WebP outputs losslessly")
    p.add_argument("--in-place", action="store_true", help="let outputs replace their inputs")
    p.add_argument("--progress", dest="progress", action="store_true", default=None, help="show Dask's progress bar")
    p.add_argument("--no-progress", dest="progress", action="store_false")
    return p


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    settings = dict(format=args.format, quality=args.quality, auto_orient=not args.no_auto_orient,
                    color=args.color, keep_metadata="all" if args.keep_metadata else (args.keep or "none"),
                    codecs=args.codecs, png_level=args.png_level, webp_lossless=args.lossless)
    if args.max is not None:
        settings["max_size"] = args.max
    if args.watermark is not None:
        settings["watermark"] = rastra.Watermark(args.watermark, args.watermark_size, args.watermark_opacity)
    if args.max_pixels is not None:
        settings["max_pixels"] = args.max_pixels
    client = None
    try:
        if args.scheduler:
            from distributed import Client
            client = Client(args.scheduler)
        result = rastra.dask.convert_many(args.source, args.destination, client=client,
                                          files_per_task=args.files_per_task, progress=args.progress,
                                          recursive=args.recursive, in_place=args.in_place, **settings)
    except (rastra.RastraError, ValueError, OSError) as e:
        print("rastra.dask: %s" % e, file=sys.stderr)
        return 2
    finally:
        if client is not None:
            client.close()
    for failure in result["failures"]:
        print("%s: %s" % (failure.input, failure.message), file=sys.stderr)
    print(rastra.dask.stats_json(result))
    print("converted %d files, %d failed" % (result["processed"], result["failed"]), file=sys.stderr)
    return 1 if result["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
